// World streaming: batches and per-tick blocks that would overflow the buffer split so that
// none exceeds 12000 bytes, losing nothing.

#include <array>

#include "bytes.h"
#include "sessionTest.h"

struct streaming : sessionTest {
    void SetUp() override {
        sessionTest::SetUp();
        loginAlice(0, psGame); // her free mover 0 in chunk (0, 0); the clock stands still
    }
    veskGravity* addEntity(int cx, int cy) {
        const float at[3] = {1.0f, 0.51f, 0};
        veskGravity* g = addDefaultEntity(world.entList, 1, at)->gravMem;
        g->chunkCoords[0] = cx;
        g->chunkCoords[1] = cy;
        return g;
    }
};

TEST_F(streaming, BatchesAndThousandsOfUpdatesSplitLosingNone) {
    for (int i = 0; i < 700; i++)
        addEntity(0, 0)->locChanged = 1;
    retireEntity(world.entList, arrayListGet<veskEntity>(
                                    world.entList, 100)); // its account was removed: never sent
    sendEnts(pro);
    EXPECT_EQ(clientRecv(&lb).size(), 1u + 272 * 44);
    sendEnts(pro);
    bytes second = clientRecv(&lb);
    byteReader r = makeReader(second.data() + 1, 4);
    EXPECT_EQ(readIntBE(&r), 273);
    auto chunkOf = [](int i) { return std::array<int, 2>{i % 7 - 3, i % 5 - 2}; };
    for (int i = 0; i < 700; i++) // now over 35 chunks, some beyond the view
        memcpy(arrayListGet<veskEntity>(world.entList, i + 1)->gravMem->chunkCoords,
               chunkOf(i).data(), 8);
    embedSpawnTer(world.terList, 2, 0, 0, options.terScale, options.terEdge);
    for (int c = 0; c < 7; c++)
        for (int i = 0; i < 400; i++) {
            int v = (i * 13 + c) % 91;
            veskTerrain* ter = arrayListGet<veskTerrain>(world.terList, c);
            ter->verts[v].texi = i;
            noteMovedVert(ter, v, 0);
        }
    datagrams sent = tick();
    gameStream s = parse(sent);
    ASSERT_TRUE(sent.size() >= 5 && s.moves.size() == 2800);
    std::vector<int> expected, ids;
    for (int i = 0; i < 700; i++)
        if (i != 99 && terRadius(chunkOf(i)[0], chunkOf(i)[1]) < 3) expected.push_back(i + 1);
    for (const entUpdate& u : s.ents)
        ids.push_back(u.id);
    EXPECT_EQ(ids, expected);
    EXPECT_GT(s.chunkUpdateRecords, 7);
    EXPECT_EQ(s.moves[2799].index, (399 * 13 + 6) % 91);
    EXPECT_EQ(s.moves[2799].vert.texi, 399);
}

// A handshake's terrain batches carry the chunks in view in list order, three to a batch,
// whatever the world's size and order: compared with a scan of the whole list.
TEST_F(streaming, TerrainBatchesHoldTheChunksInViewInListOrder) {
    std::vector<std::pair<int, int>> cells;
    for (int x = -6; x <= 6; x++)
        for (int y = -6; y <= 6; y++)
            if (terRadius(x, y) <= 6) cells.push_back({x, y});
    for (size_t i = 0; i < cells.size(); i++) // a list order unlike the world's layout
        std::swap(cells[i], cells[(i * 7919) % cells.size()]);
    for (auto [x, y] : cells)
        appendChunk(world.terList,
                    initTerrain(options.terEdge, x, y, options.terScale / float(options.terEdge)));
    const int total = chunkCount(world.terList);
    ASSERT_EQ(total, 127);
    const int places[][2] = {{0, 0}, {5, -2}, {9, 9}};
    for (const int* at : places)
        for (int radius : {0, 1, 2, 4, 7, 20}) {
            avatar()->chunkCoords[0] = at[0];
            avatar()->chunkCoords[1] = at[1];
            pro->terRadius = radius;
            std::vector<std::pair<int, int>> expected, sent;
            for (int i = 0; i < total; i++) {
                const int* c = arrayListGet<veskTerrain>(world.terList, i)->chunkCoords;
                if (terRadius(c[0] - at[0], c[1] - at[1]) < radius)
                    expected.push_back({c[0], c[1]});
            }
            pro->curCounter = 0;
            for (int batch = 0; batch < 100 && pro->curCounter < total; batch++) {
                initSendTers(pro);
                bytes d = clientRecv(&lb);
                if (d == bytes{soInitTer, 0, 0, 0, 0}) continue; // the last batch may be empty
                gameStream s = parse({d});
                EXPECT_LE(s.chunks.size(), 3u);
                for (const chunkRec& c : s.chunks)
                    sent.push_back({c.cx, c.cy});
            }
            EXPECT_EQ(pro->curCounter, total);
            EXPECT_EQ(sent, expected) << "radius " << radius << " at " << at[0] << ", " << at[1];
        }
}

// Chunks the world grows inside a far-seeing client's view reach it once, in the tick they
// are made; one made beyond its view does not.
TEST_F(streaming, ChunksMadeInsideAWideViewAreSentOnceInTheirTick) {
    embedSpawnTer(world.terList, 4, 0, 0, options.terScale, options.terEdge);
    pro->terRadius = 8;
    tick(); // what the login made is behind us
    checkAndSpawn(world.terList, 5, 0, options.terScale, options.terEdge);
    checkAndSpawn(world.terList, 0, 9, options.terScale, options.terEdge);
    gameStream s = parse(tick());
    ASSERT_EQ(s.chunks.size(), 1u);
    EXPECT_EQ(s.chunks[0].cx, 5);
    EXPECT_EQ(s.chunks[0].cy, 0);
    EXPECT_TRUE(parse(tick()).chunks.empty());
}

// A player who moves into the next chunk is sent the chunks that came into view: the ring
// at the edge of the view that was beyond it, 2 radius - 1 chunks, down to a view of one.
TEST_F(streaming, AMoveIntoTheNextChunkBringsTheRingThatCameIntoView) {
    embedSpawnTer(world.terList, 5, 0, 0, options.terScale, options.terEdge);
    tick(); // what the login made is behind us
    for (int radius : {1, 2, 3}) {
        pro->terRadius = radius;
        avatar()->chunkCoordsOld[0] = -1; // it came from chunk (-1, 0)
        gatherTickChanges();
        ticlyOutGame(pro);
        forgetTickChanges();
        EXPECT_EQ(parse(clientDrain(&lb, 5)).chunks.size(), size_t(2 * radius - 1)) << radius;
    }
}

// A block whose head no longer fits what is left of a datagram starts a fresh one: the
// datagram so far is sent whole, and so are the chunks after it.
TEST_F(streaming, ABlockHeadThatDoesNotFitStartsAFreshDatagram) {
    embedSpawnTer(world.terList, 2, 0, 0, options.terScale, options.terEdge);
    byteWriter w = newDatagram();
    putBytes(&w, bytes(bufSize - 3, 0).data(), bufSize - 3);
    sendNewChunks(pro, &w);
    ASSERT_FALSE(w.overflow);
    sendDatagram(&pro->profAddr, pro->addrLen, &w);
    datagrams sent = clientDrain(&lb, 5);
    ASSERT_EQ(sent.size(), 4u); // three chunks fit a datagram
    EXPECT_EQ(sent[0].size(), size_t(bufSize - 3));
    EXPECT_EQ(parse(datagrams(sent.begin() + 1, sent.end())).chunks.size(), 7u);
}
