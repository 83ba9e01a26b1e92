// Entropy analysis: the whole-file and block entropies lie between 0 and 8 (and at most log2 of
// the byte count), one block entropy per started 1024 bytes, and the type and rows of format
// detection.
#include <algorithm>
#include <cmath>
#include <string>

#include "engine/entropy.h"
#include "engine/file_reader.h"
#include "engine/format_detect.h"
#include "fuzz_support.h"

namespace {

using tessaloom::fuzz::check;

constexpr double kTolerance = 1e-9;

void checkEntropy(double entropy, const std::uint8_t* data, std::size_t size) {
    const double ceiling = size == 0 ? 0.0 : std::min(8.0, std::log2(static_cast<double>(size)));
    check(entropy >= -kTolerance && entropy <= ceiling + kTolerance,
          "entropy lies between 0 and log2 of the byte count");
    if (size > 0 && std::all_of(data, data + size, [&](std::uint8_t b) { return b == data[0]; })) {
        check(std::fabs(entropy) <= kTolerance, "one repeated byte has entropy 0");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const double entropy = tessaloom::computeEntropy(data, size);
    checkEntropy(entropy, data, size);
    check(tessaloom::computeEntropy(nullptr, size) == 0.0, "no data has entropy 0");

    const std::string path = tessaloom::fuzz::scratchPath("input");
    tessaloom::fuzz::writeFile(path, {data, size});
    const tessaloom::AnalysisReport report = tessaloom::analyzeFile(path);
    check(report.fileSize == size && report.entropy == entropy, "the report measures the file");
    // However the data is cut, the results are the same to the last bit.
    const std::uint8_t cut = size > 0 ? data[size - 1] : 0;
    tessaloom::Analyzer analyzer;
    tessaloom::fuzz::forEachRandomPiece(
        {data, size}, cut, [&analyzer](tessaloom::ByteView piece) { analyzer.write(piece); });
    const tessaloom::AnalysisReport pieced = analyzer.finish(path);
    check(pieced.entropy == report.entropy && pieced.blockEntropies == report.blockEntropies &&
              pieced.typeName == report.typeName && pieced.headers.size() == report.headers.size(),
          "the data cut into pieces gives the same analysis");
    tessaloom::FileReader reader(path, tessaloom::fuzz::chunkSizeFrom(cut));
    const tessaloom::AnalysisReport skipped =
        tessaloom::analyzeFile(reader, tessaloom::BlockEntropies::kSkipped);
    check(skipped.entropy == report.entropy && skipped.blockEntropies.empty(),
          "without block entropies the file's entropy is the same");
    if (size == 0) {
        check(report.typeName == "Empty File" && report.headers.empty() &&
                  report.blockEntropies.empty(),
              "an empty file is reported as such");
        return 0;
    }
    std::string typeName;
    const auto rows = tessaloom::detectFormat(data, size, typeName);
    check(report.typeName == typeName && report.headers.size() == rows.size(),
          "the report carries the detected type and rows");
    check(report.blockEntropies.size() == (size + 1023) / 1024, "one entropy per block");
    for (std::size_t i = 0; i < report.blockEntropies.size(); ++i) {
        const std::size_t start = 1024 * i;
        const std::size_t length = std::min<std::size_t>(1024, size - start);
        check(report.blockEntropies[i] == tessaloom::computeEntropy(data + start, length),
              "each block is measured on its own");
    }
    return 0;
}
