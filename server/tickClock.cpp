// The tick clock: a tick is due whenever the millisecond clock has reached nextTick,
// which advances from its own value so ticks missed in a stall run back to back.
// Once a second the count of ticks is checked and an off rate is reported. Times are
// compared by their difference, so the clock may wrap (after 49.7 days) mid-run.
#include "veskServer.h"

int ticksPerSecond = 20;
int mpt = 1000 / 20;
uint32_t nextTick = 0;
uint32_t lastSec = 0;
uint32_t ticksThisSecond = 0;
int running = 0;
volatile sig_atomic_t quitRequested = 0;

void requestQuit() {
    quitRequested = quitRequested + 1;
}

int tickDue(uint32_t now) {
    if (int32_t(now - nextTick) < 0) return 0;
    ticksThisSecond++;
    nextTick += uint32_t(mpt);
    if (now - lastSec > 1000) {
        if ((ticksThisSecond < uint32_t(ticksPerSecond - 1) ||
             ticksThisSecond > uint32_t(ticksPerSecond + 1)) &&
            now > 2000) {
            tracef("Ticks this second: %u\n", ticksThisSecond);
            tracef("SDL_GetTicks(): %u\n", now);
            tracef("nextTick: %u\n", nextTick);
        }
        ticksThisSecond = 0;
        lastSec = now;
    }
    return 1;
}
