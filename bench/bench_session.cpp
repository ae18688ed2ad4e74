// Cost of one game tick with N connected in-game clients whose entities move every
// tick: free movers circling (rule set 1) or ground walkers walking across chunk
// borders (rule set 0), each client streamed what it sees over loopback UDP; the same in a
// world that grows with its players and in the largest world, and what joins cost there.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "testUtil.h"
#include "server.h"

namespace {

// The chunk of player i: spread over the middle of the spawn area, a few players a chunk,
// or, with `perChunk`, that many players on each chunk of the world in list order.
void playerChunk(int i, int perChunk, int* cx, int* cy) {
    if (perChunk > 0) {
        veskTerrain* ter = arrayListGet<veskTerrain>(world.terList, i / perChunk);
        *cx = ter->chunkCoords[0];
        *cy = ter->chunkCoords[1];
        return;
    }
    *cx = (i % 13) - 6;
    *cy = ((i / 13) % 13) - 6;
    if (terRadius(*cx, *cy) > 7) *cx = *cy = 0;
}

// The chunks within this hex distance of the origin: all of them, at the default border.
constexpr int fullWorldRadius = 129;

void setUpPlayers(loopback* lb, int n, int ruleSet, int worldSpan = 11, int perChunk = 0) {
    freshLists(worldSpan);
    openLoopback(lb);
    for (int i = 0; i < n; i++) {
        int cx, cy;
        playerChunk(i, perChunk, &cx, &cy);
        const float at[3] = {float(i % 3) - 1.0f, 1.0f, float(i % 5) - 2.0f};
        veskEntity* ent = addDefaultEntity(world.entList, ruleSet, at);
        veskGravity* g = ent->gravMem;
        g->chunkCoords[0] = g->chunkCoordsOld[0] = cx;
        g->chunkCoords[1] = g->chunkCoordsOld[1] = cy;
        g->rots[1] = float(i) * 0.7f;
        if (ruleSet == 0) setveskGravity(g, world.terList);
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
        arrayListAddEndPointer(sessions.profList, pro);
    }
}

void runTicks(benchmark::State& state, int n) {
    for (auto _ : state) {
        fakeNow += 50;
        for (int i = 0; i < n; i++) {
            veskProfile* pro = arrayListGet<veskProfile>(sessions.profList, i);
            pro->lastRecv = pro->lastSent = fakeNow; // every client is heard from
        }
        gameTic();
    }
    state.counters["chunks"] = arrayListGetLength(world.terList);
}

void endPlayers(loopback* lb) {
    closeLoopback(lb);
    freeLists();
    loop.clock = monotonicTicks;
    trace.on = 1;
}

void gameTicWithClients(benchmark::State& state) {
    int n = int(state.range(0));
    trace.on = 0;
    useFakeClock(100000);
    loopback lb;
    setUpPlayers(&lb, n, int(state.range(1)));
    runTicks(state, n);
    endPlayers(&lb);
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

// Ground walkers two a chunk over a world as large as they need: the tick should grow with
// the players, not faster.
void gameTicConstantDensity(benchmark::State& state) {
    int n = int(state.range(0));
    int span = 1;
    while (3 * span * (span - 1) + 1 < n / 2)
        span++;
    trace.on = 0;
    useFakeClock(100000);
    loopback lb;
    setUpPlayers(&lb, n, 0, span, 2);
    runTicks(state, n);
    endPlayers(&lb);
}

BENCHMARK(gameTicConstantDensity)
    ->ArgNames({"walkers"})
    ->Arg(128)
    ->Arg(512)
    ->Arg(2048)
    ->Unit(benchmark::kMillisecond);

// Ground walkers in the middle of the largest world, every chunk within the default border
// made (49,537 chunks): the tick should cost what it does in a small world.
void gameTicFullWorld(benchmark::State& state) {
    int n = int(state.range(0));
    trace.on = 0;
    useFakeClock(100000);
    loopback lb;
    setUpPlayers(&lb, n, 0, fullWorldRadius);
    runTicks(state, n);
    endPlayers(&lb);
}

BENCHMARK(gameTicFullWorld)
    ->ArgNames({"walkers"})
    ->Arg(64)
    ->Arg(256)
    ->Unit(benchmark::kMillisecond);

// N players logged in at once go through the whole handshake at view radius R: every
// acknowledgement gets the next batch of chunks or entities, as the dispatcher would
// answer it, until all are in the game. The time is the server's for all N joins.
void joinHandshakes(benchmark::State& state) {
    int n = int(state.range(0));
    int radius = int(state.range(1));
    trace.on = 0;
    useFakeClock(100000);
    loopback lb;
    setUpPlayers(&lb, n, 0, int(state.range(2)));
    long datagrams = 0;
    for (auto _ : state) {
        for (int i = 0; i < n; i++) {
            veskProfile* pro = arrayListGet<veskProfile>(sessions.profList, i);
            pro->stage = psKeyWait;
            pro->terRadius = radius;
        }
        for (int waiting = n; waiting > 0;) {
            waiting = 0;
            for (veskProfile* pro : arrayListItems<veskProfile>(sessions.profList)) {
                if (pro->stage == psGame) continue;
                handshakeStep(pro);
                datagrams++;
                waiting++;
            }
        }
    }
    state.counters["datagrams/join"] = double(datagrams) / double(state.iterations()) / n;
    endPlayers(&lb);
}

// The last argument is the world's span: the spawn area, or the largest world.
BENCHMARK(joinHandshakes)
    ->ArgNames({"players", "radius", "world"})
    ->Args({64, 3, 11})
    ->Args({64, 11, 11})
    ->Args({256, 3, 11})
    ->Args({256, 11, 11})
    ->Args({8, 3, fullWorldRadius})
    ->Args({8, 16, fullWorldRadius})
    ->Unit(benchmark::kMillisecond);

} // namespace
