#include "entropy_map.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "file_reader.h"

namespace tessaloom {

namespace {

constexpr std::uint64_t kBlockSize = 1024;
constexpr std::uint64_t kRows = 64;
constexpr std::uint64_t kStreamRowSize = std::uint64_t{1} << 20;

constexpr double kLn2 = 0.6931471805599453;
constexpr double kHighEntropy = 7.5;
constexpr double kTextShare = 0.9;
// The chi-square that random bytes exceed once in 10000 times, with 255 degrees of freedom.
constexpr double kUnevenChiSquare = 347.7;
// binwalk's thresholds, as shares of 8 bits per byte.
constexpr double kRisingEdge = 0.95;
constexpr double kFallingEdge = 0.85;

constexpr std::array<std::string_view, 6> kClassNames = {
    "zeros", "fill", "text", "code/data", "compressed", "compressed/encrypted"};

bool isTextByte(std::size_t value) {
    return isPrintableAscii(static_cast<std::uint8_t>(value)) || value == '\t' || value == '\n' ||
           value == '\r';
}

}  // namespace

std::string_view byteClassName(ByteClass byteClass) {
    return kClassNames[static_cast<std::size_t>(byteClass)];
}

ByteStatistics byteStatistics(const ByteCounts& counts, std::uint64_t length) {
    ByteStatistics statistics;
    statistics.length = length;
    if (length == 0) {
        return statistics;
    }
    statistics.entropy = entropyOfCounts(counts, length);
    const double expected = static_cast<double>(length) / 256.0;
    std::uint64_t text = 0;
    std::size_t values = 0;
    for (std::size_t value = 0; value < counts.size(); ++value) {
        const double difference = static_cast<double>(counts[value]) - expected;
        statistics.chiSquare += difference * difference / expected;
        text += isTextByte(value) ? counts[value] : 0;
        values += counts[value] != 0 ? 1u : 0u;
    }
    statistics.printableShare = static_cast<double>(text) / static_cast<double>(length);
    // A sample of n bytes shows an entropy lower than its source's by about (values - 1) / 2n
    // nats: short rows of random bytes must still count as high.
    const double corrected = statistics.entropy + static_cast<double>(values - 1) /
                                                      (2.0 * static_cast<double>(length) * kLn2);
    if (values == 1) {
        statistics.byteClass = counts[0] != 0 ? ByteClass::kZeros : ByteClass::kFill;
    } else if (statistics.printableShare >= kTextShare) {
        statistics.byteClass = ByteClass::kText;
    } else if (corrected >= kHighEntropy) {
        statistics.byteClass = statistics.chiSquare > kUnevenChiSquare
                                   ? ByteClass::kCompressed
                                   : ByteClass::kCompressedEncrypted;
    } else {
        statistics.byteClass = ByteClass::kCodeData;
    }
    return statistics;
}

ByteClass classifyBytes(const ByteCounts& counts, std::uint64_t length) {
    return byteStatistics(counts, length).byteClass;
}

std::uint64_t defaultRowSize(std::optional<std::uint64_t> inputSize) {
    if (!inputSize) {
        return kStreamRowSize;
    }
    const std::uint64_t blocks = *inputSize / kBlockSize + (*inputSize % kBlockSize != 0);
    return std::max<std::uint64_t>(1, blocks / kRows + (blocks % kRows != 0)) * kBlockSize;
}

EntropyMapper::EntropyMapper(std::uint64_t rowSize, RowCallback onRow)
    : rowSize_(std::max<std::uint64_t>(rowSize, 1)), onRow_(std::move(onRow)) {}

void EntropyMapper::write(ByteView bytes) {
    while (!bytes.empty()) {
        const auto taken =
            static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), rowSize_ - rowLength_));
        addByteCounts(bytes.first(taken), rowCounts_);
        rowLength_ += taken;
        length_ += taken;
        bytes = bytes.subspan(taken);
        if (rowLength_ == rowSize_) {
            endRow();
        }
    }
}

void EntropyMapper::finish() {
    if (rowLength_ > 0) {
        endRow();
    }
    endRegion();
}

void EntropyMapper::endRow() {
    const MapRow row{length_ - rowLength_, byteStatistics(rowCounts_, rowLength_)};
    const ByteClass byteClass = row.statistics.byteClass;
    if (region_ && region_->byteClass != byteClass) {
        endRegion();
    }
    if (!region_) {
        region_ = MapRegion{row.offset, 0, byteClass, 0.0};
    }
    region_->size += rowLength_;
    for (std::size_t value = 0; value < regionCounts_.size(); ++value) {
        regionCounts_[value] += rowCounts_[value];
    }

    // binwalk's trigger: re-armed once the entropy leaves the side of the last edge, and firing
    // on a row past either threshold while armed.
    const double share = row.statistics.entropy / 8.0;
    if (edges_.empty() ? share > kFallingEdge || share < kRisingEdge
                       : (edges_.back().rising ? share < kRisingEdge : share > kFallingEdge)) {
        armed_ = true;
    }
    if (armed_ && (share >= kRisingEdge || share <= kFallingEdge)) {
        edges_.push_back({row.offset, share >= kRisingEdge, row.statistics.entropy});
        armed_ = false;
    }

    onRow_(row);
    rowCounts_.fill(0);
    rowLength_ = 0;
}

void EntropyMapper::endRegion() {
    if (region_) {
        region_->entropy = entropyOfCounts(regionCounts_, region_->size);
        regions_.push_back(*region_);
        region_.reset();
        regionCounts_.fill(0);
    }
}

void mapEntropy(FileReader& reader, EntropyMapper& mapper) {
    forEachChunk(reader, [&mapper](ByteView chunk) { mapper.write(chunk); });
    mapper.finish();
}

}  // namespace tessaloom
