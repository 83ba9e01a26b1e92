// The information window shown when the program is started without a command, or with --gui.
#pragma once

#include <string_view>

namespace tessaloom::cli {

inline constexpr std::string_view kInfoCaption = "Tessaloom Studio";
inline constexpr std::string_view kInfoText =
    "Tessaloom Studio v2.0 - Structural Binary Hex Workstation\n\n"
    "Features: 64-bit Memory-Mapped Hex Editor, Binary Diff Visualizer, Shannon Entropy Mapper & "
    "PE/ELF Templates.\n"
    "Run from command prompt with --help for batch diffing and search-and-replace.";

// Shows the information window and returns when the user has dismissed it.
void showInfoWindow();

}  // namespace tessaloom::cli
