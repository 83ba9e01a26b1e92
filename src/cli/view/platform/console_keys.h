// The keys of the Windows console's input records.
#pragma once

#include <windows.h>

#include <optional>

#include "../keys.h"

namespace tessaloom::cli::view {

// The key that a key-down record stands for (once; the caller repeats it wRepeatCount times);
// empty for a key release, a lone modifier or a key the viewer does not use.
std::optional<Key> keyFromRecord(const KEY_EVENT_RECORD& record);

}  // namespace tessaloom::cli::view
