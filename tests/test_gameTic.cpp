// The game tick end to end inside the process: the datagrams taken each tick, held keys
// turned into requests, free movers moved, and the in-game stream of that same tick.
#include <unistd.h>

#include "sessionTest.h"

struct tick : sessionTest {
    veskGravity* g = nullptr;
    void SetUp() override {
        sessionTest::SetUp();
        loginAlice(4, psGame);
        g = avatar();
    }
    void press(entries e) { clientSend(&lb, tic() + keys(int(e.size()), e)); }
    gameStream step() { // one tick, and what the client received in it
        usleep(2000);
        fakeNow += 50;
        gameTic();
        return parse(clientDrain(&lb, 5));
    }
    std::vector<float> at() { return {g->position[0], g->position[2]}; }
};

TEST_F(tick, FreeMoverFollowsItsKeysTakenInArrivalOrder) {
    using xz = std::vector<float>;
    g->position[0] = g->position[2] = 0.5f;
    press({{skmWalkForward, 1}, {skmStrafeRight, 1}, {skmHotBar2, 1}, {skmHotBar5, 1}});
    EXPECT_EQ(step().ents.at(0).pos[0], 1.5f);
    EXPECT_TRUE(at() == (xz{1.5f, 1.5f}) && profEntity(pro)->editType == 5);
    step(); // held keys keep acting without a datagram
    EXPECT_EQ(at(), (xz{2.5f, 2.5f}));
    press({{skmWalkBackwards, 1}}); // both waiting: taken in one tick, in order
    press({{skmWalkBackwards, 2}, {skmStrafeRight, 2}, {skmStrafeLeft, 1}});
    step();
    EXPECT_EQ(at(), (xz{1.5f, 3.5f}));
    press({{skmWalkBackwards, 1}, {skmStrafeLeft, 2}, {skmRotateleft, 1}});
    for (int i = 0; i < 20; i++) { // opposite keys cancel; only the turn is streamed
        gameStream s = step();
        EXPECT_TRUE(s.ents.size() == 1 && s.ents[0].hasRot && !s.ents[0].hasLoc);
    }
    EXPECT_NEAR(g->rots[1], 3.14159265f, 1e-5);
    EXPECT_EQ(at(), (xz{1.5f, 3.5f}));
    press({{skmWalkBackwards, 2}, {skmRotateleft, 2}});
    step();
    clientSend(&lb, sessionMsg(coDisconnect, pro->key));
    xz moving = at();
    step();
    EXPECT_TRUE(at() == moving && pro->stage == psNotConn);
}

// Two senders on their own loopback addresses: one floods, one sends a single wake-up.
struct twoSenders {
    loopback flood, other;
    twoSenders(const loopback& server) {
        flood.serverAddr = other.serverAddr = server.serverAddr;
        flood.client = loopbackSocket(&flood.clientAddr, "127.0.0.2");
        other.client = loopbackSocket(&other.clientAddr, "127.0.0.3");
    }
    ~twoSenders() {
        close(flood.client);
        close(other.client);
    }
    void send(int floodCount) {
        for (int i = 0; i < floodCount; i++)
            clientSend(&flood, {coWakeup});
        clientSend(&other, {coWakeup});
        usleep(20000);
    }
};

TEST_F(tick, EverySenderIsServedInTurnAndAFloodLosesOnlyItsOwnDatagrams) {
    twoSenders s(lb);
    long long droppedBefore = droppedDatagrams;
    s.send(600); // more than one sender's share of a tick
    step();
    EXPECT_EQ(clientDrain(&s.flood, 20).size(), size_t(maxPerSenderPerTick));
    EXPECT_EQ(clientDrain(&s.other, 20).size(), 1u);
    EXPECT_EQ(droppedDatagrams - droppedBefore, 600 - maxPerSenderPerTick);

    // A clock that moves a millisecond whenever it is read: the budget runs out early,
    // and still the single sender is served, in the first round.
    clockSource = [] { return fakeNow++; };
    s.send(300);
    step();
    size_t floodServed = clientDrain(&s.flood, 20).size();
    EXPECT_LT(floodServed, 100u);
    EXPECT_EQ(clientDrain(&s.other, 20).size(), 1u);
    EXPECT_EQ(droppedDatagrams - droppedBefore,
              600 - maxPerSenderPerTick + 300 - long(floodServed));
}

TEST_F(tick, WalkKeysDuringTheHandshakeMoveNothingAndDoNotKeepItAlive) {
    pro->stage = psKeyWait;
    pro->lastRecv = fakeNow;
    setveskGravity(g, terList); // a walker set down on the ground
    profEntity(pro)->ruleSet = 0;
    std::vector<float> before = at();
    for (int i = 0; i < 100 && pro->stage != psNotConn; i++) { // 5 s of keys and ticks
        press({{skmWalkForward, 1}});
        usleep(1000);
        fakeNow += 50;
        gameTic();
        EXPECT_NEAR(at()[1], before[1], 1e-3) << i;
    }
    EXPECT_EQ(pro->stage, psNotConn);
    EXPECT_TRUE(logHas("Connection Aborted. Stage: (1)"));
}

TEST_F(tick, CrossingIntoTheNextChunkStreamsTheRingAndEditsGoOutOnce) {
    g->position[0] = 0.0f;
    g->position[2] = 7.0f;
    press({{skmWalkForward, 1}});
    EXPECT_TRUE(step().chunks.empty()); // z 8 < 0.999 * 8.66: still inside
    gameStream s = step();
    EXPECT_TRUE(g->chunkCoords[1] == 1 && s.ents.at(0).cy == 1 && s.chunks.size() == 5);
    EXPECT_NEAR(g->position[2], 9.0f - 17.320508f, 1e-5);
    pro->keyMapBuf[skmWalkForward] = 0;
    veskTerrain* ter = arrayListGet<veskTerrain>(terList, 0);
    int v = 12;
    ter->verts[v].loc[1] = 0.5f;
    ter->shapeVersion++;
    arrayListAddEnd(ter->movedVerts, &v);
    for (int i = 0; i < 2; i++)
        g->chunkCoords[i] = g->chunkCoordsOld[i] = ter->chunkCoords[i];
    s = step();
    EXPECT_TRUE(s.moves.size() == 1 && s.moves[0].index == 12 && s.moves[0].vert.loc[1] == 0.5f);
    EXPECT_TRUE(arrayListGetLength(ter->movedVerts) == 0 && step().moves.empty());
}
