// Taking out what the scanner finds: each object's exact bytes as a file of its own, through the
// one safe writer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "byte_source.h"
#include "failure.h"
#include "scan.h"

namespace tessaloom {

// One file written, or passed over with the reason: an object, the payload of a compressed one
// or a member of an archive.
struct CarvedObject {
    ScanHit hit;  // the object, or the one the payload or member comes from
    // The file's path in the folder, "0x1a2b.gzip", "0x1a2b.gzip.out", "0x1a2b.tar.d/etc/passwd";
    // for a member that is refused, its stored name made safe to show behind its folder.
    std::string name;
    std::string description;  // of what was written
    std::string reason;       // empty when written: why it was not
    // For a member written under another name than its own: that name, made safe to show, and
    // why.
    std::string renamedFrom;
    std::string renameReason;
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
    // Whether the objects inside payloads and archives' members are written too, as a deep scan
    // finds them, each under the folder of the one it lies in; every payload and member is then
    // decoded within deepLimits, and warning is told of each limit reached, as by scanObjects.
    bool deep = false;
    DeepLimits deepLimits;
    ScanWarningCallback warning;
};

// What may be written in all for an input of inputSize bytes unless told otherwise: objects lie
// inside each other (a kernel in a firmware header in a partition), so more than the input, but
// in proportion to it.
std::uint64_t defaultCarveLimit(std::uint64_t inputSize);

// The path under an archive's folder that a member's stored name gives: its components, each one
// that a file system can hold, or why the member may not be written at all (a name that would
// lead out of the folder). No ".", ".." or empty components are left.
struct MemberPath {
    std::vector<std::string> components;
    std::string refused;  // why no file may be written for it; empty when one may
    std::string renamed;  // why the components differ from the stored name's; empty when not
};
MemberPath memberPath(std::string_view stored);

// Writes every object that a scan of source finds into the folder at folder, which must exist,
// as "0x<offset in lower-case hex>.<format>": its bytes from its offset for its size. A name that
// is there already and is not a regular file is passed over, as is what would pass the limit.
// A compressed stream's payload goes beside it as "<name>.out"; the members of a zip, tar or
// cpio archive go under "<name>.d/" by their names (see memberPath; a name taken already gets
// "~2", "~3"... ), where every folder is made as a real folder, never through a link, and links
// and devices are not made. Every byte written counts towards totalLimit. With options.deep, an
// object found inside a payload goes under its parent's "<name>.d/" ("0x3e9.gzip.d/0x0.tar"), one
// inside an archive's member under "<member>.d/" beside the member's own file
// ("0x101.tar.d/etc/x.d/0x0.elf"), by the same rules at every level.
// Hands each object to onCarved as it is written or passed over. The failure where source cannot
// be read or a file cannot be written.
Result<CarveSummary> carveObjects(ByteSource& source, const std::string& folder,
                                  const std::function<void(const CarvedObject&)>& onCarved,
                                  const CarveOptions& options = {});

}  // namespace tessaloom
