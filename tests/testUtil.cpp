// Shared test helpers.
#include "testUtil.h"

#include <algorithm>

#include "clock.h"
#include "log.h"

std::vector<std::string> capturedLog;

static void captureSink(const char* text, int len) {
    capturedLog.emplace_back(text, size_t(len));
}

void captureLog() {
    capturedLog.clear();
    logSink = captureSink;
}

bool logHas(const std::string& entry) {
    return std::find(capturedLog.begin(), capturedLog.end(), entry) != capturedLog.end();
}

uint32_t fakeNow = 0;
static uint32_t fakeTicks() {
    return fakeNow;
}

void useFakeClock(uint32_t start) {
    fakeNow = start;
    clockSource = fakeTicks;
}

void useRealClock() {
    clockSource = monotonicTicks;
}

quietTrace::quietTrace() : saved(traceOn) {
    traceOn = 0;
}
quietTrace::~quietTrace() {
    traceOn = saved;
}
