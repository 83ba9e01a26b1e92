// XXH64, the 64-bit checksum of xxHash (as `xxhsum -H1` prints it), over bytes that arrive in
// pieces: what names a file's exact contents in a report that is later applied to it, at the
// speed of the read.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "byte_source.h"
#include "failure.h"
#include "types.h"

namespace tessaloom {

class Xxh64 {
  public:
    explicit Xxh64(std::uint64_t seed = 0);
    void update(ByteView bytes);
    // The checksum of all the bytes given so far.
    std::uint64_t digest() const;

  private:
    std::array<std::uint64_t, 4> lanes_;
    std::array<std::uint8_t, 32> pending_{};
    std::size_t pendingLength_ = 0;
    std::uint64_t length_ = 0;
    std::uint64_t seed_;
};

// A checksum as xxhsum writes it: 16 lower-case hex digits.
std::string checksumText(std::uint64_t checksum);

// The XXH64 of all of source's bytes, read in order; the failure where it cannot be read.
Result<std::uint64_t> checksumOf(ByteSource& source, const ProgressCallback& progress = {});

}  // namespace tessaloom
