// Shared test helpers: the log capture, the fake clock, the loopback endpoint, the lists
// and the client's messages (made by the client library).
#include "testUtil.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/un.h>
#include <unistd.h>

#include "bytes.h"
#include "server.h"

std::vector<std::string> capturedLog;
uint32_t fakeNow = 0;

void captureLog() {
    capturedLog.clear();
    logging.sink = [](const char* text, int len) { capturedLog.emplace_back(text, size_t(len)); };
}

void useFakeClock(uint32_t start) {
    fakeNow = start;
    loop.clock = [] { return fakeNow; };
}

static capturedTrace* tracing = nullptr;

capturedTrace::capturedTrace() {
    tracing = this;
    trace.on = 1;
    trace.writer = [](const char* format, va_list args) {
        char line[1024];
        vsnprintf(line, sizeof line, format, args);
        tracing->text += line;
    };
}

capturedTrace::~capturedTrace() {
    trace.writer = nullptr;
    trace.on = 0;
    tracing = nullptr;
}

scratchFolder::scratchFolder(const char* name) {
    dir = std::filesystem::temp_directory_path() / (std::string(name) + "-XXXXXX");
    dir = mkdtemp(dir.data());
    setResDir(dir.c_str());
}

scratchFolder::~scratchFolder() {
    setResDir("res");
    std::filesystem::remove_all(dir);
}

int loopbackSocket(sockaddr_in* self, const char* ip) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in a = {AF_INET, 0, {0}, {}};
    inet_pton(AF_INET, ip, &a.sin_addr);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), len);
    getsockname(fd, reinterpret_cast<sockaddr*>(self), &len);
    return fd;
}

void openLoopback(loopback* lb) {
    traffic.mysocket = loopbackSocket(&lb->serverAddr);
    fcntl(traffic.mysocket, F_SETFL, O_NONBLOCK);
    lb->client = loopbackSocket(&lb->clientAddr);
}

void closeLoopback(loopback* lb) {
    close(lb->client);
    close(traffic.mysocket);
    traffic.mysocket = -1;
}

std::vector<unsigned char> clientRecv(loopback* lb, int timeoutMs) {
    pollfd p = {lb->client, POLLIN, 0};
    std::vector<unsigned char> d(65536);
    ssize_t n = poll(&p, 1, timeoutMs) > 0 ? recv(lb->client, d.data(), d.size(), 0) : 0;
    d.resize(n > 0 ? size_t(n) : 0);
    return d;
}

std::vector<std::vector<unsigned char>> clientDrain(loopback* lb, int timeoutMs) {
    std::vector<std::vector<unsigned char>> all;
    for (auto d = clientRecv(lb, timeoutMs); !d.empty(); d = clientRecv(lb, timeoutMs))
        all.push_back(std::move(d));
    return all;
}

void clientSend(loopback* lb, const std::vector<unsigned char>& d) {
    sendto(lb->client, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&lb->serverAddr),
           sizeof lb->serverAddr);
}

void dispatch(loopback* lb, const std::vector<unsigned char>& d) {
    size_t n = std::min(d.size(), size_t(bufSize));
    newHashTick(); // each datagram as the only one of its tick
    // As the receive step keeps it: at least 18 bytes, a 0 after the datagram.
    std::vector<unsigned char> held(std::max(n + 1, size_t(18)), 0);
    memcpy(held.data(), d.data(), n);
    ticlyIn(held.data(), int(n), &lb->clientAddr, 16);
    serveAccountRequests(); // as the receive step does after the tick's datagrams
}

int unixSocket(const std::string& path, int type, unixEnd end) {
    int fd = socket(AF_UNIX, type, 0);
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    auto* at = reinterpret_cast<sockaddr*>(&a);
    int ok = end == unixConnected
                 ? connect(fd, at, sizeof a) == 0
                 : bind(fd, at, sizeof a) == 0 && (end == unixBound || listen(fd, 4) == 0);
    if (ok) return fd;
    close(fd);
    return -1;
}

std::string windowFont() {
    std::string copied = std::string(QUARN_SOURCE_DIR) + "/res/UbuntuMono-R.ttf";
    return access(copied.c_str(), R_OK) == 0
               ? copied
               : "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
}

void freshLists(int radius) {
    sessions.profList = initArrayList(10, 8);
    world.terList = initArrayList(10, 8);
    world.entList = initArrayList(10, 8);
    if (radius > 0) embedSpawnTer(world.terList, radius, 0, 0, options.terScale, options.terEdge);
    resetLimits();
}

void freeLists() {
    resetServer();
}

struct serverSettings {
    serverOptions options;
    uint32_t (*clock)();
    void (*sink)(const char* text, int len);
    int showProtocolEntries;
    int traceOn;
};

serverSettings* saveSettings() {
    return new serverSettings{options, loop.clock, logging.sink, logging.showProtocolEntries,
                              trace.on};
}

void restoreSettings(serverSettings* saved) {
    resetServer();
    forgetFilesSetAside(); // as a Start does
    options = saved->options;
    loop.clock = saved->clock;
    logging.sink = saved->sink;
    logging.showProtocolEntries = saved->showProtocolEntries;
    trace.on = saved->traceOn;
    delete saved;
}

bytes newAccountMsg(const std::string& name, const std::string& pass) {
    return built([&](byteWriter* w) { putNewAccount(w, name, pass); });
}

bytes loginMsg(const std::string& name, const std::string& pass, int radius) {
    return built([&](byteWriter* w) { putLogin(w, name, pass, radius); });
}

bytes keys(int count, const std::vector<std::pair<int, int>>& slotActions) {
    return built([&](byteWriter* w) {
        putKeyListHead(w, count);
        for (auto [slot, action] : slotActions)
            putKeyEntry(w, slot, action);
    });
}

bytes sessionMsg(int type, const unsigned char* key) {
    return built([&](byteWriter* w) { putSessionHead(w, type, key); });
}

bytes viewAnglesMsg(const float* rots) {
    return built([&](byteWriter* w) { putViewAngles(w, rots); });
}

bytes mouseMsg(const float* eyeAndRay, int button) {
    return built([&](byteWriter* w) { putMouse(w, eyeAndRay, eyeAndRay + 3, button); });
}

void appendFloats(std::vector<unsigned char>* d, const float* v, int n) {
    auto p = reinterpret_cast<const unsigned char*>(v);
    d->insert(d->end(), p, p + 4 * n);
}
