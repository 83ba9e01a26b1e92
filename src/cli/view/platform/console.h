// The terminal the viewer takes over: raw keys in, the grid out (as escape sequences, or on a
// Windows console that does not interpret them through its screen buffer calls), the alternate
// screen, and the terminal given back exactly as it was however the program ends.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "../keys.h"
#include "../layout.h"

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

    // Takes the terminal over: raw keys, the alternate screen, no cursor; the screen in colour or
    // not (see ScreenWriter). The terminal is given back by the destructor, and from a signal
    // handler should a signal end the program first. Throws std::runtime_error, with the
    // system's reason, when the terminal cannot be set up.
    explicit Console(bool colour);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    ScreenSize size() const;
    // Waits for keys or a change of size, at most timeoutMs milliseconds (forever when negative).
    ConsoleInput wait(int timeoutMs);
    // Shows grid, sending only the cells that changed since the last one.
    void draw(const Grid& grid);
    // Forgets what the screen shows, so that the next draw() draws it whole.
    void invalidate();
    // Stops the program as Ctrl-Z does in a shell, with the terminal given back until it goes on
    // (the next wait() then reports a resize, for the screen to be drawn whole). Also done on a
    // SIGTSTP from another program. Nothing on Windows.
    void suspend();

  private:
    class State;
    std::unique_ptr<State> state_;
};

}  // namespace tessaloom::cli::view
