// The benchmark corpus: content like the large files users inspect (compressed or encrypted data,
// text, zero padding, records of data with short labels), the very same bytes on every run and
// every machine for a given size and seed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/types.h"

namespace tessaloom::bench {

inline constexpr std::uint64_t kDefaultSeed = 20240601;

// What a stretch of the corpus holds.
enum class Content {
    kMixed,   // a quarter of each of the four below, in this order
    kRandom,  // random bytes
    kText,    // English-like sentences
    kZeros,   // zero bytes
    kTagged,  // random bytes with a short text at the start of every 64 bytes
};

// size bytes of the given content.
ByteBuffer makeContent(Content content, std::size_t size, std::uint64_t seed = kDefaultSeed);

// Changes one byte, at a random position, in every 4096 bytes of data; never to its old value.
void changeOneInEvery4096(ByteBuffer& data, std::uint64_t seed = kDefaultSeed);

}  // namespace tessaloom::bench
