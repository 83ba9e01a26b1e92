#include "commands.h"

namespace tessaloom::cli {

int runDiff(const Arguments& /*args*/) {
    return 0;
}

}  // namespace tessaloom::cli
