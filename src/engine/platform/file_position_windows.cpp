// The C runtime's 64-bit variants of fseek and ftell; long is 32 bits on Windows.
#include <stdio.h>

#include <cstdint>

#include "file_position.h"

namespace tessaloom::platform {

bool seekTo(std::FILE* file, std::uint64_t position) {
    return position <= static_cast<std::uint64_t>(INT64_MAX) &&
           _fseeki64(file, static_cast<__int64>(position), SEEK_SET) == 0;
}

std::optional<std::uint64_t> seekableLength(std::FILE* file) {
    if (_fseeki64(file, 0, SEEK_END) != 0) {
        return std::nullopt;
    }
    const __int64 length = _ftelli64(file);
    if (length < 0 || _fseeki64(file, 0, SEEK_SET) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(length);
}

}  // namespace tessaloom::platform
