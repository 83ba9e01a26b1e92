// Shannon entropy and the structural analysis of one file.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "format_detect.h"
#include "types.h"
#include "whole_units.h"

namespace tessaloom {

class FileReader;

// Shannon entropy of length bytes at data, in bits per byte (0 to 8); 0 for null or no bytes.
double computeEntropy(const std::uint8_t* data, std::uint64_t length);

// How often each byte value occurs.
using ByteCounts = std::array<std::uint64_t, 256>;

// Adds how often each byte value occurs in bytes to counts, fast whatever the bytes.
void addByteCounts(ByteView bytes, ByteCounts& counts);

// The Shannon entropy of length bytes that counts describe, in bits per byte: every entropy this
// program reports is computed here, term by term in the same order, so that the same bytes give
// the same bits everywhere. 0 for no bytes.
double entropyOfCounts(const ByteCounts& counts, std::uint64_t length);

// Whether an analysis computes the entropy of every 1024-byte block: a report that does not show
// them need not pay for them, nor hold one double per KiB of a file of any size.
enum class BlockEntropies { kComputed, kSkipped };

// Analyses data that arrives in pieces of any size: counts its bytes, computes the entropy of
// each 1024-byte block when asked (the bits do not depend on how the data is cut), and keeps what
// format detection needs.
class Analyzer {
  public:
    explicit Analyzer(BlockEntropies blocks = BlockEntropies::kComputed) : blocks_(blocks) {}

    // The next bytes of the data.
    void write(ByteView bytes);

    // The report on everything written, for the file at path.
    AnalysisReport finish(std::string path);

    static constexpr std::size_t kBlockSize = 1024;

  private:
    void addBlocks(ByteView blocks);

    BlockEntropies blocks_;
    ByteCounts counts_{};
    std::uint64_t length_ = 0;
    FormatSampler sampler_;
    std::vector<double> blockEntropies_;
    // Blocks that straddle two pieces are gathered first.
    WholeUnits<kBlockSize> wholeBlocks_;
};

// Reads the input that reader reads, a chunk at a time, to its end and reports its size, entropy,
// type, header rows and, unless skipped, the entropy of each 1024-byte block. An input that cannot
// be read is analysed as an empty one (the reader's error says why). The report names the
// reader's path.
AnalysisReport analyzeFile(FileReader& reader, BlockEntropies blocks = BlockEntropies::kComputed);

// The same for the file at path.
AnalysisReport analyzeFile(const std::string& path,
                           BlockEntropies blocks = BlockEntropies::kComputed);

}  // namespace tessaloom
