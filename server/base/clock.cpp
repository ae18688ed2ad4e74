// The clocks: the default millisecond source of the loop (SDL's in window mode, a fake one in
// tests) and the steady clock that times work.
#include <chrono>

#include "loop.h"

uint32_t monotonicTicks() {
    using namespace std::chrono;
    static const steady_clock::time_point start = steady_clock::now();
    return uint32_t(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

double steadyMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}
