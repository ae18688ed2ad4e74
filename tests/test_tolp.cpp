// Float vector and matrix helpers: hand-computed results, the exact bits of the steps
// rounded through double, the plane slopes, the roots and the lowest non-negative pick.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "tolp.h"

static const float N = std::nanf(""); // NaN

TEST(Tolp, VectorsRotationsAndSolvers) {
    auto is3 = [](auto v, auto a, auto b, auto c) { return v[0] == a && v[1] == b && v[2] == c; };
    float z[3] = {0, 0, 0}, n[3] = {3, 0, 4}, s[3] = {3, 0, 4}, m[3] = {2, 3, 6}, r[3], q[3];
    float fwd[3] = {0, 0, 1}, side[3] = {1, 0, 0}, a[3] = {1e8f, -1e8f, 1.0f}, one[3] = {1, 1, 1};
    float b[3] = {1e8f, -0.0f, 1.0f}, d[3] = {1e8f, 0.0f, 1.0000001f}, bad[3] = {N, 0, 0}, mat[16];
    vectNormalize(z, 3), vectNormalize(n, 3), vectNormalize(m, 3), vectScaleTo(s, 10.0f, 3);
    EXPECT_TRUE(is3(z, 0, 0, 0) && !std::signbit(z[0]) && is3(n, 0.6f, 0, 0.8f) && is3(s, 6, 0, 8));
    EXPECT_TRUE(is3(m, 2.0f / 7, 3.0f / 7, 6.0f / 7)); // divided, not times a reciprocal
    crossProd3(side, fwd, r), crossProd3(fwd, side, q);
    EXPECT_TRUE(is3(r, 0, -1, 0) && is3(q, 0, 1, 0));
    EXPECT_EQ(dotProd(a, one, 3), 1.0f); // (1e8 - 1e8) + 1; any other order loses the 1
    // -0 equals +0; no tolerance; NaN never equals.
    EXPECT_TRUE(vectVectSame(b, b, 3) == 1 && vectVectSame(b, d, 2) == 1 &&
                vectVectSame(b, d, 3) == 0 && vectVectSame(bad, bad, 3) == 0);
    yRotMatrix4(mat, float(M_PI / 2));
    EXPECT_EQ(std::bit_cast<uint32_t>(mat[0]), 0xb33bbd2eu);    // cos of the float nearest pi/2
    matVect3Mult(mat, fwd, fwd), matVect3Mult(mat, side, side); // in place, as the tick does
    EXPECT_TRUE(fwd[0] == -1.0f && fwd[1] == 0.0f && std::fabs(fwd[2]) < 1e-7f);
    EXPECT_TRUE(std::fabs(side[0]) < 1e-7f && side[1] == 0.0f && side[2] == 1.0f);

    // f1, f2 (f0 is z, still the origin), dx, dz: the two worked examples (v.z = 0 and the
    // general case), then y = 0.25 x + 0.5 z reached through each substitution in turn.
    const float planes[][8] = {
        {2, 1, 0, 0, 3, 2, 0.5f, 1.5f},       {2, 3, 2, 4, 4, 2, 0.5f, 1},
        {0, 2, 4, 2, 1, 1, 0.25f, 0.5f},      {4, 1, 0, 2, 1.5f, 2, 0.25f, 0.5f},
        {4, 1.5f, 1, 0, 1, 2, 0.25f, 0.5f},   {4, 1.5f, 1, 2, 0.5f, 0, 0.25f, 0.5f},
        {4, 1.5f, 1, 2, 1.5f, 2, 0.25f, 0.5f}};
    for (const auto& w : planes) {
        float dx, dz;
        axisAlignNewer(z, w, w + 3, &dx, &dz);
        EXPECT_TRUE(dx == w[6] && dz == w[7]) << "row " << &w - planes << ": " << dx << " " << dz;
    }
    // b*b rounds to 16785408 in float before 6 is taken off, and the root is taken in double:
    // -4.2714e-4, neither the true -3.6612e-4 nor the all-float -4.8828e-4.
    quadEq(1.0f, -3.0f, 2.0f, r), quadEq(1.0f, 0.0f, 1.0f, q), quadEq(1.0f, 4097.0f, 1.5f, s);
    EXPECT_TRUE(r[0] == 2.0f && r[1] == 1.0f && std::isnan(q[0]) && std::isnan(q[1]));
    EXPECT_TRUE(s[0] == -0x1.bfe404p-12f && s[1] == -0x1.000ffep+12f);
    // Every sign pattern, ties (the later index wins), NaN and -0.
    const float rows[][4] = {
        {2, 1, 3, 1},  {1, 1, 5, 1},   {1, 2, 3, 0},     {2, 3, 1, 2},      {1, 2, 1, 2},
        {3, 2, 2, 2},  {1, 2, -1, 0},  {2, 1, -1, 1},    {2, 2, -1, 1},     {1, -1, 2, 0},
        {2, -1, 1, 2}, {0, -1, 0, 2},  {5, -1, -1, 0},   {-1, 1, 2, 1},     {-1, 2, 1, 2},
        {-1, 2, 2, 2}, {-1, 3, -1, 1}, {-1, -2, 4, 2},   {-1, -2, -3, 2},   {N, 1, 2, 1},
        {1, N, 0, 2},  {1, 2, N, 0},   {-0.0f, 0, 1, 1}, {0, -0.0f, -1, 1}, {N, N, N, 2}};
    for (const auto& w : rows)
        EXPECT_EQ(lowestPosFloat3(w[0], w[1], w[2]), int(w[3])) << "row " << &w - rows;
}

// The length is the double-precision power 0.5 of the float sum, rounded to float; the
// code takes sqrt. Over a wide sample of float sums both give the same float.
TEST(TolpNorm, SquareRootGivesThePowersFloat) {
    auto sum = [](uint32_t bits) { return double(std::bit_cast<float>(bits)); };
    for (uint32_t b = 0; b < 0x7f800000u; b += 997)
        ASSERT_EQ(float(pow(sum(b), 0.5)), float(std::sqrt(sum(b)))) << std::hex << b;
}
