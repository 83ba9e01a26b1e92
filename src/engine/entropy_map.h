// The entropy map of an input: its bytes cut into rows, each row measured and classed, the rows
// of one class merged into regions, and the edges where the entropy rises and falls.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "entropy.h"
#include "types.h"

namespace tessaloom {

class FileReader;

// What a stretch of bytes most likely holds, judged from its byte counts alone.
enum class ByteClass {
    kZeros,                // every byte 0
    kFill,                 // one other value repeated
    kText,                 // printable ASCII, tabs and line ends
    kCodeData,             // anything between: machine code, tables, headers
    kCompressed,           // high entropy, but bytes too unevenly spread for random data
    kCompressedEncrypted,  // high entropy that cannot be told from random data
};

// "zeros", "fill", "text", "code/data", "compressed", "compressed/encrypted".
std::string_view byteClassName(ByteClass byteClass);

// What the byte counts of a stretch show.
struct ByteStatistics {
    std::uint64_t length = 0;
    double entropy = 0.0;         // Shannon entropy, bits per byte (entropyOfCounts)
    double chiSquare = 0.0;       // against bytes spread evenly over the 256 values
    double printableShare = 0.0;  // of printable ASCII, tabs and line ends, 0 to 1
    ByteClass byteClass = ByteClass::kZeros;
};

// The statistics and class of length bytes with these counts. Entropy is judged with the bias of
// a short sample taken out (the Miller-Madow correction), so that 1024 random bytes, whose
// entropy is about 7.8, count as high; at 7.5 bits per byte and above a stretch is compressed
// where its chi-square says that random bytes would almost never be spread so unevenly (beyond
// the 0.01% point of 255 degrees of freedom), and compressed/encrypted otherwise. A stretch of at
// least 90% text bytes is text.
ByteStatistics byteStatistics(const ByteCounts& counts, std::uint64_t length);

// The class alone, for a caller that draws it (the viewer's entropy strip).
ByteClass classifyBytes(const ByteCounts& counts, std::uint64_t length);

// One row of a map: a stretch of the input and its statistics.
struct MapRow {
    std::uint64_t offset = 0;
    ByteStatistics statistics;
};

// Rows of one class that follow one another, with the entropy of all their bytes together.
struct MapRegion {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    ByteClass byteClass = ByteClass::kZeros;
    double entropy = 0.0;
};

// Where the entropy of the rows crosses binwalk's thresholds: rising at 0.95 of 8 bits per byte,
// falling at 0.85, each reported once until the other is (binwalk -E's edges, over the rows).
struct EntropyEdge {
    std::uint64_t offset = 0;
    bool rising = false;
    double entropy = 0.0;  // the row's, in bits per byte
};

// The row size of a map: as many whole 1024-byte blocks as keep an input of known size to at most
// 64 rows, and 1 MiB for a stream.
std::uint64_t defaultRowSize(std::optional<std::uint64_t> inputSize);

// Maps data that arrives in pieces of any size, rows of rowSize bytes (the last one may be
// shorter): each row goes to onRow as soon as it is whole, and the regions and edges grow with
// them. Only the counts of one row and one region are kept, besides the regions and edges.
class EntropyMapper {
  public:
    using RowCallback = std::function<void(const MapRow&)>;

    EntropyMapper(std::uint64_t rowSize, RowCallback onRow);

    void write(ByteView bytes);
    // Ends the last row, however short, and the last region.
    void finish();

    std::uint64_t rowSize() const { return rowSize_; }
    std::uint64_t length() const { return length_; }
    const std::vector<MapRegion>& regions() const { return regions_; }
    const std::vector<EntropyEdge>& edges() const { return edges_; }

  private:
    void endRow();
    void endRegion();

    std::uint64_t rowSize_;
    RowCallback onRow_;
    std::uint64_t length_ = 0;
    ByteCounts rowCounts_{};
    std::uint64_t rowLength_ = 0;
    ByteCounts regionCounts_{};
    std::optional<MapRegion> region_;  // the region the rows so far end in
    std::vector<MapRegion> regions_;
    std::vector<EntropyEdge> edges_;
    bool armed_ = true;  // whether an edge may be reported again (binwalk's trigger reset)
};

// Maps the input that reader reads, to its end: the mapper's rows go to its callback as they are
// made. Throws ReadError when a read fails part way.
void mapEntropy(FileReader& reader, EntropyMapper& mapper);

}  // namespace tessaloom
