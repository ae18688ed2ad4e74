// Hexagonal chunks: vertex and triangle order, the exact bits of the coordinate steps,
// hex distance, area filling and lookup, the chunk of a world point and border twins.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <set>

#include "veskTerrain.h"

static auto hexDist = [](int x, int y) { return std::max({abs(x), abs(y), abs(x + y)}); };

TEST(Terrain, ChunkMeshAndBorderTwins) {
    EXPECT_TRUE(numHexVerts(0) == 1 && numHexFaces(0) == 0 && numHexVerts(5) == 91 &&
                numHexFaces(5) == 150);
    const int row[12] = {0, 6, 13, 21, 30, 40, 51, 61, 70, 78, 85, 91};
    const int radiusOne[18] = {2, 0, 3, 0, 1, 3, 3, 1, 4, 2, 3, 5, 5, 3, 6, 3, 4, 6};
    for (int r = 1; r <= 7; r++) {
        float s = r % 2 ? 2.0f : 0.5f;
        veskTerrain* t = initTerrain(r, 0, 0, s);
        // Nothing is written into the room to grow.
        EXPECT_TRUE(t->verts[t->numVerts].loc[2] == 0 && t->faces[3 * t->numFaces] == 0 &&
                    (r != 1 || !memcmp(t->faces, radiusOne, sizeof radiusOne)) &&
                    (r != 5 || (t->maxVerts == 136 && t->maxFaces == 225)));
        // Radius 5: row k spaced 2 apart and centred on 0 (vertex 45 is the centre), bit for
        // bit; on the middle column the two rounded additions leave (5 - k) 2^-53, not 0.
        for (int k = 0; r == 5 && k <= 10; k++)
            for (int i = row[k]; i < row[k + 1]; i++) {
                float x = float(2 * (i - row[k]) + row[k] - row[k + 1] + 1);
                if (x == 0) x = (5 - k) * 0x1p-53f;
                const float want[3] = {x, 0.0f, float(std::sqrt(3.0) * (5 - k))};
                EXPECT_EQ(memcmp(t->verts[i].loc, want, sizeof want), 0) << i;
            }
        // Every triangle upwards, equilateral and distinct.
        std::set<std::set<int>> seen;
        for (int* f = t->faces; f < t->faces + 3 * t->numFaces; f += 3) {
            std::set<int> ix(f, f + 3);
            ASSERT_TRUE(*ix.begin() >= 0 && *ix.rbegin() < t->numVerts && seen.insert(ix).second);
            const float *a = t->verts[f[0]].loc, *b = t->verts[f[1]].loc, *c = t->verts[f[2]].loc;
            double ux = b[0] - a[0], uz = b[2] - a[2], wx = c[0] - a[0], wz = c[2] - a[2];
            EXPECT_GT(uz * wx - ux * wz, 0) << r; // y of (b - a) x (c - a)
            for (double len : {hypot(ux, uz), hypot(wx, wz), hypot(wx - ux, wz - uz)})
                EXPECT_NEAR(len, s, 1e-5) << r;
        }
        // Border twins of the real chunk (radius 5, spacing 2): the neighbours lie in turn
        // 10 sqrt(3) away at 150, 90, 30, -30, -90 and -150 degrees, and each offset brings
        // exactly six vertices (the side facing it) onto vertices of the neighbour.
        for (int k = 1; r == 5 && k < 7; k++) {
            float ox, oz, side = float((210 - 60 * k) * M_PI / 180);
            int twins = 0;
            terToWorldNew(chunkArrayCoords[2 * k], chunkArrayCoords[2 * k + 1], &ox, &oz, 10.0f);
            EXPECT_NEAR(ox * cos(side) + oz * sin(side), 10 * sqrt(3.0), 1e-4) << k;
            for (int i = 0; i < 91 * 91; i++) { // vertex p of this chunk, q of the neighbour
                const float *p = t->verts[i / 91].loc, *q = t->verts[i % 91].loc;
                twins += hypot(q[0] + ox - p[0], q[2] + oz - p[2]) < 1e-4;
            }
            EXPECT_EQ(twins, 6) << k;
        }
        freeTerrain(t);
    }
}

TEST(Terrain, SpawnAreaRimFillAndLookup) {
    ArrayList* list = initArrayList(10, sizeof(void*));
    // Radius, centre: radii 0 and -2 cover nothing, a second pass adds nothing, and around
    // (10, -5) on the rim only the 6 + 5 + 4 chunks beyond distance 10 are new.
    const int call[][3] = {{0, 3, 0}, {-2, 3, 0}, {11, 0, 0}, {11, 0, 0}, {4, 10, -5}, {4, 10, -5}};
    for (const auto& c : call)
        embedSpawnTer(list, c[0], c[1], c[2], 10.0f, 5);
    ASSERT_EQ(arrayListGetLength(list), 346);
    // In order (x descending, within one x y ascending, so each at most once): the 331 within
    // distance 10 from (10, -10) to (-10, 10), then the 15 beyond it; each found again.
    for (int i = 0, x = 99, y = 0; i < 346; i++) {
        veskTerrain* t = arrayListGet<veskTerrain>(list, i);
        const int *c = t->chunkCoords, d = hexDist(c[0], c[1]);
        EXPECT_TRUE(i == 331 || c[0] < x || (c[0] == x && c[1] > y)) << i;
        EXPECT_TRUE(i < 331 ? d <= 10 : d > 10 && hexDist(c[0] - 10, c[1] + 5) <= 3) << i;
        // The first (10, -10) and the last of the area (-10, 10); vertex spacing 10 / 5.
        EXPECT_TRUE(i % 330 ||
                    (c[0] == (i ? -10 : 10) && c[1] == -c[0] && t->verts[0].loc[0] == -5));
        EXPECT_EQ(coordsToTer(c, list), t) << i;
        x = c[0], y = c[1];
    }
    EXPECT_EQ(coordsToTer(std::vector<int>{4, 8}.data(), list), nullptr); // each occurs alone
    freeTerList(list);
}

TEST(Terrain, Coordinates) {
    float x, z, wx, wz;
    const int radii[6][3] = {{0, 0, 0}, {1, -1, 1}, {1, 1, 2}, {-2, 1, 2}, {2, -3, 3}, {0, -4, 4}};
    for (const auto& w : radii)
        EXPECT_EQ(terRadius(w[0], w[1]), w[2]) << w[0] << ", " << w[1];
    terToWorldNew(1, 0, &x, &z, 10.0f); // 10 * 0.8660254037844386 rounds one ulp above 8.660254
    EXPECT_TRUE(x == 15.0f && z == 0x1.1520cep+3f);
    terToWorldNew(0, 1, &x, &z, 10.0f);
    EXPECT_TRUE(x == 0.0f && z == 0x1.1520cep+4f);
    terToWorldNew(2, -1, &x, &z, 10.0f); // z rounded after the first step: not quite 0
    EXPECT_TRUE(x == 30.0f && z > 8.0e-7f && z < 9.0e-7f) << z;
    // Every chunk centre in a wide area, and random points around each: no neighbour of the
    // answer has a nearer centre (the six neighbours bound a hexagonal cell).
    std::mt19937 rng(20240611);
    std::uniform_real_distribution<float> off(-1.0f, 1.0f);
    for (float s : {10.0f, 3.0f, 1.0f})
        for (int i = 0; i < 81 * 81 * 8; i++) {
            int cx = i / 8 / 81 - 40, cy = i / 8 % 81 - 40, tx, ty;
            terToWorldNew(cx, cy, &x, &z, s);
            if (i % 8) x += s * off(rng), z += s * off(rng);
            worldToTer(x, z, &tx, &ty, s);
            ASSERT_TRUE(i % 8 || (tx == cx && ty == cy)) << cx << ", " << cy << " scale " << s;
            double d[7];
            for (const int* n = chunkArrayCoords; n < chunkArrayCoords + 14; n += 2) {
                terToWorldNew(tx + n[0], ty + n[1], &wx, &wz, s);
                d[(n - chunkArrayCoords) / 2] = hypot(double(x) - wx, double(z) - wz);
            }
            ASSERT_LE(d[0], *std::min_element(d + 1, d + 7) + 1e-4 * s) << x << ", " << z;
        }
}
