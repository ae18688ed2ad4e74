// Swept-sphere queries on a face whose pair reads off directly (b0 = z / 4, b1 = x / 4,
// normal +y), the point-to-face distance, and a randomised contact check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "rayFace.h"
#include "tolp.h"

static const float F0[3] = {0, 0, 0}, F1[3] = {0, 0, 4}, F2[3] = {4, 0, 0}, MID[3] = {0, 0, 2};
// NaN, the contact just beyond a corner, the contact when parallel within reach.
static const float N = std::nanf(""), C = (2 - std::sqrt(0.12f)) / 4, P = 2 - std::sqrt(2.5f);

TEST(RayFace, ContactsOnEveryFeature) {
    // Start, motion, radius, s and its tolerance, type, the pair and its tolerance, and 1 for
    // a zero-area face (f2 on f0-f1). Beyond f0 edge f0-f2 is A and f0-f1 is B; radius 0
    // keeps the roots exact. Corners are passed straight down just beyond them, the last
    // two seen only from edge f1-f2, and keep the plane contact's pair. A ray parallel to
    // the plane leaves the pair undefined and asks only edge f1-f2, as a zero-area face does.
    const float rows[][14] = {
        {1, 2, 1, 1, -2, 0.5f, 0.5f, 0.75f, 0, 0, 0.34375f, 0.4375f, 0, 0}, // through the inside
        {6, 1, 6, 0, -2, 0, 0, -1, 0, -1, 1.5f, 1.5f, 0, 0},                // radius 0 beside
        {1, 0.25f, 1, 0, -1, 0, 0.5f, -0.25f, 0, 0, 0.25f, 0.25f, 0, 0},    // overlapping, in
        {1, 0.25f, 1, 0, 1, 0, 0.5f, 0.25f, 0, 0, 0.25f, 0.25f, 0, 0},      // overlapping, out
        {1, -1, 1, 0, -1, 0, 0.5f, 0.5f, 0, 0, 0.25f, 0.25f, 0, 0},         // behind: unsigned
        {-1, -1, 0, 1, 1, 2, 0, 1, 0, 1, 0.5f, 0, 0, 0},                    // misses A, B at z 2
        {-1, -1, -5, 1, 1, 2, 0, -1, 0, -1, -1.75f, -0.5f, 0, 0},           // both missed
        {-1, -1, -1, 1, 1, 1, 0, 1, 0, 2, 0, 0, 0, 0},                      // f0: tie to A
        {-0.6f, 2, 4, 0, -4, 0, 1, 0.3f, 1e-6f, 1, 1, 0, 0, 0},             // f0-f1 at f1: edge
        {-0.2f, 2, -0.3f, 0, -4, 0, 0.5f, C, 1e-6f, 4, -0.3f / 4, -0.2f / 4, 0, 0},
        {-0.2f, 2, 4.3f, 0, -4, 0, 0.5f, C, 1e-6f, 5, 4.3f / 4, -0.2f / 4, 0, 0},
        {4.3f, 2, -0.2f, 0, -4, 0, 0.5f, C, 1e-6f, 6, -0.2f / 4, 4.3f / 4, 0, 0},
        {0.2f, 2, 4.3f, 0, -4, 0, 0.5f, C, 1e-6f, 5, 4.3f / 4, 0.2f / 4, 0, 0},
        {4.3f, 2, 0.2f, 0, -4, 0, 0.5f, C, 1e-6f, 6, 0.2f / 4, 4.3f / 4, 0, 0},
        {1, 1, 1, 1, 0, 0, 0.5f, -1, 0, -1, N, N, 0, 0}, // parallel, far
        {1, 1, 1, 1, 0, 0, 1.5f, P, 1e-6f, 3, 0.5f - P / 8, 0.5f + P / 8, 1e-6f, 0}, // parallel
        {1, 0, 3, -2, 0, 0, 0.5f, 0.25f, 0, 3, 0.5f, 0.5f, 0, 1}};                   // zero area
    // Equal within the tolerance, or both undefined.
    auto near = [](float a, float b, float t) { return fabs(a - b) <= t || (a != a && b != b); };
    for (const auto& w : rows) {
        float b[2];
        int type = -1;
        float s = newerCircRayFaceScalar(w, w + 3, w[6], F0, F1, w[13] ? MID : F2, b, &type);
        EXPECT_TRUE(near(s, w[7], w[8]) && type == int(w[9])) << "row " << &w - rows << ": " << s;
        EXPECT_TRUE(near(b[0], w[10], w[12]) && near(b[1], w[11], w[12])) << "row " << &w - rows;
    }
    // Point-to-face distance, the yardstick of the check below: below the face (unsigned),
    // beside edge f0-f1, beyond corner f0, beside edge f1-f2.
    const float pts[4][4] = {{1, -3, 1, 3}, {-3, 4, 2, 5}, {-3, 0, -4, 5}, {4, 4, 4, sqrtf(24)}};
    for (const auto& q : pts)
        EXPECT_EQ(pointFaceDist(q, F0, F1, F2), q[3]) << "point " << &q - pts;
}

// An accepted contact must put the sphere on the triangle, whatever feature it touched.
TEST(RayFace, AcceptedContactTouchesTriangle) {
    std::mt19937 rng(20240611u);
    std::uniform_real_distribution<float> pos(-5.0f, 5.0f), vec(-6.0f, 6.0f), rad(0.0f, 1.5f);
    int types[7] = {};
    for (int n = 0; n < 100000; n++) {
        float g[15], e0[3], e1[3], e2[3], nrm[3], off[3], b[2], r = rad(rng);
        for (int i = 0; i < 15; i++) // the corners, then the start and the motion
            g[i] = i < 9 ? pos(rng) : vec(rng);
        const float *f0 = g, *f1 = g + 3, *f2 = g + 6, *p = g + 9, *v = g + 12;
        vectSub(f1, f0, e0, 3), vectSub(f2, f0, e1, 3), vectSub(f2, f1, e2, 3);
        vectSub(p, f0, off, 3), crossProd3(e0, e1, nrm);
        // Well-shaped triangles only, and the start on the normal's side.
        float longest2 = std::max({dotProd(e0, e0, 3), dotProd(e1, e1, 3), dotProd(e2, e2, 3)});
        if (vectNorm(nrm, 3) < 0.3f * longest2 || dotProd(off, nrm, 3) <= 0.0f) continue;
        int type = -1;
        float s = newerCircRayFaceScalar(p, v, r, f0, f1, f2, b, &type);
        if (!(s > 0.0f && s < 1.0f)) continue;
        ASSERT_TRUE(type >= 0 && type <= 6);
        types[type]++;
        const float c[3] = {p[0] + s * v[0], p[1] + s * v[1], p[2] + s * v[2]};
        EXPECT_LE(pointFaceDist(c, f0, f1, f2), r + 1e-3f * (1.0f + r)) << n << " type " << type;
    }
    // Enough of each kind of contact for the check to mean something.
    EXPECT_TRUE(types[0] > 500 && types[1] + types[2] + types[3] > 500 &&
                types[4] + types[5] + types[6] > 50);
}
