#include "entropy_report.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace tessaloom::cli {
namespace {

const std::string kHigh = "[HIGH - Likely Encrypted/Compressed]";
const std::string kLow = "[LOW - Sparse/Uncompressed]";
const std::string kNormal = "[NORMAL - Standard Code/Data]";

TEST(EntropyReportTest, VerdictBoundsAreStrict) {
    const std::pair<double, std::string> cases[] = {
        {8.0, kHigh},   {std::nextafter(7.5, 8.0), kHigh}, {7.5, kNormal},
        {3.0, kNormal}, {std::nextafter(3.0, 0.0), kLow},  {0.0, kLow},
    };
    for (const auto& [entropy, verdict] : cases) {
        EXPECT_EQ(entropyVerdict(entropy), verdict) << entropy;
    }
}

std::string entropyLine(double entropy) {
    AnalysisReport report;
    report.entropy = entropy;
    std::ostringstream out;
    writeEntropyReport(out, report);
    const std::string text = out.str();
    const std::size_t start = text.find("Shannon Entropy: ");
    return text.substr(start, text.find('\n', start) - start);
}

// The printed figure has 6 significant digits; the verdict comes from the unrounded double.
TEST(EntropyReportTest, EntropyInDefaultFloatingPointFormat) {
    const std::pair<double, std::string> cases[] = {
        {3.4983471493992453, "3.49835 / 8.000 bits/byte " + kNormal},
        {8.0, "8 / 8.000 bits/byte " + kHigh},
        {0.0, "0 / 8.000 bits/byte " + kLow},
        {1.584962500721156, "1.58496 / 8.000 bits/byte " + kLow},
        {2.06e-05, "2.06e-05 / 8.000 bits/byte " + kLow},
        {7.5000004, "7.5 / 8.000 bits/byte " + kHigh},
        {2.9999996, "3 / 8.000 bits/byte " + kLow},
    };
    for (const auto& [entropy, tail] : cases) {
        EXPECT_EQ(entropyLine(entropy), "Shannon Entropy: " + tail);
    }
}

TEST(EntropyReportTest, HeaderSectionOnlyWithRows) {
    AnalysisReport report{"a b", 20, 1.0, "Some Type", {}, {1.0}};
    std::ostringstream plain;
    writeEntropyReport(plain, report);
    const std::string lines =
        "=== Tessaloom Structural & Entropy Analysis ===\n"
        "File:            a b\n"
        "File Size:       20 bytes\n"
        "Detected Type:   Some Type\n"
        "Shannon Entropy: 1 / 8.000 bits/byte " +
        kLow + "\n";
    EXPECT_EQ(plain.str(), lines);

    report.headers = {{"One", "1", 0, 1}, {"Two", "", 1, 0}};
    std::ostringstream withRows;
    writeEntropyReport(withRows, report);
    EXPECT_EQ(withRows.str(), lines + "\nStructure Headers:\n  [One]: 1\n  [Two]: \n");
}

}  // namespace
}  // namespace tessaloom::cli
