#include "members.h"

namespace tessaloom::scan {

bool hasMembers(std::string_view) {
    return false;
}

Result<MembersEnd> walkMembers(ByteSource&, std::string_view, PayloadBudget&,
                               const std::function<bool(const Member&, ByteSource&)>&) {
    return MembersEnd{};
}

}  // namespace tessaloom::scan
