// The session stage machine driven through time with a controllable clock: resends of
// the key, the batches and the end mark, the abort at the fourth time-out, polls in the
// game and the disconnect that follows silence.
#include "sessionTest.h"

struct handshake : sessionTest {
    void ack(int times = 1) {
        for (int i = 0; i < times; i++)
            dispatch(&lb, sessionMsg(coUpdate, pro->key));
    }
    // What `ms` milliseconds of the tick's session rule send, until the session ends.
    datagrams tickFor(int ms) {
        datagrams got;
        for (int t = 0; t < ms && pro->stage != psNotConn; t += 50) {
            fakeNow += 50;
            (pro->stage == psGame ? ticlyOutGame : ticlyTimeOut)(pro);
            for (bytes& d : clientDrain(&lb, 0))
                got.push_back(d);
        }
        return got;
    }
    void walk() {
        pro->keyMapBuf[skmWalkForward] = 1;
        avatar()->tempVect[2] = 1;
    }
    bool stopped() { return pro->keyMapBuf[skmWalkForward] == 0 && avatar()->tempVect[2] == 0; }
};

TEST_F(handshake, SilentLoginGetsTheKeyFourTimesThenIsAbortedAndStopped) {
    bytes key = loginAlice(0, psKeyWait);
    ASSERT_EQ(key.size(), 25u);
    walk();
    for (uint32_t at : {1050u, 2100u, 3150u}) {
        EXPECT_EQ(tickFor(int(at - fakeNow)), datagrams{key});
        EXPECT_EQ(fakeNow, at);
    }
    EXPECT_TRUE(tickFor(5000).empty());
    EXPECT_EQ(fakeNow, 4200u);
    EXPECT_TRUE(stopped());
    EXPECT_EQ(capturedLog.back(), aboutAlice("Connection Aborted. Stage: (1)"));
}

// With no chunk in view the entity batch goes at once; each stage resends its datagram after
// a second of silence. In the game a talking player is polled about once a second, and one
// silent for three seconds is disconnected, walking no further, and may log in again.
TEST_F(handshake, EachStageResendsAndInTheGameSilenceIsPolledThenDisconnected) {
    loginAlice(0, psKeyWait);
    ack(2); // the key's ack sends nothing; with no chunks the entity batch goes at once
    datagrams ents = clientDrain(&lb, 20);
    ASSERT_EQ(ents.size(), 1u);
    EXPECT_EQ(ents[0].size(), 45u);
    EXPECT_EQ(tickFor(1100), ents);
    ack();
    EXPECT_EQ(clientDrain(&lb, 20), datagrams{{soUpdate}});
    EXPECT_EQ(tickFor(1100), datagrams{{soUpdate}});
    ack();
    EXPECT_EQ(pro->stage, psGame);
    EXPECT_TRUE(clientDrain(&lb, 20).empty());
    int polls = 0;
    for (int i = 0; i < 10; i++) { // a game tick every half second
        for (bytes& d : tickFor(500))
            polls += d == bytes{soUpdate};
        dispatch(&lb, tic());
    }
    EXPECT_EQ(pro->stage, psGame);
    EXPECT_GE(polls, 4);
    EXPECT_LE(polls, 6);
    walk();
    EXPECT_EQ(tickFor(3000), datagrams(3, {soUpdate}));
    EXPECT_EQ(std::vector<std::string>(capturedLog.end() - 2, capturedLog.end()),
              (std::vector<std::string>{aboutAlice("Connection Aborted [poll]"),
                                        aboutAlice("Disconnected")}));
    EXPECT_EQ(pro->stage, psNotConn);
    EXPECT_TRUE(stopped());
    EXPECT_EQ(send(loginMsg("alice", "", 3)).size(), 25u);
}

TEST_F(handshake, LostBatchIsResentFromTheSameChunk) {
    loginAlice(3, psKeyWait); // 19 chunks in view: 7 batches
    ack(2);
    datagrams first = clientDrain(&lb, 20);
    EXPECT_EQ(first.size(), 1u);
    EXPECT_EQ(pro->curCounter, 3);
    EXPECT_EQ(tickFor(1100), first);
    ack();
    EXPECT_EQ(pro->oldCounter, 3);
    EXPECT_EQ(pro->curCounter, 6);
}
