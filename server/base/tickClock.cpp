// The tick clock: a tick is due whenever the millisecond clock has reached nextTick,
// which advances from its own value so ticks missed in a stall run back to back.
// Once a second the count of ticks is checked and an off rate is reported. Times are
// compared by their difference, so the clock may wrap (after 49.7 days) mid-run.
#include "loop.h"
#include "options.h"
#include "veskTrace.h"

eventLoop loop = {monotonicTicks, 1000 / 20, 0, 0, 0, 0, 0, {}, {}, 0};

void requestQuit() {
    loop.quitRequested = loop.quitRequested + 1;
}

int tickDue(uint32_t now) {
    if (int32_t(now - loop.nextTick) < 0) return 0;
    loop.ticksThisSecond++;
    loop.nextTick += uint32_t(loop.mpt);
    if (now - loop.lastSec > 1000) {
        if ((loop.ticksThisSecond < uint32_t(options.ticksPerSecond - 1) ||
             loop.ticksThisSecond > uint32_t(options.ticksPerSecond + 1)) &&
            now > 2000) {
            tracef("Ticks this second: %u\n", loop.ticksThisSecond);
            tracef("SDL_GetTicks(): %u\n", now);
            tracef("nextTick: %u\n", loop.nextTick);
        }
        loop.ticksThisSecond = 0;
        loop.lastSec = now;
    }
    return 1;
}
