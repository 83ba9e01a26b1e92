// Built as a program of its own that includes only the engine's public header and links only the
// engine, as another program using the library would.
#include "engine/engine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("tessaloom-library-" +
                std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const char* name) const { return (dir_ / name).string(); }

    std::filesystem::path dir_;
};

tessaloom::ByteBuffer text(const std::string& s) {
    return {s.begin(), s.end()};
}

// Patching A with the diff of A and B gives B whenever B is at least as long as A. Bytes of A past
// the end of B are listed with 0 for B, so they come out as zeros.
TEST_F(LibraryTest, DiffThenPatchReproducesTheSecondFile) {
    const struct {
        const char* name;
        tessaloom::ByteBuffer a;
        tessaloom::ByteBuffer b;
        tessaloom::ByteBuffer patched;
    } cases[] = {
        {"longer B", text("abc"), text("aXcde"), text("aXcde")},
        {"same length", text("firmware v1.0"), text("firmware v2.1"), text("firmware v2.1")},
        {"identical", text("same"), text("same"), text("same")},
        {"empty A", {}, {0, 0, 7}, {0, 0, 7}},
        {"zero bytes past A", text("a"), {'a', 0, 0, 0}, {'a', 0, 0, 0}},
        {"both empty", {}, {}, {}},
        {"shorter B", text("abcdef"), text("abX"), {'a', 'b', 'X', 0, 0, 0}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(tessaloom::saveFile(path("a"), c.a));
        ASSERT_TRUE(tessaloom::saveFile(path("b"), c.b));
        const std::vector<tessaloom::DiffEntry> patches =
            tessaloom::diffFiles(path("a"), path("b"), UINT64_MAX);
        EXPECT_TRUE(tessaloom::applyPatches(path("a"), patches, path("patched")));
        EXPECT_EQ(tessaloom::loadFile(path("patched")), c.patched) << c.name;
    }
}

}  // namespace
