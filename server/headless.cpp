// Headless mode for dedicated hosting: no window and no display. The server starts at
// once, log entries go to standard output, and SIGINT or SIGTERM stop it with a save; the
// exit status is 1 when that save failed.
#include <csignal>
#include <cstdio>
#include <ctime>

#include "veskServer.h"

static volatile sig_atomic_t stopRequested = 0;

static void onStopSignal(int) {
    stopRequested = 1;
}

static void stdoutLogSink(const char* text, int len) {
    printf("%.*s\n", len, text);
}

// Sleeps until the next tick is due; the window loop polls instead, a dedicated host
// should not spend a core on waiting.
static void waitForTick(uint32_t now) {
    uint32_t wait = nextTick - now;
    if (wait > uint32_t(mpt)) wait = uint32_t(mpt);
    timespec ts = {0, long(wait) * 1000000L};
    nanosleep(&ts, nullptr);
}

int runHeadless() {
    logSink = stdoutLogSink;
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    mpt = 1000 / ticksPerSecond;
    nextTick = getTicks();
    lastSec = nextTick;
    if (!startServer()) return 1;
    running = 1;
    while (running && !stopRequested) {
        uint32_t now = getTicks();
        if (!tickDue(now)) {
            waitForTick(now);
            continue;
        }
        serveTick();
        fflush(stdout); // once a tick: timely for the operator, cheap for the tick
    }
    int saved = quitServer();
    fflush(stdout);
    return saved ? 0 : 1;
}
