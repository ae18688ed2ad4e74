// Trace lines on standard output, shared by the library and the server. A switch lets tests
// and benchmarks silence them without touching what the server prints.
#pragma once

#include <cstdarg>

struct traceSettings {
    int on;
    // Where trace lines go instead of standard output's stream, when set.
    void (*writer)(const char* format, va_list args);
};
extern traceSettings trace;
void tracef(const char* format, ...) __attribute__((format(printf, 1, 2)));
void traceLine(const char* line);
