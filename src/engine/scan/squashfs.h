// The files, folders and links of a squashfs 4.0 image, handed out as an archive's members.
#pragma once

#include <functional>

#include "members.h"

namespace tessaloom::scan {

// Walks the image at 0 in `image` from its root folder, depth first, each folder handed out
// before what it holds, names joined by "/"; a file's content is decoded a block at a time as it
// is read, charged to budget. The failure where the image cannot be read.
Result<MembersEnd> walkSquashfsMembers(
    ByteSource& image, PayloadBudget& budget,
    const std::function<bool(const Member&, ByteSource& content)>& onMember);

}  // namespace tessaloom::scan
