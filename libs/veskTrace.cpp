// Trace output: printf and puts behind the traceOn switch.
#include "veskTrace.h"

#include <cstdarg>
#include <cstdio>

int traceOn = 1;

void tracef(const char* format, ...) {
    if (!traceOn) return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

void traceLine(const char* line) {
    if (traceOn) puts(line);
}
