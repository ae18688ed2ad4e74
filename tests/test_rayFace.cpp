// Tests of the swept-sphere queries on a face whose pair is easy to read off (b0 = z / 4,
// b1 = x / 4, normal +y), the distance helpers and a randomised contact check.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "rayFace.h"
#include "tolp.h"

static const float F0[3] = {0, 0, 0}, F1[3] = {0, 0, 4}, F2[3] = {4, 0, 0};

struct faceHit {
    float s;
    float barys[2];
    int type;
};

static faceHit face(float px, float py, float pz, float vx, float vy, float vz, float radius,
                    const float* f0 = F0, const float* f1 = F1, const float* f2 = F2) {
    float p[3] = {px, py, pz}, v[3] = {vx, vy, vz};
    faceHit h = {0.0f, {0.0f, 0.0f}, -1};
    h.s = newerCircRayFaceScalar(p, v, radius, f0, f1, f2, h.barys, &h.type);
    return h;
}

struct segHit {
    float s, edge;
    int type;
};

static segHit seg(float px, float py, float pz, float vx, float vy, float vz, float radius) {
    float p[3] = {px, py, pz}, v[3] = {vx, vy, vz};
    segHit h = {0.0f, -9.0f, -1};
    h.s = newerCircRaySegScalar(F0, F2, p, v, radius, &h.edge, &h.type);
    return h;
}

TEST(RayFacePoint, RootChoice) {
    float c[3] = {0, 0, 0}, p[3] = {-3, 0, 0}, in[3] = {2, 0, 0}, out[3] = {-1, 0, 0};
    float inside[3] = {0.25f, 0, 0}, away[3] = {1, 0, 0}, beside[3] = {-3, 2, 0};
    EXPECT_EQ(newCircRayPointScalar(c, p, in, 1.0f), 1.0f); // roots 2 and 1
    EXPECT_EQ(newCircRayPointScalar(c, p, out, 1.0f), -1.0f);
    EXPECT_EQ(newCircRayPointScalar(c, inside, away, 0.5f), 0.25f); // the moment it leaves
    EXPECT_EQ(newCircRayPointScalar(c, beside, in, 1.0f), -1.0f);
}

TEST(RayFaceSeg, InsideEndsAndMisses) {
    segHit h = seg(1, 3, 4, 1, -3, -4, 1.25f);
    EXPECT_TRUE(h.s == 0.75f && h.edge == 0.4375f && h.type == 0);
    h = seg(4, 2, 0, 0, -2, 0, 1.0f); // touching exactly at the end still counts as inside
    EXPECT_TRUE(h.s == 0.5f && h.edge == 1.0f && h.type == 0);
    h = seg(-0.3f, 2, 0, 0, -2, 0, 0.5f); // beyond an end the end point answers
    EXPECT_TRUE(std::fabs(h.s - 0.8f) < 1e-6f && h.edge == 0.0f && h.type == 1);
    h = seg(4.3f, 2, 0, 0, -2, 0, 0.5f);
    EXPECT_TRUE(std::fabs(h.s - 0.8f) < 1e-6f && h.edge == 1.0f && h.type == 2);
    h = seg(-0.6f, 2, 0, 0, -2, 0, 0.5f); // classified, then the end point is missed
    EXPECT_TRUE(h.s == -1.0f && h.edge == 0.0f && h.type == 1);
    // Missing the line, or running along it, leaves the outputs alone.
    h = seg(1, 2, 0, 1, 0, 1, 0.5f);
    EXPECT_TRUE(h.s == -1.0f && h.edge == -9.0f && h.type == -1);
    h = seg(-2, 0, 0, 1, 0, 0, 0.5f);
    EXPECT_TRUE(h.s == -1.0f && h.edge == -9.0f && h.type == -1);
}

TEST(RayFaceFace, ExactCases) {
    struct row {
        float p[3], v[3], r, s;
        int type;
        float b0, b1;
        const char* what;
    };
    // Beyond f0 edge f0-f2 is A and f0-f1 is B; starting behind the face puts the plane
    // contact there, and radius 0 keeps the roots exact.
    const row rows[] = {
        {{1, 2, 1}, {1, -2, 0.5f}, 0.5f, 0.75f, 0, 0.34375f, 0.4375f, "through the inside"},
        {{1, 1, 2}, {0, -2, 0}, 0, 0.5f, 0, 0.5f, 0.25f, "radius 0: a plain ray test"},
        {{6, 1, 6}, {0, -2, 0}, 0, -1, -1, 1.5f, 1.5f, "radius 0 beside the face"},
        {{1, 0.25f, 1}, {0, -1, 0}, 0.5f, -0.25f, 0, 0.25f, 0.25f, "overlapping, moving in"},
        {{1, 0.25f, 1}, {0, 1, 0}, 0.5f, 0.25f, 0, 0.25f, 0.25f, "overlapping, leaving"},
        {{1, -1, 1}, {0, -1, 0}, 0.5f, 0.5f, 0, 0.25f, 0.25f, "behind, unsigned distance"},
        {{-1, -1, 0}, {1, 1, 2}, 0, 1, 1, 0.5f, 0, "misses A, crosses B at z = 2"},
        {{-1, -1, -5}, {1, 1, 2}, 0, -1, -1, -1.75f, -0.5f, "both missed, B classified"},
        {{-1, -1, -1}, {1, 1, 1}, 0, 1, 2, 0, 0, "through f0 at an end of both: tie to A"},
    };
    for (const row& w : rows) {
        faceHit h = face(w.p[0], w.p[1], w.p[2], w.v[0], w.v[1], w.v[2], w.r);
        EXPECT_TRUE(h.s == w.s && h.type == w.type) << w.what << ": " << h.s << " " << h.type;
        EXPECT_TRUE(h.barys[0] == w.b0 && h.barys[1] == w.b1) << w.what;
    }
}

TEST(RayFaceFace, EdgeEndsAndCorners) {
    // Beside edge f0-f1, touching its line exactly at f1: an edge contact, not a corner.
    faceHit h = face(-0.6f, 2, 4, 0, -2, 0, 1.0f);
    EXPECT_TRUE(std::fabs(h.s - 0.6f) < 1e-6f && h.type == 1 && h.barys[0] == 1.0f &&
                h.barys[1] == 0.0f);
    // Straight down just beyond each corner, the last two seen only from edge f1-f2; the
    // pair stays the plane contact's.
    const float corners[5][3] = {
        {-0.2f, -0.3f, 4}, {-0.2f, 4.3f, 5}, {4.3f, -0.2f, 6}, {0.2f, 4.3f, 5}, {4.3f, 0.2f, 6}};
    for (const auto& c : corners) {
        h = face(c[0], 2, c[1], 0, -4, 0, 0.5f);
        EXPECT_TRUE(h.type == int(c[2]) && std::fabs(h.s - (2 - std::sqrt(0.12f)) / 4) < 1e-6f);
        EXPECT_TRUE(h.barys[0] == c[1] / 4 && h.barys[1] == c[0] / 4) << c[2];
    }
}

TEST(RayFaceFace, DegenerateInputs) {
    // Parallel to the plane: an undefined pair, so only edge f1-f2 is asked.
    faceHit h = face(1, 1, 1, 1, 0, 0, 1.5f);
    EXPECT_TRUE(h.type == 3 && std::fabs(h.s - (2.0f - std::sqrt(2.5f))) < 1e-6f);
    EXPECT_TRUE(std::fabs(h.barys[1] - (4 * h.s + 16) / 32) < 1e-6f &&
                h.barys[0] == 1 - h.barys[1]);
    h = face(1, 1, 1, 1, 0, 0, 0.5f);
    EXPECT_TRUE(h.s == -1.0f && h.type == -1);

    const float c0[3] = {0, 0, 0}, c1[3] = {0, 0, 4}, c2[3] = {0, 0, 2}; // zero area
    h = face(1, 0, 3, -2, 0, 0, 0.5f, c0, c1, c2);
    EXPECT_TRUE(h.s == 0.25f && h.type == 3 && h.barys[0] == 0.5f && h.barys[1] == 0.5f);
}

TEST(RayFaceDist, PointDistances) {
    // Above, below (unsigned), beside edge f0-f1, beyond f1, beyond f0, beside edge f1-f2.
    const float pts[6][4] = {{1, 2, 1, 2},  {1, -3, 1, 3},  {-3, 4, 2, 5},
                             {-3, 0, 8, 5}, {-3, 0, -4, 5}, {4, 4, 4, std::sqrt(24.0f)}};
    for (const auto& q : pts)
        EXPECT_EQ(pointFaceDist(q, F0, F1, F2), q[3]) << q[0] << q[2];
    float corner[3] = {-3, 0, -4}, over[3] = {2, 3, 0}, far[3] = {7, 4, 0};
    EXPECT_TRUE(pointSegDist(F0, F2, corner) == 5.0f && pointSegDist(F0, F2, over) == 3.0f &&
                pointSegDist(F0, F2, far) == 5.0f);

    float barys[2] = {0.25f, 0.5f}, p[3];
    baryFacePoint(p, F0, F1, F2, barys);
    EXPECT_TRUE(p[0] == 2.0f && p[1] == 0.0f && p[2] == 1.0f);
}

// An accepted contact must put the sphere on the triangle, whatever feature it touched.
TEST(RayFaceProperty, AcceptedContactTouchesTriangle) {
    std::mt19937 rng(20240611u);
    std::uniform_real_distribution<float> pos(-5.0f, 5.0f), vec(-6.0f, 6.0f), rad(0.0f, 1.5f);
    int accepted = 0, types[7] = {};
    for (int n = 0; n < 60000; n++) {
        float f[3][3], p[3], v[3], e0[3], e1[3], e2[3], nrm[3], off[3], barys[2];
        for (auto& c : f)
            for (float& x : c)
                x = pos(rng);
        vectSub(f[1], f[0], e0, 3);
        vectSub(f[2], f[0], e1, 3);
        vectSub(f[2], f[1], e2, 3);
        crossProd3(e0, e1, nrm);
        float longest = std::fmax(vectNorm(e0, 3), std::fmax(vectNorm(e1, 3), vectNorm(e2, 3)));
        if (vectNorm(nrm, 3) < 0.3f * longest * longest) continue; // no slivers
        for (int i = 0; i < 3; i++) {
            p[i] = vec(rng) + f[0][i];
            v[i] = vec(rng);
        }
        vectSub(p, f[0], off, 3);
        if (dotProd(off, nrm, 3) <= 0.0f) continue; // start on the normal's side
        float r = rad(rng);
        int type = -1;
        float s = newerCircRayFaceScalar(p, v, r, f[0], f[1], f[2], barys, &type);
        if (!(s > 0.0f && s < 1.0f)) continue;
        accepted++;
        ASSERT_TRUE(type >= 0 && type <= 6);
        types[type]++;
        float c[3] = {p[0] + s * v[0], p[1] + s * v[1], p[2] + s * v[2]};
        EXPECT_LE(pointFaceDist(c, f[0], f[1], f[2]), r + 1e-3f * (1.0f + r))
            << "case " << n << " type " << type << " s " << s;
    }
    // Enough of each kind of contact for the check to mean something.
    EXPECT_GT(accepted, 1000);
    EXPECT_TRUE(types[0] > 50 && types[1] + types[2] + types[3] > 50 &&
                types[4] + types[5] + types[6] > 5);
}
