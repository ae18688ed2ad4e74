// Default millisecond clock for runs without SDL; the window build points
// `clockSource` at SDL's own clock.
#include "clock.h"

#include <chrono>

uint32_t monotonicTicks() {
    using namespace std::chrono;
    static const steady_clock::time_point start = steady_clock::now();
    return uint32_t(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

uint32_t (*clockSource)(void) = monotonicTicks;
