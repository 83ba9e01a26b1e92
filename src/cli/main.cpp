// Tessaloom Studio: a console workstation for inspecting and patching binary files.
#include <csignal>
#include <iostream>
#include <new>
#include <stdexcept>

#include "args.h"
#include "console.h"
#include "dispatch.h"
#include "engine/output_file.h"
#include "engine/types.h"
#include "platform/interrupt.h"

namespace {

using tessaloom::cli::failWith;

// A report that never reached standard output (a full disk, a closed pipe) is a failure.
int checkOutput(int status) {
    if (!std::cout.flush()) {
        return failWith("Cannot write to standard output");
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef SIGXFSZ
    // A write beyond the file size limit then fails like any other write, so that saving removes
    // its temporary file and the failure is reported, instead of the program ending half way.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    tessaloom::cli::onInterrupt(tessaloom::removeUnfinishedOutputs);
    tessaloom::cli::installInterruptHandlers();
    std::cerr.setf(std::ios::unitbuf);
    std::cerr.tie(&std::cout);
    try {
        return checkOutput(tessaloom::cli::runCommandLine(argc, argv));
    } catch (const tessaloom::cli::ArgumentError& error) {
        return failWith(error.what());
    } catch (const tessaloom::ReadError& error) {
        return failWith(tessaloom::cli::failureText(error.failure()));
    } catch (const std::bad_alloc&) {
        return failWith("Not enough memory to load the file");
    } catch (const std::length_error&) {
        return failWith("Not enough memory to load the file");
    }
}
