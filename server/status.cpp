// The operator's status line: players in the game and connecting, the mean and longest
// tick, the size of the world and the datagrams dropped (by the server and by the system),
// measured over each interval and logged once an interval and at Stop.
#include <chrono>

#include "veskServer.h"

int statusSeconds = 60;

static uint32_t intervalStart = 0;
static double tickMsSum = 0;
static double tickMsMax = 0;
static long ticks = 0;
static long long droppedAtStart = 0;
static long long systemDroppedAtStart = 0;

static double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

void startStatus() {
    intervalStart = getTicks();
    tickMsSum = tickMsMax = 0;
    ticks = 0;
    droppedAtStart = traffic.dropped;
    systemDroppedAtStart = traffic.systemDropped;
}

void logStatus() {
    int playing = 0, connecting = 0;
    for (ArrayList* b = profList; b; b = b->next)
        for (int i = 0; i < b->filled; i++) {
            int stage = reinterpret_cast<veskProfile**>(b->data)[i]->stage;
            playing += stage == psGame;
            connecting += stage != psGame && stage != psNotConn;
        }
    textBoxAddf(tb,
                "Status: %d playing, %d connecting, tick mean %.2f ms, max %.2f ms, %d chunks, "
                "%d entities, %lld datagrams dropped, %lld dropped by the system",
                playing, connecting, ticks ? tickMsSum / double(ticks) : 0.0, tickMsMax,
                arrayListGetLength(terList), arrayListGetLength(entList),
                traffic.dropped - droppedAtStart, traffic.systemDropped - systemDroppedAtStart);
    startStatus();
}

void timedGameTic() {
    double t0 = nowMs();
    gameTic();
    double ms = nowMs() - t0;
    tickMsSum += ms;
    if (ms > tickMsMax) tickMsMax = ms;
    ticks++;
    if (getTicks() - intervalStart >= uint32_t(statusSeconds) * 1000u) logStatus();
}
