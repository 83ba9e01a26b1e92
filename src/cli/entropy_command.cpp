#include <iostream>
#include <locale>
#include <sstream>
#include <string>

#include "commands.h"
#include "console.h"
#include "engine/entropy.h"
#include "engine/file_reader.h"
#include "entropy_report.h"
#include "inputs.h"
#include "progress_line.h"

namespace tessaloom::cli {

namespace {

constexpr double kHighEntropy = 7.5;
constexpr double kLowEntropy = 3.0;

// The stream's default floating-point format: 6 significant digits, no trailing zeros, so 8,
// 3.49835 or 2.06e-05. The classic locale keeps the decimal point a point.
std::string defaultFormat(double value) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << value;
    return text.str();
}

}  // namespace

std::string_view entropyVerdict(double entropy) {
    if (entropy > kHighEntropy) {
        return "[HIGH - Likely Encrypted/Compressed]";
    }
    if (entropy < kLowEntropy) {
        return "[LOW - Sparse/Uncompressed]";
    }
    return "[NORMAL - Standard Code/Data]";
}

void writeEntropyReport(std::ostream& out, const AnalysisReport& report) {
    // The prefixes are all 17 characters wide, so that the values line up.
    writeLine(out, "=== Tessaloom Structural & Entropy Analysis ===");
    writeLine(out, "File:            " + report.path);
    writeLine(out, "File Size:       " + std::to_string(report.fileSize) + " bytes");
    writeLine(out, "Detected Type:   " + report.typeName);
    writeLine(out, "Shannon Entropy: " + defaultFormat(report.entropy) + " / 8.000 bits/byte " +
                       std::string(entropyVerdict(report.entropy)));
    if (report.headers.empty()) {
        return;
    }
    writeLine(out, "");
    writeLine(out, "Structure Headers:");
    for (const HeaderField& row : report.headers) {
        writeLine(out, "  [" + row.label + "]: " + row.value);
    }
}

int runEntropy(const Arguments& args) {
    FileReader reader(args[0]);
    requireReadable(reader);
    ProgressLine progress(progressWanted(CommandOutput::kReportWhenDone));
    progress.follow(reader);
    const AnalysisReport report = analyzeFile(reader, BlockEntropies::kSkipped);
    progress.erase();
    requireReadable(reader);
    writeEntropyReport(std::cout, report);
    return 0;
}

}  // namespace tessaloom::cli
