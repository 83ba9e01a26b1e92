// Hex dump: the out-of-bounds line exactly when the offset is not inside the data; otherwise
// ceil(count / 16) lines of 78 characters and a newline, each showing its offset, its bytes and
// its sidebar at their fixed columns.
#include <algorithm>
#include <cstdio>
#include <string>

#include "engine/file_reader.h"
#include "engine/hex_dump.h"
#include "fuzz_support.h"
#include "support/in_memory.h"

namespace {

using tessaloom::ByteView;
using tessaloom::fuzz::check;

constexpr std::size_t kLineLength = 79;

// Column of byte position i (0 to 15) in a line: 8 offset digits and 2 spaces come first, three
// characters per byte, and one extra space before position 8.
std::size_t byteColumn(std::size_t i) {
    return 10 + 3 * i + (i >= 8 ? 1 : 0);
}

void checkLine(std::string_view line, std::uint64_t lineOffset, ByteView bytes) {
    char offsetText[17];
    std::snprintf(offsetText, sizeof offsetText, "%08llX",
                  static_cast<unsigned long long>(lineOffset));
    check(line.substr(0, 8) == offsetText, "the line starts with its offset");
    check(line.substr(8, 2) == "  " && line.substr(59, 2) == " |" && line[77] == '|' &&
              line[78] == '\n',
          "the separators stand at fixed columns");
    check(line[byteColumn(8) - 1] == ' ', "an extra space stands before position 8");
    for (std::size_t i = 0; i < 16; ++i) {
        char expected[4] = "   ";
        char sidebar = ' ';
        if (i < bytes.size()) {
            std::snprintf(expected, sizeof expected, "%02X ", bytes[i]);
            sidebar = tessaloom::isPrintableAscii(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
        }
        check(line.substr(byteColumn(i), 3) == expected, "each byte column shows its byte");
        check(line[61 + i] == sidebar, "the sidebar shows printable bytes and dots");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tessaloom::fuzz::FuzzInput input(data, size);
    const std::uint8_t cut = input.byte();
    const std::uint8_t flags = input.byte();
    std::uint64_t offset = input.byte();
    std::uint64_t length = input.byte() | (std::uint64_t{input.byte()} << 8);
    if (flags & 1) {
        length = UINT64_MAX - length;  // LEN beyond any file
    }
    if (flags & 2) {
        offset = UINT64_MAX - offset;  // OFFSET beyond any file
    }
    const ByteView bytes = input.rest();
    const std::string text = tessaloom::hexDump(bytes, offset, length);
    const std::string path = tessaloom::fuzz::scratchPath("input");
    tessaloom::fuzz::writeFile(path, bytes);
    tessaloom::FileReader reader(path, tessaloom::fuzz::chunkSizeFrom(cut));
    std::string read;
    tessaloom::writeHexDump(reader, offset, length,
                            [&read](std::string_view part) { read += part; });
    check(read == text, "read in chunks, the file gives the same dump");

    if (offset >= bytes.size()) {
        check(text == tessaloom::kOffsetOutOfBounds, "an offset outside gives the one line");
        return 0;
    }
    const std::uint64_t count = std::min<std::uint64_t>(length, bytes.size() - offset);
    std::string pieced;
    tessaloom::TextSink sink = [&pieced](std::string_view part) { pieced += part; };
    tessaloom::HexDumpWriter writer(offset, sink);
    tessaloom::fuzz::forEachRandomPiece(bytes.subspan(offset, count), cut,
                                        [&writer](ByteView piece) { writer.write(piece); });
    writer.finish();
    check(pieced == text, "the window cut into pieces gives the same dump");
    const std::uint64_t lines = (count + 15) / 16;
    check(text.size() == lines * kLineLength, "ceil(count / 16) lines of 79 characters");
    for (std::uint64_t k = 0; k < lines; ++k) {
        const std::uint64_t done = 16 * k;
        checkLine(std::string_view(text).substr(k * kLineLength, kLineLength), offset + done,
                  bytes.subspan(offset + done, std::min<std::uint64_t>(16, count - done)));
    }
    return 0;
}
