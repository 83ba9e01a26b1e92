#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>

#include "../screen.h"
#include "console.h"
#include "platform/interrupt.h"

namespace tessaloom::cli::view {

namespace {

// How long the rest of an escape sequence may take to arrive before a lone Escape is the key.
constexpr int kEscapeWaitMs = 25;

// What a signal handler needs to give the terminal back: set before raw mode starts, read only
// by async-signal-safe calls.
termios savedModes{};
termios rawModes{};
std::atomic<bool> taken{false};
int resizePipe[2] = {-1, -1};

void writeAll(const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t wrote = ::write(STDOUT_FILENO, bytes, size);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return;
        }
        bytes += wrote;
        size -= static_cast<std::size_t>(wrote);
    }
}

// Safe in a signal handler: write(2) of a fixed string and tcsetattr.
void giveBack() {
    if (taken.exchange(false)) {
        writeAll(kLeaveScreen, sizeof kLeaveScreen - 1);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedModes);
    }
}

void takeOver() {
    taken = true;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &rawModes);
    writeAll(kEnterScreen, sizeof kEnterScreen - 1);
}

extern "C" void suspendHere(int);

// SIGTSTP, from Ctrl-Z or from another program: the interrupting signals wait until the terminal
// is given back or taken again.
struct sigaction suspendAction() {
    struct sigaction action {};
    action.sa_handler = suspendHere;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGWINCH}) {
        sigaddset(&action.sa_mask, signal);
    }
    return action;
}

// Stops as a program that keeps the terminal must: the terminal given back first, so that the
// shell is usable, and taken again, and the screen drawn whole, once the run goes on.
extern "C" void suspendHere(int) {
    const int saved = errno;
    const bool had = taken.exchange(false);
    if (had) {
        writeAll(kLeaveScreen, sizeof kLeaveScreen - 1);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedModes);
    }
    struct sigaction stop {};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTSTP, &stop, nullptr);
    sigset_t suspend;
    sigemptyset(&suspend);
    sigaddset(&suspend, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &suspend, nullptr);
    raise(SIGTSTP);
    // Here after SIGCONT (or at once in a process group that no shell controls, which the system
    // does not stop).
    const struct sigaction again = suspendAction();
    sigaction(SIGTSTP, &again, nullptr);
    if (had) {
        takeOver();
        const char byte = 0;
        [[maybe_unused]] const ssize_t ignored = ::write(resizePipe[1], &byte, 1);
    }
    errno = saved;
}

extern "C" void noteResize(int) {
    const int saved = errno;
    const char byte = 0;
    [[maybe_unused]] const ssize_t ignored = ::write(resizePipe[1], &byte, 1);
    errno = saved;
}

[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

class Console::State {
  public:
    explicit State(bool colour) : writer(colour) {}

    VtKeyDecoder decoder;
    ScreenWriter writer;
    struct sigaction previousResize {};
    struct sigaction previousSuspend {};
};

bool Console::available() {
    return isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1;
}

Console::Console(bool colour) : state_(std::make_unique<State>(colour)) {
    if (tcgetattr(STDIN_FILENO, &savedModes) != 0) {
        fail("Cannot read the terminal's modes");
    }
    if (resizePipe[0] < 0) {
        if (pipe(resizePipe) != 0) {
            fail("Cannot make a pipe");
        }
        for (const int end : resizePipe) {
            fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
            fcntl(end, F_SETFD, FD_CLOEXEC);
        }
    }
    struct sigaction action {};
    action.sa_handler = noteResize;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &action, &state_->previousResize);
    cli::onInterrupt(giveBack);

    rawModes = savedModes;
    rawModes.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    rawModes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    rawModes.c_cflag |= CS8;
    // Without ISIG, Ctrl-C, Ctrl-Z and Ctrl-\ arrive as keys, for the viewer to handle.
    rawModes.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
    rawModes.c_cc[VMIN] = 1;
    rawModes.c_cc[VTIME] = 0;
    taken = true;
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &rawModes) != 0) {
        taken = false;
        fail("Cannot set the terminal's modes");
    }
    writeAll(kEnterScreen, sizeof kEnterScreen - 1);
    // A SIGTSTP ignored when the program started (a shell without job control) stays ignored.
    sigaction(SIGTSTP, nullptr, &state_->previousSuspend);
    if (state_->previousSuspend.sa_handler != SIG_IGN) {
        const struct sigaction suspend = suspendAction();
        sigaction(SIGTSTP, &suspend, nullptr);
    }
}

Console::~Console() {
    giveBack();
    sigaction(SIGTSTP, &state_->previousSuspend, nullptr);
    sigaction(SIGWINCH, &state_->previousResize, nullptr);
}

void Console::suspend() {
    // The whole process group, as the terminal's Ctrl-Z would stop it; not where the shell has
    // no job control to bring it back.
    if (state_->previousSuspend.sa_handler != SIG_IGN) {
        kill(0, SIGTSTP);
    }
}

ScreenSize Console::size() const {
    struct winsize size {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
        return {};
    }
    return {size.ws_col, size.ws_row};
}

void Console::draw(const Grid& grid) {
    const std::string bytes = state_->writer.frame(grid);
    writeAll(bytes.data(), bytes.size());
}

void Console::invalidate() {
    state_->writer.invalidate();
}

ConsoleInput Console::wait(int timeoutMs) {
    ConsoleInput input;
    pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {resizePipe[0], POLLIN, 0}};
    int timeout = timeoutMs;
    for (;;) {
        const int ready = poll(watched, 2, state_->decoder.holding() ? kEscapeWaitMs : timeout);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            state_->decoder.flush(input.keys);
            return input;
        }
        if ((watched[1].revents & POLLIN) != 0) {
            char drained[64];
            while (::read(resizePipe[0], drained, sizeof drained) > 0) {
            }
            input.resized = true;
        }
        if ((watched[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char bytes[4096];
            const ssize_t count = ::read(STDIN_FILENO, bytes, sizeof bytes);
            if (count <= 0 && !(count < 0 && (errno == EINTR || errno == EAGAIN))) {
                input.closed = true;
                return input;
            }
            if (count > 0) {
                state_->decoder.feed(std::string_view(bytes, static_cast<std::size_t>(count)),
                                     input.keys);
            }
        }
        // Keys or a resize came: return them, unless an escape sequence is still arriving.
        if (!state_->decoder.holding()) {
            return input;
        }
        timeout = 0;
    }
}

}  // namespace tessaloom::cli::view
