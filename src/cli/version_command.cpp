#include "commands.h"
#include "console.h"

#include <iostream>

namespace tessaloom::cli {

int runVersion(const Arguments& /*args*/) {
    writeLine(std::cout, "Tessaloom Studio " TESSALOOM_VERSION);
    return 0;
}

}  // namespace tessaloom::cli
