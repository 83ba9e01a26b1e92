// Cutting data that arrives in pieces of any size into units of a fixed size (the 16 bytes of a
// dump line, the 1024 bytes of an entropy block).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

#include "types.h"

namespace tessaloom {

// Hands the units to its callback as many at a time as a piece holds, straight from the piece; a
// unit that straddles two pieces is gathered first and handed on alone.
template <std::size_t Size>
class WholeUnits {
  public:
    template <typename OnUnits>
    void write(ByteView bytes, OnUnits&& onUnits) {
        if (bytes.empty()) {
            return;
        }
        if (length_ > 0) {
            const std::size_t taken = std::min(bytes.size(), Size - length_);
            std::memcpy(unit_.data() + length_, bytes.data(), taken);
            length_ += taken;
            bytes = bytes.subspan(taken);
            if (length_ < Size) {
                return;
            }
            onUnits(ByteView(unit_));
            length_ = 0;
        }
        const std::size_t whole = bytes.size() / Size * Size;
        if (whole > 0) {
            onUnits(bytes.first(whole));
        }
        std::memcpy(unit_.data(), bytes.data() + whole, bytes.size() - whole);
        length_ = bytes.size() - whole;
    }

    // The start of the unit that the pieces so far end in, and forgetting it.
    ByteView rest() const { return ByteView(unit_).first(length_); }
    void clear() { length_ = 0; }

  private:
    std::array<std::uint8_t, Size> unit_{};
    std::size_t length_ = 0;
};

}  // namespace tessaloom
