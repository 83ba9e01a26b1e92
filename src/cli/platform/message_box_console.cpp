#include <iostream>

#include "message_box.h"

namespace tessaloom::cli {

void showMessageBox(std::string_view caption, std::string_view text) {
    std::cout << caption << "\n\n" << text << std::endl;
}

}  // namespace tessaloom::cli
