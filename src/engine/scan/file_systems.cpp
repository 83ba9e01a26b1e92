#include "signature.h"

namespace tessaloom::scan {

std::span<const Signature> fileSystemSignatures() {
    return {};
}

}  // namespace tessaloom::scan
