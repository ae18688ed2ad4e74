// Tests of terrain editing: the face pick (ties, skipped face, frames, broken rays), the
// shared vertex walk with its border twins, the three brushes, and the seams between chunks
// after many random edits.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "brushes.h"
#include "testUtil.h"
#include "tolp.h"
#include "veskServer.h"

namespace {

struct world { // the spawn area of the given radius around (0, 0), freed with the test
    world(int radius) { freshLists(radius); }
    ~world() { freeLists(); }
};

veskTerrain* chunkAt(int x, int y) {
    int c[2] = {x, y};
    return coordsToTer(c, terList);
}

// An editing entity in chunk (0, 0), standing on no face.
veskGravity entity(bool neighbourhood = true) {
    veskGravity g = {};
    g.faceIndex = -1;
    if (neighbourhood) fillTerArray(&g, terList);
    return g;
}

std::vector<veskTerrain*> allChunks() {
    std::vector<veskTerrain*> v;
    for (int i = 0; i < arrayListGetLength(terList); i++)
        v.push_back(arrayListGet<veskTerrain>(terList, i));
    return v;
}

// Horizontal distance of vertex i of `ter` from the world point (x, z).
double worldDist(const veskTerrain* ter, int i, double x, double z) {
    float cx, cz;
    terToWorldNew(ter->chunkCoords[0], ter->chunkCoords[1], &cx, &cz, terScale);
    return std::hypot(cx + double(ter->verts[i].loc[0]) - x, cz + double(ter->verts[i].loc[2]) - z);
}

std::vector<int> moved(const veskTerrain* ter) {
    std::vector<int> v;
    for (int i = 0; i < arrayListGetLength(ter->movedVerts); i++)
        v.push_back(arrayListGetInt(ter->movedVerts, i));
    return v;
}

// The first face with corner v (its first corner when `first`) and without a0 and a1.
int faceWith(const veskTerrain* ter, int v, bool first, int a0 = -1, int a1 = -1) {
    for (int f = 0; f < ter->numFaces; f++) {
        const int32_t* c = ter->faces + 3 * f;
        bool has = c[0] == v || (!first && (c[1] == v || c[2] == v));
        if (has && std::count_if(c, c + 3, [&](int k) { return k == a0 || k == a1; }) == 0)
            return f;
    }
    return -1;
}

// One mouse action as the dispatcher makes it (ray rescaled to 0.6); the trace it printed.
std::string edit(veskGravity* g, float x, float y, float z, float dx, float dy, float dz, int push,
                 int editType) {
    float loc[3] = {x, y, z}, ray[3] = {dx, dy, dz};
    vectScaleTo(ray, 0.6f, 3);
    int saved = traceOn;
    traceOn = 1;
    testing::internal::CaptureStdout();
    terEditNew(loc, ray, g, push, editType);
    traceOn = saved;
    return testing::internal::GetCapturedStdout();
}

std::pair<int, int> picked(const std::string& out) {
    int f = -1, c = -1;
    sscanf(out.c_str(), "lowFace: %d (lowChunk: %d)", &f, &c);
    return {f, c};
}

bool finite3(const float* p) {
    return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

bool untouched() {
    for (veskTerrain* t : allChunks())
        for (int i = 0; i < t->numVerts; i++)
            if (t->verts[i].loc[1] != 0 || t->verts[i].texi != 0 || !moved(t).empty()) return false;
    return true;
}

// A hand-made chunk for neighbourhood slot `slot` holding, in that slot's frame, the triangle
// (0,0,0) (0,0,4) (4,0,0) of the entity's frame, where every pick step is exact. Face kinds:
// 't' the triangle, 'r' reversed (seen from behind), 'x' with a corner out of range.
struct triChunk {
    veskTerrain ter;
    vertTex verts[3];
    int32_t faces[12];
};
void makeTri(triChunk* t, int slot, const char* kinds) {
    float wx, wz;
    terToWorldNew(chunkArrayCoords[2 * slot], chunkArrayCoords[2 * slot + 1], &wx, &wz, 10.0f);
    const float corner[3][2] = {{0, 0}, {0, 4}, {4, 0}};
    for (int k = 0; k < 3; k++)
        t->verts[k] = {{corner[k][0] - wx, 0, corner[k][1] - wz}, 0};
    t->ter = {3, 0, 3, 4, {0, 0}, t->verts, t->faces, nullptr};
    for (; kinds[t->ter.numFaces]; t->ter.numFaces++) {
        char k = kinds[t->ter.numFaces];
        int32_t* f = t->faces + 3 * t->ter.numFaces;
        f[0] = 0, f[1] = k == 'r' ? 2 : 1, f[2] = k == 'r' ? 1 : k == 'x' ? 7 : 2;
    }
}

} // namespace

TEST(PickMiss, MissesAndBrokenRaysChangeAndPrintNothing) {
    world w(4);
    veskGravity g = entity();
    EXPECT_EQ(edit(&g, 1, 5, 1, 0, 1, 0, 1, 0), "");         // away from the ground
    EXPECT_EQ(edit(&g, 1, 5, 1, 0, 0, 0, 1, 0), "");         // zero ray, NaN once rescaled
    EXPECT_EQ(edit(&g, INFINITY, 5, 1, 0, -1, 0, 1, 0), ""); // broken eye points
    EXPECT_EQ(edit(&g, 1, NAN, 1, 0, -1, 0, 1, 0), "");
    float loc[3] = {1, 5, 1}, zero[3] = {0, 0, 0};
    terEditNew(loc, zero, &g, 1, 0); // a zero ray that was not rescaled
    EXPECT_TRUE(untouched());
}

TEST(PickChoice, TiesGoToTheLowerSlotThenTheLowerFaceAndTheOwnFaceIsSkippedEverywhere) {
    triChunk a, b, c;
    makeTri(&a, 0, "t");
    makeTri(&b, 2, "rtxt"); // 0 seen from behind, 2 broken, 1 and 3 tie
    makeTri(&c, 5, "ttt");
    veskGravity g = entity(false);
    g.terArray[0] = &a.ter;
    EXPECT_EQ(picked(edit(&g, 1, 5, 1, 0, -1, 0, 1, 6)), std::make_pair(0, 0));
    g.faceIndex = 0;
    EXPECT_EQ(edit(&g, 1, 5, 1, 0, -1, 0, 1, 6), ""); // the only face on the ray
    g.faceIndex = -1;
    EXPECT_EQ(edit(&g, 1, 0, 1, 0, -1, 0, 1, 6), ""); // eye on the face: parameter 0
    EXPECT_EQ(edit(&g, 1, -5, 1, 0, 1, 0, 1, 6), ""); // from below: negative parameter
    g.terArray[0] = nullptr;                          // only slots 2 and 5 from here on
    g.terArray[2] = &b.ter;
    g.terArray[5] = &c.ter;
    // Equal parameters in both slots: the lower slot wins over C's lower face index.
    EXPECT_EQ(picked(edit(&g, 1, 10, 1, 0, -1, 0, 1, 6)), std::make_pair(1, 2));
    g.faceIndex = 1; // skipped in both: B's face 3 still beats C's face 0
    EXPECT_EQ(picked(edit(&g, 1, 10, 1, 0, -1, 0, 1, 6)), std::make_pair(3, 2));
    g.terArray[2] = nullptr;
    g.faceIndex = 0;
    EXPECT_EQ(picked(edit(&g, 1, 10, 1, 0, -1, 0, 1, 6)), std::make_pair(1, 5));
}

TEST(PickFrame, HitInANeighbourEditsInThatChunksFrame) {
    world w(4);
    veskGravity g = entity();
    // (16.3, 9.06) of the entity's frame lies in chunk (1, 0), centred at (15, 8.660254).
    std::string out = edit(&g, 16.3f, 20, 9.06f, 0, -1, 0, 0, 6);
    float p[3];
    ASSERT_EQ(sscanf(out.c_str() + out.find('\n') + 1, "point (%f, %f, %f, }", &p[0], &p[1], &p[2]),
              3);
    EXPECT_EQ(picked(out).second, 3);
    EXPECT_NEAR(p[0], 16.3f - 15.0f, 1e-5);
    EXPECT_NEAR(p[2], 9.06f - 8.660254f, 1e-5);
    EXPECT_TRUE(untouched()); // edit type 6 picks and prints, and changes nothing
    edit(&g, 16.3f, 20, 9.06f, 0, -1, 0, 0, 3);
    for (veskTerrain* t : allChunks()) {
        for (int i = 0; i < t->numVerts; i++) {
            double d = worldDist(t, i, 16.3, 9.06);
            ASSERT_TRUE(std::fabs(d - 4) < 1e-3 || t->verts[i].texi == (d < 4 ? 2 : 0));
        }
    }
    veskTerrain* n = chunkAt(1, 0);
    EXPECT_EQ(long(moved(n).size()), std::count_if(n->verts, n->verts + n->numVerts,
                                                   [](vertTex v) { return v.texi == 2; }));
}

TEST(BrushWalk, SeedsFirstWhateverTheRadiusAndTheRadiusIsStrict) {
    world w(4);
    veskTerrain* t = chunkAt(0, 0);
    const float centre[3] = {0, 0, 0}; // vertex 45; 44 and 46 lie exactly 2.0 away
    const int cc[2] = {0, 0}, f = faceWith(t, 45, false, 44, 46);
    for (float radius : {0.0f, 2.0f, std::nextafter(2.0f, 3.0f)}) {
        brushWalk walk;
        brushWalkStart(&walk, centre, f, cc, radius);
        brushPoint pt;
        std::vector<int> order;
        while (brushWalkNext(&walk, &pt))
            order.push_back(pt.ref[0]);
        brushWalkEnd(&walk);
        ASSERT_GE(order.size(), 3u);
        EXPECT_TRUE(std::equal(order.begin(), order.begin() + 3, t->faces + 3 * f));
        EXPECT_TRUE(radius > 0 || order.size() == 3);
        EXPECT_EQ(std::count(order.begin(), order.end(), 44) +
                      std::count(order.begin(), order.end(), 46),
                  radius > 2.0f ? 2 : 0);
    }
}

TEST(BrushWalk, EachTerrainPointIsAdmittedOnce) {
    world w(4);
    ArrayList* todo = initArrayList(10, 12);
    ArrayList* done = initArrayList(10, 12);
    // The corner (10, 0) is vertex 50 of (0, 0), 85 of (1, 0) and 0 of (1, -1).
    const int inner[3] = {45, 0, 0}, corner[3] = {50, 0, 0}, twin0[3] = {85, 1, 0},
              twin1[3] = {0, 1, -1};
    EXPECT_EQ(addTerVertUnique(todo, done, inner), 1);
    EXPECT_EQ(addTerVertUnique(todo, done, inner), 0);
    EXPECT_EQ(addTerVertUnique(todo, done, twin1), 1); // the first copy offered gets in
    EXPECT_EQ(arrayListGetLength(done), 2);
    EXPECT_EQ(addTerVertUnique(todo, done, corner), 0);
    EXPECT_EQ(addTerVertUnique(todo, done, twin0), 0);
    EXPECT_EQ(arrayListGetLength(todo), 2);
    freeArrayList(todo);
    freeArrayList(done);
    // A walk across the corner processes one copy of it and finds the other two as twins.
    const float hit[3] = {9, 0, 0.5f};
    const int cc[2] = {0, 0};
    brushWalk walk;
    brushWalkStart(&walk, hit, faceWith(chunkAt(0, 0), 50, false), cc, 8.0f);
    brushPoint pt;
    std::vector<int> twinCounts;
    while (brushWalkNext(&walk, &pt))
        if (worldDist(pt.ter, pt.ref[0], 10, 0) < 1e-3) twinCounts.push_back(pt.numTwins);
    brushWalkEnd(&walk);
    EXPECT_EQ(twinCounts, std::vector<int>{2});
}

TEST(BrushNormal, FalloffAndTheFirstVertexOnFlatGround) {
    EXPECT_FLOAT_EQ(sigmoid2(0), 1.0f / 1.0625f);
    EXPECT_FLOAT_EQ(sigmoid2(2), 0.8f);
    EXPECT_EQ(sigmoid2(4), 0.5f);
    EXPECT_FLOAT_EQ(sigmoid2(6), 0.2f);
    EXPECT_FLOAT_EQ(sigmoid2(8), 1.0f / 17);
    world w(4);
    veskTerrain* t = chunkAt(0, 0);
    const float centre[3] = {0, 0, 0};
    const int cc[2] = {0, 0};
    brushNormalInOut(centre, faceWith(t, 45, true), cc, 8.0f, 1);
    // Processed first, it sees six flat faces: 0.5 x sigmoid2(0), straight up.
    EXPECT_FLOAT_EQ(t->verts[45].loc[1], 0.5f / 1.0625f);
    EXPECT_EQ(t->verts[45].loc[0], 0.0f);
    EXPECT_EQ(t->verts[45].loc[2], 0.0f);
}

TEST(BrushNormal, RaisingAtACornerMovesTheDiscOnceAndLoweringMirrorsIt) {
    std::vector<vertTex> raised;
    veskTerrain* flat = initTerrain(5, 0, 0, 2.0f);
    for (int push : {1, 0}) {
        world w(4);
        veskGravity g = entity();
        edit(&g, 9.1f, 30, 0.7f, 0, -1, 0, push, 0); // near the corner (10, 0) of three chunks
        std::vector<std::vector<int>> lists;
        size_t n = 0;
        for (veskTerrain* c : allChunks()) {
            std::vector<int> m = moved(c);
            for (int i = 0; i < c->numVerts; i++, n++) {
                const float* p = c->verts[i].loc;
                double d = worldDist(c, i, 9.1, 0.7);
                ASSERT_TRUE(std::fabs(d - 8) < 1e-3 ||
                            std::count(m.begin(), m.end(), i) == (d < 8));
                ASSERT_TRUE(isOnEdge(p[0], p[2], 10) < 0 ||
                            (p[0] == flat->verts[i].loc[0] && p[2] == flat->verts[i].loc[2]));
                if (push) {
                    raised.push_back(c->verts[i]);
                } else {
                    ASSERT_EQ(p[0], raised[n].loc[0]);
                    ASSERT_EQ(p[1], -raised[n].loc[1]);
                    ASSERT_EQ(p[2], raised[n].loc[2]);
                }
            }
            lists.push_back(m);
        }
        edit(&g, 9.1f, 30, 0.7f, 0, -1, 0, push, 0); // a second edit in the tick adds nothing
        for (size_t k = 0; k < lists.size(); k++)
            EXPECT_EQ(moved(allChunks()[k]), lists[k]);
    }
    EXPECT_GT(std::count_if(raised.begin(), raised.end(), [](vertTex v) { return v.loc[1] > 0; }),
              40);
    freeTerrain(flat);
}

TEST(BrushNormal, NonFiniteChangesLeaveVerticesAlone) {
    world w(4);
    quietTrace q;
    veskTerrain* t = chunkAt(0, 0);
    const int cc[2] = {0, 0}, nowhere[2] = {40, 40}, f = faceWith(t, 45, true);
    const float centre[3] = {0, 0, 0}, nan3[3] = {NAN, NAN, NAN};
    t->verts[46].loc[0] = 0; // on top of vertex 45: their shared faces have no normal
    brushNormalInOut(centre, f, cc, 8.0f, 1);
    EXPECT_EQ(t->verts[45].loc[1], 0.0f);
    brushNormalInOut(nan3, f, cc, 8.0f, 0);
    brushSmooth(nan3, f, cc, 8.0f);
    brushTexi(nan3, cc, 3);
    brushNormalInOut(centre, 999, cc, 8.0f, 1); // no such face, no such chunk
    brushSmooth(centre, f, nowhere, 8.0f);
    for (veskTerrain* c : allChunks())
        for (int i = 0; i < c->numVerts; i++)
            ASSERT_TRUE(finite3(c->verts[i].loc));
}

TEST(BrushSmooth, FlatStaysFlatAndARaisedVertexDropsHalfway) {
    world w(4);
    veskTerrain* t = chunkAt(0, 0);
    const int cc[2] = {0, 0};
    const float corner[3] = {10, 0, 0}, centre[3] = {0, 0, 0};
    {
        quietTrace q;
        brushSmooth(corner, faceWith(t, 50, false), cc, 8.0f);
    }
    EXPECT_GT(moved(t).size(), 20u);
    EXPECT_GT(moved(chunkAt(1, -1)).size(), 20u);
    for (veskTerrain* c : allChunks())
        for (int i = 0; i < c->numVerts; i++)
            ASSERT_EQ(c->verts[i].loc[1], 0.0f);
    t->verts[45].loc[1] = 1.0f;
    int f = faceWith(t, 45, true), saved = traceOn;
    traceOn = 1;
    testing::internal::CaptureStdout();
    brushSmooth(centre, f, cc, 8.0f);
    traceOn = saved;
    std::string head = "\nbrushSmooth (face: " + std::to_string(f) +
                       ") (chunkCoords 0, 0)\ndoneVert: 0 (todoVert 45, 0, 0)\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind(head, 0), 0u);
    EXPECT_EQ(t->verts[45].loc[1], 0.5f);
}

TEST(BrushTexi, PaintsByDistanceWithHeightsAndRecordsEveryPaint) {
    world w(4);
    veskTerrain* t = chunkAt(0, 0);
    const int cc[2] = {0, 0};
    const float centre[3] = {0, 0, 0}, hit[3] = {1, 0, 0}, corner[3] = {10, 0, 0};
    brushTexi(centre, cc, 0); // the value it already has: recorded all the same
    std::vector<int> once = moved(t);
    EXPECT_EQ(once.size(), 13u); // the centre, 6 at 2.0, 6 at 3.46; not those at 4.0 like 43
    EXPECT_EQ(std::count(once.begin(), once.end(), 43), 0);
    brushTexi(centre, cc, 0);
    EXPECT_EQ(moved(t).size(), 26u);
    t->verts[47].loc[1] = 3.0f; // (4, 3, 0): 3 across and 3 up from (1, 0, 0) is 4.24
    t->verts[44].loc[1] = 2.0f; // (-2, 2, 0): 3.6
    brushTexi(hit, cc, 2);
    EXPECT_EQ(t->verts[47].texi, 0);
    EXPECT_EQ(t->verts[44].texi, 2);
    brushTexi(corner, cc, 3); // each copy of the corner painted and listed in its own chunk
    for (const auto& copy : {std::array{0, 0, 50}, {1, 0, 85}, {1, -1, 0}}) {
        veskTerrain* c = chunkAt(copy[0], copy[1]);
        std::vector<int> m = moved(c);
        EXPECT_EQ(c->verts[copy[2]].texi, 3);
        EXPECT_EQ(std::count(m.begin(), m.end(), copy[2]), 1);
    }
}

TEST(BrushSeams, TwinsStayTogetherThroughRandomEdits) {
    world w(4);
    quietTrace q;
    struct twin { // border copies of one point in adjacent chunks, found on the flat world
        veskTerrain *a, *b;
        int i, j;
        float x, z;
    };
    std::vector<twin> twins;
    for (veskTerrain* a : allChunks()) {
        float ax, az;
        terToWorldNew(a->chunkCoords[0], a->chunkCoords[1], &ax, &az, terScale);
        for (int s = 1; s < 7; s++) {
            veskTerrain* b = chunkAt(a->chunkCoords[0] + chunkArrayCoords[2 * s],
                                     a->chunkCoords[1] + chunkArrayCoords[2 * s + 1]);
            for (int i = 0; b && i < a->numVerts; i++)
                for (int j = 0; j < b->numVerts; j++)
                    if (worldDist(b, j, ax + a->verts[i].loc[0], az + a->verts[i].loc[2]) < 1e-3)
                        twins.push_back({a, b, i, j, a->verts[i].loc[0], a->verts[i].loc[2]});
        }
    }
    ASSERT_GT(twins.size(), 1000u);
    std::mt19937 rng(20240611);
    std::uniform_real_distribution<float> near(-3.0f, 3.0f), tilt(-0.05f, 0.05f);
    veskGravity g = entity();
    int edits = 0;
    for (int n = 0; n < 400; n++) {
        int k = int(rng() % 12); // around a corner of chunk (0, 0), or the middle of a side
        double a = k * std::numbers::pi / 6, r = k % 2 ? 8.660254 : 10.0;
        float x = float(r * std::cos(a)) + near(rng), z = float(r * std::sin(a)) + near(rng);
        edits +=
            !edit(&g, x, 40, z, tilt(rng), -1, tilt(rng), int(rng() % 2), int(rng() % 6)).empty();
    }
    EXPECT_GT(edits, 380);
    for (const twin& t : twins) {
        const float *p = t.a->verts[t.i].loc, *r = t.b->verts[t.j].loc;
        ASSERT_EQ(p[1], r[1]) << t.a->chunkCoords[0] << "," << t.a->chunkCoords[1] << " v" << t.i;
        ASSERT_EQ(p[0], t.x);
        ASSERT_EQ(p[2], t.z);
    }
    for (veskTerrain* c : allChunks())
        for (int i = 0; i < c->numVerts; i++)
            ASSERT_TRUE(finite3(c->verts[i].loc));
}
