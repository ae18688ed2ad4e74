// Headless mode for dedicated hosting: no window and no display. The server starts at
// once, sleeps in the event step between ticks, takes commands from standard input, prints
// log entries to standard output with a UTC timestamp (unless that is the journal, which
// stamps lines itself), and SIGINT, SIGTERM or SIGHUP stop it with a save; the exit status
// is 1 when that save failed.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "core.h"
#include "operator/operator.h"
#include "world/world.h"

static void onQuitSignal(int) {
    loop.quitRequested = loop.quitRequested + 1;
}

// Whether standard output is the journal's stream: JOURNAL_STREAM names its device and
// inode.
static int stdoutIsJournal() {
    const char* stream = getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    struct stat st;
    if (!stream || sscanf(stream, "%llu:%llu", &dev, &ino) != 2 || fstat(1, &st) != 0) return 0;
    return st.st_dev == dev && st.st_ino == ino;
}

static void journalSink(const char* text, int len) {
    char line[300];
    int n = snprintf(line, sizeof line, "%.*s\n", len, text);
    outputText(line, size_t(n));
}

// ISO 8601 in UTC with milliseconds: 2026-12-07T08:00:00.123Z.
static void stampedSink(const char* text, int len) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc;
    gmtime_r(&now.tv_sec, &utc);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    char line[340];
    int n =
        snprintf(line, sizeof line, "%s.%03ldZ %.*s\n", stamp, now.tv_nsec / 1000000, len, text);
    outputText(line, size_t(n));
}

int runHeadless() {
    openOutput();
    logging.sink = stdoutIsJournal() ? journalSink : stampedSink;
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);

    loop.mpt = 1000 / options.ticksPerSecond;
    loop.nextTick = getTicks();
    loop.lastSec = loop.nextTick;
    if (!startServer()) return 1;
    watchConsole();
    loop.running = 1;
    // A stop saves first; while its save fails the server serves on and tries again, so that
    // nothing is lost, until a second request says to stop anyway.
    int asked = 0;
    uint32_t lastTry = 0;
    int status = -1;
    while (status < 0) {
        uint32_t now = getTicks();
        if (loop.quitRequested > asked && asked > 0) {
            stopWithoutSaving();
            status = 1;
            break;
        }
        if (loop.quitRequested > asked ||
            (asked > 0 && now - lastTry >= stopRetrySeconds * 1000u)) {
            int first = asked == 0;
            asked = loop.quitRequested;
            lastTry = now;
            if (stopOrKeepServing(first)) status = 0;
            flushOutput();
            continue;
        }
        notifyWatchdog(now);
        if (!tickDue(now)) {
            // Sleeps until the tick is due unless a descriptor needs serving first; a
            // dedicated host should not spend a core on waiting.
            uint32_t wait = loop.nextTick - now;
            eventStep(int(wait < uint32_t(loop.mpt) ? wait : uint32_t(loop.mpt)));
            continue;
        }
        serveTick();
        flushOutput(); // once a tick: timely for the operator, cheap for the tick
    }
    closeOutput(5000); // the last entries say how the stop went: worth a wait for the reader
    return status;
}
