// What the live page costs the tick: a server serving the spawn world (331 chunks) with
// the HTTP front end, while a client asks 10 times a second, in turn, for /metrics,
// /status.json and a first /chunks; and a first /chunks of the largest world (49,537
// chunks, about 73 MB). Each iteration is a tick as the headless loop runs it: the event
// step until the tick is due, then the tick; the tick's time includes the requests it
// served. `meanTickMs` and `maxTickMs` are over the run, `quietMeanTickMs` without requests.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "testUtil.h"
#include "server.h"

namespace {

// One GET over a fresh connection; the bytes of the answer.
size_t get(int port, const std::string& path) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return 0;
    }
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    (void)!send(fd, request.data(), request.size(), 0);
    size_t total = 0;
    char data[1 << 16];
    for (ssize_t n; (n = recv(fd, data, sizeof data, 0)) > 0;)
        total += size_t(n);
    close(fd);
    return total;
}

// Ticks of the serving loop for `ms`: the event step until a tick is due, then the tick.
void serveFor(int ms, double* meanMs, double* maxMs) {
    double sum = 0, most = 0;
    int ticks = 0;
    auto t0 = std::chrono::steady_clock::now();
    loop.nextTick = getTicks();
    while (
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() <
        ms) {
        uint32_t now = getTicks();
        if (!tickDue(now)) {
            eventStep(int(loop.nextTick - now));
            continue;
        }
        double start = steadyMs();
        gameTic();
        double tick = steadyMs() - start + takeEventWorkMs();
        sum += tick;
        most = std::max(most, tick);
        ticks++;
    }
    *meanMs = sum / ticks;
    *maxMs = most;
}

void liveCost(benchmark::State& state) {
    int radius = int(state.range(0));
    int requests = int(state.range(1));
    trace.on = 0;
    logging.sink = [](const char*, int) {};
    loopback lb;
    freshLists(radius);
    openLoopback(&lb);
    world.servOn = 1;
    sockaddr_in at = {AF_INET, htons(0), {htonl(INADDR_LOOPBACK)}, {}};
    int port = 0;
    for (int p = 28100; p < 28200 && !port; p++) {
        at.sin_port = htons(uint16_t(p));
        std::string why;
        if (openHttp(&at, &why)) port = p;
    }
    double quietMean = 0, quietMax = 0, mean = 0, most = 0;
    serveFor(1000, &quietMean, &quietMax);
    for (auto _ : state) {
        std::atomic<bool> asking = true, done = false;
        std::thread client([&] {
            const char* paths[] = {"/metrics", "/status.json", "/chunks?since=0"};
            for (int i = 0; asking; i++) {
                get(port, paths[requests == 3 ? i % 3 : 2]);
                usleep(requests == 3 ? 100000 : 500000);
            }
            done = true;
        });
        serveFor(3000, &mean, &most);
        asking = false;
        double unused;
        while (!done) // the answer the client still reads needs the server
            serveFor(50, &unused, &unused);
        client.join();
    }
    state.counters["meanTickMs"] = mean;
    state.counters["maxTickMs"] = most;
    state.counters["quietMeanTickMs"] = quietMean;
    closeHttp();
    closeLoopback(&lb);
    freeLists();
    world.servOn = 0;
}

// The spawn world, the three requests in turn 10 a second; the largest world, a first
// /chunks over and over.
BENCHMARK(liveCost)
    ->ArgNames({"radius", "requests"})
    ->Args({11, 3})
    ->Args({129, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

} // namespace
