#include <cstdint>
#include <iostream>
#include <string_view>

#include "args.h"
#include "commands.h"
#include "console.h"
#include "engine/file_reader.h"
#include "engine/hex_dump.h"
#include "inputs.h"
#include "platform/terminal.h"
#include "progress_line.h"

namespace tessaloom::cli {

namespace {

constexpr std::uint64_t kDefaultLength = 512;
constexpr std::size_t kPipePiece = 4096;

}  // namespace

int runDump(const Arguments& args) {
    const std::uint64_t offset = args.size() > 1 ? convertArgument(kOffsetArgument, args[1]) : 0;
    const std::uint64_t length =
        args.size() > 2 ? convertArgument(kLengthArgument, args[2]) : kDefaultLength;
    FileReader reader(args[0]);
    requireReadable(reader);
    // A pipe whose reader finds it full on a read must wake the writer, which costs the reader
    // more than the copying when it reads a few pages at a time; written a page at a time, the
    // pipe mostly has room left when the reader comes. Everything else takes the text in large
    // blocks, as few large writes cost them least.
    const bool toPipe = standardOutputIsPipe();
    ProgressLine progress(progressWanted(CommandOutput::kWrittenAsItGoes));
    progress.follow(reader);
    // The text goes out in blocks as it is made, so a dump of any size needs little memory.
    writeHexDump(reader, offset, length, [toPipe](std::string_view text) {
        for (; toPipe && text.size() > kPipePiece; text.remove_prefix(kPipePiece)) {
            writeRaw(text.substr(0, kPipePiece));
        }
        writeRaw(text);
    });
    requireReadable(reader);
    return 0;
}

}  // namespace tessaloom::cli
