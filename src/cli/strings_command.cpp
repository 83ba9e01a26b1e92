#include "commands.h"

namespace tessaloom::cli {

int runStrings(const Arguments& /*args*/) {
    return 0;
}

}  // namespace tessaloom::cli
