#include "payload.h"

namespace tessaloom::scan {

bool hasPayload(std::string_view) {
    return false;
}

Result<PayloadEnd> decodePayload(ByteSource&, std::string_view, PayloadBudget&,
                                 const std::function<bool(ByteView)>&) {
    return PayloadEnd{};
}

Result<std::unique_ptr<PayloadSource>> openPayload(ByteSource&, std::string_view, PayloadBudget&) {
    return Failure{Failure::Kind::kRead, "", "no payload", 0, {}};
}

}  // namespace tessaloom::scan
