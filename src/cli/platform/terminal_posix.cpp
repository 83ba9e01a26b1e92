#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "terminal.h"

namespace tessaloom::cli {

bool standardErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

bool standardOutputIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

bool standardOutputIsFile() {
    struct stat out {};
    return fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode);
}

bool standardOutputIsPipe() {
    struct stat out {};
    return fstat(STDOUT_FILENO, &out) == 0 && S_ISFIFO(out.st_mode);
}

std::size_t standardErrorColumns() {
    struct winsize size {};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

}  // namespace tessaloom::cli
