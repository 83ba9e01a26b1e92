#include <sys/stat.h>
#include <unistd.h>

#include "terminal.h"

namespace tessaloom::cli {

bool standardErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

bool standardOutputSharesTheTerminal() {
    if (isatty(STDOUT_FILENO) != 1 || isatty(STDERR_FILENO) != 1) {
        return false;
    }
    // Two terminals at once (output sent to another one, say) are told apart by their device.
    struct stat out {};
    struct stat err {};
    return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
           out.st_rdev == err.st_rdev;
}

}  // namespace tessaloom::cli
