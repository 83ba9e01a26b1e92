// Whole-file loading and saving.
#pragma once

#include <functional>
#include <string>

#include "types.h"

namespace tessaloom {

// The complete content of the file at path, or an empty buffer when it is missing, unreadable,
// empty, not a regular file or block device, or could not be read in full. Never a part of it.
ByteBuffer loadFile(const std::string& path);

// Replaces the whole content of the file at path with data. True when every byte reached the
// file and it was closed without error.
//
// A regular file, or a missing one, is written as a new file beside it and then renamed over it,
// so that a failed write leaves the old content whole and no stray file. The replacement keeps
// the old file's permission bits, and a symbolic link is followed so that the file it points to
// is replaced and the link stays. Anything else (a device, a FIFO), and a file in a folder that
// takes no new files, is written in place. A file whose permissions refuse writing is refused.
bool saveFile(const std::string& path, ByteView data);

// Writes the next bytes of a file being saved; false when they could not be written.
using ContentSink = std::function<bool(ByteView bytes)>;

// Hands the whole content of a file being saved to the sink, in order. False, or an exception,
// abandons the save.
using ContentProducer = std::function<bool(const ContentSink& write)>;

// saveFile for content made a piece at a time, with the same guarantees: the target changes only
// when produce returned true and everything it wrote reached the file. sourcePath names a file
// that produce reads while it writes: should the target be that file and have to be written in
// place, it is overwritten without being truncated first, which is safe as long as produce writes
// no byte before it has read it.
bool saveFileFrom(const std::string& path, const ContentProducer& produce,
                  const std::string& sourcePath = {});

}  // namespace tessaloom
