#include "file_io.h"

#include <cstddef>
#include <iterator>

#include "file_reader.h"

namespace tessaloom {

namespace {

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
    FileReader reader(path);
    if (!reader.seekable() || *reader.size() == 0) {
        return {};
    }
    const auto size = static_cast<std::ptrdiff_t>(*reader.size());
    // Not zeroed first: the read fills every byte, and a short read fails the load.
    ByteBuffer buffer(UnsetBytes(0), UnsetBytes(size));
    try {
        if (reader.readAt(0, buffer) != buffer.size()) {
            return {};
        }
    } catch (const ReadError&) {
        return {};
    }
    return buffer;
}

bool saveFile(const std::string& path, ByteView data) {
    OutputFile output(path, {.finalSize = data.size()});
    return output.write(data) && output.commit();
}

}  // namespace tessaloom
