// Tests of terrain editing: the face pick, the shared vertex walk with its border twins, the
// normal, smoothing and texture brushes, and seamless chunks after many random edits.
#include <map>
#include <set>

#include "test_physHelpers.h"

namespace {

// In every generated chunk vertex 45 is the centre, 44 and 46 lie 2.0 from it and 50 is the
// corner (10, 0); face 65 is (34, 35, 45), 66 is (45, 35, 46) and 74 is (49, 39, 50).
const int cc[2] = {0, 0};
const float centre[3] = {0, 0, 0}, corner[3] = {10, 0, 0};
using A = std::array<float, 6>; // eye point and ray
using P = std::pair<int, int>;  // picked face and slot

int moved(const veskTerrain* t, int v) { // how often v is listed in t's movedVerts
    int n = 0;
    for (int i = 0; i < arrayListGetLength(t->movedVerts); i++)
        n += arrayListGetInt(t->movedVerts, i) == v;
    return n;
}

// fn(chunk, vertex, its world x and z) for every vertex of the world.
template <class F> void each(F fn) {
    for (int k = 0; k < arrayListGetLength(terList); k++) {
        veskTerrain* t = arrayListGet<veskTerrain>(terList, k);
        float cx, cz;
        terToWorldNew(t->chunkCoords[0], t->chunkCoords[1], &cx, &cz, terScale);
        for (int i = 0; i < t->numVerts; i++)
            fn(t, i, double(cx) + t->verts[i].loc[0], double(cz) + t->verts[i].loc[2]);
    }
}

// One mouse action as the dispatcher makes it (the ray rescaled to 0.6): the face and slot
// picked, from the trace, which is kept in `out`.
std::string out;
P edit(veskGravity* g, A r, int type, int push = 1) {
    P p = {-1, -1};
    vectScaleTo(r.data() + 3, 0.6f, 3);
    out = traced([&] { terEditNew(r.data(), r.data() + 3, g, push, type); });
    sscanf(out.c_str(), "lowFace: %d (lowChunk: %d)", &p.first, &p.second);
    return p;
}

} // namespace

TEST(BrushPick, TiesSkipsMissesAndAHitInANeighbourPaintedWithinFour) {
    // Each slot holds, in its own frame, the triangle (0,0,0) (0,0,4) (4,0,0) of the entity's
    // frame twice, as faces 0 and 1; in slot 2 face 0 shows its back.
    vertTex verts[7][3];
    int32_t faces[6] = {0, 1, 2, 0, 1, 2}, back[6] = {0, 2, 1, 0, 1, 2};
    veskTerrain tri[7];
    for (int k = 0; k < 7; k++) {
        float wx, wz;
        terToWorldNew(chunkArrayCoords[2 * k], chunkArrayCoords[2 * k + 1], &wx, &wz, 10);
        for (int c = 0; c < 3; c++)
            verts[k][c] = {{4.0f * (c == 2) - wx, 0, 4.0f * (c == 1) - wz}, 0};
        tri[k] = {3, 2, 3, 2, {0, 0}, verts[k], k == 2 ? back : faces, nullptr, 0, nullptr};
    }
    veskGravity g = {};
    auto pick = [&](int slots, int face, A ray = {1, 10, 1, 0, -1, 0}) { // slots as bits
        for (int k = 0; k < 7; k++)
            g.terArray[k] = slots >> k & 1 ? &tri[k] : nullptr;
        g.faceIndex = face;
        return edit(&g, ray, 6);
    };
    for (int k = 0; k < 7; k++) // equal parameters: the lower face, the entity's one skipped
        EXPECT_TRUE(pick(1 << k, -1) == P(k == 2, k) &&
                    pick(1 << k, k == 2) == (k == 2 ? P(-1, -1) : P(1, k)));
    // The lowest slot, also over a lower face index in a higher one; nothing at parameter 0
    // or from below.
    EXPECT_TRUE(pick(127, -1) == P(0, 0) && pick(36, -1) == P(1, 2));
    EXPECT_TRUE(pick(1, -1, {1, 0, 1, 0, -1, 0}) == P(-1, -1) &&
                pick(1, -1, {1, -5, 1, 0, 1, 0}) == P(-1, -1));
    // Misses and broken rays print and change nothing. (11, 0.5) lies in chunk (1, 0), centred
    // at (15, 8.660254), next to the corner (10, 0): picked there and handed to the brush in
    // that chunk's frame; edit type 6 changes nothing. Painted twice: every copy of a point
    // within 4.0 of the hit, heights counted, in every chunk, each paint recorded, no other.
    world w(4);
    veskTerrain** t = w.g.terArray;
    float loc[3] = {1, 5, 1}, zero[3] = {0, 0, 0}, p[3];
    terEditNew(loc, zero, &w.g, 1, 3); // a zero ray as it is; rescaled it is NaN
    for (A r : {A{1, 5, 1, 0, 1, 0}, A{1, 5, 1, 0, 0, 0}, A{INFINITY, 5, 1, 0, -1, 0},
                A{1, NAN, 1, 0, -1, 0}})
        EXPECT_TRUE(edit(&w.g, r, 3) == P(-1, -1) && out.empty());
    brushTexi(centre, cc, 0), brushTexi(centre, cc, 0); // the texture each vertex already has
    EXPECT_TRUE(arrayListGetLength(t[0]->movedVerts) == 26 && moved(t[0], 45) == 2 &&
                !moved(t[0], 43)); // the centre, 6 at 2.0 and 6 at 3.46; not 43, 4.0 away
    arrayListClear(t[0]->movedVerts);
    for (int i = 0; i < 91; i += 2) // every other vertex of (0, 0) 3.0 up
        t[0]->verts[i].loc[1] = 3.0f;
    EXPECT_EQ(edit(&w.g, {11, 20, 0.5f, 0, -1, 0}, 6).second, 3);
    ASSERT_EQ(sscanf(out.c_str() + out.find('\n') + 1, "point (%f, %f, %f", p, p + 1, p + 2), 3);
    EXPECT_TRUE(p[0] == -4 && std::fabs(p[2] - (0.5f - 8.660254f)) < 1e-5);
    edit(&w.g, {11, 20, 0.5f, 0, -1, 0}, 3), edit(&w.g, {11, 20, 0.5f, 0, -1, 0}, 3);
    each([&](veskTerrain* c, int i, double x, double z) {
        float* v = c->verts[i].loc;
        double d = std::hypot(x - 11, v[1], z - 0.5);
        ASSERT_EQ(v[1], c == t[0] && i % 2 == 0 ? 3.0f : 0.0f);
        ASSERT_TRUE(std::fabs(d - 4) < 1e-3 ||
                    (c->verts[i].texi == 2 * (d < 4) && moved(c, i) == 2 * (d < 4)));
    });
    EXPECT_TRUE(t[0]->verts[50].texi == 2 && t[3]->verts[85].texi == 2 && t[4]->verts[0].texi == 2);
}

// The walk, seen in the smoothing brush's trace: the seeds whatever the radius, neighbours
// only strictly within it, each vertex once and one copy of each border point; smoothing flat
// ground records without moving, and a raised vertex processed first drops halfway.
TEST(BrushWalk, SeedsRadiusTwinsAndSmoothing) {
    world w(4);
    veskTerrain** t = w.g.terArray;
    auto smooth = [](const float* loc, int face, float radius) {
        return traced([&] { brushSmooth(loc, face, cc, radius); });
    };
    EXPECT_EQ(smooth(centre, 65, 0), "\nbrushSmooth (face: 65) (chunkCoords 0, 0)\ndoneVert: 0 "
                                     "(todoVert 34, 0, 0)\ndoneVert: 1 (todoVert 35, 0, 0)\n"
                                     "doneVert: 2 (todoVert 45, 0, 0)\n");
    for (float r : {2.0f, std::nextafter(2.0f, 3.0f)})
        EXPECT_EQ(smooth(centre, 65, r).find("todoVert 44,") != std::string::npos, r > 2);
    std::string out = smooth(corner, 74, 8); // (10, 0): 50 of (0, 0), 85 of (1, 0), 0 of (1, -1)
    std::set<std::string> refs; // each vertex, offered by every neighbour, is processed once
    for (size_t at = out.find("(todo"); at != std::string::npos; at = out.find("(todo", at + 1))
        EXPECT_TRUE(refs.insert(out.substr(at + 10, out.find(')', at) - at - 10)).second) << at;
    EXPECT_TRUE(refs.count("50, 0, 0") + refs.count("85, 1, 0") + refs.count("0, 1, -1") == 1 &&
                moved(t[0], 50) == 1 && moved(t[3], 85) == 1 && moved(t[4], 0) == 1);
    each([](veskTerrain* c, int i, double, double) { ASSERT_EQ(c->verts[i].loc[1], 0.0f); });
    t[0]->verts[45].loc[1] = 1.0f, smooth(centre, 66, 8);
    EXPECT_EQ(t[0]->verts[45].loc[1], 0.5f);
}

// Raising and lowering at the corner (10, 0) of three chunks: each vertex strictly within 8.0
// recorded once in its chunk, even after a second edit; lowering mirrors raising.
TEST(BrushNormal, FalloffAndMirroredRaiseAndLowerAtACorner) {
    const float sig[][2] = {{0, 1 / 1.0625f}, {2, 0.8f}, {4, 0.5f}, {6, 0.2f}, {8, 1.0f / 17}};
    for (auto& s : sig)
        EXPECT_FLOAT_EQ(sigmoid2(s[0]), s[1]);
    std::vector<float> up;
    for (int push : {1, 0}) {
        world w(4);
        for (int n = 0; n < 2; n++)
            edit(&w.g, {9.1f, 30, 0.7f, 0, -1, 0}, 0, push);
        size_t n = 0;
        each([&](veskTerrain* t, int i, double x, double z) {
            double d = std::hypot(x - 9.1, z - 0.7), y = t->verts[i].loc[1];
            ASSERT_TRUE(std::fabs(d - 8) < 1e-3 || moved(t, i) == (d < 8));
            up.push_back(float(y));
            ASSERT_TRUE(push || y == -up[n++]) << y;
        });
    }
    EXPECT_GT(std::count_if(up.begin(), up.end(), [](float y) { return y > 0; }), 40);
}

// On flat ground the normal brush lifts the vertex it takes first straight up. After that,
// degenerate faces, NaN hit points and hundreds of random edits of every kind around the
// corners and sides of (0, 0), every copy of a border point is where its twins are, and no
// coordinate is NaN.
TEST(BrushSeams, FlatRiseTwinsStayTogetherAndNothingNonFiniteIsWritten) {
    world w(4);
    quietTrace q;
    std::map<P, std::vector<std::tuple<float*, float, float>>> points; // copies, x and z
    each([&](veskTerrain* t, int i, double x, double z) {
        float* p = t->verts[i].loc;
        points[{int(std::lround(x)), int(std::lround(z / 1.7320508))}].push_back({p, p[0], p[2]});
    });
    const float nan3[3] = {NAN, NAN, NAN};
    const int nowhere[2] = {40, 40};
    float *c = w.g.terArray[0]->verts[45].loc, y = 0.5f / 1.0625f; // 0.5 x sigmoid2(0)
    brushNormalInOut(centre, 66, cc, 8.0f, 1); // processed first, the centre sees 6 flat faces
    EXPECT_TRUE(c[0] == 0 && c[2] == 0 && std::fabs(c[1] - y) < 1.2e-7) << c[1];
    y = c[1], memcpy(c + 4, c, 12); // 46 on top of 45: their shared faces have no normal
    brushNormalInOut(centre, 66, cc, 8.0f, 1);
    EXPECT_EQ(c[1], y);
    brushNormalInOut(nan3, 66, cc, 8, 0), brushSmooth(nan3, 66, cc, 8), brushTexi(nan3, cc, 3);
    brushNormalInOut(centre, 999, cc, 8, 1), brushSmooth(centre, 66, nowhere, 8);
    std::mt19937 rng(20240611);
    std::uniform_real_distribution<float> off(-3.0f, 3.0f), tilt(-0.05f, 0.05f);
    int edits = 0;
    for (int n = 0; n < 400; n++) { // around a corner of (0, 0), or the middle of a side
        double a = n % 12 * M_PI / 6, r = n % 2 ? 8.660254 : 10.0;
        float x = float(r * std::cos(a)) + off(rng), z = float(r * std::sin(a)) + off(rng);
        A ray = {x, 40, z, tilt(rng), -1, tilt(rng)};
        int type = int(rng() % 6), push = int(rng() % 2);
        edits += edit(&w.g, ray, type, push).first >= 0;
    }
    EXPECT_GT(edits, 380);
    for (auto& [key, copies] : points)
        for (auto [p, x, z] : copies)
            ASSERT_TRUE(std::isfinite(p[0] + p[1] + p[2]) &&
                        (copies.size() == 1 ||
                         (p[1] == std::get<0>(copies[0])[1] && p[0] == x && p[2] == z)))
                << key.first << " " << key.second;
}
