#include "file_io.h"

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tessaloom {

namespace {

// Only regular files and block devices have a size that seeking can find. Anything else (a
// directory, a FIFO, a socket, a character device) would block, fail or never end, so it is
// never opened at all.
bool hasSeekableSize(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    return !error &&
           (std::filesystem::is_regular_file(status) || std::filesystem::is_block_file(status));
}

// A run of UnsetBytes, as positions 0 to size: ByteBuffer(UnsetBytes(0), UnsetBytes(size))
// allocates exactly size bytes at once and writes none of them.
class UnsetBytes {
  public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = UnsetByte;
    using difference_type = std::ptrdiff_t;
    using pointer = const UnsetByte*;
    using reference = const UnsetByte&;

    UnsetBytes() = default;
    explicit UnsetBytes(difference_type position) : position_(position) {}

    reference operator*() const { return kByte; }
    reference operator[](difference_type) const { return kByte; }
    UnsetBytes& operator++() { return *this += 1; }
    UnsetBytes operator++(int) { return UnsetBytes(position_++); }
    UnsetBytes& operator--() { return *this -= 1; }
    UnsetBytes operator--(int) { return UnsetBytes(position_--); }
    UnsetBytes& operator+=(difference_type n) {
        position_ += n;
        return *this;
    }
    UnsetBytes& operator-=(difference_type n) { return *this += -n; }
    friend UnsetBytes operator+(UnsetBytes at, difference_type n) { return at += n; }
    friend UnsetBytes operator+(difference_type n, UnsetBytes at) { return at += n; }
    friend UnsetBytes operator-(UnsetBytes at, difference_type n) { return at -= n; }
    friend difference_type operator-(UnsetBytes a, UnsetBytes b) {
        return a.position_ - b.position_;
    }
    friend auto operator<=>(UnsetBytes, UnsetBytes) = default;

  private:
    static constexpr UnsetByte kByte{};
    difference_type position_ = 0;
};

}  // namespace

ByteBuffer loadFile(const std::string& path) {
    if (!hasSeekableSize(path)) {
        return {};
    }
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        return {};
    }
    const std::streamoff size = in.tellg();
    if (size <= 0 || !in.seekg(0)) {
        return {};
    }
    // Not zeroed first: the read fills every byte, and a short read fails the load.
    ByteBuffer buffer(UnsetBytes(0), UnsetBytes(size));
    in.read(reinterpret_cast<char*>(buffer.data()), size);
    if (in.gcount() != size) {
        return {};
    }
    return buffer;
}

bool saveFile(const std::string& path, ByteView data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        return false;
    }
    if (!data.empty()) {
        out.write(reinterpret_cast<const char*>(data.data()),
                  static_cast<std::streamsize>(data.size()));
    }
    // Closing writes out the last buffered bytes; a failure there (a full disk) is a failure too.
    out.close();
    return !out.fail();
}

}  // namespace tessaloom
