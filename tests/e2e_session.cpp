// One client's whole road against the headless binary over loopback UDP: account, login,
// handshake, free-mover play, silence, disconnect, restart with the saved accounts and world.
#include <algorithm>
#include <cmath>

#include "e2eUtil.h"

using session = e2eTest;

TEST_F(session, WholeRoadOfOneClientAndTheSavedWorld) {
    writeProfile(dir, "player", 0); // steers the default free mover
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    ASSERT_EQ(cl.request(newAccountMsg("alice", "pw")), bytes{soNewGood});
    ASSERT_EQ(cl.request(newAccountMsg("alice", "pw")), bytes{soNewBad});
    ASSERT_TRUE(cl.login("player", "pw", 3));
    std::vector<chunkRec> chunks;
    std::vector<entRec> ents;
    ASSERT_TRUE(cl.handshake(&chunks, &ents, 30000)) << srv.output();
    EXPECT_EQ(chunks.size(), 19u); // each once
    EXPECT_EQ(coordsOf(chunks), hexesWithin(3, 0, 0));
    EXPECT_TRUE(cl.entity == 0 && !ents.empty() && ents[0].id == 0 && ents[0].scale == 2);

    // Forward and strafe-right on a free mover: (1, 0, 1) a tick in world coordinates,
    // exactly so within a chunk, across chunk hand-overs, with new chunks coming into view.
    cl.send(cl.keys({{skmWalkForward, 1}, {skmStrafeRight, 1}}));
    std::vector<gameStream> moving = cl.listen(600);
    cl.send(cl.keys({{skmWalkForward, 2}, {skmStrafeRight, 2}}));
    std::vector<entUpdate> ours = updatesOf(moving, 0);
    ASSERT_GE(ours.size(), 6u);
    EXPECT_NE(std::pair(ours[0].cx, ours[0].cy), std::pair(ours.back().cx, ours.back().cy));
    for (size_t i = 1; i < ours.size(); i++) {
        const entUpdate &a = ours[i - 1], &b = ours[i];
        auto [x0, z0] = worldXZ(a);
        auto [x1, z1] = worldXZ(b);
        EXPECT_TRUE(std::fabs(x1 - x0 - 1) < 1e-4 && std::fabs(z1 - z0 - 1) < 1e-4 &&
                    b.pos[1] == 1);
        bool sameChunk = a.cx == b.cx && a.cy == b.cy;
        EXPECT_TRUE(!sameChunk || (b.pos[0] - a.pos[0] == 1 && b.pos[2] - a.pos[2] == 1)) << i;
    }
    EXPECT_TRUE(std::ranges::any_of(moving, [](auto& s) { return !s.chunks.empty(); }));

    // Turning: rotation sub-records exactly pi/20 apart.
    cl.listen(200);
    cl.send(cl.keys({{skmRotateleft, 1}}));
    std::vector<entUpdate> turns = updatesOf(cl.listen(400), 0, false);
    cl.send(cl.keys({{skmRotateleft, 2}}));
    ASSERT_GE(turns.size(), 4u);
    for (size_t i = 1; i < turns.size(); i++)
        EXPECT_NEAR(turns[i].rots[1] - turns[i - 1].rots[1], float(M_PI / 20), 1e-5);

    // Silence: polls, then the session is aborted; a new session ends with a disconnect.
    EXPECT_TRUE(srv.waitFor("Connection Aborted [poll]\nDisconnected", 5000));
    size_t before = srv.output().size();
    ASSERT_TRUE(cl.login("player", "pw", 3));
    cl.send(sessionMsg(coDisconnect, cl.key));
    EXPECT_TRUE(waitUntil([&] { return has(srv.output().substr(before), "Disconnected"); }, 2000));

    ASSERT_EQ(srv.stop(), 0);
    string world = readFile(res("world"));
    EXPECT_EQ(world.size(), 1083036u);
    ASSERT_TRUE(srv.serve(dir)); // the saved world and accounts are back
    EXPECT_TRUE(has(srv.output(), "Load World: 331"));
    EXPECT_TRUE(cl.login("alice", "pw", 2));
    EXPECT_EQ(cl.request(loginMsg("alice", "wrong", 2)), bytes{soLogBad});
    EXPECT_EQ(srv.stop(), 0);
    EXPECT_EQ(readFile(res("world")), world);
}
