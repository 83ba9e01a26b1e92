// Multi-byte numbers read from file bytes one byte at a time, so that neither the host's byte
// order nor the alignment of the bytes in memory matters.
#pragma once

#include <cstdint>

#include "types.h"

namespace tessaloom {

// The bytes as one unsigned number, least significant byte first (at most 8 bytes).
constexpr std::uint64_t readLittleEndian(ByteView bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = bytes.size(); i > 0; --i) {
        value = (value << 8) | bytes[i - 1];
    }
    return value;
}

// The bytes as one unsigned number, most significant byte first (at most 8 bytes).
constexpr std::uint64_t readBigEndian(ByteView bytes) {
    std::uint64_t value = 0;
    for (const std::uint8_t byte : bytes) {
        value = (value << 8) | byte;
    }
    return value;
}

}  // namespace tessaloom
