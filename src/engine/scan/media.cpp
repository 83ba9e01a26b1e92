#include "signature.h"

namespace tessaloom::scan {

std::span<const Signature> mediaSignatures() {
    return {};
}

}  // namespace tessaloom::scan
