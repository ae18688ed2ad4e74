// The game tick inside the process: the datagrams of a tick served in turn per sender
// address, a flood losing only its own.
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
    long long droppedBefore = traffic.totals.dropped;
    wakeUps(&flood, 600, &other); // more than one sender's share of a tick
    tick();
    EXPECT_EQ(clientDrain(&flood, 20).size(), size_t(options.maxPerSenderPerTick));
    EXPECT_EQ(clientDrain(&other, 20).size(), 1u);
    EXPECT_EQ(traffic.totals.dropped - droppedBefore, 600 - options.maxPerSenderPerTick);
    // A clock that moves a millisecond whenever it is read: the budget runs out early,
    // and still the single sender is served, in the first round.
    loop.clock = [] { return fakeNow++; };
    wakeUps(&flood, 300, &other);
    tick();
    size_t floodServed = clientDrain(&flood, 20).size();
    EXPECT_LT(floodServed, 100u);
    EXPECT_EQ(clientDrain(&other, 20).size(), 1u);
    EXPECT_EQ(traffic.totals.dropped - droppedBefore,
              600 - options.maxPerSenderPerTick + 300 - long(floodServed));
    close(flood.client);
    close(other.client);
}
