#include "info_window.h"

#include "platform/message_box.h"

namespace tessaloom::cli {

void showInfoWindow() {
    showMessageBox(kInfoCaption, kInfoText);
}

}  // namespace tessaloom::cli
