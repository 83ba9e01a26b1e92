// Brings the terminal from the frame it shows to the next one with VT escape sequences, sending
// only the cells that changed, so that the view stays quick over a slow link.
#pragma once

#include <string>

#include "layout.h"

namespace tessaloom::cli::view {

// Whether the screen may use colour, given the value of NO_COLOR: not when it is set and not
// empty.
bool colourWanted(const char* noColor);

class ScreenWriter {
  public:
    // Without colour, the styles that must stand out use weight, underline and reverse video.
    explicit ScreenWriter(bool colour = true) : colour_(colour) {}
    // The bytes that turn the last frame into grid; the whole screen after a change of size or
    // invalidate().
    std::string frame(const Grid& grid);
    // Forgets what the terminal shows, so that the next frame is drawn whole.
    void invalidate() { shown_ = Grid(); }

  private:
    bool colour_;
    Grid shown_;
};

// What the viewer sends to take the terminal over, and to give it back as it was.
inline constexpr char kEnterScreen[] = "\x1b[?1049h\x1b[?25l\x1b[?7l\x1b[0m\x1b[2J";
inline constexpr char kLeaveScreen[] = "\x1b[0m\x1b[?7h\x1b[?25h\x1b[?1049l";

}  // namespace tessaloom::cli::view
