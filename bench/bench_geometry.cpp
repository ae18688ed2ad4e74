// Cost of the swept-sphere face query alone, and of the per-tick sweep of one walker's step
// against every face of the seven chunks around it.
#include <benchmark/benchmark.h>

#include "rayFace.h"
#include "veskTerrain.h"

static void BM_FaceQuery(benchmark::State& state) {
    // One 2-unit ground triangle, the sphere resting just above it and stepping across.
    const float f0[3] = {0, 0, 0}, f1[3] = {1, 0, 1.7320508f}, f2[3] = {2, 0, 0};
    float p[3] = {0.9f, 0.51f, 0.5f}, v[3] = {0.3f, -0.6f, 1.2f};
    float barys[2];
    int type = -1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(p);
        float s = newerCircRayFaceScalar(p, v, 0.5f, f0, f1, f2, barys, &type);
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_FaceQuery);

static void BM_SweepSevenChunks(benchmark::State& state) {
    veskTerrain* chunks[7];
    float offset[7][2];
    for (int k = 0; k < 7; k++) {
        int dx = chunkArrayCoords[2 * k], dy = chunkArrayCoords[2 * k + 1];
        chunks[k] = initTerrain(5, dx, dy, 2.0f);
        terToWorldNew(dx, dy, &offset[k][0], &offset[k][1], 10.0f);
    }
    const float start[3] = {1.3f, 0.51f, -2.2f}, step[3] = {0.3f, -0.6f, 1.2f};
    int faces = 0;
    float best = 1.0f;
    int bestType = -1;
    for (auto _ : state) {
        best = 1.0f;
        bestType = -1;
        for (int k = 0; k < 7; k++) {
            const veskTerrain* ter = chunks[k];
            float p[3] = {start[0] - offset[k][0], start[1], start[2] - offset[k][1]};
            for (int f = 0; f < ter->numFaces; f++) {
                const int32_t* idx = ter->faces + 3 * f;
                float barys[2];
                int type = -1;
                float s = newerCircRayFaceScalar(p, step, 0.5f, ter->verts[idx[0]].loc,
                                                 ter->verts[idx[1]].loc, ter->verts[idx[2]].loc,
                                                 barys, &type);
                if (s > 0.0f && s < best) {
                    best = s;
                    bestType = type;
                }
            }
            faces += ter->numFaces;
        }
        benchmark::DoNotOptimize(best);
        benchmark::DoNotOptimize(bestType);
    }
    state.counters["faces"] = benchmark::Counter(double(faces), benchmark::Counter::kAvgIterations);
    state.counters["s"] = best; // the ground contact, just over 1/60 of the step
    state.counters["type"] = bestType;
    for (veskTerrain* ter : chunks)
        freeTerrain(ter);
}
BENCHMARK(BM_SweepSevenChunks)->Unit(benchmark::kMicrosecond);
