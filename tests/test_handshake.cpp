// The session stage machine driven through time with a controllable clock: resends of
// the key, the batches and the end mark, the abort at the fourth time-out, polls in the
// game and the disconnect that follows silence.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "testUtil.h"
#include "veskServer.h"
#include "wireParse.h"

namespace {

using bytes = std::vector<unsigned char>;

struct handshake : testing::Test {
    loopback lb;
    quietTrace quiet;
    veskProfile* pro = nullptr;

    void SetUp() override {
        captureLog();
        useFakeClock(100000);
        openLoopback(&lb);
    }
    void TearDown() override {
        closeLoopback(&lb);
        freeLists();
        useRealClock();
    }
    // An account steering an unplaced free mover, so that the world can stay empty.
    void loginWith(int worldRadius, int viewRadius) {
        freshLists(worldRadius);
        veskProfile* p = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
        strcpy(reinterpret_cast<char*>(p->username), "alice");
        strcpy(reinterpret_cast<char*>(p->password), "pw");
        const float at[3] = {5, 1, 5};
        p->entity = addDefaultEntity(entList, 1, at)->globalId;
        arrayListAddEndPointer(profList, p);
        dispatch(&lb, loginMsg("alice", "pw", viewRadius));
        pro = arrayListGet<veskProfile>(profList, 0);
        clientDrain(&lb, 20);
        capturedLog.clear();
    }
    void ack() { dispatch(&lb, sessionMsg(coUpdate, pro->key)); }
    // Runs the per-tick session rule for `ms` milliseconds of 50 ms ticks.
    std::vector<bytes> tickFor(int ms) {
        std::vector<bytes> got;
        for (int t = 0; t < ms; t += 50) {
            fakeNow += 50;
            if (pro->stage == psGame)
                ticlyOutGame(pro);
            else if (pro->stage != psNotConn)
                ticlyTimeOut(pro);
            for (bytes& d : clientDrain(&lb, 0))
                got.push_back(d);
        }
        return got;
    }
};

TEST_F(handshake, SilentLoginGetsTheKeyFourTimesThenIsAborted) {
    loginWith(0, 3);
    std::vector<uint32_t> resentAt;
    for (int t = 0; t < 5000 && pro->stage != psNotConn; t += 50) {
        fakeNow += 50;
        ticlyTimeOut(pro);
        for (bytes& d : clientDrain(&lb, 0)) {
            EXPECT_EQ(d.size(), 25u);
            EXPECT_EQ(memcmp(d.data() + 1, pro->key, 16), 0); // the same key again
            resentAt.push_back(fakeNow - 100000);
        }
    }
    ASSERT_EQ(resentAt, (std::vector<uint32_t>{1050, 2100, 3150}));
    EXPECT_EQ(pro->stage, psNotConn);
    EXPECT_EQ(fakeNow - 100000, 4200u); // just after 4 s of silence
    EXPECT_TRUE(logHas("Connection Aborted. Stage: (1)"));
    EXPECT_EQ(pro->failCount, 4);
}

TEST_F(handshake, WholeRoadWithAnEmptyWorld) {
    loginWith(0, 3);
    ack();
    EXPECT_TRUE(logHas("Log In: Completed + Confirmed"));
    EXPECT_EQ(pro->stage, psTerWait);
    EXPECT_TRUE(clientDrain(&lb, 20).empty()); // nothing is sent for the key's ack
    ack();
    EXPECT_TRUE(logHas("doneSendingChunks"));
    EXPECT_EQ(pro->stage, psEntWait);
    auto ents = clientDrain(&lb, 20);
    ASSERT_EQ(ents.size(), 1u); // the first entity batch goes out at once
    std::vector<entRec> recs;
    ASSERT_TRUE(parseBulkEnts(ents[0], &recs, nullptr));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].id, pro->entity);
    ack();
    EXPECT_TRUE(logHas("doneSendingEnts"));
    EXPECT_EQ(pro->stage, psCapWait);
    EXPECT_EQ(clientDrain(&lb, 20), std::vector<bytes>{bytes{soUpdate}});
    ack();
    EXPECT_TRUE(logHas("doneSendingCap"));
    EXPECT_EQ(pro->stage, psGame);
    EXPECT_TRUE(clientDrain(&lb, 20).empty());
}

TEST_F(handshake, LostBatchIsResentFromTheSameChunk) {
    loginWith(3, 3); // 19 chunks, all in view: 7 batches
    ack();
    ack();
    auto first = clientDrain(&lb, 20);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(pro->curCounter, 3);
    auto resent = tickFor(1100);
    ASSERT_EQ(resent.size(), 1u);
    EXPECT_EQ(resent[0], first[0]);
    EXPECT_EQ(pro->failCount, 1);
    ack(); // the client heard it this time
    EXPECT_EQ(pro->failCount, 0);
    EXPECT_EQ(pro->oldCounter, 3);
    EXPECT_EQ(pro->curCounter, 6);
}

TEST_F(handshake, EntityStageResendsAndCapMarkResends) {
    loginWith(0, 3);
    ack();
    ack();
    clientDrain(&lb, 20);
    auto again = tickFor(1100);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0][0], soInitEnt);
    ack(); // all entities gone through: to the cap stage
    clientDrain(&lb, 20);
    EXPECT_EQ(pro->stage, psCapWait);
    auto cap = tickFor(1100);
    EXPECT_EQ(cap, std::vector<bytes>{bytes{soUpdate}});
    EXPECT_TRUE(logHas("sendCap prof"));
}

TEST_F(handshake, SilentPlayerIsPolledThenDisconnected) {
    loginWith(0, 3);
    for (int i = 0; i < 4; i++)
        ack();
    ASSERT_EQ(pro->stage, psGame);
    clientDrain(&lb, 20);
    arrayListGet<veskEntity>(entList, pro->entity)->gravMem->tempVect[2] = 1;
    pro->keyMapBuf[0] = 1;
    auto got = tickFor(1000); // the first tick polls at once: no poll was ever sent
    EXPECT_EQ(got, std::vector<bytes>{bytes{soUpdate}});
    EXPECT_EQ(pro->failCount, 1);
    got = tickFor(150); // silence past a second: a failure each tick, the fourth ends it
    EXPECT_EQ(got.size(), 2u);
    EXPECT_EQ(pro->stage, psNotConn);
    ASSERT_GE(capturedLog.size(), 2u);
    EXPECT_EQ(capturedLog[capturedLog.size() - 2], "Connection Aborted [poll]");
    EXPECT_EQ(capturedLog.back(), "Disconnected");
    EXPECT_EQ(pro->keyMapBuf[0], 0);
    EXPECT_EQ(arrayListGet<veskEntity>(entList, pro->entity)->gravMem->tempVect[2], 0.0f);
}

TEST_F(handshake, TalkingPlayerIsPolledOnceASecondAndStaysConnected) {
    loginWith(0, 3);
    for (int i = 0; i < 4; i++)
        ack();
    clientDrain(&lb, 20);
    int polls = 0;
    for (int second = 0; second < 5; second++) {
        for (bytes& d : tickFor(500))
            polls += d == bytes{soUpdate};
        dispatch(&lb, sessionMsg(coGameTic, pro->key));
        for (bytes& d : tickFor(500))
            polls += d == bytes{soUpdate};
        dispatch(&lb, sessionMsg(coGameTic, pro->key));
    }
    EXPECT_EQ(pro->stage, psGame);
    EXPECT_GE(polls, 4);
    EXPECT_LE(polls, 6);
}

TEST_F(handshake, AbortedHandshakeStopsTheEntity) {
    loginWith(0, 3);
    ack();
    pro->keyMapBuf[0] = 1;
    arrayListGet<veskEntity>(entList, pro->entity)->gravMem->tempVect[2] = 1;
    tickFor(4300);
    EXPECT_EQ(pro->stage, psNotConn);
    EXPECT_TRUE(logHas("Connection Aborted. Stage: (2)"));
    EXPECT_EQ(arrayListGet<veskEntity>(entList, pro->entity)->gravMem->tempVect[2], 0.0f);
}

TEST_F(handshake, DisconnectEndsTheSessionWithoutAReply) {
    loginWith(0, 3);
    dispatch(&lb, sessionMsg(coDisconnect, pro->key));
    EXPECT_EQ(pro->stage, psNotConn);
    EXPECT_TRUE(logHas("Disconnected"));
    EXPECT_TRUE(clientDrain(&lb, 20).empty());
    EXPECT_EQ(keyToProf(pro->key), nullptr);
    EXPECT_EQ(clientDrain(&lb, 0).size(), 0u);
    dispatch(&lb, loginMsg("alice", "pw", 3)); // and may log in again
    EXPECT_EQ(pro->stage, psKeyWait);
}

} // namespace
