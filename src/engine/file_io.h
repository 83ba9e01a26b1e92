// Whole-file loading and saving.
#pragma once

#include <string>

#include "output_file.h"
#include "types.h"

namespace tessaloom {

// The complete content of the file at path, or an empty buffer when it is missing, unreadable,
// empty, not a regular file or block device, or could not be read in full. Never a part of it.
ByteBuffer loadFile(const std::string& path);

// Replaces the whole content of the file at path with data, through OutputFile: the file changes
// only when every byte reached it. True when it did.
bool saveFile(const std::string& path, ByteView data);

}  // namespace tessaloom
