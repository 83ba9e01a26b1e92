// The terminal the viewer takes over: raw keys in, escape sequences out, the alternate screen,
// and the terminal given back exactly as it was however the program ends.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "../keys.h"

namespace tessaloom::cli::view {

struct ScreenSize {
    std::size_t columns = 80;
    std::size_t rows = 24;
};

// What came in while waiting.
struct ConsoleInput {
    std::vector<Key> keys;
    bool resized = false;
    bool closed = false;  // the terminal went away
};

class Console {
  public:
    // Whether standard input and standard output are both a terminal (on Windows, the console).
    static bool available();

    // Takes the terminal over: raw keys, the alternate screen, no cursor. The terminal is given
    // back by the destructor, and from a signal handler should a signal end the program first.
    // Throws std::runtime_error, with the system's reason, when the terminal cannot be set up.
    Console();
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    ScreenSize size() const;
    // Waits for keys or a change of size, at most timeoutMs milliseconds (forever when negative).
    ConsoleInput wait(int timeoutMs);
    // Sends bytes to the terminal, all of them.
    void write(std::string_view bytes);
    // Stops the program as Ctrl-Z does in a shell, with the terminal given back until it goes on
    // (the next wait() then reports a resize, for the screen to be drawn whole). Also done on a
    // SIGTSTP from another program. Nothing on Windows.
    void suspend();

  private:
    class State;
    std::unique_ptr<State> state_;
};

}  // namespace tessaloom::cli::view
