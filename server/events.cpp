// The one place that waits: the descriptors the server reads between ticks (the UDP socket,
// standard input, the control socket and its clients, the HTTP server) with a callback
// each, watched by one poll. Headless mode sleeps here until the next tick is due; the
// window loop looks in without waiting. No threads: the server's state has no locks.
#include <chrono>
#include <poll.h>
#include <vector>

#include "veskServer.h"

namespace {

struct watched {
    int fd;
    short events;
    eventCallback ready;
    void* context;
    int again; // to be called at the next step whether or not the descriptor is ready
};

std::vector<watched> table;
std::vector<pollfd> polled;
double workMs = 0;

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

void eventWatch(int fd, short events, eventCallback ready, void* context) {
    for (watched& w : table)
        if (w.fd == fd) {
            w = watched{fd, events, ready, context, 0};
            return;
        }
    table.push_back(watched{fd, events, ready, context, 0});
}

void eventUnwatch(int fd) {
    std::erase_if(table, [fd](const watched& w) { return w.fd == fd; });
}

void eventSetEvents(int fd, short events) {
    for (watched& w : table)
        if (w.fd == fd) w.events = events;
}

void eventAgain(int fd) {
    for (watched& w : table)
        if (w.fd == fd) w.again = 1;
}

int eventStep(int timeoutMs) {
    polled.clear();
    int again = 0;
    for (const watched& w : table) {
        polled.push_back(pollfd{w.fd, w.events, 0});
        again |= w.again;
    }
    int n = poll(polled.data(), polled.size(), again ? 0 : timeoutMs);
    if (n < 0) return -1;
    double t0 = nowMs();
    // A callback may watch or unwatch descriptors: each one is looked up afresh.
    for (const pollfd& p : polled)
        for (watched& w : table) {
            if (w.fd != p.fd) continue;
            if (p.revents == 0 && !w.again) break;
            watched copy = w;
            w.again = 0;
            copy.ready(copy.fd, p.revents, copy.context);
            break;
        }
    workMs += nowMs() - t0;
    return n;
}

double takeEventWorkMs() {
    double ms = workMs;
    workMs = 0;
    return ms;
}
