// Trace output: printf and puts behind the traceOn switch.
#include "veskTrace.h"

#include <cstdarg>
#include <cstdio>

int traceOn = 1;
void (*traceWriter)(const char* format, va_list args) = nullptr;

void tracef(const char* format, ...) {
    if (!traceOn) return;
    va_list args;
    va_start(args, format);
    if (traceWriter)
        traceWriter(format, args);
    else
        vprintf(format, args);
    va_end(args);
}

void traceLine(const char* line) {
    if (traceOn) tracef("%s\n", line);
}
