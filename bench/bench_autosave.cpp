// Cost of an autosave to the tick, on the largest world the border allows (hex radius 128,
// 49,537 chunks) and on the spawn world, while walkers walk and a brush edits the terrain
// every tick: the accounts and entities are copied at the save's moment, the world is
// written from the live chunks a slice a tick (a chunk a brush is about to change is copied
// first), and the three files are synced and renamed together. `maxTickMs` is the longest
// whole tick (game tick and save slice) during the save, `baseTickMs` the longest without
// one; the time is the whole save's.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "testUtil.h"
#include "server.h"

namespace {

double msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// 64 walkers in circles and one player with a brush, every tick, on a world of `radius`.
void setUpWorld(loopback* lb, int radius) {
    freshLists(radius);
    openLoopback(lb);
    for (int i = 0; i < 65; i++) {
        const float at[3] = {float(i % 5) - 2.0f, 1.0f, float(i % 3) - 1.0f};
        veskEntity* ent = addDefaultEntity(world.entList, 0, at);
        ent->gravMem->chunkCoords[0] = ent->gravMem->chunkCoordsOld[0] = (i % 9) - 4;
        setveskGravity(ent->gravMem, world.terList);
        auto* pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
        snprintf(reinterpret_cast<char*>(pro->username), textLen, "player%d", i);
        pro->stage = psGame;
        pro->entity = ent->globalId;
        pro->terRadius = 3;
        pro->profAddr = lb->clientAddr;
        pro->addrLen = 16;
        pro->keyMapBuf[skmWalkForward] = i < 64;
        pro->keyMapBuf[skmRotateleft] = i < 64;
        arrayListAddEndPointer(sessions.profList, pro);
    }
}

// One tick of the game with a brush stroke by the last player, then the save's slice.
double tickWithSave(int stroke, int* done) {
    auto t0 = std::chrono::steady_clock::now();
    fakeNow += 50;
    for (int i = 0; i < arrayListGetLength(sessions.profList); i++) {
        veskProfile* pro = arrayListGet<veskProfile>(sessions.profList, i);
        pro->lastRecv = pro->lastSent = fakeNow;
    }
    veskEntity* painter = arrayListGet<veskEntity>(world.entList, 64);
    float eye[3] = {float(stroke % 7) - 3.0f, 4.0f, float(stroke % 5) - 2.0f};
    float down[3] = {0.1f, -0.6f, 0.05f};
    terEditNew(eye, down, painter->gravMem, stroke % 2, stroke % 6);
    gameTic();
    if (*done == 0) *done = saveSome(1 << 20);
    tidyOldSaves(2 << 20); // as a serving tick does
    return msSince(t0);
}

void autosaveTick(benchmark::State& state) {
    int radius = int(state.range(0));
    trace.on = 0;
    logging.sink = [](const char*, int) {};
    useFakeClock(100000);
    loopback lb;
    setUpWorld(&lb, radius);
    char folder[] = "/var/tmp/quarn-autosave-XXXXXX";
    std::string dir = mkdtemp(folder);
    setResDir(dir.c_str()); // the save's files go there
    double maxTick = 0, baseTick = 0;
    int ticks = 0, stroke = 0;
    for (int i = 0; i < 40; i++) { // the walkers land and walk; ticks without a save
        int none = 1;
        baseTick = std::max(baseTick, tickWithSave(stroke++, &none));
    }
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        startSave();
        double first = msSince(t0);
        int done = 0;
        for (ticks = 0; done == 0; ticks++)
            maxTick = std::max(maxTick, tickWithSave(stroke++, &done) + (ticks ? 0 : first));
    }
    state.counters["chunks"] = chunkCount(world.terList);
    state.counters["maxTickMs"] = maxTick;
    state.counters["baseTickMs"] = baseTick;
    state.counters["ticks"] = ticks;
    setResDir("res");
    benchmark::DoNotOptimize(system(("rm -rf " + dir).c_str()));
    closeLoopback(&lb);
    freeLists();
    loop.clock = monotonicTicks;
    trace.on = 1;
}

// Radius 11 is the spawn world (331 chunks); radius 129 the largest the default border
// allows (hex distance 128, 49,537 chunks, a 162 MB world file).
BENCHMARK(autosaveTick)
    ->ArgName("radius")
    ->Arg(11)
    ->Arg(129)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

} // namespace
