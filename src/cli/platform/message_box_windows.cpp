#include <windows.h>

#include <string>

#include "message_box.h"

namespace tessaloom::cli {

void showMessageBox(std::string_view caption, std::string_view text) {
    const std::string captionText(caption);
    const std::string bodyText(text);
    MessageBoxA(nullptr, bodyText.c_str(), captionText.c_str(), MB_OK | MB_ICONINFORMATION);
}

}  // namespace tessaloom::cli
