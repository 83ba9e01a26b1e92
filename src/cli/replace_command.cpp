#include "commands.h"

namespace tessaloom::cli {

int runReplace(const Arguments& /*args*/) {
    return 0;
}

}  // namespace tessaloom::cli
