// Tests of the swept-sphere contact query and the ground-walker physics: speeds and heights
// worked out by hand on flat ground, contacts that are first touches and that the sweep index
// never leaves out, a randomised soak over edited ground that holds the culled sweep to the
// full one, and walkers held against the world's border.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>

#include "brushes.h"
#include "rayFace.h"
#include "sweepIndex.h"
#include "testUtil.h"
#include "tolp.h"
#include "server.h"

namespace {

// A new walker at (x, y, z) of chunk (cx, cy), set down on the ground when it is near it.
veskGravity* add(float x, float y, float z, int cx = 0, int cy = 0) {
    const float at[3] = {x, y, z};
    veskGravity* g = addDefaultEntity(world.entList, 0, at)->gravMem;
    g->chunkCoords[0] = cx;
    g->chunkCoords[1] = cy;
    setveskGravity(g, world.terList);
    return g;
}

// One tick of a walker's movement, as the game tick makes it.
void tick(veskGravity* g) {
    makeMoveVect(g);
    g->midMoveSpeed = g->curMoveSpeed;
    if (g->midMoveSpeed != 0.0f) gravMoveStart(g, world.terList);
}

// A bounded world of the given radius, all of it made, with edits like the brushes' from the
// world position alone so that border twins agree: heights in [-0.6, 0.6] with a steep spike
// here and there, and away from the border (where brushes keep x and z) a sideways shift of
// up to 0.7 each way. (Options and lists are given back after each test.)
struct editedWorld {
    explicit editedWorld(int radius) {
        options.worldRadius = radius;
        freshLists(radius + 1);
        for (int i = 0; i < arrayListGetLength(world.terList); i++) {
            veskTerrain* t = arrayListGet<veskTerrain>(world.terList, i);
            float cx, cz;
            terToWorldNew(t->chunkCoords[0], t->chunkCoords[1], &cx, &cz, options.terScale);
            for (vertTex* v = t->verts; v < t->verts + t->numVerts; v++) {
                uint32_t h = uint32_t(std::lround(cx + v->loc[0]) * 73856093 ^
                                      std::lround((cz + v->loc[2]) / 1.7320508f) * 19349663);
                v->loc[1] = 0.6f * float(std::sin(h * 0.001)) + (h % 23 ? 0.0f : 6.0f);
                if (isOnEdge(v->loc[0], v->loc[2], int(options.terScale)) != -1) continue;
                v->loc[0] += 1.4f * float(h >> 8 & 255) / 255 - 0.7f;
                v->loc[2] += 1.4f * float(h >> 16 & 255) / 255 - 0.7f;
            }
            t->shapeVersion++;
        }
    }
};

// A random vector of the given length.
void randomVector(std::mt19937& rng, float length, float* d) {
    std::normal_distribution<float> normal(0, 1);
    for (int i = 0; i < 3; i++)
        d[i] = normal(rng);
    vectScaleTo(d, length, 3);
}

// Empty when the walker keeps every movement invariant, else what is wrong: finite, in its own
// chunk, airborne on no face, or else on an existing face with the weights of its contact
// (each >= 0, those the contact code pins to 0 at 0) and 0.51 above that point of the face.
std::string fault(const veskGravity* g) {
    const veskTerrain* t = g->terArray[0];
    const int code = g->typeIndex;
    if (!std::isfinite(g->position[0] + g->position[1] + g->position[2] + g->curMoveSpeed))
        return "non-finite position or speed";
    if (!t || memcmp(t->chunkCoords, g->chunkCoords, 8) != 0) return "slot 0 is not the own chunk";
    if (code == 7) return g->faceIndex == -1 ? "" : "airborne on a face";
    if (code < 0 || code > 7 || g->faceIndex < 0 || g->faceIndex >= t->numFaces)
        return "bad contact";
    const int pinned[7] = {0, 4, 2, 1, 6, 5, 3}; // weights held at 0, as bits
    const double w[3] = {1.0 - g->barys[0] - g->barys[1], g->barys[0], g->barys[1]};
    const int32_t* c = t->faces + 3 * g->faceIndex;
    const float* p = t->verts[c[0]].loc;
    float a[3], b[3], n[3];
    vectSub(t->verts[c[1]].loc, p, a, 3);
    vectSub(t->verts[c[2]].loc, p, b, 3);
    crossProd3(a, b, n);
    vectScaleTo(n, indentRadius, 3);
    for (int i = 0; i < 3; i++) {
        bool outside = w[i] < -1e-4 || ((pinned[code] >> i & 1) && std::fabs(w[i]) > 1e-4);
        double rest = p[i] + w[1] * a[i] + w[2] * b[i] + n[i];
        if (outside || std::fabs(rest - g->position[i]) > 1e-4) return "contact off its face";
    }
    return "";
}

// Walkers in the air up to 20 high over chunk (0, 0) and its neighbours, each with the keys
// of a heading of its own.
std::vector<veskGravity*> dropWalkers(int count, std::mt19937& rng) {
    std::uniform_real_distribution<float> unit(0, 1);
    std::vector<veskGravity*> gs;
    for (int n = 0; n < count; n++) {
        const int* chunk = chunkArrayCoords + 2 * (rng() % 7);
        float y = 2 + 18 * unit(rng) * unit(rng);
        gs.push_back(add(12 * unit(rng) - 6, y, 12 * unit(rng) - 6, chunk[0], chunk[1]));
        gs.back()->tempVect[0] = std::cos(6.2831853f * float(n) / float(count));
        gs.back()->tempVect[2] = std::sin(6.2831853f * float(n) / float(count));
    }
    return gs;
}

// A brush under the walker, as a client's raise or dig there. The walkers on edited chunks are
// then placed anew, as the brush may have moved the ground from under them, and the edits are
// forgotten as the tick forgets them.
void brushUnder(const veskGravity* g, const std::vector<veskGravity*>& gs, std::mt19937& rng) {
    brushNormalInOut(g->position, g->faceIndex, g->chunkCoords, 3.0f, int(rng() % 2));
    for (veskGravity* other : gs)
        if (arrayListGetLength(other->terArray[0]->movedVerts) > 0)
            setveskGravity(other, world.terList);
    for (int i = 0; i < arrayListGetLength(world.terList); i++)
        arrayListClear(arrayListGet<veskTerrain>(world.terList, i)->movedVerts);
}

using d3 = std::array<double, 3>;

d3 minus(const d3& a, const d3& b) {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

double dot(const d3& a, const d3& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

d3 cross(const d3& a, const d3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

double segmentDist(const d3& p, const d3& a, const d3& b) {
    d3 ab = minus(b, a);
    double len2 = dot(ab, ab); // 0 for a point
    double t = len2 > 0 ? std::clamp(dot(minus(p, a), ab) / len2, 0.0, 1.0) : 0.0;
    d3 foot = {a[0] + t * ab[0], a[1] + t * ab[1], a[2] + t * ab[2]};
    return std::sqrt(dot(minus(p, foot), minus(p, foot)));
}

// The distance from p to a well-shaped triangle, the slow way in double: to its plane when
// the foot of p lies inside, else to the nearest edge.
double triangleDist(const d3& p, const d3& a, const d3& b, const d3& c) {
    d3 n = cross(minus(b, a), minus(c, a));
    double height = dot(minus(p, a), n) / std::sqrt(dot(n, n));
    bool inside = dot(cross(minus(b, a), minus(p, a)), n) >= 0 &&
                  dot(cross(minus(c, b), minus(p, b)), n) >= 0 &&
                  dot(cross(minus(a, c), minus(p, c)), n) >= 0;
    if (inside) return std::fabs(height);
    return std::min({segmentDist(p, a, b), segmentDist(p, b, c), segmentDist(p, c, a)});
}

d3 at(const vertTex& v) {
    return {v.loc[0], v.loc[1], v.loc[2]};
}

// How far a sphere of radius r at p + s v is from the face of corners f (negative: overlapping).
float gap(const float* p, const float* v, float s, float r, const vertTex* f) {
    d3 c, corner[3];
    for (int i = 0; i < 3; i++) {
        c[size_t(i)] = double(p[i]) + double(s) * double(v[i]);
        for (int k = 0; k < 3; k++)
            corner[k][size_t(i)] = double(f[k].loc[i]);
    }
    return float(triangleDist(c, corner[0], corner[1], corner[2]) - double(r));
}

} // namespace

// Set down 0.51 above flat ground, a walker gains 0.4 a tick up to 2.0 and loses 0.4 a tick
// without keys; a jump leaves at 3.0 and loses 0.6 a tick, and the walker lands where it took
// off, 0.51 above the ground.
TEST(PhysFlat, WalkingJumpingAndFallingGoAsWorkedOutByHand) {
    quietTrace quiet;
    freshLists(2);
    veskGravity* g = add(-6, 0.3f, 0.3f);
    const float speeds[11] = {0.4f, 0.8f, 1.2f, 1.6f, 2.0f, 2.0f, 1.6f, 1.2f, 0.8f, 0.4f, 0.0f};
    float x = -6;
    for (int t = 0; t < 11; t++) {
        g->tempVect[0] = t < 6 ? 1.0f : 0.0f;
        tick(g);
        x += speeds[t];
        EXPECT_NEAR(g->position[0], x, 1e-4) << "tick " << t;
    }
    g->jumping = 1;
    float y = 0.51f;
    for (int t = 0; t < 5; t++) {
        tick(g);
        g->jumping = 0;
        y += 3.0f - 0.6f * float(t);
        EXPECT_NEAR(g->position[1], y, 1e-4) << "tick " << t;
    }
    for (int t = 0; t < 8; t++)
        tick(g);
    EXPECT_EQ(g->typeIndex, 0);
    EXPECT_NEAR(g->position[1], 0.51f, 1e-5);
    // Dropped straight onto the chunk's centre vertex, it touches the six faces around it at
    // the same moment: the first of them by index takes it.
    veskGravity* faller = add(0, 3, 0);
    for (int t = 0; t < 6; t++)
        tick(faller);
    veskTerrain* ter = faller->terArray[0];
    int first = 0;
    while (ter->faces[3 * first] != 45 && ter->faces[3 * first + 1] != 45 &&
           ter->faces[3 * first + 2] != 45)
        first++;
    EXPECT_EQ(faller->faceIndex, first);
}

// A walker set down anywhere over edited ground rests on the face nearest to where it was,
// found the slow way, when one is within reach (0.55); otherwise it stays in the air.
TEST(PhysGround, AWalkerIsSetDownOnTheNearestFaceWithinReach) {
    quietTrace quiet;
    editedWorld edited(2);
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> unit(0, 1);
    const veskTerrain* ter = coordsToTer(std::array<int, 2>{0, 0}.data(), world.terList);
    for (int n = 0; n < 300; n++) {
        d3 p = {8 * unit(rng) - 4, 2 * unit(rng) - 0.8, 8 * unit(rng) - 4};
        veskGravity* g = add(float(p[0]), float(p[1]), float(p[2]));
        double nearest = 1e9, chosen = -1;
        for (int f = 0; f < ter->numFaces; f++) {
            const int32_t* c = ter->faces + 3 * f;
            double d =
                triangleDist(p, at(ter->verts[c[0]]), at(ter->verts[c[1]]), at(ter->verts[c[2]]));
            nearest = std::min(nearest, d);
            chosen = f == g->faceIndex ? d : chosen;
        }
        bool right =
            g->typeIndex == 7 ? nearest >= 0.55 - 1e-4 : std::fabs(chosen - nearest) < 1e-4;
        EXPECT_TRUE(right) << n << ": " << g->typeIndex << " " << chosen << " " << nearest;
    }
}

// A point of the world belongs to the chunk whose centre is nearest: no neighbour's centre
// is nearer (the hexagons are the cells of their centres).
TEST(PhysGround, APointIsInTheChunkWhoseCentreIsNearest) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> coord(-400, 400);
    for (int n = 0; n < 20000; n++) {
        float x = coord(rng), z = coord(rng), wx, wz;
        int c[2];
        worldToTer(x, z, &c[0], &c[1], 10.0f);
        terToWorldNew(c[0], c[1], &wx, &wz, 10.0f);
        double own = std::hypot(x - wx, z - wz);
        for (int k = 1; k < 7; k++) {
            terToWorldNew(c[0] + chunkArrayCoords[2 * k], c[1] + chunkArrayCoords[2 * k + 1], &wx,
                          &wz, 10.0f);
            ASSERT_LE(own, std::hypot(x - wx, z - wz) + 1e-3) << x << ", " << z;
        }
    }
}

// The smallest value that is not negative, of three; on a tie the later index, and a NaN
// counts as negative.
TEST(PhysHelpers, TheLowestNonNegativeValueAndItsTies) {
    const float nan = std::nanf("");
    EXPECT_EQ(lowestPosFloat3(1, 1, 2), 1);
    EXPECT_EQ(lowestPosFloat3(0.5f, 2, 0.5f), 2);
    EXPECT_EQ(lowestPosFloat3(2, 0.5f, 0.5f), 2);
    EXPECT_EQ(lowestPosFloat3(0, 0, 0), 2);
    EXPECT_EQ(lowestPosFloat3(-1, 3, 3), 2);
    EXPECT_EQ(lowestPosFloat3(3, 3, -1), 1);
    EXPECT_EQ(lowestPosFloat3(nan, 0.25f, 0.5f), 1);
    EXPECT_EQ(lowestPosFloat3(0.25f, -0.0f, nan), 1);
}

// Faces from well shaped to slivers whose pair and normal the query gets from rounding noise,
// near and far out, and spheres of radius 0.5 moving about them. Whenever the query reports a
// contact at 0 < s < 1 the sweep index of a one-face chunk hands the face out. On a well-shaped
// face, for a start in front of it and clear of its plane, the contact puts the sphere on the face
// and is its first touch: the sphere was clear of the face all the way there. The index does leave
// faces out.
TEST(RayFace, AContactIsTheFirstTouchAndTheSweepIndexHandsItsFaceOut) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> unit(0, 1);
    auto logUniform = [&](float lo, float hi) { return lo * std::pow(hi / lo, unit(rng)); };
    vertTex f[3] = {};
    int32_t corners[3] = {0, 1, 2};
    veskTerrain t = {3, 1, 3, 1, {0, 0}, f, corners, nullptr, 0, nullptr, 0, 0};
    int left = 0;
    for (int n = 0; n < 600000; n++) {
        // Corners c -+ L/2 d, and one off that edge by e, L times `thin` long; the corners'
        // order rotates. The start is p from c.
        float c[3], d[3], e[3], p[3], step[3], normal[3], barys[2];
        float L = logUniform(0.5f, 8);
        float at = unit(rng) - 0.5f;
        float thin = n % 2 ? logUniform(0.01f, 1) : logUniform(1e-12f, 1e-5f);
        bool near = n % 8 != 0;
        randomVector(rng, near ? 15 * unit(rng) : logUniform(10, 3000), c);
        randomVector(rng, 1, d);
        randomVector(rng, thin * L, e);
        randomVector(rng, logUniform(0.3f, 12), p);
        randomVector(rng, logUniform(0.05f, 6), step);
        crossProd3(d, e, normal); // the face's normal, as long as the altitude onto d
        bool wellShaped = near && vectNorm(normal, 3) > 0.25f * L;
        vectNormalize(normal, 3);
        bool clearInFront = dotProd(p, normal, 3) > 0.5f + 2e-3f;
        for (int i = 0; i < 3; i++) {
            f[n % 3].loc[i] = c[i] - 0.5f * L * d[i];
            f[(n + 1) % 3].loc[i] = c[i] + 0.5f * L * d[i];
            f[(n + 2) % 3].loc[i] = c[i] + at * L * d[i] + e[i];
            p[i] += c[i];
        }
        t.shapeVersion++;
        bool handedOut = sweepCandidates(sweepIndexOf(&t), p, step, 0.5f)[0] & 1;
        left += !handedOut;
        int type = -1;
        float s = newerCircRayFaceScalar(p, step, 0.5f, f[0].loc, f[1].loc, f[2].loc, barys, &type);
        if (!(0.0f < s && s < 1.0f)) { // no touch on the way: no overlap anywhere on it
            for (int k = 1; wellShaped && clearInFront && k <= 8; k++)
                ASSERT_GE(gap(p, step, float(k) / 8, 0.5f, f), -2e-3f) << "trial " << n;
            continue;
        }
        ASSERT_TRUE(handedOut) << "trial " << n;
        if (!wellShaped || !clearInFront) continue;
        ASSERT_LE(gap(p, step, s, 0.5f, f), 2e-3f) << "trial " << n;
        for (int k = 0; k < 8; k++)
            ASSERT_GE(gap(p, step, s * float(k) / 8, 0.5f, f), -2e-3f) << "trial " << n;
        if (type == 0) continue;
        // An edge (1: f0 f1, 2: f0 f2, 3: f1 f2) or a corner (4, 5, 6: f0, f1, f2) is what
        // the sphere touches.
        const int ends[7][2] = {{}, {0, 1}, {0, 2}, {1, 2}, {0, 0}, {1, 1}, {2, 2}};
        ASSERT_TRUE(type > 0 && type < 7) << type;
        d3 centre, a, b;
        for (int i = 0; i < 3; i++) {
            centre[size_t(i)] = double(p[i]) + double(s) * double(step[i]);
            a[size_t(i)] = double(f[ends[type][0]].loc[i]);
            b[size_t(i)] = double(f[ends[type][1]].loc[i]);
        }
        ASSERT_NEAR(segmentDist(centre, a, b), 0.5, 2e-3) << "trial " << n << " type " << type;
    }
    free(t.sweep);
    EXPECT_GT(left, 60000);
}

// Walkers with random keys and jumps over edited ground of a world of radius 3 keep every
// invariant on every tick. Every tenth one also moves without the cull, bit for bit the same,
// while brushes raise and dig the ground it stands on. Many end up standing against the
// border, and no chunk is ever made beyond it.
TEST(PhysSoak, RandomWalkersKeepEveryInvariantTheCullChangesNothingAndTheBorderHolds) {
    quietTrace quiet;
    editedWorld edited(3);
    std::mt19937 rng(2024);
    std::vector<veskGravity*> gs = dropWalkers(80, rng);
    for (int t = 0; t < 500; t++)
        for (size_t n = 0; n < gs.size(); n++) {
            veskGravity* g = gs[n];
            // Now and then a key is pressed or let go: x or z to -1, 0 or 1.
            if (rng() % 10 == 0) g->tempVect[rng() % 2 * 2] = float(rng() % 3) - 1;
            g->jumping = rng() % 60 == 0;
            bool compared = n % 10 == 0;
            if (compared && g->typeIndex != 7 && rng() % 16 == 0) brushUnder(g, gs, rng);
            veskGravity before = *g;
            tick(g);
            ASSERT_EQ(fault(g), "") << "tick " << t << " walker " << n;
            if (!compared) continue;
            veskGravity culled = *g;
            *g = before;
            world.physics.gravSweepCull = 0;
            tick(g);
            world.physics.gravSweepCull = 1;
            ASSERT_EQ(memcmp(&culled, g, sizeof culled), 0) << "tick " << t << " walker " << n;
        }
    auto atTheRim = [](const veskGravity* g) { // on the ground of the outer ring of chunks
        return terRadius(g->chunkCoords[0], g->chunkCoords[1]) == 3 && g->typeIndex != 7;
    };
    EXPECT_GT(std::ranges::count_if(gs, atTheRim), 40);
    EXPECT_EQ(arrayListGetLength(world.terList), 37); // the world of radius 3 and not a chunk more
}
