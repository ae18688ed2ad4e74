// World streaming against hand-computed bytes: chunk and entity records, the handshake
// batches, the per-tick blocks, the ring of new chunks, and datagrams that would
// overflow the buffer being split so that none exceeds 12000 bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

#include "testUtil.h"
#include "veskServer.h"
#include "wireParse.h"

namespace {

using bytes = std::vector<unsigned char>;

struct streaming : testing::Test {
    loopback lb;
    quietTrace quiet;
    veskProfile* pro = nullptr;
    veskGravity* avatar = nullptr;

    void SetUp() override {
        captureLog();
        freshLists(0);
        openLoopback(&lb);
        const float at[3] = {0, 0.51f, 0};
        avatar = addDefaultEntity(entList, 1, at)->gravMem;
        pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
        pro->profAddr = lb.clientAddr;
        pro->addrLen = 16;
        pro->entity = 0;
        pro->terRadius = 3;
        pro->stage = psGame;
        arrayListAddEndPointer(profList, pro);
        useFakeClock(5000); // a live session: no polls in these ticks
        pro->lastRecv = pro->lastSent = 5000;
    }
    void TearDown() override {
        closeLoopback(&lb);
        freeLists();
        useRealClock();
    }
    veskGravity* addEntity(float x, int cx, int cy) {
        const float at[3] = {x, 0.51f, 0};
        veskGravity* g = addDefaultEntity(entList, 1, at)->gravMem;
        g->chunkCoords[0] = cx;
        g->chunkCoords[1] = cy;
        return g;
    }
    gameStream stream() {
        gameStream s;
        for (const bytes& d : clientDrain(&lb)) {
            std::string why;
            EXPECT_TRUE(parseGameDatagram(d, &s, &why)) << why;
        }
        return s;
    }
};

TEST_F(streaming, ChunkRecordBytes) {
    veskTerrain* ter = initTerrain(5, 2, -3, 2.0f);
    ter->verts[7].loc[1] = 1.5f;
    ter->verts[7].texi = 0x01020304;
    bufIndex = 0;
    ASSERT_EQ(buffChunk(ter), 1);
    EXPECT_EQ(bufIndex, 3272);
    const unsigned char head[16] = {0, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0xFD, 0, 0, 0, 91, 0, 0, 0, 150};
    EXPECT_EQ(memcmp(buf, head, 16), 0);
    const unsigned char* v7 = buf + 16 + 7 * 16;
    const unsigned char height[4] = {0x00, 0x00, 0xC0, 0x3F}; // 1.5f, little-endian
    EXPECT_EQ(memcmp(v7 + 4, height, 4), 0);
    const unsigned char texi[4] = {4, 3, 2, 1};
    EXPECT_EQ(memcmp(v7 + 12, texi, 4), 0);
    const unsigned char face0[12] = {6, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0}; // (6, 0, 7)
    EXPECT_EQ(memcmp(buf + 16 + 91 * 16, face0, 12), 0);
    bufIndex = bufSize - 3271;
    EXPECT_EQ(buffChunk(ter), 0);
    EXPECT_EQ(bufIndex, bufSize - 3271);
    bufIndex = 0;
    freeTerrain(ter);
}

TEST_F(streaming, EntityRecordBytes) {
    veskGravity* g = addEntity(1.0f, -1, 2);
    veskEntity* ent = arrayListGet<veskEntity>(entList, 1);
    ent->modelIndex = 258;
    g->rots[1] = -2.0f;
    bufIndex = 0;
    ASSERT_EQ(buffEnt(ent), 1);
    ASSERT_EQ(bufIndex, 44);
    const unsigned char expect[44] = {
        0, 0, 0, 1, 0, 0, 1, 2, 0, 0,    0, 0x40, 0, 0, 0x80, 0x3F, 0x5C, 0x8F, 0x02, 0x3F, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0,    0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0, 2};
    EXPECT_EQ(memcmp(buf, expect, 44), 0);
    bufIndex = 0;
}

TEST_F(streaming, BulkTerrainCarriesThreeChunksAndTheFourthLeadsTheNext) {
    embedSpawnTer(terList, 11, 0, 0, terScale, terEdge);
    pro->terRadius = 11;
    int datagrams = 0;
    std::vector<chunkRec> all;
    while (pro->curCounter < arrayListGetLength(terList)) {
        initSendTers(pro);
        bytes d = clientRecv(&lb);
        std::string why;
        std::vector<chunkRec> got;
        ASSERT_TRUE(parseBulkTerrain(d, &got, &why)) << why;
        if (datagrams < 110) {
            EXPECT_EQ(d.size(), 9821u);
        }
        all.insert(all.end(), got.begin(), got.end());
        datagrams++;
    }
    EXPECT_EQ(datagrams, 111);
    ASSERT_EQ(all.size(), 331u);
    EXPECT_EQ(all[3].cx, 10); // list order: (10,-10), (10,-9), ... the 4th is (10,-7)
    EXPECT_EQ(all[3].cy, -7);
    EXPECT_TRUE(logHas("sendChunk nsent (9821)"));
}

TEST_F(streaming, BulkTerrainSendsExactlyTheChunksInView) {
    embedSpawnTer(terList, 11, 0, 0, terScale, terEdge);
    avatar->chunkCoords[0] = 3;
    avatar->chunkCoords[1] = -1;
    std::set<std::pair<int, int>> got;
    while (pro->curCounter < arrayListGetLength(terList)) {
        initSendTers(pro);
        std::vector<chunkRec> chunks;
        ASSERT_TRUE(parseBulkTerrain(clientRecv(&lb), &chunks, nullptr));
        for (auto& c : chunks)
            got.insert({c.cx, c.cy});
    }
    std::set<std::pair<int, int>> want;
    for (int x = -5; x <= 5; x++)
        for (int y = -5; y <= 5; y++)
            if (terRadius(x, y) < 3) want.insert({3 + x, -1 + y});
    EXPECT_EQ(got, want);
    EXPECT_EQ(got.size(), 19u);
}

TEST_F(streaming, BulkEntitiesTwoHundredSeventyTwoToADatagram) {
    for (int i = 1; i < 300; i++)
        addEntity(float(i % 7), 0, 0);
    sendEnts(pro);
    bytes d = clientRecv(&lb);
    EXPECT_EQ(d.size(), 1u + 272 * 44);
    EXPECT_EQ(pro->curCounter, 272);
    sendEnts(pro);
    std::vector<entRec> rest;
    ASSERT_TRUE(parseBulkEnts(clientRecv(&lb), &rest, nullptr));
    ASSERT_EQ(rest.size(), 28u);
    EXPECT_EQ(rest[0].id, 272);
    EXPECT_EQ(pro->curCounter, 300);
}

TEST_F(streaming, ViewRadiusZeroShowsNothing) {
    embedSpawnTer(terList, 2, 0, 0, terScale, terEdge);
    pro->terRadius = 0;
    initSendTers(pro);
    bytes d = clientRecv(&lb);
    EXPECT_EQ(d, (bytes{5, 0, 0, 0, 0}));
    avatar->locChanged = 1;
    bufIndex = 0;
    sendEntsTicly(pro);
    EXPECT_EQ(bufIndex, 0);
}

TEST_F(streaming, UpdateRecordsAreLocationFirstAndEmptyBlocksOmitted) {
    veskGravity* moved = addEntity(0, 0, 0);
    veskGravity* turned = addEntity(0, 0, 1);
    veskGravity* both = addEntity(0, 1, 0);
    addEntity(0, 0, 0); // unchanged: no trace
    bufIndex = 0;
    sendEntsTicly(pro);
    EXPECT_EQ(bufIndex, 0);
    moved->locChanged = 1;
    turned->rotChanged = 1;
    both->locChanged = both->rotChanged = 1;
    both->position[0] = 1.25f;
    both->rots[2] = 0.5f;
    ticlyOutGame(pro);
    auto all = clientDrain(&lb);
    ASSERT_GE(all.size(), 1u);
    gameStream s;
    std::string why;
    ASSERT_TRUE(parseGameDatagram(all[0], &s, &why)) << why;
    ASSERT_EQ(s.ents.size(), 3u);
    EXPECT_EQ(s.blockTypes, std::vector<int>{10});
    EXPECT_EQ(s.ents[0].bytes, 29);
    EXPECT_EQ(s.ents[1].bytes, 21);
    EXPECT_EQ(s.ents[2].bytes, 42);
    EXPECT_EQ(s.ents[2].id, 3);
    EXPECT_EQ(s.ents[2].pos[0], 1.25f);
    EXPECT_EQ(s.ents[2].rots[2], 0.5f);
    EXPECT_EQ(s.ents[2].cx, 1);
    EXPECT_EQ(all[0].size(), 5u + 29 + 21 + 42);
}

TEST_F(streaming, MoveToAnAdjacentChunkSendsTheRingOfFiveNewChunks) {
    embedSpawnTer(terList, 11, 0, 0, terScale, terEdge);
    bufIndex = 0;
    sendNewChunks(pro);
    EXPECT_EQ(bufIndex, 0); // no move, no block
    avatar->chunkCoords[0] = 1;
    sendNewChunks(pro);
    ASSERT_GT(bufIndex, 0);
    // Three chunks fill a datagram: the first three went out at once, the rest wait in buf.
    auto sent = clientDrain(&lb);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), 5u + 3 * 3272);
    sent.push_back(bytes(buf, buf + bufIndex));
    bufIndex = 0;
    gameStream s;
    for (const bytes& d : sent)
        ASSERT_TRUE(parseGameDatagram(d, &s, nullptr));
    std::set<std::pair<int, int>> got, want;
    for (auto& c : s.chunks)
        got.insert({c.cx, c.cy});
    for (int x = -4; x <= 4; x++)
        for (int y = -4; y <= 4; y++)
            if (terRadius(x - 1, y) == 2 && terRadius(x, y) >= 3) want.insert({x, y});
    EXPECT_EQ(want.size(), 5u);
    EXPECT_EQ(got, want);
    EXPECT_EQ(avatar->chunkCoordsOld[0], 1);
}

TEST_F(streaming, OutOfRangeMovedVertexIsReportedAndSkipped) {
    embedSpawnTer(terList, 1, 0, 0, terScale, terEdge);
    veskTerrain* ter = arrayListGet<veskTerrain>(terList, 0);
    for (int i : {5, 200, 7, -3})
        arrayListAddEnd(ter->movedVerts, &i);
    ter->verts[7].texi = 2;
    traceOn = 1;
    testing::internal::CaptureStdout();
    bufIndex = 0;
    sendMovedVerts(pro);
    std::string out = testing::internal::GetCapturedStdout();
    traceOn = 0;
    EXPECT_NE(out.find("Bug: sendMovedVerts() Out of Bound vert."), std::string::npos);
    bytes d(buf, buf + bufIndex);
    bufIndex = 0;
    EXPECT_EQ(d.size(), 5u + 13 + 2 * 20);
    gameStream s;
    ASSERT_TRUE(parseGameDatagram(d, &s, nullptr));
    ASSERT_EQ(s.moves.size(), 2u);
    EXPECT_EQ(s.moves[1].index, 7);
    EXPECT_EQ(s.moves[1].vert.texi, 2);

    arrayListClear(ter->movedVerts);
    int bad = 91;
    arrayListAddEnd(ter->movedVerts, &bad);
    sendMovedVerts(pro);
    EXPECT_EQ(bufIndex, 5 + 13); // a record with a vertex count of 0
    bufIndex = 0;
}

TEST_F(streaming, HundredsOfMovedEntitiesAreSplitAcrossDatagrams) {
    for (int i = 0; i < 700; i++) {
        veskGravity* g = addEntity(float(i), 0, 0);
        g->locChanged = g->rotChanged = 1;
    }
    ticlyOutGame(pro);
    auto all = clientDrain(&lb);
    ASSERT_GE(all.size(), 3u);
    gameStream s;
    for (const bytes& d : all) {
        EXPECT_LE(d.size(), 12000u);
        std::string why;
        ASSERT_TRUE(parseGameDatagram(d, &s, &why)) << why;
    }
    ASSERT_EQ(s.ents.size(), 700u);
    for (int i = 0; i < 700; i++)
        EXPECT_EQ(s.ents[size_t(i)].id, i + 1);
}

TEST_F(streaming, ThousandsOfMovedVerticesAreSplitAndNoneIsLost) {
    embedSpawnTer(terList, 2, 0, 0, terScale, terEdge);
    avatar->chunkCoords[0] = 1; // also a ring of new chunks in the same tick
    int listed = 0;
    for (int c = 0; c < 7; c++) {
        veskTerrain* ter = arrayListGet<veskTerrain>(terList, c);
        for (int i = 0; i < 400; i++, listed++) {
            int v = (i * 13 + c) % 91;
            arrayListAddEnd(ter->movedVerts, &v);
        }
    }
    ticlyOutGame(pro);
    auto all = clientDrain(&lb);
    gameStream s;
    for (const bytes& d : all) {
        EXPECT_LE(d.size(), 12000u);
        std::string why;
        ASSERT_TRUE(parseGameDatagram(d, &s, &why)) << why;
    }
    EXPECT_GE(all.size(), 5u);
    size_t visible = 0;
    for (int c = 0; c < 7; c++) {
        veskTerrain* ter = arrayListGet<veskTerrain>(terList, c);
        if (terRadius(ter->chunkCoords[0] - 1, ter->chunkCoords[1]) < 3) visible += 400;
    }
    EXPECT_EQ(s.moves.size(), visible);
    EXPECT_GT(s.chunkUpdateRecords, 7);
}

} // namespace
