// Tests of the float vector and matrix helpers: hand-computed results, the exact bits of
// the steps rounded through double, and the trace formats.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "testUtil.h"
#include "tolp.h"

static uint32_t bitsOf(float f) {
    uint32_t b;
    memcpy(&b, &f, sizeof b);
    return b;
}

static bool is3(const float* v, float x, float y, float z) {
    return v[0] == x && v[1] == y && v[2] == z;
}

static const float nanF = std::numeric_limits<float>::quiet_NaN();

TEST(TolpVector, NormsAndScaling) {
    // Fifteen squares of 2^-24 vanish against 1 in float; summed in double they would lift
    // the root four ulps above 1.
    float v[16] = {1.0f};
    for (int i = 1; i < 16; i++)
        v[i] = 1.0f / 4096.0f;
    EXPECT_EQ(bitsOf(vectNorm(v, 16)), bitsOf(1.0f));

    float z[3] = {0, 0, 0}, n[3] = {3, 0, 4}, s[3] = {3, 0, 4}, m[3] = {2, 3, 6};
    vectNormalize(z, 3);
    EXPECT_TRUE(is3(z, 0, 0, 0) && !std::signbit(z[0]));
    vectNormalize(n, 3);
    EXPECT_TRUE(is3(n, 3.0f / 5.0f, 0, 4.0f / 5.0f));
    vectNormalize(m, 3);
    EXPECT_TRUE(is3(m, 2.0f / 7, 3.0f / 7, 6.0f / 7)); // divided, not times a reciprocal
    vectScaleTo(s, 10.0f, 3);
    EXPECT_TRUE(is3(s, 6, 0, 8));
    vectScaleTo(z, 1.0f, 3); // nothing guards a zero norm here
    EXPECT_TRUE(std::isnan(z[0]));
}

TEST(TolpVector, SumsCrossAndCompare) {
    float a[3] = {1e8f, -1e8f, 1.0f}, ones[3] = {1, 1, 1};
    EXPECT_EQ(dotProd(a, ones, 3), 1.0f); // (1e8 - 1e8) + 1; any other order loses the 1
    float m[16] = {1, 1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    matVect3Mult(m, a, a); // output aliasing the input still reads the input
    EXPECT_TRUE(is3(a, 1.0f, 1e8f, 0.0f));

    float x[3] = {1, 0, 0}, zv[3] = {0, 0, 1}, r[3];
    crossProd3(x, zv, r);
    EXPECT_TRUE(is3(r, 0, -1, 0));
    crossProd3(zv, x, r);
    EXPECT_TRUE(is3(r, 0, 1, 0));
    float p[3] = {2, 3, 4}, q[3] = {5, 6, 7};
    float* c = crossProduct3(p, q);
    EXPECT_TRUE(is3(c, -3, 6, -3));
    free(c);

    float b[3] = {1e8f, -0.0f, 1.0f}, d[3] = {1e8f, 0.0f, 1.0000001f}, bad[3] = {nanF, 0, 0};
    EXPECT_EQ(vectVectSame(b, b, 3), 1);
    EXPECT_EQ(vectVectSame(b, d, 2), 1); // -0 == +0
    EXPECT_EQ(vectVectSame(b, d, 3), 0); // no tolerance
    EXPECT_EQ(vectVectSame(bad, bad, 3), 0);
    EXPECT_EQ(vectVectSame(bad, bad, 0), 1);
}

TEST(TolpMatrix, RotationsAndProducts) {
    float m[16], p[3], fwd[3] = {0, 0, 1}, side[3] = {1, 0, 0}, up[3] = {0, 1, 0};
    yRotMatrix4(m, float(M_PI / 2));
    EXPECT_EQ(bitsOf(m[0]), 0xb33bbd2eu); // cos of the float nearest pi/2, via double
    EXPECT_EQ(bitsOf(m[2]), bitsOf(-m[8]));
    EXPECT_TRUE(m[5] == 1.0f && m[15] == 1.0f && m[1] == 0.0f && m[12] == 0.0f);
    matVect3Mult(m, fwd, p);
    EXPECT_TRUE(p[0] == -1.0f && p[1] == 0.0f && std::fabs(p[2]) < 1e-7f);
    matVect3Mult(m, side, p);
    EXPECT_TRUE(std::fabs(p[0]) < 1e-7f && p[2] == 1.0f);
    xRotMatrix4(m, 0.5f);
    matVect3Mult(m, up, p);
    EXPECT_TRUE(is3(p, 0, float(cos(0.5)), -float(sin(0.5))));
    zRotMatrix4(m, 0.5f);
    EXPECT_TRUE(m[1] == float(sin(0.5)) && bitsOf(m[4]) == bitsOf(-m[1]));

    float a[16], b[16];
    for (int i = 0; i < 16; i++) {
        a[i] = float(i + 1);
        b[i] = float(16 - i);
    }
    matMatMult(a, b);
    EXPECT_EQ(a[0], 80.0f);   // (1, 2, 3, 4) . (16, 12, 8, 4)
    EXPECT_EQ(a[15], 386.0f); // needs row 3 of a unchanged until its product is done
    float v[4] = {1, 2, 3, 1}, t[16] = {1, 0, 0, 5, 0, 1, 0, 6, 0, 0, 1, 7, 0, 0, 0, 1};
    matVectMult(t, v, v);
    EXPECT_TRUE(is3(v, 6, 8, 10) && v[3] == 1.0f);
}

TEST(TolpSolve, PlaneSlopesEveryCase) {
    // f1, f2 (f0 at the origin), dx, dz: the two worked examples (v.z = 0 and the general
    // case), then y = 0.25 x + 0.5 z reached through each substitution in turn.
    const float rows[][8] = {
        {2, 1, 0, 0, 3, 2, 0.5f, 1.5f},       {2, 3, 2, 4, 4, 2, 0.5f, 1},
        {0, 2, 4, 2, 1, 1, 0.25f, 0.5f},      {4, 1, 0, 2, 1.5f, 2, 0.25f, 0.5f},
        {4, 1.5f, 1, 0, 1, 2, 0.25f, 0.5f},   {4, 1.5f, 1, 2, 0.5f, 0, 0.25f, 0.5f},
        {4, 1.5f, 1, 2, 1.5f, 2, 0.25f, 0.5f}};
    const float o[3] = {0, 0, 0};
    for (const auto& w : rows) {
        float dx, dz;
        axisAlignNewer(o, w, w + 3, &dx, &dz);
        EXPECT_TRUE(dx == w[6] && dz == w[7]) << w[0] << " " << w[3] << ": " << dx << " " << dz;
    }
}

TEST(TolpSolve, QuadraticRootsAndLowest) {
    float r[2];
    quadEq(1.0f, -3.0f, 2.0f, r);
    EXPECT_TRUE(r[0] == 2.0f && r[1] == 1.0f);
    quadEq(1.0f, 0.0f, 1.0f, r);
    EXPECT_TRUE(std::isnan(r[0]) && std::isnan(r[1]));
    quadEq(0.0f, 2.0f, 1.0f, r);
    EXPECT_TRUE(std::isnan(r[0]) && std::isinf(r[1]));
    // b*b rounds to 16785408 in float before 6 is taken off, and the root is taken in double:
    // -4.2714e-4, neither the true -3.6612e-4 nor the all-float -4.8828e-4.
    quadEq(1.0f, 4097.0f, 1.5f, r);
    EXPECT_EQ(bitsOf(r[0]), 0xb9dff202u);
    EXPECT_EQ(bitsOf(r[1]), 0xc58007ffu);
    quadEq(1.5f, -10.0f, -3.0f, r); // dividing by 3 in float would round twice
    EXPECT_TRUE(bitsOf(r[0]) == 0x40de894du && bitsOf(r[1]) == 0xbe933f74u);

    // Every sign pattern of the table, ties (the later index wins), NaN and -0.
    const float rows[][4] = {
        {2, 1, 3, 1},         {1, 1, 5, 1},    {1, 2, 3, 0},     {2, 3, 1, 2},
        {1, 2, 1, 2},         {3, 2, 2, 2},    {1, 2, -1, 0},    {2, 1, -1, 1},
        {2, 2, -1, 1},        {1, -1, 2, 0},   {2, -1, 1, 2},    {0, -1, 0, 2},
        {5, -1, -1, 0},       {-1, 1, 2, 1},   {-1, 2, 1, 2},    {-1, 2, 2, 2},
        {-1, 3, -1, 1},       {-1, -2, 4, 2},  {-1, -2, -3, 2},  {nanF, 1, 2, 1},
        {1, nanF, 0, 2},      {1, 2, nanF, 0}, {-0.0f, 0, 1, 1}, {0, -0.0f, -1, 1},
        {nanF, nanF, nanF, 2}};
    for (const auto& w : rows)
        EXPECT_EQ(lowestPosFloat3(w[0], w[1], w[2]), int(w[3]))
            << w[0] << " " << w[1] << " " << w[2];
}

TEST(TolpTrace, Formats) {
    float v[2] = {1.5f, -2.0f}, m[16];
    yRotMatrix4(m, 0.0f);
    testing::internal::CaptureStdout();
    sayVect("pos", v, 2);
    sayMat4("rot", m);
    {
        quietTrace quiet;
        sayVect("pos", v, 2);
    }
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "pos (1.500000, -2.000000, }\n"
                                                      "rot {\n"
                                                      "1.000000, 0.000000, -0.000000, 0.000000},\n"
                                                      "0.000000, 1.000000, 0.000000, 0.000000},\n"
                                                      "0.000000, 0.000000, 1.000000, 0.000000},\n"
                                                      "0.000000, 0.000000, 0.000000, 1.000000}\n");
}

// The length is defined as the double-precision power 0.5 of the float sum, rounded to
// float; the code takes sqrt instead. Over a wide sample of float sums (the whole range
// was checked once) both give the same float.
TEST(TolpNorm, SquareRootGivesThePowersFloat) {
    for (uint32_t bits = 0; bits < 0x7f800000u; bits += 997) {
        float sum;
        memcpy(&sum, &bits, 4);
        float viaPow = float(pow(double(sum), 0.5));
        float viaSqrt = float(std::sqrt(double(sum)));
        ASSERT_EQ(viaPow, viaSqrt) << std::hex << bits;
    }
}
