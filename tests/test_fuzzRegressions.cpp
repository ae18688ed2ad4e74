// Faults found while fuzzing the dispatcher and the save files, each reduced to the least
// that shows it. Some are undefined behaviour that only the sanitizer build can see.
#include <climits>
#include <unistd.h>

#include "sessionTest.h"

using fuzzRegressions = sessionTest;

// A scratch directory for the loaders' ".bad" copies.
static std::string scratch(const char* file) {
    char dir[] = "/tmp/quarn-fuzzreg-XXXXXX";
    return std::string(mkdtemp(dir)) + "/" + file;
}

// The view radius is whatever the login carried; the ring of newly visible chunks lies
// one inside it, which for the most negative radius was an overflow.
TEST_F(fuzzRegressions, MostNegativeViewRadiusStreamsNoNewChunks) {
    loginAlice(1, psGame);
    pro->terRadius = INT_MIN;
    avatar()->chunkCoords[0] = 1; // it has just walked into the next chunk
    sendNewChunks(pro);
    EXPECT_EQ(bufIndex, 0);
    EXPECT_EQ(avatar()->chunkCoordsOld[0], 1);
}

// Chunk coordinates are differenced when a client is streamed the world; a chunk at the
// end of the int range made the hex distance overflow. Such a file is damaged.
TEST_F(fuzzRegressions, WorldChunkAtTheEndOfTheIntRangeIsRefused) {
    auto world = [](int32_t cx) { // one chunk: 3 vertices, 1 face
        const int32_t head[5] = {1, 3, 1, cx, 41}, face[3] = {0, 1, 2};
        const float verts[12] = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0};
        bytes d(sizeof head + sizeof verts + sizeof face);
        memcpy(d.data(), head, sizeof head);
        memcpy(d.data() + sizeof head, verts, sizeof verts);
        memcpy(d.data() + sizeof head + sizeof verts, face, sizeof face);
        return d;
    };
    std::string name = scratch("world");
    bytes near = world(-30000), far = world(INT_MIN);
    EXPECT_EQ(loadWorldFrom(near.data(), near.size(), name.c_str(), terList), 1);
    EXPECT_EQ(loadWorldFrom(far.data(), far.size(), name.c_str(), terList), 0);
    EXPECT_EQ(arrayListGetLength(terList), 1);
    EXPECT_EQ(access((name + ".bad").c_str(), F_OK), 0);
}

// An entity file's positions are given from chunk (0, 0). One far away was left there and
// crossed a chunk a tick towards its place, growing the world all the way (at 1e30 for
// ever). It is now taken into the chunk that holds it; beyond a million units the file
// is damaged.
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
    std::string name = scratch("entities");
    bytes far = file(150.5f, -40.25f), absurd = file(1e30f, 0);
    ASSERT_EQ(loadEntitiesFrom(far.data(), far.size(), name.c_str(), entList), 1);
    veskGravity* g = arrayListGet<veskEntity>(entList, 0)->gravMem;
    int want[2];
    worldToTer(150.5f, -40.25f, &want[0], &want[1], terScale);
    float cx, cz;
    terToWorldNew(want[0], want[1], &cx, &cz, terScale);
    EXPECT_TRUE(g->chunkCoords[0] == want[0] && g->chunkCoords[1] == want[1]);
    EXPECT_NEAR(g->position[0] + cx, 150.5f, 1e-4);
    EXPECT_NEAR(g->position[2] + cz, -40.25f, 1e-4);
    int chunks = arrayListGetLength(terList);
    setveskGravity(g, terList);
    EXPECT_EQ(g->typeIndex, 0); // set down where it is, spawning only its surroundings
    EXPECT_LE(arrayListGetLength(terList), chunks + 37);
    EXPECT_EQ(loadEntitiesFrom(absurd.data(), absurd.size(), name.c_str(), entList), -1);
    EXPECT_EQ(arrayListGetLength(entList), 1);
}
