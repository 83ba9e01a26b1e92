#include "fuzz_support.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tessaloom::fuzz {

namespace {

class ScratchFolder {
  public:
    ScratchFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tessaloom-fuzz-XXXXXX").string();
        check(mkdtemp(pattern.data()) != nullptr, "a scratch folder can be made");
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace

std::uint8_t FuzzInput::byte() {
    if (rest_.empty()) {
        return 0;
    }
    const std::uint8_t value = rest_.front();
    rest_ = rest_.subspan(1);
    return value;
}

ByteView FuzzInput::bytes(std::size_t count) {
    const ByteView taken = rest_.first(std::min(count, rest_.size()));
    rest_ = rest_.subspan(taken.size());
    return taken;
}

namespace {

// The largest piece for a seed, and a small generator of the sizes below it.
constexpr std::size_t kLargestPieces[] = {1, 3, 17, 200, 1500};

class PieceSizes {
  public:
    explicit PieceSizes(std::uint8_t seed)
        : largest_(kLargestPieces[seed % std::size(kLargestPieces)]),
          state_(seed * 2654435761u + 1) {}
    std::size_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return 1 + state_ % largest_;
    }

  private:
    std::size_t largest_;
    std::uint32_t state_;
};

}  // namespace

void forEachRandomPiece(ByteView bytes, std::uint8_t seed,
                        const std::function<void(ByteView piece)>& write) {
    PieceSizes sizes(seed);
    while (!bytes.empty()) {
        const ByteView piece = bytes.first(std::min(sizes.next(), bytes.size()));
        write(piece);
        bytes = bytes.subspan(piece.size());
    }
}

std::size_t chunkSizeFrom(std::uint8_t seed) {
    return PieceSizes(seed).next();
}

void check(bool holds, std::string_view invariant) {
    if (!holds) {
        std::fprintf(stderr, "Invariant broken: %.*s\n", static_cast<int>(invariant.size()),
                     invariant.data());
        std::abort();
    }
}

std::string scratchPath(std::string_view name) {
    static const ScratchFolder folder;
    return (folder.path() / name).string();
}

void writeFile(const std::string& path, ByteView bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    check(static_cast<bool>(out.flush()), "a scratch file can be written");
}

ByteBuffer readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace tessaloom::fuzz
