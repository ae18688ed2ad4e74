// The operator's status line: players in the game and connecting, the mean and longest
// tick, the size of the world and the datagrams dropped (by the server and by the system),
// measured over each interval and logged once an interval and at Stop.
#include <chrono>
#include <cstdio>

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

void statusLine(char* out, size_t outSize) {
    int playing = 0, connecting = 0;
    for (veskProfile* pro : liveSessions()) {
        playing += pro->stage == psGame;
        connecting += pro->stage != psGame;
    }
    snprintf(out, outSize,
             "Status: %d playing, %d connecting, tick mean %.2f ms, max %.2f ms, %d chunks, "
             "%d entities, %lld datagrams dropped, %lld dropped by the system",
             playing, connecting, ticks ? tickMsSum / double(ticks) : 0.0, tickMsMax,
             arrayListGetLength(terList), arrayListGetLength(entList),
             traffic.dropped - droppedAtStart, traffic.systemDropped - systemDroppedAtStart);
}

void logStatus() {
    char line[300];
    statusLine(line, sizeof line);
    textBoxAddStr(tb, line);
    notifyStatus(line);
    startStatus();
}

double steadyMs() {
    return nowMs();
}

void countTick(double ms) {
    tickMsSum += ms;
    if (ms > tickMsMax) tickMsMax = ms;
    ticks++;
    if (getTicks() - intervalStart >= uint32_t(statusSeconds) * 1000u) logStatus();
}
