// The one platform service of the front end: a modal message box with an OK button and an
// information icon.
#pragma once

#include <string_view>

namespace tessaloom::cli {

// Shows caption and text and returns when the box is dismissed. Where the platform has no
// message box, writes the caption, an empty line and the text to standard output instead.
void showMessageBox(std::string_view caption, std::string_view text);

}  // namespace tessaloom::cli
