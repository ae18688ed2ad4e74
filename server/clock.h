// The server's one source of time: SDL-style millisecond ticks, unsigned 32-bit,
// compared by unsigned subtraction. Tests replace the source to drive time-outs.
#pragma once

#include <cstdint>

extern uint32_t (*clockSource)(void);

inline uint32_t getTicks() {
    return clockSource();
}

// Milliseconds since the first call, from the monotonic clock; the default source.
uint32_t monotonicTicks();
