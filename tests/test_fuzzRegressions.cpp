// Faults found while fuzzing the dispatcher and the save files, each reduced to the least
// that shows it. Some are undefined behaviour that only the sanitizer build can see.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "testUtil.h"
#include "veskServer.h"

namespace {

struct fuzzRegressions : testing::Test {
    loopback lb;
    quietTrace quiet;
    void SetUp() override {
        useFakeClock(5000);
        freshLists(4);
        openLoopback(&lb);
    }
    void TearDown() override {
        closeLoopback(&lb);
        freeLists();
        useRealClock();
    }
    veskProfile* player(int stage, int radius) {
        veskProfile* pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
        pro->profAddr = lb.clientAddr;
        pro->addrLen = 16;
        pro->stage = stage;
        pro->terRadius = radius;
        pro->entity = newPlayerEntity();
        pro->lastRecv = pro->lastSent = 5000;
        arrayListAddEndPointer(profList, pro);
        return pro;
    }
};

// The view radius is whatever the login carried; the ring of newly visible chunks lies
// one inside it, which for the most negative radius was an overflow.
TEST_F(fuzzRegressions, MostNegativeViewRadiusStreamsNoNewChunks) {
    veskProfile* pro = player(psGame, INT_MIN);
    veskGravity* avatar = profEntity(pro)->gravMem;
    avatar->chunkCoords[0] = 1; // it has just walked into the next chunk
    sendNewChunks(pro);
    EXPECT_EQ(bufIndex, 0);
    EXPECT_EQ(avatar->chunkCoordsOld[0], 1);
}

// Chunk coordinates are differenced when a client is streamed the world; a chunk at the
// end of the int range made the hex distance overflow. Such a file is damaged.
TEST_F(fuzzRegressions, WorldChunkAtTheEndOfTheIntRangeIsRefused) {
    auto world = [](int32_t cx, int32_t cy) {
        const int32_t head[5] = {1, 3, 1, cx, cy}; // one chunk: 3 vertices, 1 face
        const float verts[12] = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0};
        const int32_t face[3] = {0, 1, 2};
        std::vector<unsigned char> d(sizeof head + sizeof verts + sizeof face);
        memcpy(d.data(), head, sizeof head);
        memcpy(d.data() + sizeof head, verts, sizeof verts);
        memcpy(d.data() + sizeof head + sizeof verts, face, sizeof face);
        return d;
    };
    char dir[] = "/tmp/quarn-fuzzreg-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string name = std::string(dir) + "/world";
    ArrayList* loaded = initArrayList(10, 8);
    std::vector<unsigned char> near = world(-30000, 41), far = world(INT_MIN, 41);
    EXPECT_EQ(loadWorldFrom(near.data(), near.size(), name.c_str(), loaded), 1);
    EXPECT_EQ(loadWorldFrom(far.data(), far.size(), name.c_str(), loaded), 0);
    EXPECT_EQ(arrayListGetLength(loaded), 1);
    EXPECT_EQ(access((name + ".bad").c_str(), F_OK), 0);
    freeTerList(loaded);
    remove((name + ".bad").c_str());
    rmdir(dir);
}

// An entity file's positions are given from chunk (0, 0). One far away was left there and
// crossed a chunk a tick towards its place, growing the world all the way (at 1e30 for
// ever). It is now taken into the chunk that holds it; beyond a million units the file
// is damaged.
TEST_F(fuzzRegressions, FarEntityIsTakenIntoItsChunkAndAbsurdOnesRefused) {
    auto file = [](float x, float z) {
        std::vector<unsigned char> d(4 + 32);
        const int32_t head[2] = {1, 0};
        const float rest[7] = {2.0f, x, 0.3f, z, 0, 0, 1};
        memcpy(d.data(), head, 8);
        memcpy(d.data() + 8, rest, 28);
        return d;
    };
    char dir[] = "/tmp/quarn-fuzzreg-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string name = std::string(dir) + "/entities";
    std::vector<unsigned char> far = file(150.5f, -40.25f), absurd = file(1e30f, 0);
    ASSERT_EQ(loadEntitiesFrom(far.data(), far.size(), name.c_str(), entList), 1);
    veskGravity* g = arrayListGet<veskEntity>(entList, 0)->gravMem;
    int want[2];
    worldToTer(150.5f, -40.25f, &want[0], &want[1], terScale);
    EXPECT_EQ(g->chunkCoords[0], want[0]);
    EXPECT_EQ(g->chunkCoords[1], want[1]);
    float cx, cz;
    terToWorldNew(want[0], want[1], &cx, &cz, terScale);
    EXPECT_NEAR(g->position[0] + cx, 150.5f, 1e-4);
    EXPECT_NEAR(g->position[2] + cz, -40.25f, 1e-4);
    int chunks = arrayListGetLength(terList);
    setveskGravity(g, terList);
    EXPECT_EQ(g->typeIndex, 0); // set down where it is, after spawning only its surroundings
    EXPECT_LE(arrayListGetLength(terList), chunks + 37);
    EXPECT_EQ(loadEntitiesFrom(absurd.data(), absurd.size(), name.c_str(), entList), -1);
    EXPECT_EQ(arrayListGetLength(entList), 1);
    remove((name + ".bad").c_str());
    rmdir(dir);
}

} // namespace
