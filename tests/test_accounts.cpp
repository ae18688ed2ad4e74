// Registration that forged senders cannot use up: pending accounts give way to newer ones
// while their address is unproven, and go after ten minutes, their entity given to the next
// player (the scripted game shows a creation confirmed by its handshake).
#include "sessionTest.h"

struct accounts : sessionTest {
    veskProfile* named(const char* name) {
        return accountNamed(reinterpret_cast<const unsigned char*>(name));
    }
};

// A thousand pending accounts at most: the oldest whose address is unproven gives way, the
// one whose session acknowledged its key never does; ten minutes unconfirmed and it goes,
// and its entity is the next player's (a session it had is told).
TEST_F(accounts, ThePoolOfPendingAccountsGivesWayOldestFirstAndForgetsAfterTenMinutes) {
    fakeNow = 1000;
    send(newAccountMsg("first", "pw"));
    send(newAccountMsg("second", "pw"));
    ASSERT_EQ(send(loginMsg("second", "pw", 3)).size(), 25u);
    send(sessionMsg(coUpdate, named("second")->key)); // the key came back: address proven
    ASSERT_EQ(named("second")->stage, psTerWait);
    int secondsEntity = named("second")->entity;
    for (int i = 2; i < 1000; i++)
        ASSERT_EQ(send(newAccountMsg("pending" + std::to_string(i), "pw")), bytes{soNewGood});
    fakeNow += 5 * 60000;
    EXPECT_EQ(send(newAccountMsg("newcomer", "pw")), bytes{soNewGood});
    EXPECT_EQ(named("first"), nullptr);
    EXPECT_NE(named("second"), nullptr);
    EXPECT_EQ(pendingAccounts().size(), 1000u);
    ASSERT_EQ(send(loginMsg("pending2", "pw", 3)).size(), 25u);
    int lostEntity = named("pending2")->entity;
    bytes told = sessionMsg(soDisconnect, named("pending2")->key);
    profDisconnect(named("second"));
    fakeNow += 5 * 60000;
    serveAccountRequests();               // the pending accounts of ten minutes ago go
    EXPECT_EQ(clientRecv(&lb, 20), told); // the session waiting for its key is told
    EXPECT_EQ(named("pending2"), nullptr);
    EXPECT_EQ(named("second"), nullptr);
    EXPECT_NE(named("newcomer"), nullptr);
    EXPECT_EQ(send(loginMsg("newcomer", "pw", 3)).size(), 25u);
    int reused = named("newcomer")->entity;
    EXPECT_TRUE(reused == lostEntity || reused == secondsEntity) << reused;
    EXPECT_EQ(entityCount(world.entList), 2);
}
