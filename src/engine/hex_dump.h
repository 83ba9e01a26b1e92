// Hex dump: offset, sixteen byte columns and an ASCII sidebar per line.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "types.h"
#include "whole_units.h"

namespace tessaloom {

class FileReader;

// The whole text of a dump whose offset lies at or past the end of the data.
inline constexpr std::string_view kOffsetOutOfBounds = "(Offset out of bounds)\n";

// Formats the lines of a dump from the bytes of its window as they come, in pieces of any size,
// and hands the text to the sink in large blocks: a dump of any size needs only a small, fixed
// amount of memory.
class HexDumpWriter {
  public:
    // offset is the position of the window's first byte; sink must outlive the writer.
    HexDumpWriter(std::uint64_t offset, const TextSink& sink);

    // The next bytes of the window.
    void write(ByteView bytes);

    // Formats the short last line, if any, and hands on the rest of the text.
    void finish();

  private:
    void writeLines(ByteView bytes);

    const TextSink& sink_;
    std::uint64_t lineOffset_;
    std::string block_;
    std::size_t used_ = 0;
    WholeUnits<16> lines_;
};

// Formats the dump of up to length bytes from offset on of the input that reader reads, a chunk at a
// time, and hands it to sink in blocks: it seeks to offset where the input
// can seek, and reads nothing past the window. An input that cannot be read writes nothing; the
// reader's error says why.
void writeHexDump(FileReader& reader, std::uint64_t offset, std::uint64_t length,
                  const TextSink& sink);

// The dump of the file at path as one string; a file that cannot be read counts as empty.
std::string hexDump(const std::string& path, std::uint64_t offset, std::uint64_t length);

}  // namespace tessaloom
