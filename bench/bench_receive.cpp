// The receive step under floods: a tick while forged senders try passwords, for one account
// or for many, at 2,000 logins a second; and reading a burst of empty datagrams.
#include <benchmark/benchmark.h>

#include <string>
#include <unistd.h>

#include "forgedNet.h"
#include "testUtil.h"
#include "server.h"

namespace {

bool inOwnNetwork() {
    static int entered = -1;
    std::string why;
    if (entered < 0) entered = enterOwnNetwork(&why);
    return entered == 1;
}

const unsigned char rightPassword[] = "right-password";

// Wrong-password logins from 4,096 forged addresses, 100 a tick, spread over `names`
// accounts; the tick that serves them, with its hashes counted.
void loginFloodTick(benchmark::State& state) {
    if (!inOwnNetwork()) {
        state.SkipWithError("no network namespace of our own");
        return;
    }
    int names = int(state.range(0));
    trace.on = 0;
    logging.sink = [](const char*, int) {};
    useFakeClock(100000);
    loopback lb;
    freshLists(11);
    openLoopback(&lb);
    for (int i = 0; i < names; i++) {
        auto* pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
        snprintf(reinterpret_cast<char*>(pro->username), textLen, "victim%d", i);
        hashPassword(pro->password, rightPassword);
        pro->entity = -1;
        arrayListAddEndPointer(sessions.profList, pro);
    }
    forgedSender flood;
    int port = ntohs(lb.serverAddr.sin_port);
    long sent = 0;
    long long hashesBefore = sessions.passwordHashes;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < 100; i++, sent++)
            flood.send(testRangeAddress(1 + uint32_t(sent % 4096)), port,
                       loginMsg("victim" + std::to_string(sent % names), "guess", 3));
        usleep(2000);
        fakeNow += 50;
        state.ResumeTiming();
        gameTic();
    }
    state.counters["hashesPerTick"] =
        double(sessions.passwordHashes - hashesBefore) / double(state.iterations());
    closeLoopback(&lb);
    freeLists();
    loop.clock = monotonicTicks;
}

BENCHMARK(loginFloodTick)->ArgName("names")->Arg(1)->Arg(1000)->Unit(benchmark::kMillisecond);

// 1,000 empty datagrams waiting: the receive step reads past all of them.
void readEmptyBurst(benchmark::State& state) {
    trace.on = 0;
    useFakeClock(100000);
    loopback lb;
    freshLists(0);
    openLoopback(&lb);
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < 1000; i++)
            clientSend(&lb, {});
        usleep(2000);
        state.ResumeTiming();
        receiveDatagrams();
    }
    closeLoopback(&lb);
    freeLists();
    loop.clock = monotonicTicks;
}

BENCHMARK(readEmptyBurst)->Unit(benchmark::kMicrosecond);

} // namespace
