// World streaming: batches and per-tick blocks that would overflow the buffer split so that
// none exceeds 12000 bytes, and what each client gets in a tick against a slow reference.
#include <algorithm>
#include <climits>
#include <random>

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
};

TEST_F(streaming, BatchesAndThousandsOfUpdatesSplitLosingNone) {
    for (int i = 0; i < 700; i++)
        addEntity(0, 0)->locChanged = 1;
    retireEntity(arrayListGet<veskEntity>(entList, 100)); // its account was removed: never sent
    sendEnts(pro);
    EXPECT_EQ(clientRecv(&lb).size(), 1u + 272 * 44);
    sendEnts(pro);
    EXPECT_EQ(buffToInt(clientRecv(&lb).data() + 1), 273);
    embedSpawnTer(terList, 2, 0, 0, terScale, terEdge);
    for (int c = 0; c < 7; c++)
        for (int i = 0; i < 400; i++) {
            int v = (i * 13 + c) % 91;
            veskTerrain* ter = arrayListGet<veskTerrain>(terList, c);
            ter->verts[v].texi = i;
            noteMovedVert(ter, v, 0);
        }
    datagrams sent = tick();
    gameStream s = parse(sent);
    ASSERT_TRUE(sent.size() >= 5 && s.ents.size() == 699 && s.moves.size() == 2800);
    for (int i = 0; i < 699; i++)
        EXPECT_EQ(s.ents[size_t(i)].id, i + 1 + (i >= 99));
    EXPECT_GT(s.chunkUpdateRecords, 7);
    EXPECT_EQ(s.moves[2799].index, (399 * 13 + 6) % 91);
    EXPECT_EQ(s.moves[2799].vert.texi, 399);
}

// Against a slow reference, on a world grown in no particular order with entities all
// over it: after a move of any length and with any view radius, a client gets exactly the
// changed entities of the chunks it sees and the chunks that came into view (those on
// the view's outer ring that were beyond it before), each in list order.
TEST_F(streaming, EachClientGetsExactlyWhatChangedInViewAndWhatCameIntoView) {
    std::mt19937 rng(7);
    auto near = [&](int spread) { return int(rng() % unsigned(2 * spread + 1)) - spread; };
    for (int i = 0; i < 600; i++)
        checkAndSpawn(terList, near(12), near(12), terScale, terEdge);
    for (int i = 0; i < 300; i++)
        addEntity(near(5), near(5));
    for (int move = 0; move < 25; move++) {
        int* now = avatar()->chunkCoords;
        int* old = avatar()->chunkCoordsOld;
        old[0] = now[0];
        old[1] = now[1];
        now[0] += near(2);
        now[1] += near(2);
        pro->terRadius = move ? near(20) + 18 : INT_MIN; // the least radius overflowed once
        std::vector<int> changed;
        for (int i = 1; i <= 300; i++) {
            veskGravity* g = arrayListGet<veskEntity>(entList, i)->gravMem;
            g->locChanged = rng() % 3 == 0;
            g->rotChanged = rng() % 3 == 0;
            const int* c = g->chunkCoords;
            bool inView = terRadius(c[0] - now[0], c[1] - now[1]) < pro->terRadius;
            if ((g->locChanged || g->rotChanged) && inView) changed.push_back(i);
        }
        std::vector<std::pair<int, int>> cameIn;
        for (int i = 0; i < arrayListGetLength(terList); i++) {
            const int* c = arrayListGet<veskTerrain>(terList, i)->chunkCoords;
            int newR = terRadius(c[0] - now[0], c[1] - now[1]);
            int oldR = terRadius(c[0] - old[0], c[1] - old[1]);
            if (newR + 1 == pro->terRadius && oldR > newR) cameIn.push_back({c[0], c[1]});
        }
        gameStream s = parse(tick());
        std::vector<std::pair<int, int>> gotChunks;
        for (const chunkRec& c : s.chunks)
            gotChunks.push_back({c.cx, c.cy});
        EXPECT_TRUE(std::ranges::equal(s.ents, changed, {}, &entUpdate::id)) << move;
        EXPECT_EQ(gotChunks, cameIn) << move;
    }
}
