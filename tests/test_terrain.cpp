// Hexagonal chunks: the chunk of a world point, against a brute-force answer.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "veskTerrain.h"

// Distance of the world point (x, z) from the centre of chunk (cx, cy), at chunk scale s.
static double centreDistance(int cx, int cy, float x, float z, float s) {
    float wx, wz;
    terToWorldNew(cx, cy, &wx, &wz, s);
    return std::hypot(double(x) - wx, double(z) - wz);
}

// Every chunk centre of a wide area, and random points about each, at three scales: no
// neighbour of the chunk a point maps to has a nearer centre (so a centre maps to its own).
TEST(Terrain, AWorldPointLiesInTheChunkWithTheNearestCentre) {
    std::mt19937 rng(20240611);
    std::uniform_real_distribution<float> off(-1.0f, 1.0f);
    for (float s : {10.0f, 3.0f, 1.0f})
        for (int i = 0; i < 81 * 81 * 8; i++) {
            int cx = i / 8 / 81 - 40;
            int cy = i / 8 % 81 - 40;
            float jitter = i % 8 ? s : 0.0f; // the centre itself first
            float x, z;
            terToWorldNew(cx, cy, &x, &z, s);
            x += jitter * off(rng);
            z += jitter * off(rng);
            int tx, ty;
            worldToTer(x, z, &tx, &ty, s);
            double own = centreDistance(tx, ty, x, z, s);
            for (const int* n = chunkArrayCoords + 2; n < chunkArrayCoords + 14; n += 2)
                ASSERT_LE(own, centreDistance(tx + n[0], ty + n[1], x, z, s) + 1e-4 * s)
                    << x << ", " << z << " scale " << s;
        }
}
