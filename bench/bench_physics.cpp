// Cost of the ground-walker physics: one move on flat ground, and whole physics ticks of
// many walkers crossing chunk borders on the spawn world (tracing off, or on into
// /dev/null), each with and without skipping the faces out of reach.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <unistd.h>

#include "tolp.h"
#include "veskEntity.h"
#include "veskGravity.h"
#include "veskTerrain.h"
#include "veskTrace.h"
#include "world.h"

static ArrayList* spawnWorld() {
    ArrayList* chunks = initArrayList(10, 8);
    embedSpawnTer(chunks, 11, 0, 0, 10.0f, 5);
    return chunks;
}

// Standard output goes to /dev/null while tracing is measured, then comes back for the
// benchmark's own report.
static int traceSink(int on) {
    fflush(stdout);
    int saved = dup(1);
    if (on) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    return saved;
}

static void traceRestore(int saved) {
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
}

static void BM_GravMoveFlat(benchmark::State& state) {
    ArrayList* chunks = spawnWorld();
    ArrayList* ents = initArrayList(10, 8);
    const float start[3] = {3.3f, 0.51f, 5.0f};
    veskGravity* g = addDefaultEntity(ents, 0, start)->gravMem;
    trace.on = 0;
    setveskGravity(g, chunks);
    g->moveVect[0] = 0.6f, g->moveVect[2] = 0.8f;
    g->curMoveSpeed = 2.0f;
    veskGravity rest = *g;
    world.physics.gravSweepCull = int(state.range(0));
    for (auto _ : state) {
        *g = rest;
        g->midMoveSpeed = g->curMoveSpeed;
        gravMoveStart(g, chunks);
        benchmark::DoNotOptimize(g->position);
    }
    world.physics.gravSweepCull = 1;
    trace.on = 1;
    freeEntList(ents);
    freeTerList(chunks);
}
BENCHMARK(BM_GravMoveFlat)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

// The walker's request for its heading, as the tick builds it from a held forward key.
static void holdForward(veskGravity* g) {
    float mat[16] = {};
    const float fwd[3] = {0, 0, 1};
    yRotMatrix4(mat, g->rots[1]);
    matVect3Mult(mat, fwd, g->tempVect);
    vectNormalize(g->tempVect, 3);
}

static void BM_PhysicsTick(benchmark::State& state) {
    int walkers = int(state.range(0));
    ArrayList* chunks = spawnWorld();
    ArrayList* ents = initArrayList(10, 8);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> unit(0, 1);
    trace.on = 0;
    for (int n = 0; n < walkers; n++) {
        const float p[3] = {12 * unit(rng) - 6, 0.51f, 10 * unit(rng) - 5};
        veskGravity* g = addDefaultEntity(ents, 0, p)->gravMem;
        g->chunkCoords[0] = int(rng() % 9) - 4;
        g->chunkCoords[1] = int(rng() % 9) - 4;
        g->rots[1] = 6.2831853f * unit(rng);
        setveskGravity(g, chunks);
        holdForward(g);
    }
    int saved = traceSink(int(state.range(1)));
    trace.on = int(state.range(1));
    world.physics.gravSweepCull = int(state.range(2));
    long crossings = 0;
    for (auto _ : state) {
        for (int n = 0; n < walkers; n++) {
            veskGravity* g = arrayListGet<veskEntity>(ents, n)->gravMem;
            int cx = g->chunkCoords[0];
            g->locChanged = 0;
            makeMoveVect(g);
            g->midMoveSpeed = g->curMoveSpeed;
            if (g->midMoveSpeed != 0.0f) {
                float before[3] = {g->position[0], g->position[1], g->position[2]};
                gravMoveStart(g, chunks);
                g->locChanged = char(!vectVectSame(before, g->position, 3));
            }
            crossings += cx != g->chunkCoords[0];
            // Past chunk distance 6 a walker turns back, so the world stays the spawn area.
            int dx = g->chunkCoords[0], dy = g->chunkCoords[1];
            if (std::max({std::abs(dx), std::abs(dy), std::abs(dx + dy)}) > 6 && rng() % 8 == 0) {
                float x, z;
                terToWorldNew(dx, dy, &x, &z, 10.0f);
                g->rots[1] = std::atan2(x, -z);
                holdForward(g);
            }
        }
    }
    trace.on = 1;
    world.physics.gravSweepCull = 1;
    traceRestore(saved);
    state.counters["walkers"] = walkers;
    state.counters["xings/tick"] =
        benchmark::Counter(double(crossings), benchmark::Counter::kAvgIterations);
    state.counters["chunks"] = arrayListGetLength(chunks);
    freeEntList(ents);
    freeTerList(chunks);
}
// Arguments: walkers, tracing on, faces out of reach skipped.
BENCHMARK(BM_PhysicsTick)
    ->Args({64, 0, 1})
    ->Args({256, 0, 1})
    ->Args({256, 1, 1})
    ->Args({256, 0, 0})
    ->Args({1024, 0, 1})
    ->Args({2048, 0, 1})
    ->Unit(benchmark::kMillisecond);
