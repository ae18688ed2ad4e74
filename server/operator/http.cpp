// The live page for the operator over HTTP (--http ADDRESS:PORT): the page itself (its
// HTML, script and style from web/, embedded at build time), /status.json, /metrics and
// /chunks?since=VERSION. Served by libmicrohttpd from the server's one event step (its
// epoll descriptor and a one-second timer are watched there; no threads). Only GET and
// HEAD, and nothing here changes the server. Bounded: connections in all and per address,
// the memory of a request, idle time.
#include "http.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <microhttpd.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <vector>

#include "operator.h"

extern const unsigned char web_index_html[], web_app_js[], web_style_css[];
extern const size_t web_index_html_size, web_app_js_size, web_style_css_size;

namespace {

constexpr unsigned maxConnections = 32;
// A connection limit that one sender cannot fill alone. Every address of the machine itself
// (127.0.0.0/8) counts as one sender: one local user could otherwise use several.
constexpr unsigned maxPerAddress = 8;
// The library's own limit leaves room for connections shut to make room and not yet gone.
constexpr unsigned libraryConnectionLimit = maxConnections + maxPerAddress;
constexpr unsigned idleSeconds = 10;
// A request's head must be whole within this time of its first byte (or of the answer
// before it), however slowly its lines trickle in: otherwise a few slow senders could hold
// every connection for ever.
constexpr uint32_t headDeadlineMs = 5000;
constexpr size_t requestMemory = 64 * 1024; // a request's head and the answer's buffer
constexpr size_t feedPiece = 32 * 1024;     // what a read of the chunk feed gives at most
// HTTP work between two ticks counts in the tick's time: beyond this much, what is left
// waits for the next tick.
constexpr double budgetMsPerTick = 2.0;

uint32_t ownerOf(const sockaddr* addr) {
    if (!addr || addr->sa_family != AF_INET) return 0;
    uint32_t a = ntohl(reinterpret_cast<const sockaddr_in*>(addr)->sin_addr.s_addr);
    return (a >> 24) == 127 ? 0x7F000000u : a;
}

// The connection whose request's head has waited longest, of `owner` (or of anyone with
// `anyOwner`), is shut to make room: the library sees it end. 0 when every one has sent a
// whole head, and the newcomer must wait.
int makeRoom(uint32_t owner, int anyOwner) {
    openConnection* oldest = nullptr;
    for (openConnection* c : operatorSide.connections) {
        if (c->headWhole || c->shut || (!anyOwner && c->owner != owner)) continue;
        if (!oldest || int32_t(c->since - oldest->since) < 0) oldest = c;
    }
    if (!oldest) return 0;
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(oldest->connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info) shutdown(info->connect_fd, SHUT_RDWR);
    oldest->shut = 1;
    return 1;
}

// Within the limits a newcomer is let in; beyond them it takes the place of a connection
// still waiting for its head, so that slow senders, however many they are, never keep a
// whole request out for longer than it takes to send it.
MHD_Result acceptPolicy(void*, const sockaddr* addr, socklen_t) {
    uint32_t owner = ownerOf(addr);
    unsigned mine = 0, all = 0;
    for (const openConnection* c : operatorSide.connections) {
        if (c->shut) continue;
        all++;
        mine += c->owner == owner;
    }
    if (mine >= maxPerAddress && !makeRoom(owner, 0)) return MHD_NO;
    if (all >= maxConnections && !makeRoom(owner, 1)) return MHD_NO;
    return MHD_YES;
}

void onConnection(void*, MHD_Connection* connection, void** context,
                  MHD_ConnectionNotificationCode code) {
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        auto* c = new openConnection{connection, ownerOf(info ? info->client_addr : nullptr),
                                     getTicks(), 0, 0};
        operatorSide.connections.push_back(c);
        *context = c;
        return;
    }
    auto* c = static_cast<openConnection*>(*context);
    std::erase(operatorSide.connections, c);
    delete c;
    *context = nullptr;
}

openConnection* trackedOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<openConnection*>(info->socket_context) : nullptr;
}

// An answer went out: the next request on the connection has its own deadline.
void onCompleted(void*, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
    openConnection* c = trackedOf(connection);
    if (!c) return;
    c->since = getTicks();
    c->headWhole = 0;
}

// Connections whose request's head is late are shut: the library sees them end.
void enforceDeadlines() {
    uint32_t now = getTicks();
    for (openConnection* c : operatorSide.connections) {
        if (c->headWhole || c->shut || now - c->since < headDeadlineMs) continue;
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c->connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info) shutdown(info->connect_fd, SHUT_RDWR);
        c->shut = 1;
    }
}

struct pageFile {
    const char* path;
    const unsigned char* data;
    const size_t* size;
    const char* type;
};

const pageFile pageFiles[] = {
    {"/", web_index_html, &web_index_html_size, "text/html; charset=utf-8"},
    {"/app.js", web_app_js, &web_app_js_size, "text/javascript; charset=utf-8"},
    {"/style.css", web_style_css, &web_style_css_size, "text/css; charset=utf-8"},
};

MHD_Result queue(MHD_Connection* c, unsigned code, MHD_Response* r, const char* type,
                 const char* cache) {
    MHD_add_response_header(r, "Content-Type", type);
    MHD_add_response_header(r, "Cache-Control", cache);
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "Content-Security-Policy",
                            "default-src 'self'; img-src 'self' data:");
    MHD_Result queued = MHD_queue_response(c, code, r);
    MHD_destroy_response(r);
    return queued;
}

MHD_Result text(MHD_Connection* c, unsigned code, const std::string& body, const char* type) {
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    return queue(c, code, r, type, "no-store");
}

ssize_t readFeed(void* context, uint64_t, char* out, size_t max) {
    long n = chunkFeedRead(static_cast<chunkFeed*>(context), reinterpret_cast<unsigned char*>(out),
                           std::min(max, feedPiece));
    if (n == -1) return MHD_CONTENT_READER_END_OF_STREAM;
    if (n < 0) return MHD_CONTENT_READER_END_WITH_ERROR; // the world it read is gone
    return ssize_t(n);
}

MHD_Result chunks(MHD_Connection* c) {
    const char* since = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "since");
    long long version = 0;
    if (since && !parseWholeNumber(since, 0, 0xFFFFFFFFll, &version))
        return text(c, 400, "since must be a whole number from 0 to 4294967295\n",
                    "text/plain; charset=utf-8");
    chunkFeed* feed = new chunkFeed;
    startChunkFeed(feed, uint32_t(version));
    MHD_Response* r = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, feedPiece, readFeed, feed,
        [](void* context) { delete static_cast<chunkFeed*>(context); });
    return queue(c, 200, r, "application/octet-stream", "no-store");
}

MHD_Result onRequest(void*, MHD_Connection* c, const char* url, const char* method, const char*,
                     const char*, size_t*, void**) {
    if (openConnection* tracked = trackedOf(c)) tracked->headWhole = 1;
    if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0) {
        MHD_Response* r = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
        MHD_add_response_header(r, "Allow", "GET, HEAD");
        return queue(c, 405, r, "text/plain; charset=utf-8", "no-store");
    }
    for (const pageFile& f : pageFiles)
        if (strcmp(url, f.path) == 0) {
            MHD_Response* r = MHD_create_response_from_buffer(
                *f.size, const_cast<unsigned char*>(f.data), MHD_RESPMEM_PERSISTENT);
            return queue(c, 200, r, f.type, "no-cache");
        }
    std::string body;
    if (strcmp(url, "/status.json") == 0) {
        statusJson(&body);
        return text(c, 200, body, "application/json");
    }
    if (strcmp(url, "/metrics") == 0) {
        metricsText(&body);
        return text(c, 200, body, "text/plain; version=0.0.4; charset=utf-8");
    }
    if (strcmp(url, "/chunks") == 0) return chunks(c);
    return text(c, 404, "not found\n", "text/plain; charset=utf-8");
}

void logHttp(void*, const char* format, va_list args) {
    char line[256], shown[1100];
    vsnprintf(line, sizeof line, format, args);
    shownText(line, strlen(line), shown, sizeof shown); // it may quote a request
    tracef("http: %s\n", shown);
}

// Fires once at the next tick when the budget was spent, else once a second (idle
// connections are timed out by MHD_run).
void armTimer(uint32_t ms) {
    itimerspec when = {{1, 0}, {time_t(ms / 1000), long(ms % 1000) * 1000000L + 1}};
    timerfd_settime(operatorSide.timerFd, 0, &when, nullptr);
}

// A run sends one piece per connection; while more is ready it runs again, and the next
// step comes back at once (a connection's socket that is already writable does not wake
// the epoll descriptor again), until this tick's budget is spent.
void runHttp(int, short, void*) {
    enforceDeadlines();
    if (operatorSide.budgetTick != loop.nextTick) {
        operatorSide.budgetTick = loop.nextTick;
        operatorSide.spentMs = 0;
    }
    double t0 = steadyMs();
    for (;;) {
        if (operatorSide.spentMs + (steadyMs() - t0) >= budgetMsPerTick) {
            int32_t untilTick = int32_t(loop.nextTick - getTicks());
            armTimer(untilTick > 0 ? uint32_t(untilTick) : 1);
            break;
        }
        MHD_run(operatorSide.httpDaemon);
        MHD_UNSIGNED_LONG_LONG timeout = 1;
        if (MHD_get_timeout(operatorSide.httpDaemon, &timeout) != MHD_YES || timeout != 0) break;
        if (steadyMs() - t0 > budgetMsPerTick / 4) {
            eventAgain(operatorSide.epollFd); // more at once, after a look at the other descriptors
            break;
        }
    }
    operatorSide.spentMs += steadyMs() - t0;
}

// Idle connections are timed out by MHD_run: it runs at least once a second.
void onTimer(int fd, short, void*) {
    uint64_t expirations;
    (void)!read(fd, &expirations, sizeof expirations);
    runHttp(fd, 0, nullptr);
}

} // namespace

int openHttp(const sockaddr_in* at, std::string* why) {
    operatorSide.httpDaemon = MHD_start_daemon(
        MHD_USE_EPOLL | MHD_USE_ERROR_LOG, ntohs(at->sin_port), acceptPolicy, nullptr, onRequest,
        nullptr, MHD_OPTION_SOCK_ADDR, at, MHD_OPTION_CONNECTION_LIMIT, libraryConnectionLimit,
        MHD_OPTION_CONNECTION_TIMEOUT, idleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        requestMemory, MHD_OPTION_EXTERNAL_LOGGER, logHttp, nullptr, MHD_OPTION_NOTIFY_CONNECTION,
        onConnection, nullptr, MHD_OPTION_NOTIFY_COMPLETED, onCompleted, nullptr, MHD_OPTION_END);
    if (!operatorSide.httpDaemon) {
        *why = strerror(errno ? errno : EADDRINUSE);
        return 0;
    }
    const MHD_DaemonInfo* info =
        MHD_get_daemon_info(operatorSide.httpDaemon, MHD_DAEMON_INFO_EPOLL_FD);
    operatorSide.epollFd = info ? info->epoll_fd : -1;
    operatorSide.timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    itimerspec second = {{1, 0}, {1, 0}};
    if (operatorSide.epollFd < 0 || operatorSide.timerFd < 0 ||
        timerfd_settime(operatorSide.timerFd, 0, &second, nullptr) != 0) {
        *why = "no event descriptor";
        closeHttp();
        return 0;
    }
    eventWatch(operatorSide.epollFd, POLLIN, runHttp, nullptr);
    eventWatch(operatorSide.timerFd, POLLIN, onTimer, nullptr);
    return 1;
}

void closeHttp() {
    if (operatorSide.epollFd >= 0) eventUnwatch(operatorSide.epollFd);
    if (operatorSide.timerFd >= 0) {
        eventUnwatch(operatorSide.timerFd);
        close(operatorSide.timerFd);
    }
    if (operatorSide.httpDaemon) MHD_stop_daemon(operatorSide.httpDaemon);
    operatorSide.httpDaemon = nullptr;
    operatorSide.epollFd = operatorSide.timerFd = -1;
}
