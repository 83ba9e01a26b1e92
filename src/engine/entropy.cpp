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

ByteCounts countBytes(ByteView bytes) {
    ByteCounts counts{};
    for (const std::uint8_t byte : bytes) {
        ++counts[byte];
    }
    return counts;
}

// One byte value's part of the entropy. The order of the operations decides the last bits of
// the result, so every entropy this program computes is made of these terms.
double entropyTerm(std::uint64_t count, std::uint64_t length) {
    const double p = static_cast<double>(count) / static_cast<double>(length);
    return (std::log(p) / kLn2) * p;
}

// Subtracts the term of each byte value that occurs, in ascending order of the values: the
// order fixes the rounding, so it is the same for every range.
template <typename TermOf>
double sumTerms(const ByteCounts& counts, TermOf termOf) {
    double sum = 0.0;
    for (const std::uint64_t count : counts) {
        if (count != 0) {
            sum -= termOf(count);
        }
    }
    return sum;
}

double entropyOfCounts(const ByteCounts& counts, std::uint64_t length) {
    return sumTerms(counts, [length](std::uint64_t count) { return entropyTerm(count, length); });
}

// The term of every count that a full block can hold, made once. A full block's entropy then
// takes no logarithm, and has the same bits as when each term is computed afresh.
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
    return entropyOfCounts(countBytes(ByteView(data, static_cast<std::size_t>(length))), length);
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
    ByteCounts total{};
    report.blockEntropies.reserve((data.size() + kBlockSize - 1) / kBlockSize);
    for (std::size_t start = 0; start < data.size(); start += kBlockSize) {
        const ByteView block = data.subspan(start, std::min(kBlockSize, data.size() - start));
        const ByteCounts counts = countBytes(block);
        report.blockEntropies.push_back(blockEntropy(counts, block.size()));
        for (std::size_t value = 0; value < counts.size(); ++value) {
            total[value] += counts[value];
        }
    }
    report.entropy = entropyOfCounts(total, data.size());
    report.headers = detectFormat(data, report.typeName);
    return report;
}

AnalysisReport analyzeFile(const std::string& path) {
    return analyzeBytes(path, loadFile(path));
}

}  // namespace tessaloom
