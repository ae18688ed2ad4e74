// Operator log entries and standard-output trace lines. Log entries go to a sink
// (the control window's text box, standard output when headless, a capture in tests).
#pragma once

#include "../libs/veskTrace.h"

struct textBox;

extern textBox* tb; // the control window's log box; null without a window

// Receives every log entry: the text and its length (at most 255 characters).
extern void (*logSink)(const char* text, int len);

void textBoxAddStr(textBox* textB, const char* str);
void textBoxAddInt(textBox* textB, const char* str, int var);
void textBoxAddFloat(textBox* textB, const char* str, float var);

// An entry composed printf-style, cut to 255 characters.
void textBoxAddf(textBox* textB, const char* format, ...) __attribute__((format(printf, 2, 3)));
