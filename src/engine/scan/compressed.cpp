#include "signature.h"

namespace tessaloom::scan {

std::span<const Signature> compressedSignatures() {
    return {};
}

}  // namespace tessaloom::scan
