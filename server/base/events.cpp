// The one place that waits: the descriptors the server reads between ticks (the UDP socket,
// standard input, the control socket and its clients, the HTTP server) with a callback
// each, watched by one poll. Headless mode sleeps here until the next tick is due; the
// window loop looks in without waiting. No threads: the server's state has no locks.
#include "loop.h"

void eventWatch(int fd, short events, eventCallback ready, void* context) {
    for (watchedDescriptor& w : loop.table)
        if (w.fd == fd) {
            w = watchedDescriptor{fd, events, ready, context, 0};
            return;
        }
    loop.table.push_back(watchedDescriptor{fd, events, ready, context, 0});
}

void eventUnwatch(int fd) {
    std::erase_if(loop.table, [fd](const watchedDescriptor& w) { return w.fd == fd; });
}

void eventSetEvents(int fd, short events) {
    for (watchedDescriptor& w : loop.table)
        if (w.fd == fd) w.events = events;
}

void eventAgain(int fd) {
    for (watchedDescriptor& w : loop.table)
        if (w.fd == fd) w.again = 1;
}

int eventStep(int timeoutMs) {
    loop.polled.clear();
    int again = 0;
    for (const watchedDescriptor& w : loop.table) {
        loop.polled.push_back(pollfd{w.fd, w.events, 0});
        again |= w.again;
    }
    int n = poll(loop.polled.data(), loop.polled.size(), again ? 0 : timeoutMs);
    if (n < 0) return -1;
    double t0 = steadyMs();
    // A callback may watch or unwatch descriptors: each one is looked up afresh.
    for (const pollfd& p : loop.polled)
        for (watchedDescriptor& w : loop.table) {
            if (w.fd != p.fd) continue;
            if (p.revents == 0 && !w.again) break;
            watchedDescriptor copy = w;
            w.again = 0;
            copy.ready(copy.fd, p.revents, copy.context);
            break;
        }
    loop.workMs += steadyMs() - t0;
    return n;
}

double takeEventWorkMs() {
    double ms = loop.workMs;
    loop.workMs = 0;
    return ms;
}
