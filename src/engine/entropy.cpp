#include "entropy.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "file_reader.h"

namespace tessaloom {

namespace {

// The natural logarithm of 2, written out so that every build divides by the same double.
constexpr double kLn2 = 0.6931471805599453;
constexpr std::size_t kBlockSize = Analyzer::kBlockSize;
// Full blocks counted and summed side by side.
constexpr std::size_t kGroupSize = 4;

// The same for one block: it holds at most 1024 bytes, so 16 bits do, and keep the table small.
using BlockCounts = std::array<std::uint16_t, 256>;
using GroupCounts = std::array<BlockCounts, kGroupSize>;
// The offsets of the full blocks of a group.
using GroupOffsets = std::array<std::size_t, kGroupSize>;

// One byte value's part of the entropy. The order of the operations decides the last bits of
// the result, so every entropy this program computes is made of these terms.
double entropyTerm(std::uint64_t count, std::uint64_t length) {
    const double p = static_cast<double>(count) / static_cast<double>(length);
    return (std::log(p) / kLn2) * p;
}

// Subtracts the term of each byte value in ascending order of the values: the order fixes the
// rounding, so it is the same for every range. A count of 0 adds no term: subtracting +0.0 would
// leave every bit of the sum as it was.
template <typename Counts>
double sumOfTerms(const Counts& counts, std::uint64_t length) {
    double sum = 0.0;
    for (const std::uint64_t count : counts) {
        if (count != 0) {
            sum -= entropyTerm(count, length);
        }
    }
    return sum;
}

// The term of every count that a full block can hold, made once (+0.0 for a count of 0). A full
// block's entropy then takes no logarithm and no branch, with the same bits as when each term is
// computed afresh.
const std::array<double, kBlockSize + 1>& fullBlockTerms() {
    static const std::array<double, kBlockSize + 1> terms = [] {
        std::array<double, kBlockSize + 1> table{};
        for (std::size_t count = 1; count <= kBlockSize; ++count) {
            table[count] = entropyTerm(count, kBlockSize);
        }
        return table;
    }();
    return terms;
}

// Whether every byte of the block is the same (zero padding): each byte equals the next.
bool isUniform(ByteView block) {
    return std::memcmp(block.data(), block.data() + 1, block.size() - 1) == 0;
}

BlockCounts countBlock(ByteView block) {
    BlockCounts counts{};
    for (const std::uint8_t byte : block) {
        ++counts[byte];
    }
    return counts;
}

// Full blocks that are counted together and then added up together.
struct Group {
    GroupOffsets offsets{};
    GroupCounts counts{};
    std::size_t size = 0;
};

using GroupSums = std::array<double, kGroupSize>;

// Adds the counts of one byte value of the blocks of a counted group to total, and subtracts
// their terms from sums. Each block's terms are subtracted in the same order as everywhere else,
// so each block's entropy gets the same bits as on its own, but the blocks' sums are interleaved:
// none waits for another.
void addValue(const Group& group, std::size_t value, ByteCounts& total, GroupSums& sums) {
    const auto& terms = fullBlockTerms();
    for (std::size_t block = 0; block < kGroupSize; ++block) {
        total[value] += group.counts[block][value];
        sums[block] -= terms[group.counts[block][value]];
    }
}

// Counts the full blocks of `counting`, one table each, eight bytes of each block read at a time
// and the blocks taking turns byte by byte: consecutive increments of one table lie far apart, so
// a run of one byte value does not make each wait for the one before. Meanwhile adds up
// `counted`, the group counted before, two byte values per eight bytes counted: the subtractions,
// which must follow one another, then run in the shadow of the counting. Returns the entropies of
// the blocks of `counted`.
GroupSums countGroup(ByteView data, Group& counting, const Group& counted, ByteCounts& total) {
    static_assert(kBlockSize / 8 * 2 == 256, "two byte values per step cover all 256");
    for (BlockCounts& table : counting.counts) {
        table.fill(0);
    }
    GroupSums sums{};
    for (std::size_t i = 0; i < kBlockSize; i += 8) {
        std::array<std::uint64_t, kGroupSize> words;
        for (std::size_t block = 0; block < kGroupSize; ++block) {
            std::memcpy(&words[block], data.data() + counting.offsets[block] + i,
                        sizeof words[block]);
        }
        for (std::size_t shift = 0; shift < 64; shift += 8) {
            for (std::size_t block = 0; block < kGroupSize; ++block) {
                ++counting.counts[block][(words[block] >> shift) & 0xFF];
            }
        }
        const std::size_t step = i / 8;
        addValue(counted, 2 * step, total, sums);
        addValue(counted, 2 * step + 1, total, sums);
    }
    return sums;
}

// Puts the entropies of the blocks of a group where they belong, when they are wanted.
void storeEntropies(const Group& group, const GroupSums& sums, std::span<double> entropies) {
    if (!entropies.empty()) {
        for (std::size_t block = 0; block < group.size; ++block) {
            entropies[group.offsets[block] / kBlockSize] = sums[block];
        }
    }
}

// Counts a block on its own, adds its counts to total and, when entropies are wanted, sets its
// entropy: for the blocks left over after the last group, and a short last block.
void addBlock(ByteView data, std::size_t offset, ByteCounts& total, std::span<double> entropies) {
    const ByteView block = data.subspan(offset, std::min(kBlockSize, data.size() - offset));
    const BlockCounts counts = countBlock(block);
    for (std::size_t value = 0; value < total.size(); ++value) {
        total[value] += counts[value];
    }
    if (!entropies.empty()) {
        entropies[offset / kBlockSize] = sumOfTerms(counts, block.size());
    }
}

// The counts of the whole of data, made in one pass; when entropies is not empty (one element
// per block of kBlockSize bytes, the last one possibly shorter) it receives the entropy of each
// block. Full blocks go through in groups, each group added up while the next one is counted. A
// block of one repeated value (zero padding) is recognised at once and left out of the groups:
// its entropy is that of its one term, the others being 0.
ByteCounts countBlocks(ByteView data, std::span<double> entropies) {
    ByteCounts total{};
    std::array<Group, 2> groups;
    Group* counting = &groups[0];
    Group* counted = &groups[1];  // empty at first: adding it up adds nothing
    std::size_t offset = 0;
    for (; data.size() - offset >= kBlockSize; offset += kBlockSize) {
        const ByteView block = data.subspan(offset, kBlockSize);
        if (isUniform(block)) {
            total[block[0]] += kBlockSize;
            if (!entropies.empty()) {
                entropies[offset / kBlockSize] = 0.0 - fullBlockTerms()[kBlockSize];
            }
            continue;
        }
        counting->offsets[counting->size++] = offset;
        if (counting->size == kGroupSize) {
            storeEntropies(*counted, countGroup(data, *counting, *counted, total), entropies);
            counted->size = 0;
            std::swap(counting, counted);
        }
    }
    GroupSums sums{};
    for (std::size_t value = 0; value < 256; ++value) {
        addValue(*counted, value, total, sums);
    }
    storeEntropies(*counted, sums, entropies);
    for (std::size_t block = 0; block < counting->size; ++block) {
        addBlock(data, counting->offsets[block], total, entropies);
    }
    if (offset < data.size()) {
        addBlock(data, offset, total, entropies);
    }
    return total;
}

}  // namespace

// Four tables take the bytes of each word in turn, so that a run of one value does not make each
// increment wait for the one before it. A table's 32-bit counters hold the counts of a quarter of
// a piece.
void addByteCounts(ByteView bytes, ByteCounts& total) {
    constexpr std::size_t kPiece = std::size_t{1} << 30;
    for (std::size_t start = 0; start < bytes.size(); start += kPiece) {
        const ByteView piece = bytes.subspan(start, std::min(kPiece, bytes.size() - start));
        std::array<std::array<std::uint32_t, 256>, 4> tables{};
        std::size_t i = 0;
        for (; i + 8 <= piece.size(); i += 8) {
            std::uint64_t word;
            std::memcpy(&word, piece.data() + i, sizeof word);
            for (std::size_t shift = 0; shift < 64; shift += 8) {
                ++tables[(shift / 8) % 4][(word >> shift) & 0xFF];
            }
        }
        for (; i < piece.size(); ++i) {
            ++tables[0][piece[i]];
        }
        for (std::size_t value = 0; value < 256; ++value) {
            total[value] += std::uint64_t{tables[0][value]} + tables[1][value] + tables[2][value] +
                            tables[3][value];
        }
    }
}

double entropyOfCounts(const ByteCounts& counts, std::uint64_t length) {
    return length == 0 ? 0.0 : sumOfTerms(counts, length);
}

double computeEntropy(const std::uint8_t* data, std::uint64_t length) {
    if (data == nullptr || length == 0) {
        return 0.0;
    }
    ByteCounts counts{};
    addByteCounts(ByteView(data, static_cast<std::size_t>(length)), counts);
    return entropyOfCounts(counts, length);
}

void Analyzer::write(ByteView bytes) {
    length_ += bytes.size();
    sampler_.write(bytes);
    if (blocks_ == BlockEntropies::kSkipped) {
        addByteCounts(bytes, counts_);
    } else {
        // The whole data's counts are the sums of the blocks' counts: each block is counted once.
        wholeBlocks_.write(bytes, [this](ByteView blocks) { addBlocks(blocks); });
    }
}

// Counts whole blocks, the last of them possibly short, and notes their entropies.
void Analyzer::addBlocks(ByteView blocks) {
    const std::size_t first = blockEntropies_.size();
    blockEntropies_.resize(first + (blocks.size() + kBlockSize - 1) / kBlockSize);
    const ByteCounts counts = countBlocks(blocks, std::span(blockEntropies_).subspan(first));
    for (std::size_t value = 0; value < counts_.size(); ++value) {
        counts_[value] += counts[value];
    }
}

AnalysisReport Analyzer::finish(std::string path) {
    AnalysisReport report;
    report.path = std::move(path);
    report.fileSize = length_;
    if (length_ == 0) {
        report.typeName = "Empty File";
        return report;
    }
    if (!wholeBlocks_.rest().empty()) {
        addBlocks(wholeBlocks_.rest());
        wholeBlocks_.clear();
    }
    report.entropy = entropyOfCounts(counts_, length_);
    report.headers = sampler_.detect(report.typeName);
    report.blockEntropies = std::move(blockEntropies_);
    return report;
}

AnalysisReport analyzeFile(FileReader& reader, BlockEntropies blocks) {
    Analyzer analyzer(blocks);
    forEachChunk(reader, [&analyzer](ByteView chunk) { analyzer.write(chunk); });
    return analyzer.finish(reader.path());
}

AnalysisReport analyzeFile(const std::string& path, BlockEntropies blocks) {
    FileReader reader(path);
    return analyzeFile(reader, blocks);
}

}  // namespace tessaloom
