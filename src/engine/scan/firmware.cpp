#include "signature.h"

namespace tessaloom::scan {

std::span<const Signature> firmwareSignatures() {
    return {};
}

}  // namespace tessaloom::scan
