// Formatting of log entries into a bounded buffer and hand-off to the current sink;
// entries longer than 255 characters are cut.
#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

textBox* tb = nullptr;

static void dropEntry(const char*, int) {}
void (*logSink)(const char* text, int len) = dropEntry;

static void emit(const char* text) {
    int len = int(strnlen(text, 255));
    logSink(text, len);
}

void textBoxAddStr(textBox*, const char* str) {
    char line[256];
    snprintf(line, sizeof line, "%s", str);
    emit(line);
}

void textBoxAddInt(textBox*, const char* str, int var) {
    char line[256];
    snprintf(line, sizeof line, "%s%d)", str, var);
    emit(line);
}

void textBoxAddFloat(textBox*, const char* str, float var) {
    char line[256];
    snprintf(line, sizeof line, "%s%f)", str, double(var));
    emit(line);
}

void textBoxAddf(textBox*, const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    emit(line);
}
