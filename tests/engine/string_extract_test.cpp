#include "engine/string_extract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "engine/chunked_file.h"
#include "engine/text_bytes.h"
#include "support/in_memory.h"

namespace tessaloom {

void PrintTo(const FoundString& found, std::ostream* out) {
    *out << "{" << found.offset << ", \"" << found.text << "\"}";
}

namespace {

using Records = std::vector<FoundString>;

std::string textOf(const StringListing& listing, std::size_t index) {
    std::string text;
    listing.writeText(index, [&text](std::string_view piece) { text.append(piece); });
    return text;
}

// The runs of data in one buffer, and read from a file at every chunk size: with their texts,
// and as the first two of a listing that counts them all.
void expectExtracts(const ByteBuffer& data, std::uint64_t minLength, const Records& expected) {
    EXPECT_EQ(extractStrings(data, minLength), expected);
    forEachChunkSize(data, [&](FileReader& reader, const TemporaryFile& file) {
        EXPECT_EQ(extractStrings(reader, minLength), expected);
        FileReader again(file.path(), reader.chunkSize());
        const StringListing listing = listStrings(again, minLength, 2);
        EXPECT_EQ(listing.count(), expected.size());
        ASSERT_EQ(listing.runs().size(), std::min<std::size_t>(2, expected.size()));
        for (std::size_t i = 0; i < listing.runs().size(); ++i) {
            EXPECT_EQ(listing.runs()[i], (StringRun{expected[i].offset, expected[i].text.size()}));
            EXPECT_EQ(textOf(listing, i), expected[i].text);
        }
    });
}

struct ExtractCase {
    const char* name;
    std::string data;
    std::uint64_t minLength;
    Records expected;
};

TEST(ExtractStringsTest, RecordsEveryLongEnoughRunOfPrintableBytes) {
    const std::string worked("abc\0hello\x01xy", 12);
    const std::string utf16("h\0e\0l\0l\0o\0", 10);
    const ExtractCase cases[] = {
        {"worked example, default minimum", worked, 4, {{4, "hello"}}},
        {"worked example, minimum 2", worked, 2, {{0, "abc"}, {4, "hello"}, {10, "xy"}}},
        {"run of exactly the minimum",
         "\x01"
         "abcd",
         4,
         {{1, "abcd"}}},
        {"run one byte short",
         "\x01"
         "abc",
         4,
         {}},
        {"spaces belong to runs", "a b c", 4, {{0, "a b c"}}},
        {"a tab splits runs", "ab\tcd", 2, {{0, "ab"}, {3, "cd"}}},
        {"all printable", "whole file", 4, {{0, "whole file"}}},
        {"minimum above every run", "abc\ndef", 4, {}},
        {"empty data", "", 1, {}},
        {"printable range is 0x20 to 0x7E",
         "\x1f !\x7f~}\x80\xff"
         "AB\r\nCD",
         1,
         {{1, " !"}, {4, "~}"}, {8, "AB"}, {12, "CD"}}},
        {"minimum 0 as 1, no empty records",
         std::string("\0\0ab\x01\x02"
                     "c\x03",
                     8),
         0,
         {{2, "ab"}, {6, "c"}}},
        {"minimum 1",
         std::string("\0\0ab\x01\x02"
                     "c\x03",
                     8),
         1,
         {{2, "ab"}, {6, "c"}}},
        {"only unprintable bytes, minimum 0", std::string("\0\x01\x7f", 3), 0, {}},
        {"UTF-16, default minimum", utf16, 4, {}},
        {"UTF-16, minimum 1", utf16, 1, {{0, "h"}, {2, "e"}, {4, "l"}, {6, "l"}, {8, "o"}}},
        {"largest minimum", "abcdef", UINT64_MAX, {}},
    };
    for (const ExtractCase& c : cases) {
        SCOPED_TRACE(c.name);
        expectExtracts(textBytes(c.data), c.minLength, c.expected);
    }
}

TEST(ScanStringsTest, HandsOutViewsIntoTheDataInOrder) {
    const ByteBuffer data = textBytes(std::string("one\0two\0three", 13));
    std::vector<std::uint64_t> offsets;
    std::vector<const char*> starts;
    scanStrings(data, 3, [&](std::uint64_t offset, std::string_view text) {
        offsets.push_back(offset);
        starts.push_back(text.data());
    });
    EXPECT_EQ(offsets, (std::vector<std::uint64_t>{0, 4, 8}));
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        EXPECT_EQ(starts[i], reinterpret_cast<const char*>(data.data()) + offsets[i]);
    }
}

// The runs as a plain byte-by-byte scan finds them.
Records plainScan(const ByteBuffer& data, std::uint64_t minLength) {
    Records found;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= data.size(); ++i) {
        if (i < data.size() && isPrintableAscii(data[i])) {
            continue;
        }
        if (i > start && i - start >= std::max<std::uint64_t>(minLength, 1)) {
            found.push_back({start, std::string(data.begin() + static_cast<std::ptrdiff_t>(start),
                                                data.begin() + static_cast<std::ptrdiff_t>(i))});
        }
        start = i + 1;
    }
    return found;
}

// Runs of every length, starting and ending anywhere in and across the 64-byte steps of the scan.
TEST(ExtractStringsTest, AgreesWithAPlainScan) {
    std::mt19937 random(11);
    for (int round = 0; round < 3000; ++round) {
        ByteBuffer data(random() % 400);
        // A share of printable bytes from none to all, so that runs are short, long or whole.
        const auto printableShare = random() % 101;
        for (auto& byte : data) {
            const bool printable = random() % 100 < printableShare;
            byte = static_cast<std::uint8_t>(
                printable ? 0x20 + random() % 95
                          : (random() % 2 ? random() % 0x20 : 0x7F + random() % 129));
        }
        const std::uint64_t minLength = round % 5 == 0 ? random() % 100 : random() % 14;
        const Records expected = plainScan(data, minLength);
        ASSERT_EQ(extractStrings(data, minLength), expected)
            << "round " << round << ", minimum " << minLength;
        for (const std::size_t size : kChunkSizes) {
            std::vector<StringRun> runs;
            StringScanner scanner(minLength,
                                  [&runs](const StringRun& run) { runs.push_back(run); });
            writeInPieces(data, size, [&scanner](ByteView piece) { scanner.write(piece); });
            scanner.finish();
            ASSERT_EQ(runs.size(), expected.size()) << "round " << round << ", pieces " << size;
            for (std::size_t i = 0; i < runs.size(); ++i) {
                ASSERT_EQ(runs[i], (StringRun{expected[i].offset, expected[i].text.size()}))
                    << "round " << round << ", pieces " << size;
            }
        }
    }
}

TEST(ExtractStringsTest, WholeFilesAndMissingFiles) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("tessaloom-strings-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "file").string();
    std::ofstream(file, std::ios::binary) << std::string(
        "\x7f"
        "ELF\x02\x01"
        "libc.so.6",
        15);
    EXPECT_EQ(extractStrings(file, 4), (Records{{6, "libc.so.6"}}));
    EXPECT_EQ(extractStrings((dir / "missing").string(), 0), Records{});
    std::filesystem::remove_all(dir);
}

// Texts beyond what is kept in memory: a file's are read back (and must still be there), a
// stream's are kept aside in a temporary file; either way exactly the bytes scanned.
TEST(ListStringsTest, LongTextsComeBackExactlyFromFilesAndStreams) {
    std::string data =
        "\x01"
        "first"
        "\x01";
    data += std::string(3 << 20, 'L');
    data +=
        "\x01"
        "last";
    const ByteBuffer bytes = textBytes(data);
    const TemporaryFile file(bytes);
    for (const bool stream : {false, true}) {
        SCOPED_TRACE(stream ? "stream" : "file");
        FileReader reader = stream ? FileReader(file.path(), std::make_unique<StreamOf>(bytes))
                                   : FileReader(file.path());
        const StringListing listing = listStrings(reader, 4, 3);
        ASSERT_EQ(listing.count(), 3u);
        EXPECT_EQ(textOf(listing, 0), "first");
        EXPECT_EQ(textOf(listing, 1), std::string(3 << 20, 'L'));
        EXPECT_EQ(textOf(listing, 2), "last");
    }
    FileReader reader(file.path());
    const StringListing listing = listStrings(reader, 4, 2);
    std::ofstream(file.path(), std::ios::binary | std::ios::in) << "\x01"
                                                                   "first"
                                                                   "\x01"
                                                                   "LL"
                                                                   "\x01";
    EXPECT_EQ(textOf(listing, 0), "first");
    EXPECT_THROW(textOf(listing, 1), ReadError);
}

}  // namespace
}  // namespace tessaloom

namespace tessaloom {
namespace {

// --- Every string, in each encoding -----------------------------------------------------------

struct ModelRun {
    std::uint64_t start, end;
    std::size_t lane;  // ascii, utf16le even, utf16le odd, utf16be even, utf16be odd
};

// The runs each way of reading the data finds, by brute force over the whole data, then those
// that no run of another lane covers (the same bytes: the earlier lane's), in order.
std::vector<EncodedRun> modelRuns(const ByteBuffer& data, std::uint64_t minLength,
                                  EncodingSet set) {
    const std::uint64_t shortest = std::max<std::uint64_t>(minLength, 1);
    // UTF-16 at odd offsets too where only one byte order is wanted.
    const bool oneOrder = set.utf16le != set.utf16be;
    const bool wanted[] = {set.ascii, set.utf16le, set.utf16le && oneOrder, set.utf16be,
                           set.utf16be && oneOrder};
    const StringEncoding encodings[] = {StringEncoding::kAscii, StringEncoding::kUtf16Le,
                                        StringEncoding::kUtf16Le, StringEncoding::kUtf16Be,
                                        StringEncoding::kUtf16Be};
    std::vector<ModelRun> runs;
    for (std::size_t lane = 0; lane < 5; ++lane) {
        if (!wanted[lane]) {
            continue;
        }
        const std::size_t width = lane == 0 ? 1 : 2;
        const std::size_t first = lane == 0 ? 0 : (lane - 1) % 2;
        std::size_t start = first;
        std::uint64_t count = 0;
        for (std::size_t at = first; at + width <= data.size() + width; at += width) {
            bool printable = false;
            if (at + width <= data.size()) {
                if (lane == 0) {
                    printable = data[at] >= 0x20 && data[at] <= 0x7E;
                } else {
                    const bool big = lane >= 3;
                    const auto unit = static_cast<std::uint16_t>(
                        big ? data[at] << 8 | data[at + 1] : data[at + 1] << 8 | data[at]);
                    printable = (unit >= 0x20 && unit <= 0x7E) || (unit >= 0xA0 && unit <= 0x24F) ||
                                (unit >= 0x370 && unit <= 0x52F);
                }
            }
            if (printable) {
                start = count == 0 ? at : start;
                ++count;
                continue;
            }
            if (count >= shortest) {
                runs.push_back({start, start + count * width, lane});
            }
            count = 0;
        }
    }
    std::vector<EncodedRun> shown;
    std::ranges::sort(runs, [](const ModelRun& a, const ModelRun& b) {
        return a.start != b.start ? a.start < b.start : a.lane < b.lane;
    });
    for (const ModelRun& r : runs) {
        const bool covered = std::ranges::any_of(runs, [&r](const ModelRun& q) {
            if (q.lane == r.lane) {
                return false;
            }
            if (q.start == r.start && q.end == r.end) {
                return q.lane < r.lane;
            }
            return q.start <= r.start && q.end >= r.end;
        });
        if (!covered) {
            shown.push_back({r.start, r.end - r.start, encodings[r.lane]});
        }
    }
    return shown;
}

std::vector<EncodedRun> scannedRuns(const ByteBuffer& data, std::uint64_t minLength,
                                    EncodingSet set, std::size_t pieceSize) {
    std::vector<EncodedRun> runs;
    EncodedStringScanner scanner(minLength, set,
                                 [&runs](const EncodedRun& run) { runs.push_back(run); });
    writeInPieces(data, pieceSize, [&scanner](ByteView piece) { scanner.write(piece); });
    scanner.finish();
    return runs;
}

void appendUtf16(ByteBuffer& data, std::u16string_view text, bool big) {
    for (const char16_t unit : text) {
        const auto high = static_cast<std::uint8_t>(unit >> 8);
        const auto low = static_cast<std::uint8_t>(unit & 0xFF);
        data.push_back(big ? high : low);
        data.push_back(big ? low : high);
    }
}

TEST(EncodedStringsTest, AgreeWithAModelOfEachEncodingAcrossPieceSizes) {
    constexpr EncodingSet kSets[] = {{true, false, false},
                                     {false, true, false},
                                     {false, false, true},
                                     {true, true, true},
                                     {true, false, true}};
    std::mt19937 random(28);
    for (int round = 0; round < 600; ++round) {
        ByteBuffer data;
        // Text of each encoding at either alignment, between random bytes.
        while (data.size() < 300) {
            switch (random() % 4) {
                case 0:
                    for (auto n = random() % 12; n > 0; --n) {
                        data.push_back(static_cast<std::uint8_t>(0x20 + random() % 95));
                    }
                    break;
                case 1:
                case 2: {
                    std::u16string text;
                    for (auto n = random() % 10; n > 0; --n) {
                        const char16_t letters[] = {u'a', u'Z', u' ', u'é', u'Ж', u'λ', u'Ā'};
                        text += letters[random() % 7];
                    }
                    appendUtf16(data, text, random() % 3 == 0);
                    break;
                }
                default:
                    for (auto n = random() % 6; n > 0; --n) {
                        data.push_back(static_cast<std::uint8_t>(random()));
                    }
            }
        }
        const std::uint64_t minLength = random() % 6;
        const EncodingSet set = kSets[static_cast<std::size_t>(round) % std::size(kSets)];
        const std::vector<EncodedRun> expected = modelRuns(data, minLength, set);
        for (const std::size_t size : kChunkSizes) {
            ASSERT_EQ(scannedRuns(data, minLength, set, size), expected)
                << "round " << round << ", minimum " << minLength << ", pieces " << size;
        }
    }
}

struct EncodedCase {
    const char* name;
    ByteBuffer data;
    EncodingSet set;
    std::uint64_t minLength;
    std::vector<EncodedRun> expected;
    std::vector<std::string> texts;
};

ByteBuffer bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

TEST(EncodedStringsTest, WorkedCases) {
    constexpr EncodingSet kAll{true, true, true};
    const EncodedCase cases[] = {
        {"utf16le text at an even offset, read as nothing else",
         bytesOf(std::string("h\0e\0l\0l\0o\0\x01\0", 12)),
         kAll,
         4,
         {{0, 10, StringEncoding::kUtf16Le}},
         {"hello"}},
        {"utf16be decoded to UTF-8",
         bytesOf(std::string("\x04\x16\x00\xE9\x00!\x00\x01", 8)),
         {false, false, true},
         3,
         {{0, 6, StringEncoding::kUtf16Be}},
         {"Жé!"}},
        {"ascii and utf16le side by side keep their order",
         bytesOf(std::string("abcd\0\0w\0x\0y\0z\0", 14)),
         kAll,
         4,
         {{0, 4, StringEncoding::kAscii}, {6, 8, StringEncoding::kUtf16Le}},
         {"abcd", "wxyz"}},
        {"utf16le text at an odd offset, where only utf16le is looked for",
         bytesOf(std::string("xx\0w\0o\0r\0l\0d\0", 13)),
         {false, true, false},
         4,
         {{1, 12, StringEncoding::kUtf16Le}},
         {"xworld"}},
        {"the same bytes where both byte orders are: even offsets only",
         bytesOf(std::string("xx\0w\0o\0r\0l\0d\0", 13)),
         kAll,
         4,
         {{2, 10, StringEncoding::kUtf16Be}},
         {"world"}},
        {"ideographs are not text",
         bytesOf(std::string("\x00\x4E\x10\x4E\x20\x4E\x30\x4E", 8)),
         {false, true, false},
         2,
         {},
         {}},
        {"single ascii characters inside utf16le text are left out",
         bytesOf(std::string("a\0b\0c\0", 6)),
         kAll,
         1,
         {{0, 6, StringEncoding::kUtf16Le}},
         {"abc"}},
    };
    for (const EncodedCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(modelRuns(c.data, c.minLength, c.set), c.expected);
        const std::vector<EncodedRun> runs = scannedRuns(c.data, c.minLength, c.set, 1);
        ASSERT_EQ(runs, c.expected);
        SpanSource source(c.data);
        for (std::size_t i = 0; i < runs.size(); ++i) {
            std::string text;
            ASSERT_TRUE(writeRunText(source, runs[i], [&text](std::string_view piece) {
                            text += piece;
                        }).ok());
            EXPECT_EQ(text, c.texts[i]);
        }
    }
}

}  // namespace
}  // namespace tessaloom
