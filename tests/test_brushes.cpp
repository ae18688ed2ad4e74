// Tests of terrain editing: the raise brush's lift on flat ground, and chunks that
// stay seamless (every border copy of a point with its twins) through random edits.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "brushes.h"
#include "testUtil.h"
#include "server.h"

namespace {

// The flat spawn area of radius 4, and an entity standing on face 0 of chunk (0, 0) whose
// view ray picks the faces to edit (any but a face 0).
struct flatWorld {
    veskGravity g = {};
    flatWorld() {
        freshLists(4);
        fillTerArray(&g, world.terList);
    }
    ~flatWorld() { freeLists(); }
};

} // namespace

// Raised at the centre of chunk (0, 0), flat ground goes up there first, by half the falloff
// at distance 0: 0.5 / (2^-4 + 1). Then hundreds of raises, digs, smoothings and paintings in
// and about chunk (0, 0), each picked by a view ray: every border copy of a point keeps its x
// and z and stays with its twins, height and texture, and no coordinate becomes non-finite.
TEST(Brushes, ARaiseLiftsByHalfTheFalloffAndBorderCopiesStayWithTheirTwins) {
    quietTrace quiet;
    flatWorld w;
    const float centre[3] = {0, 0, 0}; // vertex 45, a corner of face 66
    const int chunk[2] = {0, 0};
    brushNormalInOut(centre, 66, chunk, 8.0f, 1);
    EXPECT_NEAR(w.g.terArray[0]->verts[45].loc[1], 0.5f / 1.0625f, 1.2e-7);
    std::map<std::pair<long, long>, std::vector<std::pair<vertTex*, vertTex>>> copies;
    for (int k = 0; k < arrayListGetLength(world.terList);
         k++) { // keyed by world x and z / sqrt(3)
        veskTerrain* t = arrayListGet<veskTerrain>(world.terList, k);
        float cx, cz;
        terToWorldNew(t->chunkCoords[0], t->chunkCoords[1], &cx, &cz, options.terScale);
        for (vertTex* v = t->verts; v < t->verts + t->numVerts; v++) {
            std::pair<long, long> at = {std::lround(cx + v->loc[0]),
                                        std::lround((cz + v->loc[2]) / 1.7320508f)};
            copies[at].push_back({v, *v});
        }
    }
    std::mt19937 rng(20240611);
    std::uniform_real_distribution<float> around(-13.0f, 13.0f);
    for (int n = 0; n < 400; n++) {
        float eye[3] = {around(rng), 40, around(rng)};
        float ray[3] = {0, -0.6f, 0};
        terEditNew(eye, ray, &w.g, int(rng() % 2), int(rng() % 6));
    }
    int changed = 0;
    for (auto& [point, twins] : copies)
        for (auto& [v, before] : twins) {
            ASSERT_TRUE(std::isfinite(v->loc[0] + v->loc[1] + v->loc[2]));
            ASSERT_TRUE(twins.size() == 1 ||
                        (v->loc[0] == before.loc[0] && v->loc[2] == before.loc[2] &&
                         v->loc[1] == twins[0].first->loc[1] && v->texi == twins[0].first->texi))
                << point.first << ", " << point.second;
            changed += v->loc[1] != before.loc[1];
        }
    EXPECT_GT(changed, 300);
}
