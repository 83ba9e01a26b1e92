#include "engine/file_io.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/chunked_file.h"
#include "engine/diff.h"
#include "engine/entropy.h"
#include "engine/file_io_fixture.h"
#include "engine/file_reader.h"
#include "engine/hex_dump.h"
#include "engine/output_file.h"
#include "engine/patch.h"
#include "engine/string_extract.h"
#include "support/in_memory.h"

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

TEST_F(FileIoTest, ReaderFillsKeepsWhatIsNotConsumedAndTellsHowFarItGot) {
    write("data", "0123456789");
    std::vector<std::uint64_t> done;
    FileReader reader(path("data"), 4);
    reader.onProgress([&done](const ScanProgress& progress) {
        EXPECT_EQ(progress.total, 10u);
        done.push_back(progress.done);
    });
    EXPECT_EQ(reader.size(), 10u);
    ASSERT_TRUE(reader.fill());
    EXPECT_EQ(text(reader.buffered()), "0123");
    reader.consume(3);
    ASSERT_TRUE(reader.fill());
    EXPECT_EQ(reader.position(), 3u);
    EXPECT_EQ(text(reader.buffered()), "34567");
    reader.skipTo(6);
    EXPECT_EQ(text(reader.buffered()), "67");
    reader.consume(2);
    ASSERT_TRUE(reader.fill());
    EXPECT_EQ(text(reader.buffered()), "89");
    reader.consume(2);
    EXPECT_FALSE(reader.fill());
    EXPECT_EQ(done, (std::vector<std::uint64_t>{4, 8, 10}));
    std::string middle(3, '?');
    EXPECT_EQ(reader.readAt(2, std::span(reinterpret_cast<std::uint8_t*>(middle.data()), 3)), 3u);
    EXPECT_EQ(middle, "234");
    EXPECT_FALSE(reader.error());

    FileReader past(path("data"));
    past.skipTo(100);
    EXPECT_FALSE(past.fill());

    fs::create_directory(path("folder"));
    for (const auto& [name, reason] : {std::pair{"missing", "No such file or directory"},
                                       std::pair{"folder", "Is a directory"}}) {
        FileReader nothing(path(name));
        EXPECT_FALSE(nothing.fill()) << name;
        ASSERT_TRUE(nothing.error()) << name;
        EXPECT_EQ(nothing.error()->reason, reason);
    }
}

TEST_F(FileIoTest, OutputChangesNothingUntilCommittedWhole) {
    write("target", "old");
    {
        OutputFile output(path("target"));
        EXPECT_TRUE(output.write(textBytes("partial")));
        EXPECT_EQ(read("target"), "old");
    }
    EXPECT_EQ(read("target"), "old");
    EXPECT_EQ(list(), std::set<std::string>{"target"});
    OutputFile output(path("target"));
    EXPECT_TRUE(output.write(textBytes("new ")) && output.write(textBytes("content")));
    EXPECT_TRUE(output.commit());
    EXPECT_EQ(read("target"), "new content");
    EXPECT_EQ(list(), std::set<std::string>{"target"});

    OutputFile nowhere(path("no-such-folder/out"));
    ASSERT_TRUE(nowhere.error());
    EXPECT_EQ(nowhere.error()->reason, "No such file or directory");
    EXPECT_FALSE(nowhere.write(textBytes("x")));
    EXPECT_FALSE(nowhere.commit());
}

// A file that another program put in the target's place while the output was written (here as
// editors save, keeping the old file as a backup) stands: the commit fails instead of undoing it.
TEST_F(FileIoTest, OutputLeavesATargetReplacedMeanwhile) {
    write("target", "old");
    OutputFile output(path("target"));
    EXPECT_TRUE(output.write(textBytes("mine")));
    fs::rename(path("target"), path("target~"));
    write("target", "theirs");
    EXPECT_FALSE(output.commit());
    ASSERT_TRUE(output.error());
    EXPECT_EQ(output.error()->reason, "It was replaced by another program while it was written");
    EXPECT_EQ(read("target"), "theirs");
    EXPECT_EQ(read("target~"), "old");
    EXPECT_EQ(list(), (std::set<std::string>{"target", "target~"}));
}

// A read that fails on the first request is the input's error and every operation sees an empty
// input; one that fails later, at any position, stops the operation with the reason, whatever
// it was doing with the bytes before.
TEST(ReadFailureTest, FirstReadIsTheInputsErrorAndLaterOnesThrow) {
    ByteBuffer data(5000);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i % 7 == 0 ? 0 : 'a' + i % 26);
    }
    using Operation = std::function<void(FileReader&)>;
    const std::pair<const char*, Operation> operations[] = {
        {"analysis", [](FileReader& r) { analyzeFile(r); }},
        {"strings", [](FileReader& r) { extractStrings(r, 4); }},
        {"listing", [](FileReader& r) { listStrings(r, 4, 100); }},
        {"dump", [](FileReader& r) { writeHexDump(r, 0, UINT64_MAX, [](std::string_view) {}); }},
        {"diff",
         [&data](FileReader& r) {
             FileReader other("same", std::make_unique<StreamOf>(data));
             diffFiles(r, other, UINT64_MAX, [](const DiffEntry&) {});
         }},
        {"search",
         [](FileReader& r) {
             findPatternOffsets(r, ByteBuffer{'x', 'y'});
         }},
    };
    for (const auto& [name, operation] : operations) {
        for (const std::uint64_t failAt : {0u, 1u, 63u, 1024u, 4999u}) {
            for (const std::size_t piece : {std::size_t{1}, std::size_t{100}, SIZE_MAX}) {
                SCOPED_TRACE(std::string(name) + " failing at " + std::to_string(failAt) +
                             ", pieces of " + std::to_string(piece));
                FileReader reader("bad disk", std::make_unique<StreamOf>(data, piece, failAt), 64);
                if (failAt == 0) {
                    operation(reader);
                    ASSERT_TRUE(reader.error());
                    EXPECT_EQ(reader.error()->reason, "Input/output error");
                } else {
                    try {
                        operation(reader);
                        ADD_FAILURE() << "no ReadError";
                    } catch (const ReadError& error) {
                        EXPECT_EQ(std::string(error.what()),
                                  "Cannot read bad disk: Input/output error");
                    }
                    EXPECT_FALSE(reader.error());
                }
            }
        }
    }
}

// A file that ends before the size it had when opened shrank while it was read: its report would
// be that of a file it never was.
TEST(ReadFailureTest, AFileThatShrinksIsAReadError) {
    struct Shrunk : SpanSource {
        using SpanSource::SpanSource;
        std::uint64_t size() const override { return 100; }
    };
    const ByteBuffer half(50, 'x');
    FileReader reader("shrunk", std::make_unique<Shrunk>(half), 16);
    EXPECT_THROW(analyzeFile(reader), ReadError);
}

}  // namespace
}  // namespace tessaloom
