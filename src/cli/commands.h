// One handler per command: converts its arguments, calls the engine and writes the report.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace tessaloom::cli {

// The arguments after the command word, as given.
using Arguments = std::vector<std::string>;

// Arguments that a command cannot make sense of: the run ends with the command's own usage line.
class UsageError : public std::runtime_error {
  public:
    UsageError() : std::runtime_error("usage") {}
};

// Each returns the exit status.
int runGui(const Arguments& args);
int runDump(const Arguments& args);
int runDiff(const Arguments& args);
int runEntropy(const Arguments& args);
int runStrings(const Arguments& args);
int runReplace(const Arguments& args);
int runFind(const Arguments& args);
int runPatch(const Arguments& args);
int runMap(const Arguments& args);
int runView(const Arguments& args);
int runStruct(const Arguments& args);
int runScan(const Arguments& args);
int runCarve(const Arguments& args);
int runDelta(const Arguments& args);
int runVersion(const Arguments& args);

}  // namespace tessaloom::cli
