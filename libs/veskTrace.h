// Trace lines on standard output, shared by the library and the server. A global switch
// lets tests and benchmarks silence them without touching what the server prints.
#pragma once

#include <cstdarg>

extern int traceOn;
// Where trace lines go instead of standard output's stream, when set.
extern void (*traceWriter)(const char* format, va_list args);
void tracef(const char* format, ...) __attribute__((format(printf, 1, 2)));
void traceLine(const char* line);
