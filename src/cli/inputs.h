// The inputs of a command: one that cannot be read stops the run with the system's reason.
#pragma once

#include "engine/file_reader.h"

namespace tessaloom::cli {

// Throws ReadError, which main turns into the run's one error line, when reader could not open
// its input or its first read failed.
inline void requireReadable(const FileReader& reader) {
    if (reader.error()) {
        throw ReadError(*reader.failure());
    }
}

}  // namespace tessaloom::cli
