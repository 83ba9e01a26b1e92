#include "entropy.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "file_io.h"
#include "format_detect.h"

namespace tessaloom {

namespace {

// The natural logarithm of 2, written out so that every build divides by the same double.
constexpr double kLn2 = 0.6931471805599453;
constexpr std::size_t kBlockSize = 1024;

// How often each byte value occurs in a range.
using ByteCounts = std::array<std::uint64_t, 256>;

// The counts of one block of at most kBlockSize bytes. Four tables take turns, so that a run of
// one byte value does not make every increment wait for the one before. None of them counts more
// than a few hundred bytes, so 16-bit counters do, and keep the tables small to clear and add up.
ByteCounts countBlock(ByteView block) {
    constexpr std::size_t kTables = 4;
    std::uint16_t tables[kTables][256] = {};
    std::size_t i = 0;
    for (; i + kTables <= block.size(); i += kTables) {
        for (std::size_t t = 0; t < kTables; ++t) {
            ++tables[t][block[i + t]];
        }
    }
    for (; i < block.size(); ++i) {
        ++tables[0][block[i]];
    }
    ByteCounts counts{};
    for (std::size_t value = 0; value < counts.size(); ++value) {
        counts[value] = std::uint64_t{tables[0][value]} + tables[1][value] + tables[2][value] +
                        tables[3][value];
    }
    return counts;
}

// Counts bytes in one pass, block by block: hands each block's counts to onBlock and returns
// the sums of them, the counts of the whole range.
template <typename OnBlock>
ByteCounts countByBlock(ByteView bytes, OnBlock onBlock) {
    ByteCounts total{};
    for (std::size_t start = 0; start < bytes.size(); start += kBlockSize) {
        const ByteView block = bytes.subspan(start, std::min(kBlockSize, bytes.size() - start));
        const ByteCounts counts = countBlock(block);
        onBlock(counts, block.size());
        for (std::size_t value = 0; value < total.size(); ++value) {
            total[value] += counts[value];
        }
    }
    return total;
}

// One byte value's part of the entropy. The order of the operations decides the last bits of
// the result, so every entropy this program computes is made of these terms.
double entropyTerm(std::uint64_t count, std::uint64_t length) {
    const double p = static_cast<double>(count) / static_cast<double>(length);
    return (std::log(p) / kLn2) * p;
}

// Subtracts the term of each byte value in ascending order of the values: the order fixes the
// rounding, so it is the same for every range. termOf gives +0.0 for a count of 0, and
// subtracting +0.0 leaves every bit of the sum as it was, as if the value were skipped.
template <typename TermOf>
double sumTerms(const ByteCounts& counts, TermOf termOf) {
    double sum = 0.0;
    for (const std::uint64_t count : counts) {
        sum -= termOf(count);
    }
    return sum;
}

double entropyOfCounts(const ByteCounts& counts, std::uint64_t length) {
    return sumTerms(counts, [length](std::uint64_t count) {
        return count != 0 ? entropyTerm(count, length) : 0.0;
    });
}

// The term of every count that a full block can hold, made once (0.0 for a count of 0). A full
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

double blockEntropy(const ByteCounts& counts, std::size_t length) {
    if (length != kBlockSize) {
        return entropyOfCounts(counts, length);
    }
    const auto& terms = fullBlockTerms();
    return sumTerms(counts, [&terms](std::uint64_t count) { return terms[count]; });
}

}  // namespace

double computeEntropy(const std::uint8_t* data, std::uint64_t length) {
    if (data == nullptr || length == 0) {
        return 0.0;
    }
    const ByteView bytes(data, static_cast<std::size_t>(length));
    return entropyOfCounts(countByBlock(bytes, [](const ByteCounts&, std::size_t) {}), length);
}

AnalysisReport analyzeBytes(std::string path, ByteView data) {
    AnalysisReport report;
    report.path = std::move(path);
    report.fileSize = data.size();
    if (data.empty()) {
        report.typeName = "Empty File";
        return report;
    }
    // One pass: each block is counted once, and the whole file's counts are the sums of the
    // blocks' counts.
    report.blockEntropies.reserve((data.size() + kBlockSize - 1) / kBlockSize);
    const ByteCounts total =
        countByBlock(data, [&report](const ByteCounts& counts, std::size_t size) {
            report.blockEntropies.push_back(blockEntropy(counts, size));
        });
    report.entropy = entropyOfCounts(total, data.size());
    report.headers = detectFormat(data, report.typeName);
    return report;
}

AnalysisReport analyzeFile(const std::string& path) {
    return analyzeBytes(path, loadFile(path));
}

}  // namespace tessaloom
