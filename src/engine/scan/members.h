// The members an archive lists, as the carver extracts them and the deep scan looks inside them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "../byte_source.h"
#include "../failure.h"
#include "payload.h"

namespace tessaloom::scan {

enum class MemberKind : std::uint8_t {
    kFile,
    kDirectory,
    kSymbolicLink,
    kHardLink,
    kDevice,  // character or block device, FIFO or socket
    kOther,
};

struct Member {
    // The name as the archive stores it, unchecked: it may hold "../", start with "/" or a drive
    // letter, hold NUL bytes or be empty. Making it safe is the caller's.
    std::string name;
    MemberKind kind = MemberKind::kFile;
    std::string linkTarget;    // for links, as stored
    std::uint64_t size = 0;    // of its content
    std::uint64_t offset = 0;  // where its stored bytes start in the archive
    // Why its content cannot be given (encrypted, a compression the decoders do not know, a
    // payload that would not open), in words for a line; empty when the content holds it.
    std::string unreadable;
    // Why its decoded content ends before its stream does (PayloadEnd::cutShort), and whether a
    // limit of the budget cut it; empty for whole content.
    std::string cutShort;
    bool limited = false;
};

// How a walk ended.
struct MembersEnd {
    std::uint64_t members = 0;  // handed out
    // Why the walk stopped before the archive's end, in words for a warning line ("the header at
    // 0x2400 is damaged"); empty when it went through the whole list.
    std::string stoppedShort;
};

// Whether the format's members can be walked ("zip", "tar", "cpio", "squashfs").
bool hasMembers(std::string_view format);

// Hands each member of the archive of `format` that starts at 0 in `archive` to onMember, in the
// order the archive lists them, with a source of its content (a window of the archive for stored
// bytes, a payload charged to budget for compressed ones), valid during the call; onMember
// returns false to stop. Every loop is bounded by the archive's size. The failure where the
// archive cannot be read.
Result<MembersEnd> walkMembers(
    ByteSource& archive, std::string_view format, PayloadBudget& budget,
    const std::function<bool(const Member&, ByteSource& content)>& onMember);

}  // namespace tessaloom::scan
