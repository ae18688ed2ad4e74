// Cost of one terrain edit on the spawn world: the normal and smoothing brushes at a corner
// shared by three chunks, the texture brush there, and a whole edit with its face pick.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "brushes.h"
#include "testUtil.h"
#include "server.h"

// The chunks an edit at the corner (10, 0) of chunk (0, 0) can reach, as they were before it.
struct brushSnapshot {
    std::vector<veskTerrain*> chunks;
    std::vector<std::vector<vertTex>> verts;
};

static void takeSnapshot(brushSnapshot* s) {
    for (int i = 0; i < arrayListGetLength(world.terList); i++) {
        veskTerrain* t = arrayListGet<veskTerrain>(world.terList, i);
        if (terRadius(t->chunkCoords[0], t->chunkCoords[1]) > 2) continue;
        s->chunks.push_back(t);
        s->verts.emplace_back(t->verts, t->verts + t->numVerts);
    }
}

// Puts the terrain back and clears movedVerts as the tick does, so every round does the
// same work.
static void restoreSnapshot(brushSnapshot* s) {
    for (size_t k = 0; k < s->chunks.size(); k++) {
        memcpy(s->chunks[k]->verts, s->verts[k].data(), s->verts[k].size() * sizeof(vertTex));
        arrayListClear(s->chunks[k]->movedVerts);
    }
}

static int movedCount(brushSnapshot* s) {
    int n = 0;
    for (veskTerrain* t : s->chunks)
        n += arrayListGetLength(t->movedVerts);
    return n;
}

static const float corner[3] = {10, 0, 0};
static const int origin[2] = {0, 0};

// A face of chunk (0, 0) at its right corner, vertex 50.
static int cornerFace() {
    veskTerrain* t = coordsToTer(origin, world.terList);
    for (int f = 0; f < t->numFaces; f++)
        for (int k = 0; k < 3; k++)
            if (t->faces[3 * f + k] == 50) return f;
    return 0;
}

enum brushKind { bkNormal, bkSmooth, bkTexi, bkEdit };

static void runBrush(benchmark::State& state, brushKind kind) {
    quietTrace quiet;
    freshLists(11);
    int face = cornerFace();
    if (kind == bkSmooth) brushNormalInOut(corner, face, origin, 8.0f, 1); // a bump to even out
    brushSnapshot snap;
    takeSnapshot(&snap);
    restoreSnapshot(&snap);
    veskGravity g = {};
    g.faceIndex = -1;
    fillTerArray(&g, world.terList);
    int moved = 0;
    for (auto _ : state) {
        switch (kind) {
        case bkNormal:
            brushNormalInOut(corner, face, origin, 8.0f, 1);
            break;
        case bkSmooth:
            brushSmooth(corner, face, origin, 8.0f);
            break;
        case bkTexi:
            brushTexi(corner, origin, 2);
            break;
        case bkEdit: {
            float eye[3] = {9.1f, 20, 0.7f}, ray[3] = {0, -0.6f, 0};
            terEditNew(eye, ray, &g, 1, 0);
            break;
        }
        }
        state.PauseTiming();
        moved = movedCount(&snap);
        restoreSnapshot(&snap);
        state.ResumeTiming();
    }
    state.counters["movedVerts"] = moved;
    freeLists();
}

static void BM_BrushNormalCorner(benchmark::State& state) {
    runBrush(state, bkNormal);
}
static void BM_BrushSmoothCorner(benchmark::State& state) {
    runBrush(state, bkSmooth);
}
static void BM_BrushTexiCorner(benchmark::State& state) {
    runBrush(state, bkTexi);
}
static void BM_EditPickAndNormal(benchmark::State& state) {
    runBrush(state, bkEdit);
}
BENCHMARK(BM_BrushNormalCorner)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BrushSmoothCorner)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BrushTexiCorner)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EditPickAndNormal)->Unit(benchmark::kMicrosecond);
