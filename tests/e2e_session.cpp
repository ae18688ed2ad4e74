// One client's whole road against the real binary in headless mode over loopback UDP:
// account, login, handshake, play, silence, disconnect, restart with the saved account.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <set>
#include <unistd.h>

#include "e2eUtil.h"
#include "testUtil.h"
#include "veskServer.h"
#include "wireParse.h"

namespace {

using bytes = std::vector<unsigned char>;

struct headlessServer : testing::Test {
    serverProc srv;
    udpClient cl;
    void SetUp() override {
        ASSERT_EQ(udpPortTaken(2300), 0);
        srv.dir = makeRunDir();
        openClient(&cl);
    }
    void start() {
        srv = spawnServer(srv.dir, true);
        ASSERT_TRUE(waitForOutput(srv, "entsLoaded", 20000)) << readFile(srv.out);
        ASSERT_TRUE(waitPortTaken(2300, 1, 5000));
    }
    void stop() {
        kill(srv.pid, SIGTERM);
        ASSERT_EQ(waitExit(&srv, 20000), 0);
    }
    void TearDown() override {
        closeClient(&cl);
        killServer(&srv);
    }
    // In-game datagrams until `ms` have passed, keeping the session alive.
    std::vector<gameStream> play(int ms, const bytes& keepAlive) {
        std::vector<gameStream> got;
        for (int t = 0; t < ms; t += 25) {
            if (t % 250 == 0) clientSendTo(&cl, keepAlive);
            bytes d = clientNext(&cl, 25);
            if (d.empty() || d == bytes{soUpdate}) continue;
            gameStream s;
            std::string why;
            EXPECT_TRUE(parseGameDatagram(d, &s, &why)) << why;
            got.push_back(s);
        }
        return got;
    }
};

// World position of an entity update, for comparing across chunk hand-overs.
void worldOf(const entUpdate& u, float* x, float* z) {
    float cx, cz;
    terToWorldNew(u.cx, u.cy, &cx, &cz, 10.0f);
    *x = cx + u.pos[0];
    *z = cz + u.pos[2];
}

TEST_F(headlessServer, WholeRoadOfOneClient) {
    writeProfile(srv.dir, "player", "secret", 0); // steers the default free mover
    start();
    ASSERT_EQ(request(&cl, {coWakeup}), bytes{soWakeup});
    ASSERT_EQ(request(&cl, newAccountMsg("alice", "pw")), bytes{soNewGood});
    ASSERT_EQ(request(&cl, newAccountMsg("alice", "pw")), bytes{soNewBad});

    ASSERT_TRUE(clientLogin(&cl, "player", "secret", 3));
    EXPECT_EQ(cl.entity, 0);
    std::vector<chunkRec> chunks;
    std::vector<entRec> ents;
    ASSERT_TRUE(clientHandshake(&cl, &chunks, &ents)) << readFile(srv.out);
    std::set<std::pair<int, int>> got, want;
    for (auto& c : chunks) {
        got.insert({c.cx, c.cy});
        EXPECT_EQ(c.verts.size(), 91u);
        EXPECT_EQ(c.faces.size(), 450u);
    }
    for (int x = -3; x <= 3; x++)
        for (int y = -3; y <= 3; y++)
            if (terRadius(x, y) < 3) want.insert({x, y});
    EXPECT_EQ(got, want);
    EXPECT_EQ(chunks.size(), 19u); // each exactly once
    ASSERT_GE(ents.size(), 1u);
    EXPECT_EQ(ents[0].id, 0);
    EXPECT_EQ(ents[0].pos[0], 5.0f);
    EXPECT_EQ(ents[0].scale, 2.0f);

    // Forward and strafe-right on a free mover: (1, 0, 1) a tick.
    clientSendTo(&cl, keyMsg(cl, {{skmWalkForward, 1}, {skmStrafeRight, 1}}));
    std::vector<gameStream> moving = play(600, sessionMsg(coGameTic, cl.key));
    clientSendTo(&cl, keyMsg(cl, {{skmWalkForward, 2}, {skmStrafeRight, 2}}));
    std::vector<entUpdate> ours;
    for (auto& s : moving)
        for (auto& u : s.ents)
            if (u.id == 0 && u.hasLoc) ours.push_back(u);
    ASSERT_GE(ours.size(), 6u);
    for (size_t i = 1; i < ours.size(); i++) {
        float x0, z0, x1, z1;
        worldOf(ours[i - 1], &x0, &z0);
        worldOf(ours[i], &x1, &z1);
        EXPECT_NEAR(x1 - x0, 1.0f, 1e-4) << i;
        EXPECT_NEAR(z1 - z0, 1.0f, 1e-4) << i;
        EXPECT_EQ(ours[i].pos[1], 1.0f);
        if (ours[i].cx == ours[i - 1].cx && ours[i].cy == ours[i - 1].cy) {
            EXPECT_EQ(ours[i].pos[0] - ours[i - 1].pos[0], 1.0f);
            EXPECT_EQ(ours[i].pos[2] - ours[i - 1].pos[2], 1.0f);
        }
    }
    // The free mover walked out of the first chunks: rings of new chunks arrived.
    size_t newChunks = 0;
    for (auto& s : moving)
        newChunks += s.chunks.size();
    EXPECT_GT(newChunks, 0u);

    // Turning: rotation sub-records a ninth of pi/20 apart... exactly pi/20 a tick.
    play(200, sessionMsg(coGameTic, cl.key));
    clientSendTo(&cl, keyMsg(cl, {{skmRotateleft, 1}}));
    std::vector<gameStream> turning = play(400, sessionMsg(coGameTic, cl.key));
    clientSendTo(&cl, keyMsg(cl, {{skmRotateleft, 2}}));
    std::vector<float> yaw;
    for (auto& s : turning)
        for (auto& u : s.ents)
            if (u.id == 0 && u.hasRot && !u.hasLoc) yaw.push_back(u.rots[1]);
    ASSERT_GE(yaw.size(), 4u);
    for (size_t i = 1; i < yaw.size(); i++)
        EXPECT_NEAR(yaw[i] - yaw[i - 1], 0.15707963f, 1e-5);

    // Silence: polls, then the session is aborted.
    int polls = 0;
    for (int t = 0; t < 3000; t += 50)
        if (clientNext(&cl, 50) == bytes{soUpdate}) polls++;
    EXPECT_GE(polls, 1);
    EXPECT_TRUE(waitForOutput(srv, "Connection Aborted [poll]\nDisconnected", 2000));

    ASSERT_TRUE(clientLogin(&cl, "player", "secret", 3));
    clientSendTo(&cl, sessionMsg(coDisconnect, cl.key));
    usleep(200 * 1000);
    EXPECT_EQ(countInOutput(srv, "Disconnected"), 2);

    stop();
    std::string out = readFile(srv.out);
    EXPECT_NE(out.find("saveProfs()"), std::string::npos);
    start(); // the saved accounts are back
    ASSERT_TRUE(clientLogin(&cl, "alice", "pw", 2));
    EXPECT_EQ(request(&cl, loginMsg("alice", "wrong", 2)), bytes{soLogBad});
    stop();
}

TEST_F(headlessServer, SavedWorldComesBackAfterRestart) {
    start();
    stop();
    std::string world = readFile(srv.dir + "/res/world");
    EXPECT_EQ(world.size(), 1083036u);
    start();
    EXPECT_TRUE(waitForOutput(srv, "Load World: 331", 1000));
    stop();
    EXPECT_EQ(readFile(srv.dir + "/res/world"), world);
}

} // namespace
