// The game tick end to end inside the process: one datagram per tick, held keys turned
// into requests, free movers moved, the in-game stream of that same tick, and the marks
// cleared at the end.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <unistd.h>

#include "testUtil.h"
#include "veskServer.h"
#include "wireParse.h"

namespace {

using bytes = std::vector<unsigned char>;

struct tick : testing::Test {
    loopback lb;
    quietTrace quiet;
    veskProfile* pro = nullptr;
    veskEntity* ent = nullptr;

    void SetUp() override {
        captureLog();
        useFakeClock(50000);
        freshLists(4);
        openLoopback(&lb);
        dispatch(&lb, newAccountMsg("alice", "pw"));
        dispatch(&lb, loginMsg("alice", "pw", 3));
        pro = arrayListGet<veskProfile>(profList, 0);
        pro->stage = psGame;
        pro->lastSent = fakeNow;
        ent = arrayListGet<veskEntity>(entList, pro->entity);
        ent->ruleSet = 1;
        ent->gravMem->chunkCoordsOld[0] = ent->gravMem->chunkCoords[0];
        clientDrain(&lb, 10);
    }
    void TearDown() override {
        closeLoopback(&lb);
        freeLists();
        useRealClock();
    }
    void send(const bytes& d) { clientSend(&lb, d); }
    void keys(std::initializer_list<std::pair<int, int>> entries) {
        bytes d = sessionMsg(coGameTic, pro->key);
        d.push_back(cosKey);
        appendInt(&d, int(entries.size()));
        for (auto [slot, action] : entries) {
            appendInt(&d, slot);
            d.push_back(uint8_t(action));
        }
        send(d);
    }
    // One tick; what the client received in it, decoded.
    gameStream step() {
        usleep(2000); // let loopback deliver what was sent
        fakeNow += 50;
        gameTic();
        gameStream s;
        for (const bytes& d : clientDrain(&lb, 5)) {
            if (d == bytes{soUpdate}) continue;
            std::string why;
            EXPECT_TRUE(parseGameDatagram(d, &s, &why)) << why;
        }
        return s;
    }
};

TEST_F(tick, FreeMoverMovesOneUnitPerHeldDirection) {
    veskGravity* g = ent->gravMem;
    g->position[0] = g->position[2] = 0.5f;
    keys({{skmWalkForward, 1}, {skmStrafeRight, 1}});
    gameStream s = step();
    EXPECT_EQ(g->position[0], 1.5f);
    EXPECT_EQ(g->position[2], 1.5f);
    ASSERT_EQ(s.ents.size(), 1u);
    EXPECT_TRUE(s.ents[0].hasLoc);
    EXPECT_EQ(s.ents[0].pos[0], 1.5f);
    EXPECT_EQ(g->locChanged, 0); // cleared at the end of the tick
    s = step();                  // held keys keep acting without a datagram
    EXPECT_EQ(g->position[2], 2.5f);
    EXPECT_EQ(s.ents.size(), 1u);
}

TEST_F(tick, OppositeKeysCancelAndNothingMoves) {
    keys({{skmWalkForward, 1}, {skmWalkBackwards, 1}});
    gameStream s = step();
    EXPECT_EQ(ent->gravMem->position[2], 5.0f);
    EXPECT_TRUE(s.ents.empty());
}

TEST_F(tick, WalkerRequestIsUnitStrengthAlongTheHeading) {
    ent->ruleSet = 0;
    keys({{skmWalkForward, 1}, {skmStrafeRight, 1}});
    step();
    EXPECT_NEAR(ent->gravMem->tempVect[0], 0.70710678f, 1e-6);
    EXPECT_NEAR(ent->gravMem->tempVect[2], 0.70710678f, 1e-6);
    EXPECT_EQ(ent->gravMem->tempVect[1], 0.0f);
    ent->gravMem->rots[1] = float(M_PI / 2);
    step(); // a quarter turn: forward is now -x, strafe-right +z
    EXPECT_NEAR(ent->gravMem->tempVect[0], -0.70710678f, 1e-6);
    EXPECT_NEAR(ent->gravMem->tempVect[2], 0.70710678f, 1e-6);
}

TEST_F(tick, RotatingForTwentyTicksTurnsHalfACircle) {
    keys({{skmRotateleft, 1}});
    int turned = 0;
    for (int i = 0; i < 20; i++) {
        gameStream s = step();
        if (s.ents.size() == 1 && s.ents[0].hasRot && !s.ents[0].hasLoc) turned++;
    }
    EXPECT_EQ(turned, 20);
    EXPECT_NEAR(ent->gravMem->rots[1], 3.14159265f, 1e-5);
    EXPECT_EQ(ent->gravMem->position[0], 5.0f);
}

TEST_F(tick, HighestHotBarKeyWins) {
    keys({{skmHotBar2, 1}, {skmHotBar5, 1}});
    step();
    EXPECT_EQ(ent->editType, 5);
}

TEST_F(tick, DatagramsWaitingAreTakenInOneTickInArrivalOrder) {
    keys({{skmWalkForward, 1}});
    keys({{skmWalkForward, 2}, {skmStrafeLeft, 1}});
    step(); // the release came after the press: only the strafe is held
    EXPECT_EQ(ent->gravMem->position[2], 5.0f);
    EXPECT_EQ(ent->gravMem->position[0], 4.0f);
}

TEST_F(tick, AFloodIsTakenAtMostSixtyFourDatagramsATick) {
    for (int i = 0; i < 100; i++)
        send({coWakeup});
    usleep(20000);
    fakeNow += 50;
    gameTic();
    EXPECT_EQ(clientDrain(&lb, 20).size(), 64u);
    fakeNow += 50;
    gameTic();
    EXPECT_EQ(clientDrain(&lb, 20).size(), 36u);
}

TEST_F(tick, InputCountsDuringTheHandshakeToo) {
    pro->stage = psTerWait;
    pro->lastRecv = fakeNow;
    keys({{skmWalkForward, 1}});
    step();
    EXPECT_EQ(ent->gravMem->position[2], 6.0f);
}

TEST_F(tick, DisconnectStopsAMovingFreeMoverInTheSameTick) {
    keys({{skmWalkForward, 1}});
    step();
    send(sessionMsg(coDisconnect, pro->key));
    step();
    EXPECT_EQ(ent->gravMem->position[2], 6.0f);
    step();
    EXPECT_EQ(ent->gravMem->position[2], 6.0f);
    EXPECT_EQ(pro->stage, psNotConn);
}

TEST_F(tick, FreeMoverCrossingIntoTheNextChunkStreamsTheNewRing) {
    ent->gravMem->position[0] = 0.0f;
    ent->gravMem->position[2] = 7.0f;
    keys({{skmWalkForward, 1}});
    gameStream s = step(); // z 8 < 0.999 * 8.66: still inside
    EXPECT_TRUE(s.chunks.empty());
    s = step(); // z 9: across the top side into chunk (0, 1)
    EXPECT_EQ(ent->gravMem->chunkCoords[1], 1);
    EXPECT_NEAR(ent->gravMem->position[2], 9.0f - 17.320508f, 1e-5);
    EXPECT_EQ(s.chunks.size(), 5u);
    ASSERT_EQ(s.ents.size(), 1u);
    EXPECT_EQ(s.ents[0].cy, 1);
}

TEST_F(tick, EditedVerticesAreStreamedOnceAndCleared) {
    veskTerrain* ter = arrayListGet<veskTerrain>(terList, 0);
    int v = 12;
    ter->verts[v].loc[1] = 0.5f;
    arrayListAddEnd(ter->movedVerts, &v);
    ent->gravMem->chunkCoords[0] = ter->chunkCoords[0];
    ent->gravMem->chunkCoords[1] = ter->chunkCoords[1];
    ent->gravMem->chunkCoordsOld[0] = ter->chunkCoords[0];
    ent->gravMem->chunkCoordsOld[1] = ter->chunkCoords[1];
    gameStream s = step();
    ASSERT_EQ(s.moves.size(), 1u);
    EXPECT_EQ(s.moves[0].index, 12);
    EXPECT_EQ(s.moves[0].vert.loc[1], 0.5f);
    EXPECT_EQ(arrayListGetLength(ter->movedVerts), 0);
    EXPECT_TRUE(step().moves.empty());
}

} // namespace
