// Operator log entries, standard output, and the escaping of client text. Log entries go
// to a sink (the control window's text box, standard output when headless, a capture in
// tests); text that came from a client is never printed as it came: it is shown escaped.
// Entries caused by datagrams are limited to a few a second, and standard output is written
// without ever waiting for its reader. One record, `logging`, lives as long as the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <string>

#include "probeTable.h"
#include "veskTrace.h"

struct textBox;

// The entries of one kind in the current second.
struct kindCount {
    const char* kind;
    long shown, heldBack;
    long addresses;    // distinct senders of the entries held back
    int addressesFull; // more than the set could hold
};
constexpr int maxEntryKinds = 64;

struct logState {
    textBox* box; // the control window's log box; null without a window
    // Receives every log entry: the text and its length (at most 255 characters).
    void (*sink)(const char* text, int len);
    int showProtocolEntries; // the window's log, or --verbose
    // The entries datagrams cause, this second: counts per kind, and the senders of those
    // held back, each counted once (the kind's index and the address).
    kindCount kinds[maxEntryKinds];
    int kindsUsed;
    probeTable<uint64_t, char> senders;
    uint32_t secondStart;
    int counting;
    const sockaddr_in* sender; // of the datagram being handled, or null
    int tracedThisSecond;
    long untraced;
    // Standard output: what was written and the reader has not taken yet.
    std::string pending;
    int opened;
    int savedFlags;
    long long linesLost, linesLostReported;
    int reporting;
};
extern logState logging;

void textBoxAddStr(textBox* textB, const char* str);
void textBoxAddInt(textBox* textB, const char* str, int var);
void textBoxAddFloat(textBox* textB, const char* str, float var);

// An entry composed printf-style, cut to 255 characters.
void textBoxAddf(textBox* textB, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Client text as it may be printed: bytes below 0x20, 0x7F, the backslash, control
// characters 0x80-0x9F, the line and paragraph separators, the bidirectional controls and
// bytes that are not valid UTF-8 become \xNN, so that no line
// can be forged and no terminal sequence reaches the operator. Writes at most outSize - 1
// characters and a 0 (never half an escape); returns the characters written.
size_t shownText(const void* text, size_t len, char* out, size_t outSize);
// The same for text ended by a 0 byte within maxLen bytes.
size_t shownField(const unsigned char* field, size_t maxLen, char* out, size_t outSize);

// Who an entry is about, as added after the system's text: "alice 203.0.113.5:40112",
// without the name when `name` is null, without the address when `from` is null.
void whoText(const unsigned char* name, const sockaddr_in* from, char* out, size_t outSize);

// Entries caused by datagrams, whoever sent them, and the protocol's own entries are
// limited: beyond `entriesPerSecond` of one kind in a second they are only counted, and once
// a second a summary says how many there were ("Wake Up: 4121 more from 3998 addresses in
// the last second"). The receive step names the sender of the datagram being handled (null
// between datagrams); `kind` is a string constant, the start of the entry's text.
constexpr int entriesPerSecond = 20;
void setEntrySender(const sockaddr_in* sender);
void datagramEntry(const char* kind, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The protocol's entries (acknowledgements, batches, polls): for the window's log, and in
// headless mode only with --verbose; limited as above, whatever caused them.
void protocolEntry(const char* kind, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The trace of a datagram's handling is for a developer watching a few: beyond this many
// a second, datagrams are handled without their trace lines, and once a second a trace line
// says how many were. A datagram's handling is put between these two.
constexpr int tracedDatagramsPerSecond = 50;
int beginDatagramTrace(); // the trace switch as it was, to be given back
void endDatagramTrace(int wasOn);
void logSummaries(uint32_t now); // the summaries of the second that ended, if it did
void flushLogSummaries();        // the summaries of the second so far, now (at a Stop)
void resetLogLimits();

// Text with \xNN for any byte, as names are shown: 1 with the bytes, 0 when damaged or
// longer than a name (255 bytes).
int unescapeText(const char* text, std::string* out);

// Standard output written without waiting for its reader; before openOutput and after
// closeOutput, text goes to the stream as usual.
void openOutput();
void outputText(const char* text, size_t len); // whole lines; dropped and counted when full
void flushOutput();                            // what the reader takes now, never waiting
void closeOutput(int waitMs);                  // at exit: waits at most that long for the reader
long long outputLinesLost();
