// Test data written as text.
#pragma once

#include <string_view>

#include "engine/types.h"

namespace tessaloom {

// The bytes of text, one per character.
inline ByteBuffer textBytes(std::string_view text) {
    return {text.begin(), text.end()};
}

}  // namespace tessaloom
