// One handler per command: converts its arguments, calls the engine and writes the report.
#pragma once

#include <string>
#include <vector>

namespace tessaloom::cli {

// The arguments after the command word, as given.
using Arguments = std::vector<std::string>;

// Each returns the exit status.
int runGui(const Arguments& args);
int runDump(const Arguments& args);
int runDiff(const Arguments& args);
int runEntropy(const Arguments& args);
int runStrings(const Arguments& args);
int runReplace(const Arguments& args);

}  // namespace tessaloom::cli
