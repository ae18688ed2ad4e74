// Shared test helpers.
#include "testUtil.h"

#include <algorithm>

#include "clock.h"
#include "log.h"

std::vector<std::string> capturedLog;

static void captureSink(const char* text, int len) {
    capturedLog.emplace_back(text, size_t(len));
}

void captureLog() {
    capturedLog.clear();
    logSink = captureSink;
}

bool logHas(const std::string& entry) {
    return std::find(capturedLog.begin(), capturedLog.end(), entry) != capturedLog.end();
}

uint32_t fakeNow = 0;
static uint32_t fakeTicks() {
    return fakeNow;
}

void useFakeClock(uint32_t start) {
    fakeNow = start;
    clockSource = fakeTicks;
}

void useRealClock() {
    clockSource = monotonicTicks;
}

quietTrace::quietTrace() : saved(traceOn) {
    traceOn = 0;
}
quietTrace::~quietTrace() {
    traceOn = saved;
}

// --- loopback --------------------------------------------------------------------------

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "veskServer.h"

static sockaddr_in loopbackAddr() {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    return a;
}

void openLoopback(loopback* lb) {
    mysocket = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopbackAddr();
    bind(mysocket, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fcntl(mysocket, F_SETFL, fcntl(mysocket, F_GETFL) | O_NONBLOCK);
    int size = 4 << 20;
    setsockopt(mysocket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    socklen_t len = sizeof lb->serverAddr;
    getsockname(mysocket, reinterpret_cast<sockaddr*>(&lb->serverAddr), &len);
    addrlen = 16;

    lb->client = socket(AF_INET, SOCK_DGRAM, 0);
    setsockopt(lb->client, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    a = loopbackAddr();
    bind(lb->client, reinterpret_cast<sockaddr*>(&a), sizeof a);
    len = sizeof lb->clientAddr;
    getsockname(lb->client, reinterpret_cast<sockaddr*>(&lb->clientAddr), &len);
}

void closeLoopback(loopback* lb) {
    close(lb->client);
    close(mysocket);
    mysocket = -1;
}

std::vector<unsigned char> clientRecv(loopback* lb, int timeoutMs) {
    pollfd p = {lb->client, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return {};
    std::vector<unsigned char> d(65536);
    ssize_t n = recv(lb->client, d.data(), d.size(), 0);
    d.resize(n > 0 ? size_t(n) : 0);
    return d;
}

std::vector<std::vector<unsigned char>> clientDrain(loopback* lb, int timeoutMs) {
    std::vector<std::vector<unsigned char>> all;
    for (;;) {
        std::vector<unsigned char> d = clientRecv(lb, timeoutMs);
        if (d.empty()) return all;
        all.push_back(std::move(d));
    }
}

void clientSend(loopback* lb, const std::vector<unsigned char>& d) {
    sendto(lb->client, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&lb->serverAddr),
           sizeof lb->serverAddr);
}

void dispatch(loopback* lb, const std::vector<unsigned char>& d) {
    size_t n = d.size() < size_t(bufSize) ? d.size() : size_t(bufSize);
    memcpy(buf, d.data(), n);
    buf[n] = 0;
    ticlyIn(buf, int(n), &lb->clientAddr, 16);
}

void freshLists(int radius) {
    profList = initArrayList(10, 8);
    terList = initArrayList(10, 8);
    entList = initArrayList(10, 8);
    if (radius > 0) embedSpawnTer(terList, radius, 0, 0, terScale, terEdge);
}

void freeLists() {
    freeArrayListPointer(profList);
    freeTerList(terList);
    freeEntList(entList);
    profList = terList = entList = nullptr;
}

static void appendField(std::vector<unsigned char>* d, const std::string& s) {
    std::string f = s.substr(0, 256);
    d->insert(d->end(), f.begin(), f.end());
    d->insert(d->end(), 256 - f.size(), 0);
}

std::vector<unsigned char> newAccountMsg(const std::string& name, const std::string& pass) {
    std::vector<unsigned char> d = {coNewAccount};
    appendField(&d, name);
    appendField(&d, pass);
    return d;
}

void appendInt(std::vector<unsigned char>* d, int32_t v) {
    unsigned char b[4];
    intToBuffer(v, b);
    d->insert(d->end(), b, b + 4);
}

void appendFloats(std::vector<unsigned char>* d, const float* v, int n) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(v);
    d->insert(d->end(), p, p + 4 * n);
}

int32_t beInt(const unsigned char* p) {
    return buffToInt(p);
}

std::vector<unsigned char> loginMsg(const std::string& name, const std::string& pass, int radius) {
    std::vector<unsigned char> d = newAccountMsg(name, pass);
    d[0] = coLogin;
    appendInt(&d, radius);
    return d;
}

std::vector<unsigned char> sessionMsg(int type, const unsigned char* key) {
    std::vector<unsigned char> d = {uint8_t(type)};
    d.insert(d.end(), key, key + keyLen);
    return d;
}
