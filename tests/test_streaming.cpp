// World streaming against hand-computed bytes: chunk and entity records, the handshake
// batches, the per-tick blocks, the ring of new chunks, and datagrams that would
// overflow the buffer being split so that none exceeds 12000 bytes.
#include <random>
#include <set>

#include "sessionTest.h"

struct streaming : sessionTest {
    void SetUp() override {
        sessionTest::SetUp();
        loginAlice(0, psGame); // her free mover 0 in chunk (0, 0); the clock stands still
    }
    veskGravity* addEntity(int cx, int cy) {
        const float at[3] = {1.0f, 0.51f, 0};
        veskGravity* g = addDefaultEntity(entList, 1, at)->gravMem;
        g->chunkCoords[0] = cx;
        g->chunkCoords[1] = cy;
        return g;
    }
    bytes inBuf(int from, int n) { return {buf + from, buf + from + n}; }
    // One game tick, and what alice received in it.
    datagrams tick() {
        gameTic();
        return clientDrain(&lb);
    }
    // The chunks of the whole bulk terrain stage; its datagrams go to `sent`.
    std::vector<chunkRec> bulk(datagrams* sent) {
        std::vector<chunkRec> got;
        for (pro->curCounter = 0; pro->curCounter < arrayListGetLength(terList);) {
            initSendTers(pro);
            sent->push_back(clientRecv(&lb));
            EXPECT_TRUE(parseBulkTerrain(sent->back(), &got, nullptr));
        }
        return got;
    }
    // `n` different chunks, each at hex distance < 3 from (cx, cy); for a ring after a
    // move by one chunk along x, at distance >= 3 from where the avatar came from.
    void expectChunks(const std::vector<chunkRec>& got, size_t n, int cx, int cy, bool ring) {
        std::set<std::pair<int, int>> seen;
        for (const chunkRec& c : got)
            EXPECT_TRUE(seen.insert({c.cx, c.cy}).second && terRadius(c.cx - cx, c.cy - cy) < 3 &&
                        (!ring || terRadius(c.cx - cx + 1, c.cy - cy) >= 3));
        EXPECT_EQ(seen.size(), n);
    }
};

TEST_F(streaming, ChunkAndEntityRecordBytes) {
    veskTerrain* ter = initTerrain(5, 2, -3, 2.0f);
    ter->verts[7].loc[1] = 1.5f;
    ter->verts[7].texi = 0x01020304;
    ASSERT_EQ(buffChunk(ter), 1);
    EXPECT_EQ(bufIndex, 3272);
    EXPECT_EQ(inBuf(0, 16), (bytes{0, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0xFD, 0, 0, 0, 91, 0, 0, 0, 150}));
    // Vertex 7's height 1.5f and texi, little-endian; the first face (6, 0, 7).
    EXPECT_EQ(inBuf(132, 4) + inBuf(140, 4) + inBuf(1472, 12),
              (bytes{0, 0, 0xC0, 0x3F, 4, 3, 2, 1, 6, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0}));
    freeTerrain(ter);
    addEntity(-1, 2)->rots[1] = -2.0f;
    veskEntity* e = arrayListGet<veskEntity>(entList, 1);
    e->modelIndex = 258;
    bufIndex = 0;
    ASSERT_EQ(buffEnt(e), 1);
    EXPECT_EQ(inBuf(0, bufIndex),
              (bytes{0,    0,    0,    1,    0,    0, 1,    2,    0,    0,    0, 0x40, 0, 0, 0x80,
                     0x3F, 0x5C, 0x8F, 0x02, 0x3F, 0, 0,    0,    0,    0,    0, 0,    0, 0, 0,
                     0,    0xC0, 0,    0,    0,    0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0,    0, 2}));
    bufIndex = 0;
}

TEST_F(streaming, BulkTerrainInViewThreeToADatagramAndTheRingAfterAMove) {
    embedSpawnTer(terList, 11, 0, 0, terScale, terEdge);
    datagrams none, all, view;
    pro->terRadius = 0;
    EXPECT_TRUE(bulk(&none).empty() && none == (datagrams{{soInitTer, 0, 0, 0, 0}}));
    pro->terRadius = 11;
    std::vector<chunkRec> chunks = bulk(&all);
    ASSERT_EQ(all.size(), 111u);
    for (size_t i = 0; i < 110; i++)
        EXPECT_EQ(all[i].size(), 9821u);
    EXPECT_TRUE(chunks.size() == 331 && chunks[3].cx == 10 && chunks[3].cy == -7); // list order
    pro->terRadius = 3;
    avatar()->chunkCoords[0] = avatar()->chunkCoordsOld[0] = 3;
    avatar()->chunkCoords[1] = avatar()->chunkCoordsOld[1] = -1;
    expectChunks(bulk(&view), 19, 3, -1, false);
    avatar()->chunkCoords[0] = 4;
    sendNewChunks(pro);
    datagrams sent = clientDrain(&lb); // three chunks fill a datagram, the rest wait in buf
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), 5u + 3 * 3272);
    expectChunks(parse({sent[0], inBuf(0, bufIndex)}).chunks, 5, 4, -1, true);
    bufIndex = 0;
}

TEST_F(streaming, EntityBatchesAndUpdateRecordsSplitWithoutLoss) {
    veskGravity* moved = addEntity(0, 0);
    veskGravity* turned = addEntity(0, 1);
    veskGravity* both = addEntity(1, 0);
    addEntity(0, 0); // unchanged: no trace
    moved->locChanged = turned->rotChanged = both->locChanged = both->rotChanged = 1;
    both->position[0] = 1.25f;
    both->rots[2] = 0.5f;
    pro->terRadius = 0;
    EXPECT_TRUE(tick().empty()); // view radius 0 shows nothing
    moved->locChanged = turned->rotChanged = both->locChanged = both->rotChanged = 1;
    pro->terRadius = 3;
    gameStream s = parse(tick());
    ASSERT_EQ(s.ents.size(), 3u);
    EXPECT_EQ(s.blockTypes, std::vector<int>{soEntUpdate}); // no empty blocks
    EXPECT_TRUE(s.ents[0].bytes == 29 && s.ents[1].bytes == 21 && s.ents[2].bytes == 42);
    EXPECT_TRUE(s.ents[2].id == 3 && s.ents[2].pos[0] == 1.25f && s.ents[2].rots[2] == 0.5f);
    for (int i = 0; i < 700; i++)
        addEntity(0, 0)->locChanged = 1;
    sendEnts(pro);
    EXPECT_EQ(clientRecv(&lb).size(), 1u + 272 * 44);
    sendEnts(pro);
    std::vector<entRec> next;
    EXPECT_TRUE(parseBulkEnts(clientRecv(&lb), &next, nullptr) && next.at(0).id == 272);
    datagrams sent = tick();
    s = parse(sent);
    ASSERT_TRUE(sent.size() >= 2 && s.ents.size() == 700);
    for (int i = 0; i < 700; i++)
        EXPECT_EQ(s.ents[size_t(i)].id, i + 5);
}

TEST_F(streaming, OutOfRangeMovedVerticesAreSkippedAndThousandsSplitLosingNone) {
    embedSpawnTer(terList, 2, 0, 0, terScale, terEdge);
    veskTerrain* ter = arrayListGet<veskTerrain>(terList, 0);
    for (int i : {5, 200, 7, -3})
        arrayListAddEnd(ter->movedVerts, &i);
    ter->verts[7].texi = 2;
    datagrams sent;
    EXPECT_NE(traced([&] { sent = tick(); }).find("Bug: sendMovedVerts() Out of Bound vert."),
              std::string::npos);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), 5u + 13 + 2 * 20);
    gameStream s = parse(sent);
    EXPECT_TRUE(s.moves.size() == 2 && s.moves[1].index == 7 && s.moves[1].vert.texi == 2);
    int bad = 91;
    arrayListAddEnd(ter->movedVerts, &bad);
    sent = tick();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), 5u + 13); // a record with a vertex count of 0
    for (int c = 0; c < 7; c++)         // all in view
        for (int i = 0; i < 400; i++) {
            int v = (i * 13 + c) % 91;
            arrayListAddEnd(arrayListGet<veskTerrain>(terList, c)->movedVerts, &v);
        }
    sent = tick();
    s = parse(sent);
    EXPECT_TRUE(sent.size() >= 5 && s.moves.size() == 2800 && s.chunkUpdateRecords > 7);
}

// Against a slow reference: whatever the view radius, a client gets exactly the changed
// entities of the chunks it sees, in list order, whether few chunks are looked up or the
// whole list of changes is scanned.
TEST_F(streaming, EachClientGetsExactlyTheChangesInItsViewInListOrder) {
    std::mt19937 rng(99);
    std::vector<veskGravity*> ents;
    for (int i = 0; i < 300; i++) {
        int cx = int(rng() % 11) - 5, cy = int(rng() % 11) - 5;
        ents.push_back(addEntity(cx, cy));
    }
    for (int radius : {1, 2, 4, 11}) {
        avatar()->chunkCoords[0] = avatar()->chunkCoordsOld[0] = int(rng() % 5) - 2;
        avatar()->chunkCoords[1] = avatar()->chunkCoordsOld[1] = int(rng() % 5) - 2;
        pro->terRadius = radius;
        std::vector<int> expected;
        for (size_t i = 0; i < ents.size(); i++) {
            ents[i]->locChanged = rng() % 3 == 0;
            ents[i]->rotChanged = rng() % 3 == 0;
            int dx = ents[i]->chunkCoords[0] - avatar()->chunkCoords[0];
            int dy = ents[i]->chunkCoords[1] - avatar()->chunkCoords[1];
            bool changed = ents[i]->locChanged || ents[i]->rotChanged;
            if (changed && terRadius(dx, dy) < radius) expected.push_back(int(i) + 1);
        }
        std::vector<int> got;
        for (const entUpdate& u : parse(tick()).ents)
            got.push_back(u.id);
        EXPECT_EQ(got, expected) << radius;
    }
}

// Against a slow reference: after a move of any length, the chunks that came into view are
// those on the view's outer ring that were beyond it before, in list order.
TEST_F(streaming, TheRingOfNewChunksMatchesAScanOfTheWorld) {
    std::mt19937 rng(7);
    for (int i = 0; i < 600; i++) // a world grown in no particular order
        checkAndSpawn(terList, int(rng() % 25) - 12, int(rng() % 25) - 12, terScale, terEdge);
    for (int move = 0; move < 25; move++) {
        int* now = avatar()->chunkCoords;
        int* old = avatar()->chunkCoordsOld;
        old[0] = now[0];
        old[1] = now[1];
        now[0] += int(rng() % 5) - 2;
        now[1] += int(rng() % 5) - 2;
        pro->terRadius = int(rng() % 40) - 2;
        std::vector<std::pair<int, int>> expected;
        for (int i = 0; i < arrayListGetLength(terList); i++) {
            const int* c = arrayListGet<veskTerrain>(terList, i)->chunkCoords;
            int newR = terRadius(c[0] - now[0], c[1] - now[1]);
            int oldR = terRadius(c[0] - old[0], c[1] - old[1]);
            if (newR == pro->terRadius - 1 && oldR > newR) expected.push_back({c[0], c[1]});
        }
        std::vector<std::pair<int, int>> got;
        for (const chunkRec& c : parse(tick()).chunks)
            got.push_back({c.cx, c.cy});
        EXPECT_EQ(got, expected) << move;
    }
}
