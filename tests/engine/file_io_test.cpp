#include "engine/file_io.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace tessaloom {
namespace {

class FileIoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ =
            std::filesystem::temp_directory_path() /
            ("tessaloom-io-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const char* name) const { return (dir_ / name).string(); }
    void write(const char* name, const std::string& content) const {
        std::ofstream(path(name), std::ios::binary) << content;
    }

    std::filesystem::path dir_;
};

TEST_F(FileIoTest, LoadsWholeFilesAndEmptyForEverythingElse) {
    write("empty", "");
    write("one", "x");
    write("binary", std::string("\x00\x0D\x0A\x1A\xFF", 5));
    std::filesystem::create_directory(path("folder"));
    EXPECT_EQ(loadFile(path("empty")), ByteBuffer{});
    EXPECT_EQ(loadFile(path("missing")), ByteBuffer{});
    EXPECT_EQ(loadFile(path("folder")), ByteBuffer{});
    EXPECT_EQ(loadFile("/dev/zero"), ByteBuffer{});
    EXPECT_EQ(loadFile(path("one")), (ByteBuffer{'x'}));
    EXPECT_EQ(loadFile(path("binary")), (ByteBuffer{0x00, 0x0D, 0x0A, 0x1A, 0xFF}));
}

TEST_F(FileIoTest, SaveReplacesTheWholeContent) {
    write("target", "a much longer old content");
    const ByteBuffer data{'n', 'e', 'w'};
    EXPECT_TRUE(saveFile(path("target"), data));
    EXPECT_EQ(loadFile(path("target")), data);
    EXPECT_TRUE(saveFile(path("target"), ByteBuffer{}));
    EXPECT_TRUE(std::filesystem::exists(path("target")));
    EXPECT_EQ(std::filesystem::file_size(path("target")), 0u);
}

TEST_F(FileIoTest, SaveFailuresReturnFalse) {
    const ByteBuffer data{1, 2, 3};
    EXPECT_FALSE(saveFile(path("no-such-folder/out"), data));
    EXPECT_FALSE(std::filesystem::exists(path("no-such-folder")));
    std::filesystem::create_directory(path("folder"));
    EXPECT_FALSE(saveFile(path("folder"), data));
    // The write fails only when the buffered bytes are written out at close.
    EXPECT_FALSE(saveFile("/dev/full", data));
}

}  // namespace
}  // namespace tessaloom
