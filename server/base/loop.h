// The process's loop: its clocks (the millisecond ticks every time-out compares, and the
// steady clock that times work), the 20-per-second tick clock with catch-up, the stops asked
// for, and the one place that waits between ticks, watching every descriptor the server
// reads. One record, `loop`, lives as long as the process.
#pragma once

#include <csignal>
#include <cstdint>
#include <poll.h>
#include <vector>

using eventCallback = void (*)(int fd, short revents, void* context);
// Called when work an operator asked for (a save, a list's file) is done, with its answer.
using saveDone = void (*)(void* context, int saved, const char* text);

struct watchedDescriptor {
    int fd;
    short events;
    eventCallback ready;
    void* context;
    int again; // to be called at the next step whether or not the descriptor is ready
};

struct eventLoop {
    // SDL-style millisecond ticks, unsigned 32-bit, compared by unsigned subtraction;
    // tests replace the source to drive time-outs.
    uint32_t (*clock)();
    // The tick clock: a tick is due whenever the clock has reached nextTick.
    int mpt; // milliseconds a tick
    uint32_t nextTick;
    uint32_t lastSec;
    uint32_t ticksThisSecond;
    int running;
    // Stops of the process with a save asked for so far (signals, the stop command).
    volatile sig_atomic_t quitRequested;
    // What the event step watches.
    std::vector<watchedDescriptor> table;
    std::vector<pollfd> polled;
    double workMs; // the callbacks' time since takeEventWorkMs
};
extern eventLoop loop;

// Milliseconds since the first call, from the monotonic clock; the default source.
uint32_t monotonicTicks();
inline uint32_t getTicks() {
    return loop.clock();
}
double steadyMs(); // the steady clock, in ms with fractions, for timing work

int tickDue(uint32_t now); // 1 when a tick is due at `now` (and accounted for)
void requestQuit();

void eventWatch(int fd, short events, eventCallback ready, void* context);
void eventUnwatch(int fd);
void eventSetEvents(int fd, short events);
// The callback has more to do at once: the next step calls it without waiting.
void eventAgain(int fd);
// Waits at most timeoutMs (0: not at all) for the watched descriptors and runs the
// callbacks of the ready ones; how many were ready, -1 when the wait failed.
int eventStep(int timeoutMs);
double takeEventWorkMs(); // the callbacks' time since the last call
