// Formatting of log entries into a bounded buffer and hand-off to the current sink;
// entries longer than 255 characters are cut. Client text is escaped before it is shown,
// and the entries datagrams cause are limited to a few a second with a summary.
#include "log.h"

#include <arpa/inet.h>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static void dropEntry(const char*, int) {}

logState logging = {nullptr, dropEntry, 1, {}, 0, {}, 0, 0, nullptr, 0, 0, {}, 0, -1, 0, 0, 0};

static void emit(const char* text) {
    int len = int(strnlen(text, 255));
    logging.sink(text, len);
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

// --- client text -----------------------------------------------------------------------

// The length of the valid UTF-8 sequence at `s` that is not a control character, or 0.
static size_t printableSequence(const unsigned char* s, size_t len) {
    unsigned char c = s[0];
    if (c >= 0x20 && c < 0x7F) return c == '\\' ? 0 : 1;
    size_t n = c >= 0xC2 && c <= 0xDF   ? 2
               : c >= 0xE0 && c <= 0xEF ? 3
               : c >= 0xF0 && c <= 0xF4 ? 4
                                        : 0;
    if (n == 0 || n > len) return 0;
    // The second byte's range excludes overlong forms, surrogates and code points beyond
    // U+10FFFF; the C1 controls U+0080-U+009F are escaped like the C0 ones.
    unsigned char lo = 0x80, hi = 0xBF;
    if (c == 0xC2) lo = 0xA0;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
    if (s[1] < lo || s[1] > hi) return 0;
    for (size_t i = 2; i < n; i++)
        if (s[i] < 0x80 || s[i] > 0xBF) return 0;
    // The line and paragraph separators (U+2028, U+2029) break lines in some viewers, and the
    // bidirectional controls (U+202A-U+202E, U+2066-U+2069) and marks (U+200E, U+200F,
    // U+061C), like the invisible byte order mark U+FEFF, change how what follows reads: a
    // name could make a line read as something else. They are escaped like controls.
    if (c == 0xE2 && s[1] == 0x80 && s[2] >= 0xA8 && s[2] <= 0xAE) return 0;
    if (c == 0xE2 && s[1] == 0x81 && s[2] >= 0xA6 && s[2] <= 0xA9) return 0;
    if (c == 0xE2 && s[1] == 0x80 && (s[2] == 0x8E || s[2] == 0x8F)) return 0;
    if (c == 0xD8 && s[1] == 0x9C) return 0;
    if (c == 0xEF && s[1] == 0xBB && s[2] == 0xBF) return 0;
    return n;
}

size_t shownText(const void* text, size_t len, char* out, size_t outSize) {
    const unsigned char* s = static_cast<const unsigned char*>(text);
    size_t w = 0;
    for (size_t i = 0; i < len;) {
        size_t n = printableSequence(s + i, len - i);
        if (n == 0) {
            if (w + 4 >= outSize) break;
            snprintf(out + w, 5, "\\x%02X", s[i]);
            w += 4;
            i++;
            continue;
        }
        if (w + n >= outSize) break;
        memcpy(out + w, s + i, n);
        w += n;
        i += n;
    }
    if (outSize > 0) out[w] = 0;
    return w;
}

size_t shownField(const unsigned char* field, size_t maxLen, char* out, size_t outSize) {
    return shownText(field, strnlen(reinterpret_cast<const char*>(field), maxLen), out, outSize);
}

// The reverse of the escaping: \xNN is the byte NN, everything else itself.
int unescapeText(const char* text, std::string* out) {
    out->clear();
    for (const char* p = text; *p; p++) {
        if (*p != '\\') {
            out->push_back(*p);
            continue;
        }
        char hex[3] = {0, 0, 0};
        if (p[1] != 'x' || !isxdigit(static_cast<unsigned char>(p[2])) ||
            !isxdigit(static_cast<unsigned char>(p[3])))
            return 0;
        hex[0] = p[2];
        hex[1] = p[3];
        out->push_back(char(strtol(hex, nullptr, 16)));
        p += 3;
    }
    return out->size() < 256; // a name's field holds 255 bytes and the 0 after them
}

void whoText(const unsigned char* name, const sockaddr_in* from, char* out, size_t outSize) {
    char shown[256] = "";
    if (name) shownField(name, 256, shown, sizeof shown);
    char address[INET_ADDRSTRLEN] = "";
    if (from) inet_ntop(AF_INET, &from->sin_addr, address, sizeof address);
    if (name && from)
        snprintf(out, outSize, "%s %s:%u", shown, address, unsigned(ntohs(from->sin_port)));
    else if (from)
        snprintf(out, outSize, "%s:%u", address, unsigned(ntohs(from->sin_port)));
    else
        snprintf(out, outSize, "%s", shown);
}

// --- entries datagrams cause -----------------------------------------------------------
// The counts of the current second per kind, and the senders of the entries held back, each
// counted once in a set of bounded size, emptied every second.

constexpr size_t maxHeldSenders = 8192;

void setEntrySender(const sockaddr_in* from) {
    logging.sender = from;
}

static kindCount* countOf(const char* kind) {
    for (int i = 0; i < logging.kindsUsed; i++)
        if (logging.kinds[i].kind == kind || strcmp(logging.kinds[i].kind, kind) == 0)
            return &logging.kinds[i];
    if (logging.kindsUsed == maxEntryKinds) return nullptr;
    logging.kinds[logging.kindsUsed] = kindCount{kind, 0, 0, 0, 0};
    return &logging.kinds[logging.kindsUsed++];
}

static void noteAddress(kindCount* k, uint32_t addr) {
    uint64_t key = uint64_t(k - logging.kinds) << 32 | addr;
    if (logging.senders.count >= maxHeldSenders) {
        k->addressesFull = 1;
        return;
    }
    uint32_t h = (addr ^ uint32_t(k - logging.kinds) * 0x9E3779B1u) * 0x85EBCA6Bu;
    int added = 0;
    probeInsert(&logging.senders, key, h ^ h >> 15, char(1), &added);
    k->addresses += added;
}

// Shows the entry unless its kind has had its share of the second.
static void limitedEntry(const char* kind, const char* line) {
    kindCount* k = countOf(kind);
    if (k && k->shown >= entriesPerSecond) {
        k->heldBack++;
        if (logging.sender) noteAddress(k, logging.sender->sin_addr.s_addr);
        return;
    }
    if (k) k->shown++;
    emit(line);
}

void datagramEntry(const char* kind, const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (!logging.sender) return emit(line);
    limitedEntry(kind, line);
}

void protocolEntry(const char* kind, const char* format, ...) {
    if (!logging.showProtocolEntries) return;
    char line[256];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    limitedEntry(kind, line);
}

int beginDatagramTrace() {
    int wasOn = trace.on;
    if (!trace.on) return wasOn;
    if (logging.tracedThisSecond < tracedDatagramsPerSecond)
        logging.tracedThisSecond++;
    else {
        logging.untraced++;
        trace.on = 0;
    }
    return wasOn;
}

void endDatagramTrace(int wasOn) {
    trace.on = wasOn;
}

void logSummaries(uint32_t now) {
    if (!logging.counting) {
        logging.counting = 1;
        logging.secondStart = now;
    }
    if (now - logging.secondStart < 1000) return;
    flushLogSummaries();
    logging.counting = 1;
    logging.secondStart = now;
}

void flushLogSummaries() {
    if (logging.untraced > 0)
        tracef("Trace: %ld datagrams handled untraced in the last second\n", logging.untraced);
    for (int i = 0; i < logging.kindsUsed; i++) {
        kindCount* k = &logging.kinds[i];
        if (k->heldBack > 0 && k->addresses > 0)
            textBoxAddf(logging.box, "%s: %ld more from %s%ld addresses in the last second",
                        k->kind, k->heldBack, k->addressesFull ? "at least " : "", k->addresses);
        else if (k->heldBack > 0)
            textBoxAddf(logging.box, "%s: %ld more in the last second", k->kind, k->heldBack);
    }
    resetLogLimits();
}

void resetLogLimits() {
    logging.kindsUsed = 0;
    probeClear(&logging.senders);
    logging.counting = 0;
    logging.tracedThisSecond = 0;
    logging.untraced = 0;
}
