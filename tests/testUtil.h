// Shared test helpers: capturing log entries, silencing trace lines, a controllable clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Log entries added since the last clear.
extern std::vector<std::string> capturedLog;
void captureLog(); // points the log sink at capturedLog and clears it
bool logHas(const std::string& entry);

// A clock that only moves when the test says so.
extern uint32_t fakeNow;
void useFakeClock(uint32_t start);
void useRealClock();

// Scoped silence of the standard-output trace lines.
struct quietTrace {
    int saved;
    quietTrace();
    ~quietTrace();
};
