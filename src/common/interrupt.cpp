// interrupt.cpp: the installed check of interrupt.h. One check per process; the hosts install it
// on the thread that runs the work, and the work polls on that thread only.
#include "common/interrupt.h"

#include <atomic>

namespace trelvak {
namespace {
std::atomic<InterruptCheck> current{nullptr};
}  // namespace

InterruptCheck set_interrupt_check(InterruptCheck check) {
    return current.exchange(check);
}

void poll_interrupt() {
    const InterruptCheck check = current.load(std::memory_order_relaxed);
    if (check != nullptr && check()) {
        throw Interrupted();
    }
}

}  // namespace trelvak
