// Tests of the hexagonal chunks: vertex and triangle order, the exact bits of the coordinate
// steps rounded through double, hex distance, area filling, the chunk of a world point and
// the border vertices shared by neighbouring chunks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "veskTerrain.h"

static uint32_t bitsOf(float f) {
    uint32_t b;
    memcpy(&b, &f, sizeof b);
    return b;
}

static int hexDist(int x, int y) {
    return std::max({std::abs(x), std::abs(y), std::abs(x + y)});
}

static std::pair<int, int> coordsAt(ArrayList* list, int i) {
    veskTerrain* t = arrayListGet<veskTerrain>(list, i);
    return {t->chunkCoords[0], t->chunkCoords[1]};
}

TEST(TerrainCounts, HexVertsAndFaces) {
    EXPECT_EQ(numHexVerts(0), 1);
    EXPECT_EQ(numHexFaces(0), 0);
    EXPECT_EQ(numHexVerts(5), 91);
    EXPECT_EQ(numHexFaces(5), 150);
}

TEST(TerrainVerts, RadiusFiveRows) {
    vertTex v[92];
    v[91].loc[1] = 99.0f;
    for (vertTex& t : v)
        t.texi = 7;
    genHexVerts(5, 2.0f, v);
    EXPECT_EQ(v[91].loc[1], 99.0f); // nothing written past the last vertex
    const int rowStart[12] = {0, 6, 13, 21, 30, 40, 51, 61, 70, 78, 85, 91};
    for (int k = 0; k <= 10; k++) {
        int len = rowStart[k + 1] - rowStart[k];
        EXPECT_EQ(len, k <= 5 ? 6 + k : 16 - k) << "row " << k;
        float z = float(std::sqrt(3.0) * (5 - k)); // s * sqrt(3)/2 * (5 - k) with s = 2
        for (int i = rowStart[k]; i < rowStart[k + 1]; i++) {
            float x = float(2 * (i - rowStart[k]) - (len - 1)); // s apart, centred on 0
            // On the middle column the two rounded additions leave 2^-52 or 2^-51, not 0.
            if (i == 9 || i == 81) x = i == 9 ? 0x1p-51f : -0x1p-51f;
            if (i == 25 || i == 65) x = i == 25 ? 0x1p-52f : -0x1p-52f;
            EXPECT_EQ(bitsOf(v[i].loc[0]), bitsOf(x)) << "vertex " << i;
            EXPECT_EQ(bitsOf(v[i].loc[2]), bitsOf(z)) << "vertex " << i;
            EXPECT_EQ(v[i].loc[1], 0.0f);
            EXPECT_EQ(v[i].texi, 7); // left alone
        }
    }
    EXPECT_TRUE(v[45].loc[0] == 0.0f && v[45].loc[2] == 0.0f);
    EXPECT_EQ(v[40].loc[0], -10.0f); // the corner at (-S, 0)

    // The lattice offset adds to what the outputs hold: -1 + 2 * (1/2 - 2^-54) is -2^-53.
    float wx = 1.0f, wy = -1.0f;
    terToWorld(1, 0, &wx, &wy, 2.0f);
    EXPECT_EQ(bitsOf(wx), bitsOf(float(1.0 + std::sqrt(3.0))));
    EXPECT_EQ(bitsOf(wy), bitsOf(-0x1p-53f));
}

TEST(TerrainFaces, RadiusOneList) {
    int f[21];
    std::fill(f, f + 21, -1);
    genHexFace(1, f);
    const int want[21] = {2, 0, 3, 0, 1, 3, 3, 1, 4, 2, 3, 5, 5, 3, 6, 3, 4, 6, -1, -1, -1};
    for (int i = 0; i < 21; i++)
        EXPECT_EQ(f[i], want[i]) << "index " << i;
    vertTex v[7];
    genHexVerts(1, 2.0f, v);
    const float x[7] = {-1, 1, -2, 0, 2, -1, 1};
    const int row[7] = {1, 1, 0, 0, 0, -1, -1};
    for (int i = 0; i < 7; i++) {
        EXPECT_EQ(v[i].loc[0], x[i]) << "vertex " << i;
        EXPECT_NEAR(v[i].loc[2], row[i] * std::sqrt(3.0), 1e-6) << "vertex " << i;
    }
}

TEST(TerrainFaces, UpwardEquilateralAndDistinct) {
    for (int r = 1; r <= 7; r++) {
        float s = r % 2 ? 2.0f : 0.5f;
        int nv = numHexVerts(r), nf = numHexFaces(r);
        std::vector<vertTex> v(static_cast<size_t>(nv));
        std::vector<int> f(static_cast<size_t>(3 * nf + 1), -1);
        genHexVerts(r, s, v.data());
        genHexFace(r, f.data());
        EXPECT_EQ(f.back(), -1) << "written past the last triangle, r " << r;
        std::set<std::vector<int>> seen;
        for (int t = 0; t < nf; t++) {
            std::vector<int> tri(&f[size_t(3 * t)], &f[size_t(3 * t + 3)]);
            for (int i : tri)
                ASSERT_TRUE(i >= 0 && i < nv) << "r " << r << " triangle " << t;
            const float* a = v[size_t(tri[0])].loc;
            const float* b = v[size_t(tri[1])].loc;
            const float* c = v[size_t(tri[2])].loc;
            double ux = b[0] - a[0], uz = b[2] - a[2], wx = c[0] - a[0], wz = c[2] - a[2];
            // y of (b - a) x (c - a): upwards, with the area of an equilateral triangle.
            EXPECT_NEAR(uz * wx - ux * wz, s * s * std::sqrt(3.0) / 2, 1e-4 * s * s)
                << "r " << r << " triangle " << t;
            double e[3] = {std::hypot(ux, uz), std::hypot(wx, wz),
                           std::hypot(c[0] - b[0], c[2] - b[2])};
            for (double len : e)
                EXPECT_NEAR(len, s, 1e-5) << "r " << r << " triangle " << t;
            std::sort(tri.begin(), tri.end());
            EXPECT_TRUE(seen.insert(tri).second) << "r " << r << " repeats triangle " << t;
        }
    }
}

TEST(TerrainChunk, CapacitiesAndFlatZeroes) {
    veskTerrain* t = initTerrain(5, 3, -2, 2.0f);
    EXPECT_TRUE(t->numVerts == 91 && t->numFaces == 150);
    EXPECT_EQ(t->maxVerts, 136);
    EXPECT_EQ(t->maxFaces, 225);
    EXPECT_TRUE(t->chunkCoords[0] == 3 && t->chunkCoords[1] == -2);
    for (int i = 0; i < t->maxVerts; i++)
        EXPECT_TRUE(t->verts[i].texi == 0 && t->verts[i].loc[1] == 0.0f) << "vertex " << i;
    EXPECT_EQ(t->verts[0].loc[0], -5.0f);
    EXPECT_TRUE(t->faces[0] == 6 && t->faces[1] == 0 && t->faces[2] == 7);
    EXPECT_EQ(arrayListGetLength(t->movedVerts), 0);
    EXPECT_TRUE(t->movedVerts->numElements == 10 && t->movedVerts->elementSize == 4);
    freeTerrain(t);
}

TEST(TerrainRadius, HandValuesAndGrid) {
    EXPECT_EQ(terRadius(0, 0), 0);
    EXPECT_EQ(terRadius(1, -1), 1);
    EXPECT_EQ(terRadius(1, 1), 2);
    EXPECT_EQ(terRadius(-2, 1), 2);
    EXPECT_EQ(terRadius(2, -3), 3);
    EXPECT_EQ(terRadius(0, -4), 4);
    for (int x = -25; x <= 25; x++)
        for (int y = -25; y <= 25; y++)
            ASSERT_EQ(terRadius(x, y), hexDist(x, y)) << x << ", " << y;
}

TEST(TerrainCentre, HandValuesAndRoundingSteps) {
    float x = -1, z = -1;
    terToWorldNew(1, 0, &x, &z, 10.0f);
    EXPECT_EQ(x, 15.0f);
    // 10 * 0.8660254037844386 rounds to one ulp above the float nearest to 8.660254.
    EXPECT_EQ(bitsOf(z), bitsOf(0x1.1520cep+3f));
    EXPECT_NEAR(z, 8.660254, 1e-6);
    terToWorldNew(0, 1, &x, &z, 10.0f); // overwritten, not accumulated
    EXPECT_EQ(x, 0.0f);
    EXPECT_EQ(bitsOf(z), bitsOf(0x1.1520cep+4f));
    EXPECT_NEAR(z, 17.320508, 2e-6);
    // z rounded after the first step leaves a residue where the exact sum is 0.
    terToWorldNew(2, -1, &x, &z, 10.0f);
    EXPECT_EQ(x, 30.0f);
    EXPECT_TRUE(z > 8.0e-7f && z < 9.0e-7f) << z;
    for (float s : {10.0f, 0.7f})
        for (int a = -30; a <= 30; a++)
            for (int b = -30; b <= 30; b++) {
                float ex = float(double(s) * (0.5000000000000001 * double(3 * a)));
                float ez = float(double(s) * (0.8660254037844386 * double(a)));
                ez = float(double(ez) + double(s) * (0.8660254037844386 * double(2 * b)));
                terToWorldNew(a, b, &x, &z, s);
                ASSERT_TRUE(bitsOf(x) == bitsOf(ex) && bitsOf(z) == bitsOf(ez))
                    << a << ", " << b << " scale " << s;
            }
}

TEST(TerrainSpawn, SpawnAreaAndRimFill) {
    ArrayList* list = initArrayList(10, sizeof(void*));
    embedSpawnTer(list, 11, 0, 0, 10.0f, 5);
    ASSERT_EQ(arrayListGetLength(list), 331);
    EXPECT_EQ(coordsAt(list, 0), std::make_pair(10, -10));
    EXPECT_EQ(coordsAt(list, 330), std::make_pair(-10, 10));
    std::set<std::pair<int, int>> all; // 331 distinct within distance 10 are all of them
    for (int i = 0; i < 331; i++) {
        std::pair<int, int> c = coordsAt(list, i), p = coordsAt(list, std::max(i - 1, 0));
        EXPECT_LE(hexDist(c.first, c.second), 10) << c.first << ", " << c.second;
        EXPECT_TRUE(all.insert(c).second) << "repeated " << c.first << ", " << c.second;
        bool next = c.first < p.first || (c.first == p.first && c.second == p.second + 1);
        EXPECT_TRUE(i == 0 || next) << "x descending, y ascending within one x, at " << i;
    }
    veskTerrain* first = arrayListGet<veskTerrain>(list, 0);
    EXPECT_TRUE(first->numVerts == 91 && first->verts[0].loc[0] == -5.0f); // spacing 10 / 5
    embedSpawnTer(list, 11, 0, 0, 10.0f, 5);
    EXPECT_EQ(arrayListGetLength(list), 331);

    // Around (10, -5) on the rim only the 6 + 5 + 4 chunks of the three rows beyond it.
    embedSpawnTer(list, 4, 10, -5, 10.0f, 5);
    ASSERT_EQ(arrayListGetLength(list), 346);
    std::vector<std::pair<int, int>> want;
    for (int dx = 3; dx >= -3; dx--)
        for (int dy = -3; dy <= 3; dy++)
            if (hexDist(dx, dy) <= 3 && hexDist(10 + dx, -5 + dy) > 10)
                want.push_back({10 + dx, -5 + dy});
    ASSERT_EQ(want.size(), 15u);
    for (int i = 0; i < 15; i++)
        EXPECT_EQ(coordsAt(list, 331 + i), want[size_t(i)]) << "new chunk " << i;
    embedSpawnTer(list, 4, 10, -5, 10.0f, 5);
    EXPECT_EQ(arrayListGetLength(list), 346);
    EXPECT_EQ(arrayListGet<veskTerrain>(list, 0), first);
    freeTerList(list);
}

TEST(TerrainSpawn, SmallRadiiCheckAndSpawnAndLookup) {
    ArrayList* list = initArrayList(10, sizeof(void*));
    int c[2] = {4, -7};
    EXPECT_EQ(coordsToTer(c, list), nullptr);
    embedSpawnTer(list, 0, 4, -7, 10.0f, 5);
    embedSpawnTer(list, -2, 4, -7, 10.0f, 5);
    EXPECT_EQ(arrayListGetLength(list), 0);
    embedSpawnTer(list, 1, 4, -7, 10.0f, 5);
    ASSERT_EQ(arrayListGetLength(list), 1);
    embedSpawnTer(list, 2, 4, -7, 10.0f, 5);
    const std::pair<int, int> ring[7] = {{4, -7}, {5, -8}, {5, -7}, {4, -8},
                                         {4, -6}, {3, -7}, {3, -6}};
    ASSERT_EQ(arrayListGetLength(list), 7);
    for (int i = 0; i < 7; i++)
        EXPECT_EQ(coordsAt(list, i), ring[i]);

    checkAndSpawn(list, 4, -7, 10.0f, 5);
    EXPECT_EQ(arrayListGetLength(list), 7);
    for (int i = 0; i < 5; i++) // into a second block of the list
        checkAndSpawn(list, -7, 4 + i, 10.0f, 2);
    ASSERT_EQ(arrayListGetLength(list), 12);
    veskTerrain* t = arrayListGet<veskTerrain>(list, 7);
    EXPECT_TRUE(t->numVerts == 19 && t->numFaces == 24);
    EXPECT_EQ(t->verts[0].loc[0], -5.0f); // spacing 10 / 2
    for (int i = 0; i < 12; i++) {
        veskTerrain* at = arrayListGet<veskTerrain>(list, i);
        EXPECT_EQ(coordsToTer(at->chunkCoords, list), at);
    }
    c[0] = 4;
    c[1] = 8; // each number occurs, never together
    EXPECT_EQ(coordsToTer(c, list), nullptr);
    veskTerrain* dup = initTerrain(1, 5, -8, 1.0f); // a duplicate added by hand is shadowed
    arrayListAddEndPointer(list, dup);
    EXPECT_EQ(coordsToTer(dup->chunkCoords, list), arrayListGet<veskTerrain>(list, 1));
    freeTerList(list);
}

// The chunk whose centre is nearest to (x, z), and how much nearer it is than the next one.
static std::pair<int, int> nearestChunk(float x, float z, float s, double* gap) {
    int cx0 = int(std::lround(x / (1.5 * s)));
    double best = 1e30, second = 1e30;
    std::pair<int, int> at{0, 0};
    for (int cx = cx0 - 2; cx <= cx0 + 2; cx++) {
        int cy0 = int(std::lround((z / (s * std::sqrt(3.0) / 2) - cx) / 2));
        for (int cy = cy0 - 2; cy <= cy0 + 2; cy++) {
            float wx, wz;
            terToWorldNew(cx, cy, &wx, &wz, s);
            double d = std::hypot(double(x) - wx, double(z) - wz);
            if (d < best) {
                second = best;
                best = d;
                at = {cx, cy};
            } else if (d < second) {
                second = d;
            }
        }
    }
    *gap = second - best;
    return at;
}

TEST(TerrainWorldToTer, CentresGiveTheirChunk) {
    for (float s : {10.0f, 3.0f})
        for (int cx = -40; cx <= 40; cx++)
            for (int cy = -40; cy <= 40; cy++) {
                float x, z;
                terToWorldNew(cx, cy, &x, &z, s);
                int tx = 99, ty = 99;
                worldToTer(x, z, &tx, &ty, s);
                ASSERT_TRUE(tx == cx && ty == cy)
                    << cx << ", " << cy << " scale " << s << " gave " << tx << ", " << ty;
            }
}

TEST(TerrainWorldToTer, PointsGoToTheNearestCentre) {
    std::mt19937 rng(20240611);
    int checked = 0;
    for (float s : {10.0f, 1.0f, 7.5f}) {
        std::uniform_real_distribution<float> wide(-60 * s, 60 * s), near(-2 * s, 2 * s);
        for (int i = 0; i < 200000; i++) {
            bool close = i % 4 == 0; // a quarter around the origin, where the signs change
            float x = close ? near(rng) : wide(rng), z = close ? near(rng) : wide(rng);
            double gap;
            std::pair<int, int> want = nearestChunk(x, z, s, &gap);
            if (gap < 1e-4 * s) continue;
            int tx, ty;
            worldToTer(x, z, &tx, &ty, s);
            ASSERT_TRUE(tx == want.first && ty == want.second)
                << "(" << x << ", " << z << ") scale " << s << " gave " << tx << ", " << ty
                << " nearest " << want.first << ", " << want.second;
            checked++;
        }
    }
    EXPECT_GT(checked, 590000);
}

TEST(TerrainTwins, NeighboursAcrossEachSide) {
    veskTerrain* a = initTerrain(5, 0, 0, 2.0f);
    veskTerrain* b = initTerrain(5, 0, 0, 2.0f);
    const double side[7] = {0, 150, 90, 30, -30, -90, -150}, apothem = 5 * std::sqrt(3.0);
    for (int k = 1; k < 7; k++) {
        int dx = chunkArrayCoords[2 * k], dy = chunkArrayCoords[2 * k + 1];
        EXPECT_EQ(terRadius(dx, dy), 1);
        float ox, oz;
        terToWorldNew(dx, dy, &ox, &oz, 10.0f);
        double ux = std::cos(side[k] * M_PI / 180), uz = std::sin(side[k] * M_PI / 180);
        EXPECT_NEAR(ox, 2 * apothem * ux, 1e-4) << "neighbour " << k;
        EXPECT_NEAR(oz, 2 * apothem * uz, 1e-4) << "neighbour " << k;
        int twins = 0;
        for (int i = 0; i < a->numVerts; i++) {
            const float* p = a->verts[i].loc;
            int hits = 0;
            for (int j = 0; j < b->numVerts; j++) {
                const float* q = b->verts[j].loc;
                hits += std::fabs(q[0] + ox - p[0]) < 1e-4f && std::fabs(q[2] + oz - p[2]) < 1e-4f;
            }
            EXPECT_LE(hits, 1);
            if (hits == 0) continue;
            twins++; // on the side of A that faces the neighbour
            EXPECT_NEAR(p[0] * ux + p[2] * uz, apothem, 1e-4) << "neighbour " << k;
        }
        EXPECT_EQ(twins, 6) << "neighbour " << k;

        // Just across the middle of that side lies the neighbour; just inside, the chunk.
        int tx, ty;
        worldToTer(float((apothem + 0.01) * ux), float((apothem + 0.01) * uz), &tx, &ty, 10.0f);
        EXPECT_TRUE(tx == dx && ty == dy) << "neighbour " << k;
        worldToTer(float((apothem - 0.01) * ux), float((apothem - 0.01) * uz), &tx, &ty, 10.0f);
        EXPECT_TRUE(tx == 0 && ty == 0) << "neighbour " << k;
    }
    freeTerrain(a);
    freeTerrain(b);
}
