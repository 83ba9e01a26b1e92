#include "usage.h"

#include <iostream>

namespace tessaloom::cli {

namespace {

constexpr std::string_view kRule =
    "===============================================================";

}  // namespace

void printUsage(std::string_view program) {
    std::cout << kRule << '\n'
              << "  Tessaloom Studio v2.0 - Structural Binary Hex Workstation\n"
              << kRule << '\n'
              << '\n'
              << "Usage: " << program << " [command] [options...]\n"
              << '\n'
              << "Interactive GUI:\n"
              << "  " << program
              << " --gui                              Launch native visual hex editor\n"
              << '\n'
              << "Console & Batch Commands:\n"
              << "  --dump <FILE> [OFFSET] [LEN]          Format hex dump with ASCII sidebar\n"
              << "  --diff <FILE_A> <FILE_B>              Byte-level binary diff comparison\n"
              << "  --entropy <FILE>                      Calculate Shannon entropy and structure "
                 "analysis\n"
              << "  --strings <FILE> [MIN_LEN]            Extract printable ASCII/Unicode strings\n"
              << "  --replace <IN> <HEX_IN> <HEX_OUT> <O> Byte pattern search-and-replace\n"
              << '\n'
              << kRule << std::endl;
}

}  // namespace tessaloom::cli
