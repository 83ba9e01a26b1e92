#include "xxh64.h"

#include <bit>
#include <cstring>

#include "hex_text.h"

namespace tessaloom {

namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4F;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63;
constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5;

std::uint64_t little64(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&value, bytes, sizeof value);
    } else {
        for (int i = 7; i >= 0; --i) {
            value = value << 8 | bytes[i];
        }
    }
    return value;
}

std::uint64_t little32(const std::uint8_t* bytes) {
    return std::uint64_t{bytes[0]} | std::uint64_t{bytes[1]} << 8 | std::uint64_t{bytes[2]} << 16 |
           std::uint64_t{bytes[3]} << 24;
}

std::uint64_t round(std::uint64_t lane, std::uint64_t input) {
    return std::rotl(lane + input * kPrime2, 31) * kPrime1;
}

std::uint64_t merge(std::uint64_t hash, std::uint64_t lane) {
    return (hash ^ round(0, lane)) * kPrime1 + kPrime4;
}

void stripe(std::array<std::uint64_t, 4>& lanes, const std::uint8_t* bytes) {
    for (std::size_t i = 0; i < 4; ++i) {
        lanes[i] = round(lanes[i], little64(bytes + 8 * i));
    }
}

}  // namespace

Xxh64::Xxh64(std::uint64_t seed)
    : lanes_{seed + kPrime1 + kPrime2, seed + kPrime2, seed, seed - kPrime1}, seed_(seed) {}

void Xxh64::update(ByteView bytes) {
    // An empty view may have no storage at all, which memcpy must not be given.
    if (bytes.empty()) {
        return;
    }
    length_ += bytes.size();
    std::size_t i = 0;
    if (pendingLength_ > 0) {
        const std::size_t take = std::min(bytes.size(), pending_.size() - pendingLength_);
        std::memcpy(pending_.data() + pendingLength_, bytes.data(), take);
        pendingLength_ += take;
        i = take;
        if (pendingLength_ < pending_.size()) {
            return;
        }
        stripe(lanes_, pending_.data());
        pendingLength_ = 0;
    }
    for (; i + 32 <= bytes.size(); i += 32) {
        stripe(lanes_, bytes.data() + i);
    }
    std::memcpy(pending_.data(), bytes.data() + i, bytes.size() - i);
    pendingLength_ = bytes.size() - i;
}

std::uint64_t Xxh64::digest() const {
    std::uint64_t hash = 0;
    if (length_ >= 32) {
        hash = std::rotl(lanes_[0], 1) + std::rotl(lanes_[1], 7) + std::rotl(lanes_[2], 12) +
               std::rotl(lanes_[3], 18);
        for (const std::uint64_t lane : lanes_) {
            hash = merge(hash, lane);
        }
    } else {
        hash = seed_ + kPrime5;
    }
    hash += length_;
    const std::uint8_t* rest = pending_.data();
    std::size_t left = pendingLength_;
    for (; left >= 8; left -= 8, rest += 8) {
        hash = std::rotl(hash ^ round(0, little64(rest)), 27) * kPrime1 + kPrime4;
    }
    if (left >= 4) {
        hash = std::rotl(hash ^ (little32(rest) * kPrime1), 23) * kPrime2 + kPrime3;
        left -= 4;
        rest += 4;
    }
    for (; left > 0; --left, ++rest) {
        hash = std::rotl(hash ^ (std::uint64_t{*rest} * kPrime5), 11) * kPrime1;
    }
    hash ^= hash >> 33;
    hash *= kPrime2;
    hash ^= hash >> 29;
    hash *= kPrime3;
    hash ^= hash >> 32;
    return hash;
}

std::string checksumText(std::uint64_t checksum) {
    std::string digits = hexNumber(checksum);
    return std::string(16 - digits.size(), '0') + digits;
}

Result<std::uint64_t> checksumOf(ByteSource& source, const ProgressCallback& progress) {
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    ByteBuffer piece(kPiece);
    Xxh64 checksum;
    const std::uint64_t size = source.size();
    for (std::uint64_t done = 0; done < size;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, size - done));
        if (Result<void> read = readExactly(source, done, std::span(piece).first(n)); !read) {
            return read.failure();
        }
        checksum.update(ByteView(piece).first(n));
        done += n;
        if (progress) {
            progress({done, size});
        }
    }
    return checksum.digest();
}

}  // namespace tessaloom
