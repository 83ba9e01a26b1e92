// Format detection: names a file's type from its first bytes and lists its main header fields,
// read by the decoders of structure.h out of the few bytes it keeps.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "types.h"

namespace tessaloom {

// Keeps, out of data of any length that passes through it in pieces, the few bytes that format
// detection reads: the first 64, and the 24 of the PE header wherever the DOS header puts it.
class FormatSampler {
  public:
    // The next bytes of the data.
    void write(ByteView bytes);

    // The type and header rows of the data written so far (see detectFormat).
    std::vector<HeaderField> detect(std::string& typeName) const;

    std::uint64_t length() const { return length_; }
    // Whether size bytes from offset lie inside the data; never overflows.
    bool holds(std::uint64_t offset, std::uint64_t size) const {
        return offset <= length_ && size <= length_ - offset;
    }
    // Whether the size bytes from offset lie inside the data and inside one of the parts kept.
    bool keeps(std::uint64_t offset, std::uint64_t size) const;
    // The size bytes from offset, which lie inside the data and inside one of the parts kept.
    ByteView bytesAt(std::uint64_t offset, std::uint64_t size) const;

    static constexpr std::size_t kHeadLength = 64;
    static constexpr std::size_t kPeHeaderLength = 24;

  private:
    std::uint64_t length_ = 0;
    std::array<std::uint8_t, kHeadLength> head_{};
    std::optional<std::uint64_t> peOffset_;
    std::array<std::uint8_t, kPeHeaderLength> peHeader_{};
};

// Classifies length bytes at data (which may be null) as Windows PE, ELF, ZIP, PNG or raw data.
// typeName is overwritten with the type's name; the result holds the format's header rows in
// order. Reads only fixed positions inside the data and never fails.
std::vector<HeaderField> detectFormat(const std::uint8_t* data, std::uint64_t length,
                                      std::string& typeName);

// The same over a span of bytes.
std::vector<HeaderField> detectFormat(ByteView data, std::string& typeName);

}  // namespace tessaloom
