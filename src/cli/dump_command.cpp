#include <cstdint>
#include <filesystem>
#include <iostream>
#include <string_view>

#include "args.h"
#include "commands.h"
#include "engine/hex_dump.h"
#include "progress_line.h"

namespace tessaloom::cli {

namespace {

constexpr std::uint64_t kDefaultLength = 512;
constexpr std::size_t kPipePiece = 4096;

// Whether standard output is a pipe. A pipe whose reader finds it full on a read must wake the
// writer, which costs the reader more than the copying when it reads a few pages at a time;
// written a page at a time, the pipe mostly has room left when the reader comes. Files and
// everything else take the text in large blocks, as few large writes cost them least.
bool writesToPipe() {
    std::error_code error;
    return std::filesystem::is_fifo("/dev/stdout", error);
}

void writeText(std::string_view text) {
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace

int runDump(const Arguments& args) {
    const std::uint64_t offset = args.size() > 1 ? convertArgument(kOffsetArgument, args[1]) : 0;
    const std::uint64_t length =
        args.size() > 2 ? convertArgument(kLengthArgument, args[2]) : kDefaultLength;
    // The text goes out in blocks as it is made, so a dump of any size needs little memory.
    const bool toPipe = writesToPipe();
    ProgressLine progress(progressWanted(CommandOutput::kWrittenAsItGoes));
    writeHexDump(
        args[0], offset, length,
        [toPipe](std::string_view text) {
            for (; toPipe && text.size() > kPipePiece; text.remove_prefix(kPipePiece)) {
                writeText(text.substr(0, kPipePiece));
            }
            writeText(text);
        },
        progress.callback());
    return 0;
}

}  // namespace tessaloom::cli
