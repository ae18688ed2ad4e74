// Tests of the ground-walker physics: velocity update, side tests, chunk hand-over, face
// crossing, placement, landing, ties, the recursion bound, the sweep index's choice of faces,
// and a randomised soak that also holds the culled sweep to the full one.
#include "test_physHelpers.h"

#include "rayFace.h"
#include "sweepIndex.h"

namespace {

veskGravity* add(float x, float y, float z, int cx = 0, int cy = 0) {
    veskGravity* g = addDefaultEntity(entList, 0, std::array{x, y, z}.data())->gravMem;
    g->chunkCoords[0] = cx, g->chunkCoords[1] = cy;
    return setveskGravity(g, terList), g;
}

void launch(veskGravity* g, float x, float y, float z, float speed) {
    g->moveVect[0] = x, g->moveVect[1] = y, g->moveVect[2] = z, g->curMoveSpeed = speed;
    vectNormalize(g->moveVect, 3), g->midMoveSpeed = speed;
}

void tick(veskGravity* g) {
    makeMoveVect(g), g->midMoveSpeed = g->curMoveSpeed;
    if (g->midMoveSpeed != 0.0f) gravMoveStart(g, terList);
}

// Edits like the brushes', from the world position alone so that border twins agree: heights
// in [-amp, amp] with a steep spike here and there, and away from the border (where brushes
// keep x and z) a sideways shift of up to 0.7 each way.
int edit(int from, float amp) {
    for (int i = from; i < arrayListGetLength(terList); i++) {
        veskTerrain* t = arrayListGet<veskTerrain>(terList, i);
        float cx, cz;
        terToWorldNew(t->chunkCoords[0], t->chunkCoords[1], &cx, &cz, 10.0f);
        for (vertTex* v = t->verts; v < t->verts + t->numVerts; v++) {
            uint32_t h = uint32_t(std::lround(cx + v->loc[0]) * 73856093 ^
                                  std::lround((cz + v->loc[2]) / 1.7320508f) * 19349663);
            v->loc[1] = amp * float(std::sin(h * 0.001)) + (h % 23 ? 0.0f : 6.0f);
            if (isOnEdge(v->loc[0], v->loc[2], 10) != -1) continue;
            v->loc[0] += 1.4f * float(h >> 8 & 255) / 255 - 0.7f;
            v->loc[2] += 1.4f * float(h >> 16 & 255) / 255 - 0.7f;
        }
        t->shapeVersion++;
    }
    return arrayListGetLength(terList);
}

// A unit vector in a random direction.
void direction(std::mt19937& rng, float* d) {
    std::normal_distribution<float> g(0, 1);
    do {
        for (int i = 0; i < 3; i++)
            d[i] = g(rng);
    } while (vectNorm(d, 3) < 1e-3f);
    vectNormalize(d, 3);
}

// A face of three new vertices about `at` from p (chunk frame), of a kind the query's
// arithmetic is dominated by rounding on, or nearly: collinear or coincident corners, near-zero
// area, long and thin, a corner far out, tiny, about the index's bound, or plain and at any
// slant. Once the chunk's spare room is used up an earlier one is overwritten.
void inject(veskTerrain* t, const float* p, float at, std::mt19937& rng) {
    std::uniform_real_distribution<float> u(-1, 1);
    const float lengths[8] = {2.5f, 2.5f, 2.5f, 30, 2.5f, 1e-4f, 2.5f, 2.5f};
    const float thins[8] = {0, 0, 1e-6f, 1e-3f, 0.3f, 0.3f, 0.0625f, 0.3f};
    int kind = int(rng() % 8), j = t->numFaces - numHexFaces(5);
    if (t->numVerts + 3 > t->maxVerts) j = int(rng() % unsigned(j));
    float L = lengths[kind] * std::pow(2.0f, u(rng)), thin = thins[kind] * std::pow(10.0f, u(rng));
    float c[3], d[3], e[3];
    direction(rng, c);
    direction(rng, d);
    direction(rng, e);
    at += 2.5f * u(rng);
    vertTex* q = t->verts + numHexVerts(5) + 3 * j;
    for (int i = 0; i < 3; i++) {
        q[0].loc[i] = p[i] + at * c[i];
        q[1].loc[i] = q[0].loc[i] + L * d[i];
        q[2].loc[i] = kind == 1   ? q[1].loc[i]
                      : kind == 4 ? q[0].loc[i] + 5000 * e[i]
                                  : q[0].loc[i] + 0.37f * L * d[i] + thin * L * e[i];
        t->faces[3 * (numHexFaces(5) + j) + i] = numHexVerts(5) + 3 * j + i;
    }
    t->numVerts = std::max(t->numVerts, numHexVerts(5) + 3 * j + 3);
    t->numFaces = std::max(t->numFaces, numHexFaces(5) + j + 1);
    t->shapeVersion++;
}

// Empty when the record keeps every movement invariant, else what is wrong.
std::string fault(const veskGravity* g) {
    const veskTerrain* t = g->terArray[0];
    int code = g->typeIndex, f = g->faceIndex;
    double w[3] = {1.0 - g->barys[0] - g->barys[1], g->barys[0], g->barys[1]}, sum = w[0];
    for (int i = 0; i < 3; i++)
        sum += double(g->position[i]) + g->moveVect[i] + g->curMoveSpeed;
    if (!std::isfinite(sum)) return "non-finite field";
    if (!t || memcmp(t->chunkCoords, g->chunkCoords, 8)) return "slot 0 is not the own chunk";
    if (code == 7) return f == -1 ? "" : "airborne on a face";
    if (code < 0 || code > 7 || f < 0 || f >= t->numFaces) return "bad contact";
    // Weights of the corners, each >= 0, some pinned to 0 by the code (as bits); the position
    // is the foot point plus 0.51 along the face's unit normal.
    const int pinned[7] = {0, 4, 2, 1, 6, 5, 3}, *c = t->faces + 3 * f;
    const float *p = t->verts[c[0]].loc, *p1 = t->verts[c[1]].loc, *p2 = t->verts[c[2]].loc;
    float a[3], b[3], n[3];
    vectSub(p1, p, a, 3), vectSub(p2, p, b, 3), crossProd3(a, b, n), vectScaleTo(n, 0.51f, 3);
    for (int i = 0; i < 3; i++)
        if (w[i] < -1e-4 || (pinned[code] >> i & 1 && std::fabs(w[i]) > 1e-4) ||
            std::fabs(p[i] + w[1] * a[i] + w[2] * b[i] + n[i] - g->position[i]) > 1e-4)
            return "contact " + std::to_string(code) + " off its face";
    return "";
}

// Contact code, chunk, position, speed, velocity along x and the recursion count.
V state(const veskGravity* g) {
    const int* c = g->chunkCoords;
    const float *p = g->position, s = g->curMoveSpeed;
    return V{double(g->typeIndex), double(c[0]),    double(c[1]), p[0], p[1], p[2], s,
             s * g->moveVect[0],   double(counter0)};
}

} // namespace

TEST(PhysRules, VelocitySideTestsBarysAtCrossingsAndNearestFeatures) {
    veskGravity g = {};
    g.faceIndex = 12, g.maxMoveSpeed = 2.0f, g.addMoveSpeed = 0.4f;
    auto step = [&g](float x, float y, float z, int jump = 0) {
        g.tempVect[0] = x, g.tempVect[1] = y, g.tempVect[2] = z, g.jumping = jump;
        makeMoveVect(&g);
        const float* m = g.moveVect;
        return V{g.curMoveSpeed, m[0], m[1], m[2], double(g.typeIndex), double(g.faceIndex)};
    };
    for (float s : {0.4f, 0.8f, 1.2f, 1.6f, 2.0f, 2.0f, -1.6f, -1.2f, -0.8f, -0.4f, -0.f, -0.f})
        EXPECT_NEAR(step(0, 0, s > 0)[0], std::fabs(s), 1e-6); // negative: no key, braking
    launch(&g, 0, 0, 1, 3.0f); // above the cap: 0.4 a tick, then the cap
    for (float s : {2.6f, 2.2f, 2.0f, 2.0f})
        EXPECT_NEAR(step(0, 0, 1)[0], s, 1e-6);
    EXPECT_NEAR(step(0, 1, 0)[0], 1.6f, 1e-6); // vertical input brakes
    launch(&g, 0, 0, 1, 0.4f);                 // input cancelling the velocity: m = 0
    EXPECT_TRUE(near(step(0, 0, -1), {0, 0, 0, 1, 0, 12}));
    EXPECT_TRUE(near(step(0, 0, 0, 1), {3, 0, 1, 0, 7, 12})); // the jump keeps the face
    launch(&g, 0, 1, 0, 0.0f); // in the air keys do nothing and gravity adds up
    V v = (step(1, 0, 0), step(1, 0, 0), step(1, 0, 0));
    EXPECT_TRUE(near({v[0] * v[1], v[0] * v[2], v[0] * v[3]}, {0, -1.8, 0}, 1e-6));
    // Side tests; barys at face crossings; nearest features of a triangle.
    const float s3 = 8.660254f, h3 = 4.330127f; // x, z, then isOnEdgeNew (first six) or isOnEdge
    const float sides[][3] = {{0, 9, 1},      {0, 0.9995f * s3, 1}, {0, 0, -1},    {-7.5f, 4.4f, 0},
                              {-10, 0, 5},    {10, 0, 3},           {-10, 0, 0},   {10, 0, 6},
                              {0, s3, 3},     {5, s3, 4},           {-5, -s3, 10}, {7.5f, h3, 5},
                              {7.5f, -h3, 7}, {-7.5f, -h3, 11},     {0, 0, -1}};
    for (int n = 0; n < 15; n++)
        EXPECT_EQ((n < 6 ? isOnEdgeNew : isOnEdge)(sides[n][0], sides[n][1], 10), int(sides[n][2]));
    // Old code, new edge, barys in, barys out: the six pairings that change them.
    const float rows[][6] = {{1, 1, 0.25f, 0, 0, 0.25f},  {1, 2, 0.25f, 0, 0.25f, 0.75f},
                             {2, 0, 0, 0.3f, 0.3f, 0},    {2, 2, 0, 0.3f, 0.7f, 0.3f},
                             {3, 0, 0.6f, 0.4f, 0.6f, 0}, {3, 1, 0.6f, 0.4f, 0, 0.4f}};
    for (auto& r : rows) {
        g.typeIndex = int(r[0]), g.barys[0] = r[2], g.barys[1] = r[3];
        edgeChangeBarys(&g, int(r[1]));
        EXPECT_TRUE(near({g.barys[0], g.barys[1]}, {r[4], r[5]}, 1e-7)) << r[0] << " " << r[1];
    }
    // Point, code, distance, barys: beyond the corner f0 at its distance, and, as the
    // triangle is obtuse at f0, on the edge f0-f1 where the foot lies on it.
    const float f0[3] = {0, 0, 0}, f1[3] = {2, 0, 0}, f2[3] = {-1, 0, 2};
    const float feats[][7] = {{-1, 0, -1, 4, std::sqrt(2.f), 0, 0}, {0.2f, 0, -1, 1, 1, 0.1f, 0}};
    for (auto& r : feats) {
        float dist, b[2];
        int code = -1;
        newPointFaceDist(r, f0, f1, f2, &dist, &code, b);
        EXPECT_TRUE(near({double(code), dist, b[0], b[1]}, {r[3], r[4], r[5], r[6]}, 1e-5));
    }
}

// offChunkCheck hands over and refills. Then rows: placed at a start, moved by a vector under
// a recursion bound, with and without the debug line: the same state, as listed (NaN: not
// checked) to the row's tolerance; the line of the bound (a landing's or a slide's) only with
// debug and only where it cuts. A walker at rest is left alone; equal contacts tie.
TEST(PhysMove, HandOverPlacementFlightLandingRecursionBoundAndTies) {
    quietTrace quiet;
    world w(2);
    veskGravity& e = w.g;
    veskTerrain* home = e.terArray[0];
    e.typeIndex = 7, e.position[0] = 5, e.position[1] = 1.5f, e.position[2] = 4;
    offChunkCheck(&e);
    bool stays = e.position[0] == 5;      // still inside
    e.position[0] = 8, offChunkCheck(&e); // past side 2
    EXPECT_TRUE(near(state(&e), {7, 1, 0, 8 - 15.0f, 1.5, 4 - 8.660254f}, 2e-6));
    EXPECT_TRUE(stays && e.terArray[6] == home && fault(&e).empty() &&
                arrayListGetLength(terList) == 37);
    const float s3 = 8.660254f, X = NAN;
    const float rows[][16] = {
        {5, 1, 5, 0, 0, 0, 10, 7, 0, 0, 5, 1, 5, 0, X, 0},                 // above ground: airborne
        {3.3f, 0.3f, 5, 0, 0, 0, 10, 0, 0, 0, 3.3f, 0.51f, 5, 0, X, 1e-6}, // set down at rest
        {10, 0.3f, 6, 0, 0, 0, 10, 0, 1, 0, -5, 0.51f, 6 - s3, 0, X, 1e-5}, // over (1, 0)
        {9, 50, 1, 2, 0, 0, 10, 7, 1, 0, -4, 50, 1 - s3, 2, 2, 2e-6},       // flight over side 2
        {3.3f, 1, 5, 0.6f, -0.8f, 0, 10, 0, 0, 0, 3.3f + 0.975f, 0.51f, 5, 0.6f, 0.6f, 1e-6},
        {3.3f, 1, 5, 0, -1, 0, 10, 0, 0, 0, 3.3f, 0.51f, 5, 0, 0, 1e-6},  // straight down
        {10, 1, 6, 0, -1, 0, 10, 0, 1, 0, -5, 0.51f, 6 - s3, 0, 0, 1e-5}, // onto (1, 0)
        {3.3f, 1, 5, 0.6f, -0.8f, 0, 0, 0, 0, 0, 3.3f + 0.375f, 0.51f, 5, X, X, 1e-5}, // landed
        {3.3f, 0.51f, 5, 7, 0, 0, 2, X, X, 0, X, 0.51f, 5, X, X, 1e-5}}; // a slide cut short
    for (auto& r : rows) {
        V got[2];
        for (int dbg = 0; dbg < 2; dbg++) {
            veskGravity* g = add(r[0], r[1], r[2]);
            launch(g, r[3], r[4], r[5], std::hypot(r[3], r[4], r[5]));
            debug = dbg, maxRec = int(r[6]), counter0 = 0;
            std::string out = traced([g] { gravMoveStart(g, terList); });
            debug = 1, maxRec = 10, traceOn = 0, got[dbg] = state(g);
            EXPECT_EQ(out.find(r[6] ? "recureBreak 1\n" : "Recure break 0\n") != out.npos,
                      dbg && r[6] < 10);
            EXPECT_EQ(fault(g), "");
        }
        EXPECT_TRUE(got[0] == got[1] && near(got[1], V(r + 7, r + 15), r[15])) << r[0] << r[1];
    }
    veskGravity *r = add(3.3f, 0.51f, 5), before = *r; // at rest without input nothing happens
    counter0 = 99, tick(r);
    EXPECT_TRUE(!memcmp(&before, r, sizeof before) && counter0 == 99);
    // Equal contacts go to the lower face index: face 7 made a copy of 40, met from above.
    veskGravity *g = add(-7, 2, 2.9f), copy; // above face 40: (-8, 3.46) (-6, 3.46) (-7, 1.73)
    int32_t* f = g->terArray[0]->faces;
    int got[3];
    launch(g, 0, -1, 0, 2.0f), copy = *g, gravMoveStart(g, terList), got[0] = g->faceIndex;
    memcpy(f + 21, f + 120, 12);
    g->terArray[0]->shapeVersion++;
    *g = copy, gravMoveStart(g, terList), got[1] = g->faceIndex;
    g->position[1] = 0.3f, polyGrounded(g, 0.55f, terList), got[2] = g->faceIndex; // placed
    EXPECT_TRUE(got[0] == 40 && got[1] == 7 && got[2] == 7);
}

// A one-face chunk, the face from well shaped to slivers whose pair and normal the query gets
// from rounding noise, with random starts and steps around it: whenever the query reports a
// contact at 0 < s < 1 the index hands the face out. And it does leave faces out.
TEST(PhysSweep, TheIndexHandsOutEveryFaceThatReportsAContact) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> unit(0, 1);
    auto logUniform = [&](float lo, float hi) { return lo * std::pow(hi / lo, unit(rng)); };
    vertTex v[3] = {};
    int32_t corners[3] = {0, 1, 2};
    veskTerrain t = {3, 1, 3, 1, {0, 0}, v, corners, nullptr, 0, nullptr};
    int contacts = 0, left = 0, trials = 300000;
    for (int n = 0; n < trials; n++) {
        // Corners c -+ L/2 d, and one on that edge moved off it by L times `thin` along e; the
        // corners' order rotates.
        float c[3], d[3], e[3], p[3], step[3], L = logUniform(0.5f, 8), at = unit(rng) - 0.5f;
        float thin = n % 2 ? logUniform(0.01f, 1) : logUniform(1e-12f, 1e-5f);
        float rho = logUniform(0.3f, 12), *a = v[n % 3].loc, *b = v[(n + 1) % 3].loc;
        float* third = v[(n + 2) % 3].loc;
        direction(rng, c);
        direction(rng, d);
        direction(rng, e);
        direction(rng, p);
        vectScaleTo(c, n % 8 ? 15 * unit(rng) : logUniform(10, 3000), 3);
        float de = dotProd(d, e, 3);
        for (int i = 0; i < 3; i++)
            e[i] -= de * d[i];
        vectScaleTo(e, thin * L, 3);
        for (int i = 0; i < 3; i++) {
            a[i] = c[i] - 0.5f * L * d[i];
            b[i] = c[i] + 0.5f * L * d[i];
            third[i] = c[i] + at * L * d[i] + e[i];
            p[i] = c[i] + rho * p[i];
        }
        direction(rng, step);
        vectScaleTo(step, logUniform(0.05f, 6), 3);
        t.shapeVersion++;
        bool asked = sweepCandidates(sweepIndexOf(&t), p, step, 0.5f)[0] & 1;
        float barys[2];
        int type = -1;
        float s = newerCircRayFaceScalar(p, step, 0.5f, v[0].loc, v[1].loc, v[2].loc, barys, &type);
        contacts += 0.0f < s && s < 1.0f;
        ASSERT_TRUE(asked || !(0.0f < s && s < 1.0f)) << "trial " << n;
        left += !asked;
    }
    free(t.sweep);
    EXPECT_TRUE(contacts > trials / 20 && left > trials / 10) << contacts << " " << left;
}

// After a brush the walkers on edited chunks are placed anew (a brush moves the ground from
// under them), and the edits are forgotten as the tick forgets them.
void resettle(const std::vector<veskGravity*>& gs) {
    for (veskGravity* g : gs)
        if (arrayListGetLength(g->terArray[0]->movedVerts) > 0) setveskGravity(g, terList);
    for (int i = 0; i < arrayListGetLength(terList); i++)
        arrayListClear(arrayListGet<veskTerrain>(terList, i)->movedVerts);
}

static bool soakRunning = false; // the process must never end inside the soak

// Walkers with random keys and jumps over edited terrain keep every invariant on every tick
// unless they have stood on an injected face. Every tenth one also moves without the cull,
// with the same result, while faces the query cannot be trusted on are injected around it and
// brushes edit the ground it stands on.
TEST(PhysSoak, RandomWalkersKeepEveryInvariantAndTheCullChangesNothing) {
    const int walkers = 80, ticks = 500, every = 10;
    ASSERT_EQ(std::atexit([] { soakRunning ? puts("exit in the soak"), _Exit(1) : void(); }), 0);
    quietTrace quiet;
    world w(11);
    int known = edit(0, 0.6f);
    std::vector<veskGravity*> gs;
    std::vector<bool> tainted(size_t(walkers), false);
    std::mt19937 rng(2024);
    std::uniform_real_distribution<float> unit(0, 1);
    for (int n = 0; n < walkers; n++) { // in the air up to 20 high, within 3 chunks of (0, 0)
        float x = 12 * unit(rng) - 6, y = 2 + 18 * unit(rng) * unit(rng), z = 12 * unit(rng) - 6;
        int cx = int(rng() % 7) - 3;
        gs.push_back(add(x, y, z, cx, std::abs(cx) > 1 ? 0 : int(rng() % 3) - 1));
    }
    long crossings = 0;
    soakRunning = true;
    for (int t = 0; t < ticks; t++) {
        for (int n = 0; n < walkers; n++) {
            veskGravity *g = gs[n], before = *g, culledMove;
            float cx, cz, a = 6.2831853f * unit(rng), r = rng() % 4 ? 1.0f : 0.0f;
            terToWorldNew(g->chunkCoords[0], g->chunkCoords[1], &cx, &cz, 10.0f);
            float x = cx + g->position[0], z = cz + g->position[2], d = std::hypot(x, z);
            if (d > 90.0f && rng() % 10 == 0) // far out: home; else new keys now and then
                g->tempVect[0] = -x / d, g->tempVect[2] = -z / d;
            else if (rng() % 20 == 0)
                g->tempVect[0] = r * std::cos(a), g->tempVect[2] = r * std::sin(a);
            if (n % every == 0 && rng() % 8 == 0)
                inject(g->terArray[0], g->position, 0.75f + 1.1f * g->curMoveSpeed, rng);
            if (n % every == 0 && g->typeIndex != 7 && rng() % 16 == 0) { // a brush where it is
                brushNormalInOut(g->position, g->faceIndex, g->chunkCoords, 3.0f, int(rng() % 2));
                resettle(gs);
            }
            g->jumping = rng() % 60 == 0, before = *g;
            tick(g);
            tainted[n] = tainted[n] || g->faceIndex >= numHexFaces(5);
            ASSERT_EQ(tainted[n] ? "" : fault(g), "") << "tick " << t << " walker " << n;
            crossings += memcmp(before.chunkCoords, g->chunkCoords, 8) != 0;
            if (n % every) continue;
            culledMove = *g, *g = before, gravSweepCull = 0, tick(g), gravSweepCull = 1;
            ASSERT_EQ(memcmp(&culledMove, g, sizeof culledMove), 0)
                << "tick " << t << " walker " << n;
        }
        known = edit(known, 0.6f); // new chunks lie 3 from the walker that made them
    }
    soakRunning = false;
    EXPECT_GT(crossings, 5L * walkers * ticks / 2000);
}

// A world of radius 2 walked and jumped against from everywhere: no chunk is ever made
// beyond it, and every walker stays on the ground of the world with every invariant kept.
TEST(PhysBorder, WalkersHeldAgainstTheBorderStopThere) {
    quietTrace quiet;
    int savedRadius = worldRadius;
    worldRadius = 2;
    world w(11);
    ASSERT_EQ(arrayListGetLength(terList), 19); // the spawn area, cut at the border
    edit(0, 0.6f);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> unit(-1, 1);
    std::vector<veskGravity*> gs;
    for (int n = 0; n < 40; n++) {
        int cx = int(rng() % 5) - 2;
        int cy = int(rng() % 5) - 2;
        if (terRadius(cx, cy) > 2) cy = -cx;
        gs.push_back(add(6 * unit(rng), 3 + 3 * unit(rng), 6 * unit(rng), cx, cy));
    }
    for (int t = 0; t < 300; t++)
        for (veskGravity* g : gs) {
            float cx, cz;
            terToWorldNew(g->chunkCoords[0], g->chunkCoords[1], &cx, &cz, 10.0f);
            float x = cx + g->position[0];
            float z = cz + g->position[2];
            float d = std::hypot(x, z) + 1e-3f;
            g->tempVect[0] = x / d; // outwards
            g->tempVect[2] = z / d;
            g->jumping = rng() % 30 == 0;
            tick(g);
            ASSERT_EQ(fault(g), "") << "tick " << t;
            ASSERT_LE(terRadius(g->chunkCoords[0], g->chunkCoords[1]), 2);
        }
    int atTheRim = 0; // on the ground of the outer ring of chunks
    for (veskGravity* g : gs) {
        atTheRim += terRadius(g->chunkCoords[0], g->chunkCoords[1]) == 2 && g->typeIndex != 7;
    }
    EXPECT_GT(atTheRim, 30);
    EXPECT_EQ(arrayListGetLength(terList), 19);
    worldRadius = savedRadius;
}
