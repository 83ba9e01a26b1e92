#include "signature.h"

namespace tessaloom::scan {

std::span<const Signature> executableSignatures() {
    return {};
}

}  // namespace tessaloom::scan
