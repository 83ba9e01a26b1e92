#include <iostream>

#include "args.h"
#include "commands.h"
#include "engine/file_io.h"
#include "engine/hex_dump.h"

namespace tessaloom::cli {

namespace {

constexpr std::uint64_t kDefaultLength = 512;

}  // namespace

int runDump(const Arguments& args) {
    const std::uint64_t offset = args.size() > 1 ? convertArgument(kOffsetArgument, args[1]) : 0;
    const std::uint64_t length =
        args.size() > 2 ? convertArgument(kLengthArgument, args[2]) : kDefaultLength;
    const ByteBuffer data = loadFile(args[0]);
    // The text goes out in blocks as it is made, so a dump of any size needs little memory.
    writeHexDump(data, offset, length, [](std::string_view text) {
        std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
    });
    return 0;
}

}  // namespace tessaloom::cli
