// A player's whole road against the headless binary over loopback UDP, beside a veteran
// whose account was saved before passwords were hashed: account, login, handshake, an edit
// both see, a walk into the next chunk, silence, disconnect, and a restart with the saved
// accounts and world; meanwhile the session key counts only from its own address, and no
// password or key is ever shown or stored in clear.
#include <algorithm>
#include <sys/stat.h>

#include "e2eUtil.h"

using session = e2eTest;

// The key as raw bytes or as hex text.
static bool showsKey(const string& text, const unsigned char* key) {
    char hex[33];
    for (int i = 0; i < 16; i++)
        snprintf(hex + 2 * i, 3, "%02x", key[i]);
    return has(text, hex) || has(text, string(reinterpret_cast<const char*>(key), 16));
}

// The moved vertices in the order they came.
static std::vector<vertMove> movesIn(const std::vector<gameStream>& all) {
    std::vector<vertMove> out;
    for (auto& s : all)
        out.insert(out.end(), s.moves.begin(), s.moves.end());
    return out;
}

TEST_F(session, WalkerJoinsSeesEditsWalksTimesOutAndIsBackAfterARestartWithSecretsKept) {
    writeProfile(dir, "veteran", 0, "old-plain-pass"); // steers the default free mover
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    udpClient veteran(srv.port);
    ASSERT_EQ(veteran.join("veteran", "old-plain-pass", false).size(), 19u);
    ASSERT_EQ(cl.request(newAccountMsg("walker", "s3cret-pass")), bytes{soNewGood});
    ASSERT_EQ(cl.request(newAccountMsg("walker", "other-pass")), bytes{soNewBad});
    ASSERT_EQ(cl.request(loginMsg("walker", "wrong-guess", 3)), bytes{soLogBad});
    ASSERT_TRUE(cl.login("walker", "s3cret-pass", 3));
    // The walker is made at the first login; the veteran sees it land in that tick, and
    // nothing more.
    EXPECT_EQ(cl.entity, 1);
    std::vector<entUpdate> landing = updatesOf(veteran.listen(600), 1);
    ASSERT_EQ(landing.size(), 1u);
    EXPECT_NEAR(landing[0].pos[1], 0.51f, 1e-6);

    std::vector<chunkRec> chunks;
    std::vector<entRec> ents;
    ASSERT_TRUE(cl.handshake(&chunks, &ents, 30000)) << srv.output();
    EXPECT_EQ(chunks.size(), 19u); // each once
    EXPECT_EQ(coordsOf(chunks), hexesWithin(3, 0, 0));
    EXPECT_EQ(ents.size(), 2u);
    // An edit away from the walker, raising the ground: both players see the same vertices
    // move.
    const float eyeAndRay[6] = {-5, 2, -5, 0, -1, -1};
    veteran.send(veteran.mouse(eyeAndRay, 0));
    std::vector<vertMove> raised = movesIn(veteran.listen(300, &cl));
    std::vector<vertMove> watched = movesIn(cl.listen(50));
    ASSERT_GT(raised.size(), 10u);
    EXPECT_EQ(raised.size(), watched.size());
    EXPECT_EQ(memcmp(raised.data(), watched.data(), sizeof(vertMove) * raised.size()), 0);
    // The walker's key from the veteran's port steers nothing; from its own it walks.
    bytes walk = cl.keys({{skmWalkForward, 1}});
    veteran.send(walk);
    EXPECT_TRUE(updatesOf(cl.listen(1000, &veteran), 1).empty());
    cl.send(walk);
    std::vector<gameStream> seen = cl.listen(1500, &veteran);
    cl.send(cl.keys({{skmWalkForward, 2}}));
    std::vector<entUpdate> steps = updatesOf(seen, 1);
    ASSERT_GE(steps.size(), 8u);
    const float speeds[6] = {0.4f, 0.8f, 1.2f, 1.6f, 2.0f, 2.0f};
    for (size_t i = 0; i < 6; i++) {
        auto [x, z] = worldXZ(steps[i]);
        float dz = z - (i ? worldXZ(steps[i - 1]).second : 5.0f);
        EXPECT_NEAR(x, 5, 1e-4) << i;
        EXPECT_NEAR(dz, speeds[i], 1e-4) << i;
        EXPECT_NEAR(steps[i].pos[1], 0.51f, 1e-4) << i;
    }
    // Into chunk (0, 1): the position is re-expressed there, and the 5 chunks that came into
    // view arrive in that tick's datagram and the next one.
    auto crossing = std::ranges::find_if(seen, [](const gameStream& s) {
        return s.ents.size() == 1 && s.ents[0].id == 1 && s.ents[0].cy == 1;
    });
    ASSERT_TRUE(crossing < seen.end() - 1);
    EXPECT_TRUE(crossing->ents[0].cx == 0 && crossing->ents[0].pos[2] < 0);
    std::vector<chunkRec> ring = crossing->chunks;
    ring.insert(ring.end(), crossing[1].chunks.begin(), crossing[1].chunks.end());
    EXPECT_EQ(ring.size(), 5u);
    EXPECT_EQ(coordsOf(ring), (coords{{-2, 3}, {-1, 3}, {0, 3}, {1, 2}, {2, 1}})); // new in view

    // Silence: polls, then both sessions are aborted; a new session ends with a disconnect.
    string aborted = "Connection Aborted [poll]\nDisconnected";
    EXPECT_TRUE(waitUntil([&] { return timesIn(srv.output(), aborted) == 2; }, 8000));
    ASSERT_TRUE(cl.login("walker", "s3cret-pass", 3));
    cl.send(sessionMsg(coDisconnect, cl.key));
    EXPECT_TRUE(waitUntil([&] { return timesIn(srv.output(), "Disconnected") >= 3; }, 2000));
    ASSERT_EQ(srv.stop(), 0);

    string out = srv.output();
    EXPECT_TRUE(has(out, "Profile Log In: (walker) (***)"));
    for (string secret : {"s3cret-pass", "other-pass", "wrong-guess", "old-plain-pass"})
        EXPECT_FALSE(has(out, secret)) << secret;
    EXPECT_FALSE(showsKey(out, cl.key));
    EXPECT_FALSE(showsKey(out, veteran.key));
    string saved = readFile(res("profiles"));
    ASSERT_EQ(saved.size(), 4 + 2 * 516u);
    for (size_t record = 4; record < saved.size(); record += 516)
        EXPECT_TRUE(saved.substr(record + 256).starts_with("$argon2id$"));
    struct stat st;
    ASSERT_EQ(stat(res("profiles").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    string world = readFile(res("world"));
    EXPECT_EQ(world.size(), 1083036u);

    // The saved world and accounts are back: the veteran's upgraded account still takes its
    // password, with another key than before, and sees the edited ground.
    ASSERT_TRUE(srv.serve(dir));
    udpClient again(srv.port);
    ASSERT_TRUE(again.login("veteran", "old-plain-pass", 2));
    EXPECT_NE(memcmp(again.key, veteran.key, 16), 0);
    chunks.clear();
    ASSERT_TRUE(again.handshake(&chunks, &ents, 30000));
    for (auto& m : raised) {
        auto at =
            std::ranges::find_if(chunks, [&](auto& c) { return c.cx == m.cx && c.cy == m.cy; });
        ASSERT_TRUE(at != chunks.end());
        EXPECT_EQ(memcmp(&at->verts[size_t(m.index)], &m.vert, 16), 0);
    }
    EXPECT_EQ(srv.stop(), 0);
    EXPECT_TRUE(readFile(res("world")) == world);
}
