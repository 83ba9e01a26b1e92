#include "dispatch.h"

#include <array>
#include <cstddef>
#include <iostream>
#include <string_view>

#include "commands.h"
#include "console.h"
#include "info_window.h"
#include "usage.h"

namespace tessaloom::cli {

namespace {

struct Command {
    std::string_view word;
    std::size_t argumentsNeeded;
    int (*run)(const Arguments&);
    // The arguments as the command's own usage line shows them. The commands of the usage text
    // have none: misused, they print the whole usage text.
    std::string_view usage = {};
};

// clang-format off
constexpr std::array kCommands{
    Command{"--gui",     0, runGui},
    Command{"--dump",    1, runDump},
    Command{"--diff",    2, runDiff},
    Command{"--entropy", 1, runEntropy},
    Command{"--strings", 1, runStrings},
    Command{"--replace", 4, runReplace},
    Command{"--find",    2, runFind,
            "<FILE> <PATTERN> [--json] | <FILE> --text <TEXT> [--json] | "
            "<FILE> --utf16 <TEXT> [--json]"},
    Command{"--patch",   3, runPatch,  "<IN> <PATCHES> <O>"},
    Command{"--map",     1, runMap,    "<FILE> [--block SIZE] [--json | --svg OUT]"},
    Command{"--view",    1, runView, "<FILE> [FILE_B]"},
    Command{"--struct",  1, runStruct,  "<FILE> [--json] [--stream-limit SIZE]"},
    Command{"--scan",    1, runScan,
            "<FILE> [--deep [--deep-limit SIZE]] [--json] [--stream-limit SIZE]"},
    Command{"--carve",   2, runCarve,   "<FILE> <OUTDIR> [--deep [--deep-limit SIZE]] [--force]"},
    Command{"--delta",   2, runDelta,   "<FILE_A> <FILE_B> [--json] [--stream-limit SIZE]"},
    Command{"--version", 0, runVersion},
};
// clang-format on

// The command's usage line on standard error, and the status of a run that went no further.
int misused(std::string_view program, const Command& command) {
    writeLine(std::cerr, {"Usage: ", program, " ", command.word, " ", command.usage});
    return 2;
}

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
        if (command.word != word) {
            continue;
        }
        if (args.size() < command.argumentsNeeded) {
            break;
        }
        try {
            return command.run(args);
        } catch (const UsageError&) {
            return misused(program, command);
        }
    }
    for (const Command& command : kCommands) {
        if (command.word == word && !command.usage.empty()) {
            return misused(program, command);
        }
    }
    printUsage(program);
    return 1;
}

}  // namespace tessaloom::cli
