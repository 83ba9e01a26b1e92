// Objects planted in random filler, and the scanner run over them.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "engine/engine.h"

namespace tessaloom::testing {

// n bytes of random filler, the same for the same seed.
inline ByteBuffer randomFiller(std::size_t n, std::uint32_t seed = 7) {
    std::mt19937 random(seed);
    ByteBuffer bytes(n);
    for (std::uint8_t& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

// Every hit that a scan of bytes finds, in order.
inline std::vector<ScanHit> scanBytes(ByteView bytes) {
    std::vector<ScanHit> hits;
    SpanSource source(bytes);
    const Result<ScanSummary> summary =
        scanObjects(source, [&hits](const ScanHit& hit) { hits.push_back(hit); });
    if (!summary) {
        throw ReadError(summary.failure());
    }
    return hits;
}

// object at offset in random filler, with `after` random bytes behind it.
struct Planted {
    ByteBuffer image;
    std::uint64_t offset = 0;
};

inline Planted plant(ByteView object, std::uint64_t offset = 0x1235, std::size_t after = 0x777,
                     std::uint32_t seed = 7) {
    Planted planted{randomFiller(static_cast<std::size_t>(offset), seed), offset};
    planted.image.insert(planted.image.end(), object.begin(), object.end());
    const ByteBuffer tail = randomFiller(after, seed + 1);
    planted.image.insert(planted.image.end(), tail.begin(), tail.end());
    return planted;
}

}  // namespace tessaloom::testing
