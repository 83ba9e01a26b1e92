#include "hex_dump.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "file_reader.h"
#include "hex_text.h"

namespace tessaloom {

namespace {

constexpr std::size_t kBytesPerLine = 16;
// Text is handed on in blocks of about this size.
constexpr std::size_t kBlockSize = std::size_t{1} << 16;
// 16 offset digits, 2 spaces, 49 byte columns, " |", 16 sidebar characters, "|\n".
constexpr std::size_t kMaxLineLength = 16 + 2 + 49 + 2 + 16 + 2;

// Every byte's column: two upper-case hexadecimal digits and a space, and a fourth character so
// that a column is one 4-byte copy; the next column overwrites it.
constexpr auto kHexColumns = [] {
    std::array<std::array<char, 4>, 256> columns{};
    for (std::size_t value = 0; value < 256; ++value) {
        columns[value] = {kUpperHexDigits[value >> 4], kUpperHexDigits[value & 0xF], ' ', ' '};
    }
    return columns;
}();
constexpr std::array<char, 4> kBlankColumn{' ', ' ', ' ', ' '};

constexpr std::uint64_t kEightDots = 0x2E2E2E2E2E2E2E2Eu;  // "........"

// The sidebar of 16 bytes, eight at a time: each printable byte as it is, each other one as '.'.
void writeFullSidebar(char* out, const std::uint8_t* bytes) {
    for (std::size_t half = 0; half < kBytesPerLine; half += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + half, sizeof word);
        const std::uint64_t printable = (printableHighBits(word) >> 7) * 0xFF;
        word = (word & printable) | (kEightDots & ~printable);
        std::memcpy(out + half, &word, sizeof word);
    }
}

// Upper-case hexadecimal, zero-padded to at least 8 digits.
char* writeLineOffset(char* out, std::uint64_t offset) {
    if (offset <= 0xFFFFFFFF) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            std::memcpy(out, kHexColumns[(offset >> shift) & 0xFF].data(), 2);
            out += 2;
        }
        return out;
    }
    int digits = 8;
    while (digits < 16 && (offset >> (4 * digits)) != 0) {
        ++digits;
    }
    for (int i = digits - 1; i >= 0; --i) {
        *out++ = kUpperHexDigits[(offset >> (4 * i)) & 0xF];
    }
    return out;
}

// Formats one line of 1 to 16 bytes at out and returns the end of the line. The bytes of a
// full line are laid out without a test per byte.
char* formatLine(char* out, std::uint64_t lineOffset, const std::uint8_t* bytes,
                 std::size_t count) {
    char* p = writeLineOffset(out, lineOffset);
    *p++ = ' ';
    *p++ = ' ';
    for (std::size_t i = 0; i < kBytesPerLine; ++i) {
        if (i == 8) {
            *p++ = ' ';
        }
        const auto& column =
            count == kBytesPerLine || i < count ? kHexColumns[bytes[i]] : kBlankColumn;
        std::memcpy(p, column.data(), column.size());
        p += 3;
    }
    *p++ = ' ';
    *p++ = '|';
    if (count == kBytesPerLine) {
        writeFullSidebar(p, bytes);
    } else {
        for (std::size_t i = 0; i < kBytesPerLine; ++i) {
            p[i] = i >= count                   ? ' '
                   : isPrintableAscii(bytes[i]) ? static_cast<char>(bytes[i])
                                                : '.';
        }
    }
    p += kBytesPerLine;
    *p++ = '|';
    *p++ = '\n';
    return p;
}

}  // namespace

HexDumpWriter::HexDumpWriter(std::uint64_t offset, const TextSink& sink)
    : sink_(sink), lineOffset_(offset), block_(kBlockSize + kMaxLineLength, '\0') {}

void HexDumpWriter::write(ByteView bytes) {
    lines_.write(bytes, [this](ByteView lines) { writeLines(lines); });
}

void HexDumpWriter::finish() {
    writeLines(lines_.rest());
    lines_.clear();
    if (used_ > 0) {
        sink_({block_.data(), used_});
        used_ = 0;
    }
}

// Formats the lines of bytes, of which only the last may be short, straight into the block, which
// is handed on whenever it is full. The positions are kept in locals while the lines are made:
// the text written through a char pointer could otherwise be the members themselves.
void HexDumpWriter::writeLines(ByteView bytes) {
    char* const begin = block_.data();
    char* end = begin + used_;
    std::uint64_t lineOffset = lineOffset_;
    for (std::size_t done = 0; done < bytes.size(); done += kBytesPerLine) {
        const std::size_t count = std::min(kBytesPerLine, bytes.size() - done);
        end = formatLine(end, lineOffset, bytes.data() + done, count);
        lineOffset += count;
        if (static_cast<std::size_t>(end - begin) >= kBlockSize) {
            // Blocks of exactly kBlockSize bytes, a whole number of pages, go out as they are
            // through buffered output; the part of the line beyond starts the next block.
            sink_({begin, kBlockSize});
            const std::size_t rest = static_cast<std::size_t>(end - begin) - kBlockSize;
            std::memmove(begin, begin + kBlockSize, rest);
            end = begin + rest;
        }
    }
    used_ = static_cast<std::size_t>(end - begin);
    lineOffset_ = lineOffset;
}

void writeHexDump(FileReader& reader, std::uint64_t offset, std::uint64_t length,
                  const TextSink& sink) {
    reader.skipTo(offset);
    // A window of no bytes shows nothing, but only a byte read tells whether the offset is inside.
    const std::uint64_t shown = std::max<std::uint64_t>(length, 1);
    reader.stopAt(offset + std::min(shown, UINT64_MAX - offset));
    HexDumpWriter writer(offset, sink);
    bool inside = false;
    while (reader.fill()) {
        const std::span<std::uint8_t> bytes = reader.buffered();
        inside = true;
        if (length > 0) {
            writer.write(bytes);
        }
        reader.consume(bytes.size());
    }
    // An input that could not be read at all shows nothing: its caller says why.
    if (!inside && !reader.error()) {
        sink(kOffsetOutOfBounds);
        return;
    }
    writer.finish();
}

std::string hexDump(const std::string& path, std::uint64_t offset, std::uint64_t length) {
    std::string text;
    const TextSink sink = [&text](std::string_view part) { text.append(part); };
    FileReader reader(path);
    writeHexDump(reader, offset, length, sink);
    if (reader.error()) {
        sink(kOffsetOutOfBounds);
    }
    return text;
}

}  // namespace tessaloom
