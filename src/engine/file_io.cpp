#include "file_io.h"

#include <filesystem>
#include <fstream>

namespace tessaloom {

namespace {

// Only regular files and block devices have a size that seeking can find. Anything else (a
// directory, a FIFO, a socket, a character device) would block, fail or never end, so it is
// never opened at all.
bool hasSeekableSize(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    return !error &&
           (std::filesystem::is_regular_file(status) || std::filesystem::is_block_file(status));
}

}  // namespace

ByteBuffer loadFile(const std::string& path) {
    if (!hasSeekableSize(path)) {
        return {};
    }
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        return {};
    }
    const std::streamoff size = in.tellg();
    if (size <= 0 || !in.seekg(0)) {
        return {};
    }
    ByteBuffer buffer(static_cast<std::uint64_t>(size));
    in.read(reinterpret_cast<char*>(buffer.data()), size);
    if (in.gcount() != size) {
        return {};
    }
    return buffer;
}

bool saveFile(const std::string& path, ByteView data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        return false;
    }
    if (!data.empty()) {
        out.write(reinterpret_cast<const char*>(data.data()),
                  static_cast<std::streamsize>(data.size()));
    }
    // Closing writes out the last buffered bytes; a failure there (a full disk) is a failure too.
    out.close();
    return !out.fail();
}

}  // namespace tessaloom
