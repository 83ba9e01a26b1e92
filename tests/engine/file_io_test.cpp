#include "engine/file_io.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "engine/file_io_fixture.h"
#include "engine/file_reader.h"

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

std::string_view text(ByteView bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

TEST_F(FileIoTest, ReaderReadsInChunksSeeksAndTellsHowFarItGot) {
    write("data", "0123456789");
    std::vector<std::uint64_t> done;
    FileReader reader(path("data"), 4);
    reader.onProgress([&done](const ScanProgress& progress) {
        EXPECT_EQ(progress.total, 10u);
        done.push_back(progress.done);
    });
    EXPECT_EQ(reader.size(), 10u);
    EXPECT_EQ(text(reader.next()), "0123");
    reader.skipTo(6);
    EXPECT_EQ(text(reader.next(3)), "678");
    EXPECT_EQ(text(reader.next()), "9");
    EXPECT_TRUE(reader.next().empty());
    EXPECT_EQ(done, (std::vector<std::uint64_t>{4, 9, 10}));

    FileReader past(path("data"));
    past.skipTo(100);
    EXPECT_TRUE(past.next().empty());

    fs::create_directory(path("folder"));
    for (const std::string name : {"missing", "folder"}) {
        FileReader nothing(path(name));
        EXPECT_TRUE(nothing.next().empty()) << name;
        EXPECT_EQ(nothing.position(), 0u) << name;
    }
}

TEST_F(FileIoTest, SaveFromAProducerChangesNothingWhenItGivesUp) {
    write("target", "old");
    const auto halfThenFail = [](const ContentSink& write) {
        return write(textBytes("partial")) && false;
    };
    EXPECT_FALSE(saveFileFrom(path("target"), halfThenFail));
    EXPECT_THROW(saveFileFrom(path("target"),
                              [](const ContentSink& write) -> bool {
                                  write(textBytes("partial"));
                                  throw ReadError("input");
                              }),
                 ReadError);
    EXPECT_EQ(read("target"), "old");
    EXPECT_EQ(list(), std::set<std::string>{"target"});
    EXPECT_TRUE(saveFileFrom(path("target"), [](const ContentSink& write) {
        return write(textBytes("new ")) && write(textBytes("content"));
    }));
    EXPECT_EQ(read("target"), "new content");
}

}  // namespace
}  // namespace tessaloom
