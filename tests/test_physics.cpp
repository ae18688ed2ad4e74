// Tests of the ground-walker physics on hand-computed cases: velocity update, side tests,
// chunk hand-over, face crossing, placement, landing and sliding, ties and the bound on
// the recursion of one move.
#include <gtest/gtest.h>

#include <random>

#include "test_physHelpers.h"
#include "testUtil.h"
#include "veskEntity.h"
#include "veskServer.h"

struct physWorld {
    ArrayList* ters = physFlatWorld();
    ArrayList* ents = initArrayList(10, 8);
    ~physWorld() {
        freeEntList(ents);
        freeTerList(ters);
    }
    veskGravity* add(float x, float y, float z, bool place = true) {
        float p[3] = {x, y, z};
        veskGravity* g = addDefaultEntity(ents, 0, p)->gravMem;
        if (place) setveskGravity(g, ters);
        return g;
    }
};

// Position (lift 0.51) or foot point (lift 0) in world coordinates.
static void worldPos(const veskGravity* g, double* out, double lift = -1) {
    float cx, cz;
    terToWorldNew(g->chunkCoords[0], g->chunkCoords[1], &cx, &cz, 10.0f);
    if (lift >= 0) physRestPoint(g, out, lift);
    for (int i = 0; i < 3; i++)
        out[i] = (lift >= 0 ? out[i] : g->position[i]) + (i == 0 ? cx : i == 2 ? cz : 0.0f);
}

static void launch(veskGravity* g, float x, float y, float z, float speed) {
    g->moveVect[0] = x, g->moveVect[1] = y, g->moveVect[2] = z;
    vectNormalize(g->moveVect, 3);
    g->curMoveSpeed = g->midMoveSpeed = speed;
}

TEST(PhysVelocity, WalkToTheCapAcrossAChunkBorderThenBrake) {
    quietTrace quiet;
    physWorld w;
    veskGravity* g = w.add(3.3f, 0.51f, 5.0f);
    ASSERT_EQ(g->typeIndex, 0);
    const float speeds[] = {0.4f, 0.8f, 1.2f, 1.6f, 2.0f, 2.0f, 1.6f, 1.2f, 0.8f, 0.4f, 0.0f, 0.0f};
    double start[3], now[3], walked = 0;
    worldPos(g, start);
    for (int t = 0; t < 12; t++) {
        physInput(g, t < 6, 0, 0);
        physTick(g, w.ters);
        EXPECT_NEAR(g->curMoveSpeed, speeds[t], 1e-6) << "tick " << t;
        walked += g->curMoveSpeed;
        worldPos(g, now);
        EXPECT_NEAR(now[2] - start[2], walked, 1e-4);
        EXPECT_NEAR(now[0] - start[0], 0, 1e-4);
        EXPECT_EQ(physFault(g), "");
    }
    EXPECT_EQ(g->curMoveSpeed, 0.0f);
    EXPECT_EQ(g->chunkCoords[1], 1); // over the top side into slot 2
}

TEST(PhysVelocity, CapOverrunInputRulesGravityAndJump) {
    veskGravity g = {};
    g.maxMoveSpeed = 2.0f, g.addMoveSpeed = 0.4f, g.faceIndex = 12;
    launch(&g, 0, 0, 1, 3.0f);
    g.tempVect[2] = 1.0f;
    for (float want : {2.6f, 2.2f, 2.0f, 2.0f}) {
        makeMoveVect(&g);
        EXPECT_NEAR(g.curMoveSpeed, want, 1e-6);
    }
    g.tempVect[1] = 1.0f, g.tempVect[2] = 0.0f; // vertical input brakes
    makeMoveVect(&g);
    EXPECT_NEAR(g.curMoveSpeed, 1.6f, 1e-6);
    launch(&g, 0, 0, 1, 0.4f); // input cancelling the velocity keeps its direction
    g.tempVect[1] = 0.0f, g.tempVect[2] = -1.0f;
    makeMoveVect(&g);
    EXPECT_EQ(g.curMoveSpeed, 0.0f);
    EXPECT_EQ(g.moveVect[2], 1.0f);
    g.tempVect[2] = 0.0f, g.jumping = 1;
    makeMoveVect(&g);
    EXPECT_EQ(g.curMoveSpeed, 3.0f);
    EXPECT_EQ(g.moveVect[1], 1.0f);
    EXPECT_EQ(g.typeIndex, 7);
    EXPECT_EQ(g.faceIndex, 12);
    launch(&g, 0, 1, 0, 0.0f); // in the air keys do nothing and gravity adds up
    g.tempVect[0] = 1.0f;
    for (int t = 0; t < 3; t++)
        makeMoveVect(&g);
    EXPECT_NEAR(g.curMoveSpeed * g.moveVect[1], -1.8f, 1e-6);
    EXPECT_EQ(g.curMoveSpeed * g.moveVect[0], 0.0f);
}

TEST(PhysVelocity, RestingEntityIsUntouchedAndAJumpLandsWhereItLeft) {
    quietTrace quiet;
    physWorld w;
    veskGravity* g = w.add(3.3f, 0.51f, 5.0f);
    veskGravity before = *g;
    counter0 = 99;
    physTick(g, w.ters);
    EXPECT_EQ(memcmp(&before, g, sizeof before), 0);
    EXPECT_EQ(counter0, 99);
    physInput(g, 0, 0, 1);
    physTick(g, w.ters);
    EXPECT_EQ(g->faceIndex, -1);
    EXPECT_NEAR(g->position[1], 3.51f, 1e-5);
    float top = 0;
    for (int t = 0; t < 20 && g->typeIndex == 7; t++) {
        physInput(g, 1, 0, 1); // ignored in the air
        physTick(g, w.ters);
        top = std::max(top, g->position[1]);
        EXPECT_EQ(physFault(g), "");
    }
    EXPECT_NEAR(top, 9.51f, 1e-4);
    EXPECT_EQ(g->typeIndex, 0);
    EXPECT_EQ(g->curMoveSpeed, 0.0f);
    EXPECT_NEAR(g->position[0], 3.3f, 1e-5);
    EXPECT_NEAR(g->position[2], 5.0f, 1e-5);
}

TEST(PhysSides, IsOnEdgeNewAndIsOnEdgeTables) {
    const float s3 = 8.660254f, h3 = 4.330127f;
    const float newPts[][2] = {{0, 9}, {0, 0.9995f * s3}, {0, 0}, {-7.5f, 4.4f}, {-10, 0}, {10, 0}};
    const int newCodes[] = {1, 1, -1, 0, 5, 3};
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(isOnEdgeNew(newPts[i][0], newPts[i][1], 10), newCodes[i]) << i;
    const float pts[][2] = {{-10, 0},   {10, 0},     {0, s3},      {5, s3}, {-5, -s3},
                            {7.5f, h3}, {7.5f, -h3}, {-7.5f, -h3}, {0, 0}};
    const int codes[] = {0, 6, 3, 4, 10, 5, 7, 11, -1};
    for (int i = 0; i < 9; i++)
        EXPECT_EQ(isOnEdge(pts[i][0], pts[i][1], 10), codes[i]) << i;
    // Anywhere on side s the two agree (2s + 1 against s); just inside, both say nothing.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> along(0.05, 0.95);
    for (int n = 0; n < 600; n++) {
        int side = n % 6;
        double a0 = M_PI * (180 - 60 * side) / 180, a1 = a0 - M_PI / 3, t = along(rng);
        float x = float(10 * ((1 - t) * cos(a0) + t * cos(a1)));
        float z = float(10 * ((1 - t) * sin(a0) + t * sin(a1)));
        EXPECT_EQ(isOnEdgeNew(x, z, 10) * 2 + 1, isOnEdge(x, z, 10));
        EXPECT_EQ(isOnEdgeNew(x, z, 10), side);
        EXPECT_EQ(isOnEdgeNew(0.99f * x, 0.99f * z, 10), isOnEdge(0.99f * x, 0.99f * z, 10));
    }
}

TEST(PhysNeighbourhood, OffChunkCheckSpawnsRefillsAndShifts) {
    ArrayList* world = initArrayList(10, 8);
    embedSpawnTer(world, 2, 0, 0, 10.0f, 5);
    ArrayList* saved = terList;
    terList = world;
    veskGravity g = {};
    g.typeIndex = 7, g.faceIndex = -1;
    fillTerArray(&g, world);
    veskTerrain* home = g.terArray[0];
    g.position[0] = 5, g.position[1] = 1.5f, g.position[2] = 4;
    offChunkCheck(&g); // still inside
    EXPECT_EQ(g.position[0], 5.0f);
    g.position[0] = 8;
    offChunkCheck(&g); // past side 2
    terList = saved;
    EXPECT_EQ(g.chunkCoords[0], 1);
    EXPECT_EQ(g.chunkCoords[1], 0);
    EXPECT_FLOAT_EQ(g.position[0], 8 - 15.0f);
    EXPECT_EQ(g.position[1], 1.5f);
    EXPECT_FLOAT_EQ(g.position[2], 4 - 8.660254f);
    EXPECT_EQ(g.terArray[6], home);
    EXPECT_EQ(physFault(&g), "");
    EXPECT_EQ(arrayListGetLength(world), 37); // the old 7 all lie within 3 of (1, 0)
    freeTerList(world);
}

TEST(PhysCrossing, EdgeChangeBarysPairings) {
    // Old code, new edge, barys in, barys out; the last four pairings leave barys alone.
    const float rows[][6] = {{1, 1, 0.25f, 0, 0, 0.25f},     {1, 2, 0.25f, 0, 0.25f, 0.75f},
                             {2, 0, 0, 0.3f, 0.3f, 0},       {2, 2, 0, 0.3f, 0.7f, 0.3f},
                             {3, 0, 0.6f, 0.4f, 0.6f, 0},    {3, 1, 0.6f, 0.4f, 0, 0.4f},
                             {1, 0, 0.25f, 0, 0.25f, 0},     {2, 1, 0, 0.3f, 0, 0.3f},
                             {3, 2, 0.6f, 0.4f, 0.6f, 0.4f}, {0, 1, 0.2f, 0.2f, 0.2f, 0.2f}};
    for (auto& r : rows) {
        veskGravity g = {};
        g.typeIndex = int(r[0]), g.barys[0] = r[2], g.barys[1] = r[3];
        edgeChangeBarys(&g, int(r[1]));
        EXPECT_FLOAT_EQ(g.barys[0], r[4]) << r[0] << " " << r[1];
        EXPECT_FLOAT_EQ(g.barys[1], r[5]) << r[0] << " " << r[1];
    }
}

// Every edge of a chunk, inner or on the border, flat or rough: the crossing lands on the
// matching edge of the face beyond, with the foot point where it was.
TEST(PhysCrossing, EveryEdgeKeepsTheFootPoint) {
    for (int rough = 0; rough < 2; rough++) {
        physWorld w;
        physRoughen(w.ters, 0, 99, 0.6f * float(rough));
        int border = 0, toSlot6 = 0;
        veskGravity* g = w.add(0, 0, 0, false);
        for (int f = 0; f < 150; f++) {
            for (int e = 0; e < 3; e++) {
                g->chunkCoords[0] = g->chunkCoords[1] = 0;
                const float b[3][2] = {{0.25f, 0}, {0, 0.25f}, {0.75f, 0.25f}};
                physRestOn(g, w.ters, f, e + 1, b[e][0], b[e][1]);
                double before[3], after[3];
                worldPos(g, before, 0);
                const int32_t* idx = g->terArray[0]->faces + 3 * f;
                handleEdges(e == 2 ? idx[1] : idx[0], e == 0 ? idx[1] : idx[2], g, 10.0f, w.ters);
                ASSERT_NE(g->faceIndex, -1);
                physRestOn(g, w.ters, g->faceIndex, g->typeIndex, g->barys[0], g->barys[1]);
                EXPECT_EQ(physFault(g), "") << f << " " << e;
                worldPos(g, after, 0);
                for (int i = 0; i < 3; i++)
                    EXPECT_NEAR(after[i], before[i], 1e-4) << f << " " << e;
                border += g->chunkCoords[0] != 0 || g->chunkCoords[1] != 0;
                toSlot6 += g->chunkCoords[0] == -1 && g->chunkCoords[1] == 0;
            }
        }
        EXPECT_EQ(border, 30);
        EXPECT_EQ(toSlot6, 5); // the lower-left side, border code 11
    }
}

// A neighbour whose border does not meet ours (lowered by 1): the walker stops at the
// border on its own face, in its own chunk.
TEST(PhysCrossing, BorderWithoutAMatchingFaceKeepsTheWalker) {
    physWorld w;
    veskTerrain* left = coordsToTer(std::initializer_list<int>{-1, 0}.begin(), w.ters);
    for (int v = 0; v < left->numVerts; v++)
        left->verts[v].loc[1] = -1.0f;
    veskGravity* g;
    {
        quietTrace quiet;
        g = w.add(-6, 0.51f, -4);
    }
    launch(g, -0.8660254f, 0, -0.5f, 2.0f);
    testing::internal::CaptureStdout();
    gravMoveStart(g, w.ters);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("faceNextTo returned -1\n"), std::string::npos);
    EXPECT_EQ(g->chunkCoords[0], 0);
    EXPECT_EQ(physFault(g), "");
    EXPECT_NEAR(-0.8660254 * g->position[0] - 0.5 * g->position[2], 8.660254, 1e-4);
}

TEST(PhysPlacement, NearestFeatureOfATriangle) {
    // Obtuse at f0, so beyond that corner the foot on f0-f1 can lie on the edge.
    const float f0[3] = {0, 0, 0}, f1[3] = {2, 0, 0}, f2[3] = {-1, 0, 2}, r2 = std::sqrt(2.0f);
    const float rows[][7] = {{0.2f, 0, -1, 1, 1, 0.1f, 0},
                             {-1, 0, -1, 4, r2, 0, 0},
                             {0.5f, 1, 0.5f, 0, 1, 0.375f, 0.25f},
                             {3, 0, -1, 5, r2, 1, 0},
                             {-2, 0, 3, 6, r2, 0, 1},
                             {1, 0, 3, 3, 7 / std::sqrt(13.0f), 4 / 13.0f, 9 / 13.0f}};
    for (auto& r : rows) {
        float dist, b[2];
        int code = -1;
        newPointFaceDist(r, f0, f1, f2, &dist, &code, b);
        EXPECT_EQ(code, int(r[3]));
        EXPECT_NEAR(dist, r[4], 1e-5);
        EXPECT_NEAR(b[0], r[5], 1e-5);
        EXPECT_NEAR(b[1], r[6], 1e-5);
    }
}

TEST(PhysPlacement, StartsAirborneOrOnTheNearestFeature) {
    quietTrace quiet;
    physWorld w;
    veskGravity* g = w.add(5, 1, 5);
    EXPECT_EQ(g->typeIndex, 7);
    EXPECT_EQ(g->position[1], 1.0f);
    EXPECT_EQ(physFault(g), "");
    g = w.add(3.3f, 0.3f, 5);
    double foot[3];
    physRestPoint(g, foot, 0);
    EXPECT_EQ(g->typeIndex, 0);
    EXPECT_NEAR(g->position[1], 0.51f, 1e-6); // set down at the resting height
    EXPECT_EQ(physFault(g), "");
    EXPECT_NEAR(foot[0], 3.3, 1e-5);
    EXPECT_NEAR(foot[2], 5.0, 1e-5);
    g = w.add(10, 0.3f, 6); // over neighbour 3: handed over to it
    EXPECT_EQ(g->typeIndex, 0);
    EXPECT_EQ(g->chunkCoords[0], 1);
    EXPECT_NEAR(g->position[0], -5, 1e-5);
    EXPECT_NEAR(g->position[2], 6 - 8.660254, 1e-5);
    // Over flat ground every point projects into a face; a peak at the centre vertex, then
    // a ridge to its right neighbour, give a vertex and an edge, each at its resting point.
    g->terArray[6]->verts[45].loc[1] = 1.0f; // slot 6 of (1, 0) is (0, 0)
    g = w.add(0, 1.3f, 0);
    EXPECT_GE(g->typeIndex, 4);
    EXPECT_EQ(physFault(g), "");
    g->terArray[0]->verts[46].loc[1] = 1.0f;
    g = w.add(1, 1.3f, 0);
    EXPECT_TRUE(g->typeIndex >= 1 && g->typeIndex <= 3);
    EXPECT_EQ(physFault(g), "");
}

TEST(PhysMove, FlightLandingFallAndChunkChanges) {
    quietTrace quiet;
    physWorld w;
    veskGravity* g = w.add(1, 50, 2);
    launch(g, 1, 0.5f, -2, 1.7f);
    float want[3];
    for (int i = 0; i < 3; i++)
        want[i] = g->position[i] + 1.7f * g->moveVect[i];
    gravMoveStart(g, w.ters);
    EXPECT_EQ(memcmp(g->position, want, sizeof want), 0);
    EXPECT_EQ(g->typeIndex, 7);
    g->position[0] = 9, g->position[2] = 1; // free flight over side 2 into (1, 0)
    launch(g, 1, 0, 0, 2.0f);
    gravMoveStart(g, w.ters);
    EXPECT_EQ(physFault(g), "");
    EXPECT_EQ(g->chunkCoords[0], 1);
    EXPECT_FLOAT_EQ(g->position[0], 11 - 15.0f);
    EXPECT_FLOAT_EQ(g->position[2], 1 - 8.660254f);

    // Contact at s = 0.625 (x + 0.375), then the whole horizontal part (0.6) slides on.
    g = w.add(3.3f, 1.0f, 5);
    launch(g, 0.6f, -0.8f, 0, 1.0f);
    gravMoveStart(g, w.ters);
    EXPECT_EQ(physFault(g), "");
    EXPECT_NEAR(g->position[0], 3.3f + 0.375f + 0.6f, 1e-5);
    EXPECT_NEAR(g->curMoveSpeed, 0.6f, 1e-6);
    EXPECT_NEAR(g->moveVect[0], 1.0f, 1e-6);

    g = w.add(3.3f, 1.0f, 5); // straight down: nothing left to slide
    launch(g, 0, -1, 0, 1.0f);
    gravMoveStart(g, w.ters);
    EXPECT_EQ(g->typeIndex, 0);
    EXPECT_EQ(g->curMoveSpeed + g->midMoveSpeed + vectNorm(g->moveVect, 3), 0.0f);
    EXPECT_NEAR(g->position[1], 0.51f, 1e-6);
    EXPECT_EQ(g->position[0], 3.3f);

    g = w.add(10, 1.0f, 6); // falls onto a face of slot 3
    launch(g, 0, -1, 0, 1.0f);
    gravMoveStart(g, w.ters);
    EXPECT_EQ(g->chunkCoords[0], 1);
    EXPECT_EQ(g->chunkCoords[1], 0);
    EXPECT_NEAR(g->position[0], -5, 1e-5);
    EXPECT_EQ(physFault(g), "");
}

TEST(PhysMove, EqualContactsGoToTheLowerFaceIndex) {
    quietTrace quiet;
    physWorld w;
    veskGravity* g = w.add(0, 0, 0, false);
    physRestOn(g, w.ters, 40, 0, 1 / 3.0f, 1 / 3.0f); // above the middle of face 40
    g->position[1] = 2.0f, g->typeIndex = 7, g->faceIndex = -1;
    launch(g, 0, -1, 0, 2.0f);
    veskGravity copy = *g;
    gravMoveStart(g, w.ters);
    EXPECT_EQ(g->faceIndex, 40);
    for (int i = 0; i < 3; i++) // face 7 now doubles face 40
        g->terArray[0]->faces[3 * 7 + i] = g->terArray[0]->faces[3 * 40 + i];
    *g = copy;
    gravMoveStart(g, w.ters);
    EXPECT_EQ(g->faceIndex, 7);
    g->position[1] = 0.3f;
    polyGrounded(g, 0.55f, w.ters);
    EXPECT_EQ(g->faceIndex, 7);
}

TEST(PhysMove, RecursionBoundEndsOnlyThisEntitysMove) {
    physWorld w;
    veskGravity* g;
    {
        quietTrace quiet;
        g = w.add(3.3f, 0.51f, 5);
    }
    veskGravity start = *g;
    float ends[2][3];
    for (int dbg = 0; dbg < 2; dbg++) {
        *g = start;
        launch(g, 1, 0, 0.3f, 7.0f);
        debug = dbg, maxRec = 2;
        testing::internal::CaptureStdout();
        gravMoveStart(g, w.ters);
        std::string out = testing::internal::GetCapturedStdout();
        debug = 1, maxRec = 10;
        EXPECT_EQ(out.find("recureBreak 1\n") != std::string::npos, dbg == 1);
        EXPECT_EQ(counter0, 3);
        EXPECT_EQ(physFault(g), "");
        memcpy(ends[dbg], g->position, sizeof ends[dbg]);
    }
    EXPECT_EQ(memcmp(ends[0], ends[1], sizeof ends[0]), 0);
    *g = start; // the usual bound lets the whole move through
    launch(g, 1, 0, 0.3f, 7.0f);
    double from[3], to[3];
    worldPos(g, from);
    quietTrace quiet;
    gravMoveStart(g, w.ters);
    worldPos(g, to);
    EXPECT_LT(ends[0][0] - start.position[0], 6.0f);
    EXPECT_NEAR(std::hypot(to[0] - from[0], to[2] - from[2]), 7.0, 1e-4);
}

// On flat ground a grounded move from any contact (inside, edge or vertex) in any
// direction ends where the straight line takes it, over any face and chunk crossings.
TEST(PhysMove, FlatGroundSlidesFollowTheStraightLine) {
    quietTrace quiet;
    physWorld w;
    veskGravity* g = w.add(0, 0, 0, false);
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> unit(0, 1);
    for (int n = 0; n < 3000; n++) {
        g->chunkCoords[0] = int(rng() % 3) - 1, g->chunkCoords[1] = int(rng() % 3) - 1;
        int code = int(rng() % 7);
        float a = unit(rng), b = unit(rng) * (1 - a);
        const float pick[7][2] = {{a, b}, {a, 0}, {0, a}, {1 - a, a}, {0, 0}, {1, 0}, {0, 1}};
        physRestOn(g, w.ters, int(rng() % 150), code, pick[code][0], pick[code][1]);
        double before[3], after[3], ang = 2 * M_PI * unit(rng), dist = 2.5 * unit(rng);
        worldPos(g, before);
        launch(g, float(cos(ang)), 0, float(sin(ang)), float(dist));
        gravMoveStart(g, w.ters);
        ASSERT_EQ(physFault(g), "") << n;
        ASSERT_LE(counter0, maxRec) << n;
        worldPos(g, after);
        ASSERT_NEAR(after[0] - before[0], dist * cos(ang), 1e-4) << n;
        ASSERT_NEAR(after[2] - before[2], dist * sin(ang), 1e-4) << n;
    }
}
