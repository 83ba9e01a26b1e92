#include "engine/hex_dump.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#elif defined(__linux__)
#include <sys/mman.h>
#endif

#include "engine/chunked_file.h"
#include "engine/text_bytes.h"
#include "support/in_memory.h"

namespace tessaloom {
namespace {

ByteBuffer ascending(std::size_t count, std::uint8_t first = 0) {
    ByteBuffer data(count);
    for (std::size_t i = 0; i < count; ++i) {
        data[i] = static_cast<std::uint8_t>(first + i);
    }
    return data;
}

// The dump of the input that reader reads, as one string.
std::string hexDumpOf(FileReader& reader, std::uint64_t offset, std::uint64_t length) {
    std::string text;
    writeHexDump(reader, offset, length, [&text](std::string_view part) { text.append(part); });
    return text;
}

// The one-buffer dump, and the same through the file reader at every chunk size.
void expectDump(const ByteBuffer& data, std::uint64_t offset, std::uint64_t length,
                const std::string& expected) {
    EXPECT_EQ(hexDump(data, offset, length), expected);
    forEachChunkSize(data, [&](FileReader& reader, const TemporaryFile&) {
        EXPECT_EQ(hexDumpOf(reader, offset, length), expected);
    });
}

struct DumpCase {
    const char* name;
    ByteBuffer data;
    std::uint64_t offset;
    std::uint64_t length;
    std::string expected;
};

TEST(HexDumpTest, FormatsLinesExactly) {
    const DumpCase cases[] = {
        {"three bytes", textBytes("abc"), 0, 512,
         "00000000  61 62 63                                          |abc             |\n"},
        {"window inside", textBytes("abc"), 1, 1,
         "00000001  62                                                |b               |\n"},
        {"last byte", textBytes("abc"), 2, 512,
         "00000002  63                                                |c               |\n"},
        {"offset at size", textBytes("abc"), 3, 512, "(Offset out of bounds)\n"},
        {"empty data", {}, 0, 512, "(Offset out of bounds)\n"},
        {"length zero", textBytes("abc"), 0, 0, ""},
        {"sixteen bytes", ascending(16, 0x30), 0, 16,
         "00000000  30 31 32 33 34 35 36 37  38 39 3A 3B 3C 3D 3E 3F  |0123456789:;<=>?|\n"},
        {"seventeen bytes", ascending(17, 0x41), 0, 17,
         "00000000  41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  |ABCDEFGHIJKLMNOP|\n"
         "00000010  51                                                |Q               |\n"},
        {"sidebar characters", ByteBuffer{0x7F, 0xFF, 0x20, 0x7E, 0x0A, 0x00, 0x80, 0x1F, 0x41}, 0,
         9, "00000000  7F FF 20 7E 0A 00 80 1F  41                       |.. ~....A       |\n"},
        {"line starts at the offset", ascending(40), 5, 12,
         "00000005  05 06 07 08 09 0A 0B 0C  0D 0E 0F 10              |............    |\n"},
    };
    for (const DumpCase& c : cases) {
        SCOPED_TRACE(c.name);
        expectDump(c.data, c.offset, c.length, c.expected);
    }
}

// The dump as a plain formatter writes it, byte by byte with printf conversions.
std::string plainDump(const ByteBuffer& data, std::size_t offset, std::size_t length) {
    std::string text;
    const std::size_t end = std::min(data.size(), offset + length);
    for (std::size_t line = offset; line < end; line += 16) {
        char field[32];
        std::snprintf(field, sizeof field, "%08zX  ", line);
        text += field;
        std::string sidebar;
        for (std::size_t i = 0; i < 16; ++i) {
            text += i == 8 ? " " : "";
            if (line + i < end) {
                std::snprintf(field, sizeof field, "%02X ", data[line + i]);
                text += field;
                sidebar +=
                    isPrintableAscii(data[line + i]) ? static_cast<char>(data[line + i]) : '.';
            } else {
                text += "   ";
                sidebar += ' ';
            }
        }
        text += " |" + sidebar + "|\n";
    }
    return text;
}

TEST(HexDumpTest, AgreesWithAPlainFormatterForEveryByteAndLineLength) {
    ByteBuffer data = ascending(256);
    data.insert(data.end(), data.rbegin(), data.rend());
    for (const std::size_t offset : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 255u, 300u}) {
        for (std::size_t length = 1; length <= 40; ++length) {
            ASSERT_EQ(hexDump(data, offset, length), plainDump(data, offset, length))
                << "offset " << offset << ", length " << length;
        }
    }
    EXPECT_EQ(hexDump(data, 0, data.size()), plainDump(data, 0, data.size()));
    for (const std::size_t offset : {0u, 5u, 16u, 300u}) {
        expectDump(data, offset, data.size(), plainDump(data, offset, data.size()));
    }
}

TEST(HexDumpTest, EveryFullLineIs78CharactersAndOffsetsGrowPast8Digits) {
    const std::string text = hexDump(ascending(4096), 0, 4096);
    ASSERT_EQ(text.size(), 256u * 79u);
    for (std::size_t line = 0; line < 256; ++line) {
        EXPECT_EQ(text[line * 79 + 78], '\n');
    }
    EXPECT_EQ(text.substr(255 * 79, 8), "00000FF0");
}

// Many 64 KiB blocks of text, the lines that straddle them included, as the plain formatter
// writes them.
TEST(HexDumpTest, StreamsLargeDumpsInBlocks) {
    std::mt19937 random(5);
    ByteBuffer data((1 << 20) + 7);
    for (auto& byte : data) {
        byte = static_cast<std::uint8_t>(random());
    }
    std::string joined;
    std::size_t blocks = 0;
    writeHexDump(data, 3, data.size(), [&](std::string_view part) {
        ++blocks;
        joined.append(part);
    });
    EXPECT_GT(blocks, 16u);
    EXPECT_EQ(joined, plainDump(data, 3, data.size()));
}

// A read-only view of zero bytes whose pages are never touched and so cost no memory; empty when
// the mapping fails or the platform has no way to make it.
class UntouchedZeroPages {
  public:
    explicit UntouchedZeroPages(std::size_t size) : size_(size) {
#if defined(_WIN32)
        pages_ = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY);
#elif defined(__linux__)
        pages_ = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (pages_ == MAP_FAILED) {
            pages_ = nullptr;
        }
#endif
    }
    ~UntouchedZeroPages() {
        if (pages_ == nullptr) {
            return;
        }
#if defined(_WIN32)
        VirtualFree(pages_, 0, MEM_RELEASE);
#elif defined(__linux__)
        munmap(pages_, size_);
#endif
    }
    UntouchedZeroPages(const UntouchedZeroPages&) = delete;
    UntouchedZeroPages& operator=(const UntouchedZeroPages&) = delete;

    ByteView view() const {
        return pages_ == nullptr ? ByteView{}
                                 : ByteView(static_cast<const std::uint8_t*>(pages_), size_);
    }

  private:
    void* pages_ = nullptr;
    std::size_t size_;
};

TEST(HexDumpTest, OffsetsOf4GiBAndAboveUseNineDigits) {
#if !defined(_WIN32) && !defined(__linux__)
    GTEST_SKIP() << "no way known here to map 4 GiB of untouched zero pages on this platform";
#endif
    const UntouchedZeroPages pages((std::size_t{1} << 32) + 32);
    const ByteView data = pages.view();
    ASSERT_FALSE(data.empty()) << "4 GiB of untouched zero pages could not be mapped";
    EXPECT_EQ(hexDump(data, (std::uint64_t{1} << 32) - 8, 17),
              "FFFFFFF8  00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00  |................|\n"
              "100000008  00                                                |.               |\n");
}

}  // namespace
}  // namespace tessaloom
