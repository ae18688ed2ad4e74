// Trace output: printf and puts behind the trace.on switch.
#include "veskTrace.h"

#include <cstdarg>
#include <cstdio>

traceSettings trace = {1, nullptr};

void tracef(const char* format, ...) {
    if (!trace.on) return;
    va_list args;
    va_start(args, format);
    if (trace.writer)
        trace.writer(format, args);
    else
        vprintf(format, args);
    va_end(args);
}

void traceLine(const char* line) {
    if (trace.on) tracef("%s\n", line);
}
