#include <climits>

#include "file_position.h"

namespace tessaloom::platform {

bool seekTo(std::FILE* file, std::uint64_t position) {
    return position <= static_cast<std::uint64_t>(LONG_MAX) &&
           std::fseek(file, static_cast<long>(position), SEEK_SET) == 0;
}

std::optional<std::uint64_t> seekableLength(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) {
        return std::nullopt;
    }
    const long length = std::ftell(file);
    if (length < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(length);
}

}  // namespace tessaloom::platform
