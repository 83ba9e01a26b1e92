// The report of the --entropy command.
#pragma once

#include <ostream>
#include <string_view>

#include "engine/types.h"

namespace tessaloom::cli {

// The verdict on a whole-file entropy, judged from the double itself; both bounds are strict,
// so 7.5 and 3.0 are NORMAL.
std::string_view entropyVerdict(double entropy);

// Writes the report of an analysis, line by line; the structure headers only when there are rows.
void writeEntropyReport(std::ostream& out, const AnalysisReport& report);

}  // namespace tessaloom::cli
