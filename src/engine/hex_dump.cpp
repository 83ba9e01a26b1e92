#include "hex_dump.h"

#include <algorithm>
#include <array>

#include "file_io.h"

namespace tessaloom {

namespace {

constexpr std::size_t kBytesPerLine = 16;
constexpr std::size_t kBlockSize = std::size_t{1} << 16;
// 16 offset digits, 2 spaces, 49 byte columns, " |", 16 sidebar characters, "|\n".
constexpr std::size_t kMaxLineLength = 16 + 2 + 49 + 2 + 16 + 2;

constexpr char kUpperHexDigits[] = "0123456789ABCDEF";

// Every byte's two upper-case hexadecimal digits, so that formatting a byte is a copy.
constexpr auto kHexPairs = [] {
    std::array<std::array<char, 2>, 256> pairs{};
    for (std::size_t value = 0; value < 256; ++value) {
        pairs[value] = {kUpperHexDigits[value >> 4], kUpperHexDigits[value & 0xF]};
    }
    return pairs;
}();

// Upper-case hexadecimal, zero-padded to at least 8 digits.
char* writeLineOffset(char* out, std::uint64_t offset) {
    int digits = 8;
    while (digits < 16 && (offset >> (4 * digits)) != 0) {
        ++digits;
    }
    for (int i = digits - 1; i >= 0; --i) {
        *out++ = kUpperHexDigits[(offset >> (4 * i)) & 0xF];
    }
    return out;
}

// Formats one line of 1 to 16 bytes into out and returns its length.
std::size_t formatLine(char* out, std::uint64_t lineOffset, const std::uint8_t* bytes,
                       std::size_t count) {
    char* p = writeLineOffset(out, lineOffset);
    *p++ = ' ';
    *p++ = ' ';
    for (std::size_t i = 0; i < kBytesPerLine; ++i) {
        if (i == 8) {
            *p++ = ' ';
        }
        if (i < count) {
            p[0] = kHexPairs[bytes[i]][0];
            p[1] = kHexPairs[bytes[i]][1];
        } else {
            p[0] = ' ';
            p[1] = ' ';
        }
        p[2] = ' ';
        p += 3;
    }
    *p++ = ' ';
    *p++ = '|';
    for (std::size_t i = 0; i < kBytesPerLine; ++i) {
        if (i >= count) {
            *p++ = ' ';
        } else {
            *p++ = isPrintableAscii(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
        }
    }
    *p++ = '|';
    *p++ = '\n';
    return static_cast<std::size_t>(p - out);
}

}  // namespace

void writeHexDump(ByteView data, std::uint64_t offset, std::uint64_t length, const TextSink& sink) {
    if (offset >= data.size()) {
        sink(kOffsetOutOfBounds);
        return;
    }
    const std::uint64_t count = std::min<std::uint64_t>(length, data.size() - offset);
    std::string block;
    block.reserve(kBlockSize + kMaxLineLength);
    char line[kMaxLineLength];
    for (std::uint64_t done = 0; done < count; done += kBytesPerLine) {
        const auto lineCount =
            static_cast<std::size_t>(std::min<std::uint64_t>(kBytesPerLine, count - done));
        block.append(line, formatLine(line, offset + done, data.data() + offset + done, lineCount));
        if (block.size() >= kBlockSize) {
            sink(block);
            block.clear();
        }
    }
    if (!block.empty()) {
        sink(block);
    }
}

std::string hexDump(ByteView data, std::uint64_t offset, std::uint64_t length) {
    std::string text;
    writeHexDump(data, offset, length, [&text](std::string_view part) { text.append(part); });
    return text;
}

std::string hexDump(const std::string& path, std::uint64_t offset, std::uint64_t length) {
    return hexDump(loadFile(path), offset, length);
}

}  // namespace tessaloom
