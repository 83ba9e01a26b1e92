#include "commands.h"

namespace tessaloom::cli {

int runEntropy(const Arguments& /*args*/) {
    return 0;
}

}  // namespace tessaloom::cli
