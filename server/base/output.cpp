// Standard output that never holds up the server: log entries, trace lines and the console's
// answers go into a bounded buffer, written as the reader takes them without waiting. When
// the reader stalls and the buffer fills, whole lines are dropped and counted, and once there
// is room again a log entry says how many ("Log: N lines lost").
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "log.h"

namespace {

// Enough for seconds of a busy trace; the log of a quiet server is far less.
constexpr size_t outputCapacity = 1 << 20;
// A loss is reported once this much room is free again, so that the report fits.
constexpr size_t roomToReport = outputCapacity / 4;

long linesIn(const char* text, size_t len) {
    long n = 0;
    for (size_t i = 0; i < len; i++)
        n += text[i] == '\n';
    return n > 0 ? n : 1;
}

void traceToOutput(const char* format, va_list args) {
    char line[1024];
    int n = vsnprintf(line, sizeof line, format, args);
    if (n < 0) return;
    outputText(line, std::min(size_t(n), sizeof line - 1));
}

} // namespace

void openOutput() {
    if (logging.opened) return;
    logging.opened = 1;
    logging.savedFlags = fcntl(STDOUT_FILENO, F_GETFL);
    if (logging.savedFlags >= 0) fcntl(STDOUT_FILENO, F_SETFL, logging.savedFlags | O_NONBLOCK);
    fflush(stdout);
    trace.writer = traceToOutput;
}

void outputText(const char* text, size_t len) {
    if (!logging.opened) {
        fwrite(text, 1, len, stdout);
        return;
    }
    if (logging.pending.size() + len > outputCapacity) {
        logging.linesLost += linesIn(text, len);
        return;
    }
    logging.pending.append(text, len);
}

void flushOutput() {
    if (!logging.opened) {
        fflush(stdout);
        return;
    }
    size_t at = 0;
    while (at < logging.pending.size()) {
        ssize_t n = write(STDOUT_FILENO, logging.pending.data() + at, logging.pending.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // the reader is slow (EAGAIN) or gone: what is left waits
        at += size_t(n);
    }
    logging.pending.erase(0, at);
    if (logging.linesLost > logging.linesLostReported && !logging.reporting &&
        outputCapacity - logging.pending.size() >= roomToReport) {
        logging.reporting = 1; // the report itself goes through the buffer
        long long lost = logging.linesLost - logging.linesLostReported;
        logging.linesLostReported = logging.linesLost;
        textBoxAddf(logging.box, "Log: %lld lines lost", lost);
        logging.reporting = 0;
    }
}

void closeOutput(int waitMs) {
    if (!logging.opened) return;
    for (int waited = 0; !logging.pending.empty() && waited < waitMs; waited += 10) {
        flushOutput();
        pollfd p = {STDOUT_FILENO, POLLOUT, 0};
        if (!logging.pending.empty()) poll(&p, 1, 10);
    }
    if (logging.savedFlags >= 0) fcntl(STDOUT_FILENO, F_SETFL, logging.savedFlags);
    trace.writer = nullptr;
    logging.pending.clear();
    logging.opened = 0;
}

long long outputLinesLost() {
    return logging.linesLost;
}
