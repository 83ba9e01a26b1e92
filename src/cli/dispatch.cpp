#include "dispatch.h"

#include <array>
#include <cstddef>
#include <string_view>

#include "commands.h"
#include "info_window.h"
#include "usage.h"

namespace tessaloom::cli {

namespace {

struct Command {
    std::string_view word;
    std::size_t argumentsNeeded;
    int (*run)(const Arguments&);
};

// clang-format off
constexpr std::array kCommands{
    Command{"--gui",     0, runGui},
    Command{"--dump",    1, runDump},
    Command{"--diff",    2, runDiff},
    Command{"--entropy", 1, runEntropy},
    Command{"--strings", 1, runStrings},
    Command{"--replace", 4, runReplace},
};
// clang-format on

}  // namespace

int runCommandLine(int argc, const char* const* argv) {
    const std::string_view program = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    if (argc < 2) {
        showInfoWindow();
        return 0;
    }
    const std::string_view word = argv[1];
    const Arguments args(argv + 2, argv + argc);
    for (const Command& command : kCommands) {
        if (command.word == word && args.size() >= command.argumentsNeeded) {
            return command.run(args);
        }
    }
    printUsage(program);
    return 1;
}

}  // namespace tessaloom::cli
