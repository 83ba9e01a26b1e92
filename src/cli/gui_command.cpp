#include "commands.h"
#include "info_window.h"

namespace tessaloom::cli {

int runGui(const Arguments& /*args*/) {
    showInfoWindow();
    return 0;
}

}  // namespace tessaloom::cli
