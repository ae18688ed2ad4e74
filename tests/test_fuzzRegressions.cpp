// Faults found while fuzzing the dispatcher and the save files, each reduced to the least
// that shows it. Some are undefined behaviour that only the sanitizer build can see.
#include <climits>

#include "sessionTest.h"

using fuzzRegressions = sessionTest;

// The view radius is whatever the login carried; the ring of newly visible chunks lies
// one inside it, which for the most negative radius was an overflow.
TEST_F(fuzzRegressions, MostNegativeViewRadiusStreamsNoNewChunks) {
    loginAlice(1, psGame);
    pro->terRadius = INT_MIN;
    avatar()->chunkCoords[0] = 1; // it has just walked into the next chunk
    EXPECT_TRUE(tick().empty());
    EXPECT_EQ(avatar()->chunkCoordsOld[0], 1);
}

// One chunk of 3 vertices and 1 face at chunk x coordinate cx.
static bytes worldAt(int32_t cx) {
    const int32_t head[5] = {1, 3, 1, cx, 41};
    const int32_t face[3] = {0, 1, 2};
    const float verts[12] = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0};
    bytes d(sizeof head + sizeof verts + sizeof face);
    memcpy(d.data(), head, sizeof head);
    memcpy(d.data() + sizeof head, verts, sizeof verts);
    memcpy(d.data() + sizeof head + sizeof verts, face, sizeof face);
    return d;
}

// Chunk coordinates are differenced when a client is streamed the world; a chunk at the
// end of the int range made the hex distance overflow. Such a file is damaged.
TEST_F(fuzzRegressions, WorldChunkAtTheEndOfTheIntRangeIsRefused) {
    bytes near = worldAt(-30000);
    bytes far = worldAt(INT_MIN);
    EXPECT_EQ(checkWorldBytes(near.data(), near.size()), std::string());
    EXPECT_EQ(checkWorldBytes(far.data(), far.size()),
              std::string("chunk coordinates out of range"));
}

// An entity file's positions are given from chunk (0, 0). One far away was left there and
// crossed a chunk a tick towards its place, growing the world all the way. It is now taken
// into the chunk that holds it; beyond a million units the file is damaged.
TEST_F(fuzzRegressions, FarEntityIsTakenIntoItsChunkAndAbsurdOnesRefused) {
    embedSpawnTer(terList, 11, 0, 0, terScale, terEdge);
    auto file = [](float x, float z) {
        bytes d(4 + 32);
        const int32_t head[2] = {1, 0};
        const float rest[7] = {2.0f, x, 0.3f, z, 0, 0, 1};
        memcpy(d.data(), head, 8);
        memcpy(d.data() + 8, rest, 28);
        return d;
    };
    bytes far = file(150.5f, -40.25f);
    bytes absurd = file(1e30f, 0);
    EXPECT_STRNE(checkEntityBytes(absurd.data(), absurd.size()), "");
    ASSERT_EQ(checkEntityBytes(far.data(), far.size()), std::string());
    readEntityBytes(far.data(), far.size(), entList);
    veskGravity* g = arrayListGet<veskEntity>(entList, 0)->gravMem;
    float cx, cz;
    terToWorldNew(g->chunkCoords[0], g->chunkCoords[1], &cx, &cz, terScale);
    EXPECT_EQ(g->chunkCoords[0], 10); // centred at (150, -34.64)
    EXPECT_EQ(g->chunkCoords[1], -7);
    EXPECT_NEAR(g->position[0] + cx, 150.5f, 1e-4);
    EXPECT_NEAR(g->position[2] + cz, -40.25f, 1e-4);
    int chunks = arrayListGetLength(terList);
    setveskGravity(g, terList);
    EXPECT_EQ(g->typeIndex, 0); // set down where it is, spawning only its surroundings
    EXPECT_LE(arrayListGetLength(terList), chunks + 37);
}
