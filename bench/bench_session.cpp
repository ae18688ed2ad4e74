// Cost of one game tick with N connected in-game clients whose entities move every
// tick: free movers circling (rule set 1) or ground walkers walking across chunk
// borders (rule set 0), each client streamed what it sees over loopback UDP.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "testUtil.h"
#include "veskServer.h"

namespace {

void setUpPlayers(loopback* lb, int n, int ruleSet) {
    freshLists(11);
    openLoopback(lb);
    for (int i = 0; i < n; i++) {
        // Spread over the spawn area: a grid of chunks, a few players per chunk.
        int cx = (i % 13) - 6, cy = ((i / 13) % 13) - 6;
        if (terRadius(cx, cy) > 7) cx = cy = 0;
        const float at[3] = {float(i % 3) - 1.0f, 1.0f, float(i % 5) - 2.0f};
        veskEntity* ent = addDefaultEntity(entList, ruleSet, at);
        veskGravity* g = ent->gravMem;
        g->chunkCoords[0] = g->chunkCoordsOld[0] = cx;
        g->chunkCoords[1] = g->chunkCoordsOld[1] = cy;
        g->rots[1] = float(i) * 0.7f;
        if (ruleSet == 0) setveskGravity(g, terList);
        veskProfile* pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
        snprintf(reinterpret_cast<char*>(pro->username), 256, "player%d", i);
        pro->stage = psGame;
        pro->entity = ent->globalId;
        pro->terRadius = 3;
        pro->profAddr = lb->clientAddr;
        pro->addrLen = 16;
        pro->keyMapBuf[skmWalkForward] = 1;
        // Everyone walks in circles of about a chunk across, crossing chunk borders both
        // ways without wandering off to grow the world.
        pro->keyMapBuf[skmRotateleft] = 1;
        arrayListAddEndPointer(profList, pro);
    }
}

void gameTicWithClients(benchmark::State& state) {
    int n = int(state.range(0));
    int ruleSet = int(state.range(1));
    traceOn = 0;
    useFakeClock(100000);
    loopback lb;
    setUpPlayers(&lb, n, ruleSet);
    for (auto _ : state) {
        fakeNow += 50;
        for (int i = 0; i < n; i++) {
            veskProfile* pro = arrayListGet<veskProfile>(profList, i);
            pro->lastRecv = pro->lastSent = fakeNow; // every client is heard from
        }
        gameTic();
    }
    state.counters["chunks"] = arrayListGetLength(terList);
    closeLoopback(&lb);
    freeLists();
    clockSource = monotonicTicks;
    traceOn = 1;
}

BENCHMARK(gameTicWithClients)
    ->ArgNames({"clients", "ruleSet"})
    ->Args({1, 1})
    ->Args({16, 1})
    ->Args({64, 1})
    ->Args({256, 1})
    ->Args({64, 0})
    ->Args({256, 0})
    ->Args({512, 0})
    ->Args({1024, 0})
    ->Args({2048, 0})
    ->Unit(benchmark::kMillisecond);

// N players logged in at once go through the whole handshake at view radius R: every
// acknowledgement gets the next batch of chunks or entities, as the dispatcher would
// answer it, until all are in the game. The time is the server's for all N joins.
void joinHandshakes(benchmark::State& state) {
    int n = int(state.range(0));
    int radius = int(state.range(1));
    traceOn = 0;
    useFakeClock(100000);
    loopback lb;
    setUpPlayers(&lb, n, 0);
    long datagrams = 0;
    for (auto _ : state) {
        for (int i = 0; i < n; i++) {
            veskProfile* pro = arrayListGet<veskProfile>(profList, i);
            pro->stage = psKeyWait;
            pro->terRadius = radius;
        }
        for (int waiting = n; waiting > 0;) {
            waiting = 0;
            for (ArrayList* b = profList; b; b = b->next)
                for (int i = 0; i < b->filled; i++) {
                    veskProfile* pro = reinterpret_cast<veskProfile**>(b->data)[i];
                    if (pro->stage == psGame) continue;
                    handshakeStep(pro);
                    datagrams++;
                    waiting++;
                }
        }
    }
    state.counters["datagrams/join"] = double(datagrams) / double(state.iterations()) / n;
    closeLoopback(&lb);
    freeLists();
    clockSource = monotonicTicks;
    traceOn = 1;
}

BENCHMARK(joinHandshakes)
    ->ArgNames({"players", "radius"})
    ->Args({64, 3})
    ->Args({64, 11})
    ->Args({256, 3})
    ->Args({256, 11})
    ->Unit(benchmark::kMillisecond);

} // namespace
