// Taking out what the scanner finds: each object's exact bytes as a file of its own, through the
// one safe writer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "byte_source.h"
#include "failure.h"
#include "scan.h"

namespace tessaloom {

// One object written, or passed over with the reason.
struct CarvedObject {
    ScanHit hit;
    std::string name;    // the file's name in the folder, "0x1a2b.gzip"
    std::string reason;  // empty when written: why it was not
};

struct CarveSummary {
    std::uint64_t objects = 0;  // found
    std::uint64_t files = 0;    // written
    std::uint64_t bytes = 0;    // written in all
    std::uint64_t skipped = 0;
};

struct CarveOptions {
    ProgressCallback progress;
    // Bytes that may be written in all, however the objects nest; those that would pass it are
    // passed over.
    std::uint64_t totalLimit = UINT64_MAX;
};

// What may be written in all for an input of inputSize bytes unless told otherwise: objects lie
// inside each other (a kernel in a firmware header in a partition), so more than the input, but
// in proportion to it.
std::uint64_t defaultCarveLimit(std::uint64_t inputSize);

// Writes every object that a scan of source finds into the folder at folder, which must exist,
// as "0x<offset in lower-case hex>.<format>": its bytes from its offset for its size. A name that
// is there already and is not a regular file is passed over, as is what would pass the limit.
// Hands each object to onCarved as it is written or passed over. The failure where source cannot
// be read or a file cannot be written.
Result<CarveSummary> carveObjects(ByteSource& source, const std::string& folder,
                                  const std::function<void(const CarvedObject&)>& onCarved,
                                  const CarveOptions& options = {});

}  // namespace tessaloom
