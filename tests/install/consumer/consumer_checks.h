// What the consumer's checks share: two small files, and checks that report what failed and let
// the program go on to the next one.
#pragma once

#include <tessaloom/types.h>

#include <iostream>
#include <string_view>

inline const tessaloom::ByteBuffer kFileA{0x41, 0x41, 0x41, 0x42, 0x41, 0x41};
inline const tessaloom::ByteBuffer kFileB{0x41, 0x7A, 0x41, 0x42, 0x00, 0x41, 0x43, 0x00};

inline int failedChecks = 0;

inline void check(bool passed, std::string_view what) {
    if (!passed) {
        std::cout << "FAILED: " << what << '\n';
        ++failedChecks;
    }
}

inline int checkResult(std::string_view program) {
    if (failedChecks == 0) {
        std::cout << program << ": all checks passed\n";
    }
    return failedChecks == 0 ? 0 : 1;
}
