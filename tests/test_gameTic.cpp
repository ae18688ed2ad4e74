// The game tick inside the process: held keys turned into requests and free movers moved,
// the datagrams of a tick served in turn per sender address, and game input that counts
// only in the game.
#include "sessionTest.h"

struct gameTick : sessionTest {
    veskGravity* g = nullptr;
    void SetUp() override {
        sessionTest::SetUp();
        loginAlice(4, psGame);
        g = avatar();
    }
    void press(std::vector<std::pair<int, int>> e) {
        clientSend(&lb, tic() + keys(int(e.size()), e));
    }
    std::vector<float> at() { return {g->position[0], g->position[2]}; }
};

TEST_F(gameTick, FreeMoverFollowsItsKeysTakenInArrivalOrderAndStopsAtTheDisconnect) {
    using xz = std::vector<float>;
    g->position[0] = 0.5f;
    g->position[2] = 0.5f;
    press({{skmWalkForward, 1}, {skmStrafeLeft, 1}, {skmHotBar2, 1}, {skmHotBar5, 1}});
    EXPECT_EQ(parse(tick()).ents.at(0).pos[0], -0.5f);
    EXPECT_EQ(at(), (xz{-0.5f, 1.5f}));
    EXPECT_EQ(profEntity(pro)->editType, 5); // the highest hot-bar key held
    press({{skmWalkBackwards, 1}});          // both waiting: taken in one tick, in order
    press({{skmStrafeLeft, 2}, {skmRotateleft, 1}});
    tick();
    EXPECT_EQ(at(), (xz{-0.5f, 1.5f}));                // forward and backwards cancel
    EXPECT_EQ(g->rots[1], float(0.15707963267948966)); // a twentieth of a half turn
    press({{skmWalkBackwards, 2}, {skmRotateleft, 2}});
    tick();
    xz moving = at();
    EXPECT_NE(moving, (xz{-0.5f, 1.5f}));
    clientSend(&lb, sessionMsg(coDisconnect, pro->key));
    tick(); // the disconnect stops it in the same tick
    EXPECT_EQ(at(), moving);
    EXPECT_EQ(pro->stage, psNotConn);
}

// A client of the server's endpoint on a loopback address of its own.
static loopback senderAt(const loopback& server, const char* ip) {
    loopback s = server;
    s.client = loopbackSocket(&s.clientAddr, ip);
    return s;
}

// `count` wake-ups from the flood's address, then a single one from the other's.
static void wakeUps(loopback* flood, int count, loopback* other) {
    for (int i = 0; i < count; i++)
        clientSend(flood, {coWakeup});
    clientSend(other, {coWakeup});
    usleep(20000);
}

TEST_F(gameTick, EverySenderIsServedInTurnAndAFloodLosesOnlyItsOwnDatagrams) {
    loopback flood = senderAt(lb, "127.0.0.2");
    loopback other = senderAt(lb, "127.0.0.3");
    long long droppedBefore = traffic.dropped;
    wakeUps(&flood, 600, &other); // more than one sender's share of a tick
    tick();
    EXPECT_EQ(clientDrain(&flood, 20).size(), size_t(maxPerSenderPerTick));
    EXPECT_EQ(clientDrain(&other, 20).size(), 1u);
    EXPECT_EQ(traffic.dropped - droppedBefore, 600 - maxPerSenderPerTick);
    // A clock that moves a millisecond whenever it is read: the budget runs out early,
    // and still the single sender is served, in the first round.
    clockSource = [] { return fakeNow++; };
    wakeUps(&flood, 300, &other);
    tick();
    size_t floodServed = clientDrain(&flood, 20).size();
    EXPECT_LT(floodServed, 100u);
    EXPECT_EQ(clientDrain(&other, 20).size(), 1u);
    EXPECT_EQ(traffic.dropped - droppedBefore, 600 - maxPerSenderPerTick + 300 - long(floodServed));
    close(flood.client);
    close(other.client);
}

TEST_F(gameTick, WalkKeysDuringTheHandshakeMoveNothingAndDoNotKeepItAlive) {
    pro->stage = psKeyWait;
    pro->lastRecv = fakeNow;
    setveskGravity(g, terList); // a walker set down on the ground
    profEntity(pro)->ruleSet = 0;
    float z = g->position[2];
    for (int i = 0; i < 100 && pro->stage != psNotConn; i++) { // 5 s of keys and ticks
        press({{skmWalkForward, 1}});
        fakeNow += 50;
        tick();
        EXPECT_NEAR(g->position[2], z, 1e-3) << i;
    }
    EXPECT_EQ(pro->stage, psNotConn);
    EXPECT_EQ(std::ranges::count(capturedLog, aboutAlice("Connection Aborted. Stage: (1)")), 1);
}
