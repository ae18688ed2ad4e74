// Players keep their place across restarts: a walker walks off the spawn into another chunk
// and turns, a second player stands at the spawn; after SIGTERM and a restart, and after an
// autosave, a kill -9 and a restart, each logs in to its own entity, standing where it
// stood and looking where it looked.
#include <cmath>

#include "e2eUtil.h"

using placesE2E = e2eTest;

// The last place the stream gave the entity, as a record of the handshake would.
static entRecord lastPlace(const std::vector<gameStream>& all, int entity) {
    entRecord at;
    for (const entUpdate& u : updatesOf(all, entity)) {
        if (u.hasLoc) {
            at.cx = u.cx;
            at.cy = u.cy;
            std::copy(u.pos, u.pos + 3, at.pos);
        }
        if (u.hasRot) std::copy(u.rots, u.rots + 3, at.rots);
    }
    return at;
}

// The record of the client's own entity in its handshake, or one with id -1.
static entRecord ownRecord(const udpClient& c) {
    for (const entRecord& e : c.seen)
        if (e.id == c.entity) return e;
    return entRecord{-1};
}

static void expectSamePlace(const entRecord& was, const entRecord& now) {
    EXPECT_EQ(now.cx, was.cx);
    EXPECT_EQ(now.cy, was.cy);
    EXPECT_NEAR(now.pos[0], was.pos[0], 0.01);
    EXPECT_NEAR(now.pos[2], was.pos[2], 0.01);
    EXPECT_NEAR(now.rots[1], was.rots[1], 1e-5);
}

TEST_F(placesE2E, PlayersStandWhereTheyLeftAfterAStopAndAfterAKillBehindAnAutosave) {
    srv.args = {"--autosave", "2", "--quiet"};
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    udpClient walker(srv.port), stander(srv.port);
    ASSERT_FALSE(walker.join("walker").empty());
    ASSERT_FALSE(stander.join("stander").empty());
    walker.send(walker.keys({{skmWalkForward, 1}}));
    std::vector<gameStream> walked = walker.listen(1500, &stander);
    walker.send(walker.keys({{skmWalkForward, 2}}));
    walker.send(walker.turn(1250)); // looks the other way now
    std::vector<gameStream> stopped = walker.listen(600, &stander);
    walked.insert(walked.end(), stopped.begin(), stopped.end());
    entRecord there = lastPlace(walked, walker.entity);
    ASSERT_NE(std::make_pair(there.cx, there.cy), std::make_pair(0, 0)) << "walked off the spawn";
    ASSERT_FLOAT_EQ(there.rots[1], 1.25f);
    entRecord home = ownRecord(stander);
    ASSERT_EQ(home.id, stander.entity);

    ASSERT_EQ(srv.stop(), 0);
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    udpClient walker2(srv.port), stander2(srv.port);
    ASSERT_FALSE(walker2.join("walker", "pw", false).empty());
    ASSERT_FALSE(stander2.join("stander", "pw", false).empty());
    EXPECT_EQ(walker2.entity, walker.entity);
    EXPECT_EQ(stander2.entity, stander.entity);
    expectSamePlace(there, ownRecord(walker2));
    expectSamePlace(home, ownRecord(stander2));

    // A few steps more, an autosave after them, then the process is killed.
    walker2.send(walker2.keys({{skmWalkBackwards, 1}}));
    walked = walker2.listen(400, &stander2);
    walker2.send(walker2.keys({{skmWalkBackwards, 2}}));
    stopped = walker2.listen(600, &stander2);
    walked.insert(walked.end(), stopped.begin(), stopped.end());
    entRecord later = lastPlace(walked, walker2.entity);
    later.rots[1] = there.rots[1];
    int autosaves = timesIn(srv.output(), "Autosave: ");
    ASSERT_TRUE(waitUntil([&] { return timesIn(srv.output(), "Autosave: ") > autosaves; }, 5000));
    ASSERT_EQ(srv.stop(SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    udpClient walker3(srv.port);
    ASSERT_FALSE(walker3.join("walker", "pw", false).empty());
    EXPECT_EQ(walker3.entity, walker.entity);
    expectSamePlace(later, ownRecord(walker3));
    EXPECT_EQ(srv.stop(), 0);
}
