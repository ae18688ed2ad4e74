// Shared test helpers: captured log entries, a silenced trace, a controllable clock, and a
// server endpoint with one client on loopback, fresh lists and the client's messages.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "clientWire.h"
#include "veskTrace.h"

extern std::vector<std::string> capturedLog; // log entries since captureLog()
void captureLog();                           // points the log sink at capturedLog

extern uint32_t fakeNow; // the clock's time while useFakeClock is in force
void useFakeClock(uint32_t start);

// Scoped silence of the standard-output trace lines.
struct quietTrace {
    int saved = trace.on;
    quietTrace() { trace.on = 0; }
    ~quietTrace() { trace.on = saved; }
};

// The trace's lines, written into `text` while it lasts (the trace switched on).
struct capturedTrace {
    std::string text;
    capturedTrace();
    ~capturedTrace();
};

// A fresh save folder, the server's for as long as it lasts; removed with what it holds.
struct scratchFolder {
    std::string dir;
    explicit scratchFolder(const char* name);
    ~scratchFolder();
};

struct loopback {
    int client = -1;
    sockaddr_in clientAddr = {}, serverAddr = {};
};
// A UDP socket on an ephemeral port of a loopback address (any of 127.0.0.0/8).
int loopbackSocket(sockaddr_in* self, const char* ip = "127.0.0.1");
void openLoopback(loopback* lb); // the server's endpoint and one client
void closeLoopback(loopback* lb);
// One datagram for the client, or an empty vector after timeoutMs.
std::vector<unsigned char> clientRecv(loopback* lb, int timeoutMs = 200);
std::vector<std::vector<unsigned char>> clientDrain(loopback* lb, int timeoutMs = 50);
void clientSend(loopback* lb, const std::vector<unsigned char>& d);
// Hands a datagram to the dispatcher as the receive step does, as if it came from the
// client and were the only one of its tick.
void dispatch(loopback* lb, const std::vector<unsigned char>& d);

// A Unix socket of `type` bound to `path` (and listening), or connected to it; -1 when that
// fails.
enum unixEnd { unixBound, unixListening, unixConnected };
int unixSocket(const std::string& path, int type, unixEnd end);

// The window's font: the one scripts/setup puts in res/, else the system's it is copied from
// (a checkout where setup did not run).
std::string windowFont();

// New empty lists (and, if `radius` > 0, the spawn area of that radius around (0, 0)).
void freshLists(int radius);
void freeLists(); // the server's own reset: everything a Start could have made is released

// What a test may change beyond the server's records: the options, the clock, the log's
// sink and switches, the trace switch. Every unit test ends with the server reset and
// these given back as they were when it began.
struct serverSettings;
serverSettings* saveSettings();
void restoreSettings(serverSettings* saved); // resets the server, then gives them back

// How often `part` stands in `text`.
inline int timesIn(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

using bytes = std::vector<unsigned char>;
using datagrams = std::vector<bytes>;

inline bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The client's messages, made by the client library's builders: `built` gives the bytes
// `put` writes through a bounded writer as large as any datagram.
template <class F> bytes built(F put) {
    bytes d(bufSize);
    byteWriter w = makeWriter(d.data(), d.size());
    put(&w);
    d.resize(w.pos);
    return d;
}
// A key list claiming `count` entries, followed by the (slot, 1 press / 2 release) entries.
bytes keys(int count, const std::vector<std::pair<int, int>>& slotActions);
bytes newAccountMsg(const std::string& name, const std::string& pass);
bytes loginMsg(const std::string& name, const std::string& pass, int radius);
bytes sessionMsg(int type, const unsigned char* key);
bytes viewAnglesMsg(const float* rots);
bytes mouseMsg(const float* eyeAndRay, int button);
void appendFloats(std::vector<unsigned char>* d, const float* v, int n);
