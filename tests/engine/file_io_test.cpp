#include "engine/file_io.h"

#include <gtest/gtest.h>

#include "engine/file_io_fixture.h"

namespace tessaloom {
namespace {

TEST_F(FileIoTest, LoadsWholeFilesAndEmptyForEverythingElse) {
    write("empty", "");
    write("one", "x");
    write("binary", std::string("\x00\x0D\x0A\x1A\xFF", 5));
    fs::create_directory(path("folder"));
    EXPECT_EQ(loadFile(path("empty")), ByteBuffer{});
    EXPECT_EQ(loadFile(path("missing")), ByteBuffer{});
    EXPECT_EQ(loadFile(path("folder")), ByteBuffer{});
    EXPECT_EQ(loadFile(path("one")), (ByteBuffer{'x'}));
    EXPECT_EQ(loadFile(path("binary")), (ByteBuffer{0x00, 0x0D, 0x0A, 0x1A, 0xFF}));
}

TEST_F(FileIoTest, SaveReplacesTheWholeContentAndLeavesNoTemporaryFile) {
    write("target", "a much longer old content");
    const ByteBuffer data = textBytes("new");
    EXPECT_TRUE(saveFile(path("target"), data));
    EXPECT_EQ(loadFile(path("target")), data);
    EXPECT_TRUE(saveFile(path("target"), ByteBuffer{}));
    EXPECT_EQ(fs::file_size(path("target")), 0u);
    EXPECT_TRUE(saveFile(path("created"), data));
    EXPECT_EQ(read("created"), "new");
    const std::string longName(200, 'n');
    EXPECT_TRUE(saveFile(path(longName), data));
    EXPECT_EQ(list(), (std::set<std::string>{"target", "created", longName}));
}

TEST_F(FileIoTest, SaveFailuresReturnFalseAndCreateNothing) {
    const ByteBuffer data{1, 2, 3};
    EXPECT_FALSE(saveFile(path("no-such-folder/out"), data));
    fs::create_directory(path("folder"));
    EXPECT_FALSE(saveFile(path("folder"), data));
    EXPECT_FALSE(saveFile(path("folder") + "/", data));
    EXPECT_TRUE(fs::is_directory(path("folder")));
    EXPECT_EQ(list(), std::set<std::string>{"folder"});
    EXPECT_TRUE(list("folder").empty());
}

}  // namespace
}  // namespace tessaloom
