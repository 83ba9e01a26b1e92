#include "interrupt.h"

#include <array>
#include <atomic>

namespace tessaloom::cli {

namespace {

std::array<std::atomic<InterruptCleanup>, 8> cleanups{};

}  // namespace

void onInterrupt(InterruptCleanup cleanup) {
    for (auto& slot : cleanups) {
        InterruptCleanup empty = nullptr;
        if (slot.compare_exchange_strong(empty, cleanup)) {
            return;
        }
    }
}

void runInterruptCleanups() {
    for (auto& cleanup : cleanups) {
        if (const InterruptCleanup run = cleanup.exchange(nullptr)) {
            run();
        }
    }
}

}  // namespace tessaloom::cli
