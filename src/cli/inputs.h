// The inputs of a command: one that cannot be read stops the run with the system's reason.
#pragma once

#include <utility>

#include "engine/file_reader.h"

namespace tessaloom::cli {

// Throws ReadError, which main turns into the run's one error line, when reader could not open
// its input or its first read failed.
inline void requireReadable(const FileReader& reader) {
    if (reader.error()) {
        throw ReadError(*reader.failure());
    }
}

// Runs work, which copies a stream aside, and words the failure of a stream that is too long to
// copy so that it says how to raise the limit.
template <typename Work>
auto withStreamLimitHint(Work&& work) {
    try {
        return work();
    } catch (const ReadError& error) {
        if (error.failure().kind != Failure::Kind::kMemory) {
            throw;
        }
        Failure failure = error.failure();
        failure.reason += " (--stream-limit SIZE raises it)";
        throw ReadError(std::move(failure));
    }
}

}  // namespace tessaloom::cli
