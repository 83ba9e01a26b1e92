// What the fuzz targets share: taking call parameters from the input, checking invariants, and
// scratch files for the operations that take file names.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "engine/types.h"

namespace tessaloom::fuzz {

// Hands out the leading bytes of one fuzzer input as small numbers and slices, the rest as data.
class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : rest_(data, size) {}

    // The next byte, or 0 once the input is used up.
    std::uint8_t byte();
    // The next count bytes, fewer when the input ends first.
    ByteView bytes(std::size_t count);
    // Everything not taken yet.
    ByteView rest() const { return rest_; }

  private:
    ByteView rest_;
};

// Cuts bytes into pieces of sizes drawn from seed, from single bytes to more than a 1024-byte
// block, and hands them to write in order: a streaming core must give the one-buffer result
// however its data is cut.
void forEachRandomPiece(ByteView bytes, std::uint8_t seed,
                        const std::function<void(ByteView piece)>& write);

// A chunk size for a file reader, drawn from seed in the same way.
std::size_t chunkSizeFrom(std::uint8_t seed);

// Stops the run when an invariant does not hold, so that libFuzzer keeps the input.
void check(bool holds, std::string_view invariant);

// A path in a folder of this process's own, removed at exit.
std::string scratchPath(std::string_view name);

void writeFile(const std::string& path, ByteView bytes);

// The file's bytes, read independently of the engine; empty when it is missing.
ByteBuffer readFile(const std::string& path);

}  // namespace tessaloom::fuzz
