// A player's whole road against the headless binary over UDP, in a network namespace of the
// test's own and beside a veteran whose account was saved before passwords were hashed: an
// unknown option refused, the server run from another folder with a view radius cap, the
// bounds per address, then account, login, handshake, an edit both see, a walk into the next
// chunk, silence, disconnect, and a quiet restart with the saved accounts and world ending
// with the status line; meanwhile the session key counts only from its own
// address, and no password or key is ever shown or stored in clear.
#include <algorithm>

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

TEST_F(session, OptionsLimitsAndAWalkerWhoJoinsSeesEditsWalksTimesOutAndIsBackAfterARestart) {
    // Loopback up and the test range local, so that 198.18.0.10 is an address other than
    // loopback; the server inherits the network.
    string why;
    if (!enterOwnNetwork(&why)) GTEST_SKIP() << why;
    srv.args = {"--no-such-option"};
    srv.spawn(dir);
    EXPECT_EQ(srv.waitExit(), 2);
    EXPECT_TRUE(has(srv.output(), "Usage: "));
    // Run from inside res/, where no res/ is, so only --res finds the files; a login asking
    // for more than radius 3 gets radius 3.
    bytes rec = newAccountMsg("veteran", "old-plain-pass");
    string plain = {1, 0, 0, 0}; // one account, then its record as before passwords were hashed
    plain.append(rec.begin() + 1, rec.end()).append(4, 0); // steering entity 0, the free mover
    writeFile(res("profiles"), plain);
    srv.args = {"--res", dir + "/res", "--max-view-radius", "3"};
    ASSERT_TRUE(srv.serve(dir + "/res")) << srv.output();
    // Of 2,000 creations from one address other than loopback (100 a tick, within its share;
    // a stalled tick may still drop a few) five make accounts; ten wrong guesses cost a
    // password check each, then even the right password is refused.
    udpClient remote(srv.port, "198.18.0.10");
    for (int i = 0; i < 2000; i++) {
        remote.send(newAccountMsg("remote" + std::to_string(i), "pw"));
        if (i % 100 == 99) usleep(60 * 1000);
    }
    datagrams replies = clientDrain(&remote, 500);
    EXPECT_EQ(std::ranges::count(replies, bytes{soNewGood}), 5);
    EXPECT_GT(std::ranges::count(replies, bytes{soNewBad}), 1900);
    for (int i = 0; i < 11; i++)
        EXPECT_EQ(remote.request(loginMsg("remote0", "guess", 3)), bytes{soLogBad});
    EXPECT_EQ(remote.request(loginMsg("remote0", "pw", 3)), bytes{soLogBad});

    udpClient veteran(srv.port);
    udpClient walker(srv.port);
    ASSERT_EQ(veteran.join("veteran", "old-plain-pass", false).size(), 19u);
    ASSERT_EQ(walker.request(newAccountMsg("walker", "s3cret-pass")), bytes{soNewGood});
    ASSERT_EQ(walker.request(newAccountMsg("walker", "other-pass")), bytes{soNewBad});
    ASSERT_EQ(walker.request(loginMsg("walker", "wrong-guess", 3)), bytes{soLogBad});
    ASSERT_TRUE(walker.login("walker", "s3cret-pass", 4));

    std::vector<chunkRec> chunks;
    ASSERT_TRUE(walker.handshake(&chunks, 30000)) << srv.output();
    EXPECT_EQ(chunks.size(), 19u); // each once
    EXPECT_EQ(coordsOf(chunks), hexesWithin(3));
    // An edit away from the walker, raising the ground: both players see the same vertices
    // move.
    const float eyeAndRay[6] = {-5, 2, -5, 0, -1, -1};
    veteran.send(veteran.mouse(eyeAndRay, 0));
    std::vector<vertMove> raised = movesIn(veteran.listen(300, &walker));
    std::vector<vertMove> watched = movesIn(walker.listen(50));
    ASSERT_GT(raised.size(), 10u);
    EXPECT_EQ(raised.size(), watched.size());
    EXPECT_EQ(memcmp(raised.data(), watched.data(), sizeof(vertMove) * raised.size()), 0);
    // The walker's key from the veteran's port steers nothing; from its own it walks.
    bytes walk = walker.keys({{skmWalkForward, 1}});
    veteran.send(walk);
    EXPECT_TRUE(updatesOf(walker.listen(1000, &veteran), walker.entity).empty());
    walker.send(walk);
    std::vector<gameStream> seen = walker.listen(1500, &veteran);
    walker.send(walker.keys({{skmWalkForward, 2}}));
    ASSERT_GE(updatesOf(seen, walker.entity).size(), 6u);
    // Into chunk (0, 1): the 5 chunks that came into view arrive in that tick's datagram and
    // the next one.
    auto crossing =
        std::ranges::find_if(seen, [](auto& s) { return s.ents.size() == 1 && s.ents[0].cy == 1; });
    ASSERT_TRUE(crossing < seen.end() - 1);
    std::vector<chunkRec> ring = crossing->chunks;
    ring.insert(ring.end(), crossing[1].chunks.begin(), crossing[1].chunks.end());
    EXPECT_EQ(coordsOf(ring), (coords{{-2, 3}, {-1, 3}, {0, 3}, {1, 2}, {2, 1}})); // new in view

    // Silence: polls, then both sessions are aborted; a new session ends with a disconnect.
    string aborted = "Connection Aborted [poll] (";
    EXPECT_TRUE(waitUntil([&] { return timesIn(srv.output(), aborted) == 2; }, 8000));
    ASSERT_TRUE(walker.login("walker", "s3cret-pass", 3));
    walker.send(sessionMsg(coDisconnect, walker.key));
    EXPECT_TRUE(waitUntil([&] { return timesIn(srv.output(), "Disconnected (") >= 3; }, 2000));
    ASSERT_EQ(srv.stop(), 0);

    string out = srv.output();
    EXPECT_EQ(timesIn(out, "Log In: Failed (password)"), 11); // ten remote guesses, one local
    EXPECT_TRUE(has(out, "Profile Creation: Refused (limit)"));
    EXPECT_TRUE(has(out, "Log In: Failed (rate)"));
    for (string secret : {"s3cret-pass", "other-pass", "wrong-guess", "old-plain-pass"})
        EXPECT_FALSE(has(out, secret)) << secret;
    EXPECT_FALSE(showsKey(out, walker.key));
    EXPECT_FALSE(showsKey(out, veteran.key));
    string saved = readFile(res("profiles"));
    ASSERT_EQ(saved.size(), 4 + 7 * 516u); // five remote accounts, the veteran, the walker
    for (size_t record = 4; record < saved.size(); record += 516)
        EXPECT_TRUE(saved.substr(record + 256).starts_with("$argon2id$"));
    auto mode = std::filesystem::status(res("profiles")).permissions();
    EXPECT_EQ(int(mode), 0600);

    // The saved world and accounts are back: the veteran's upgraded account still takes its
    // password, with another key than before, and sees the edited ground.
    srv.args.push_back("--quiet");
    ASSERT_TRUE(srv.serve(dir + "/res"));
    udpClient again(srv.port);
    ASSERT_TRUE(again.login("veteran", "old-plain-pass", 2));
    EXPECT_NE(memcmp(again.key, veteran.key, 16), 0);
    chunks.clear();
    ASSERT_TRUE(again.handshake(&chunks, 30000));
    for (auto& m : raised) {
        auto c =
            std::ranges::find_if(chunks, [&](auto& k) { return k.cx == m.cx && k.cy == m.cy; });
        ASSERT_TRUE(c != chunks.end());
        EXPECT_EQ(memcmp(&c->verts[size_t(m.index)], &m.vert, 16), 0);
    }
    // The status line at Stop counts the player and the session still connecting (logged in,
    // not through its handshake), and times the ticks.
    ASSERT_TRUE(walker.login("walker", "s3cret-pass", 3));
    ASSERT_EQ(srv.stop(), 0);
    out = srv.output();
    EXPECT_FALSE(has(out, "received message")); // a trace line of every datagram
    double mean = 0, max = 0;
    const char* status = strstr(out.c_str(), "Status: 1 playing, 1 connecting, tick mean ");
    ASSERT_TRUE(status && sscanf(status + 43, "%lf ms, max %lf ms", &mean, &max) == 2) << out;
    EXPECT_TRUE(mean > 0 && mean <= max && max < 50) << status;
    EXPECT_TRUE(has(status, " ms, 331 chunks, 2 entities, 0 datagrams dropped, 0 dropped by the "
                            "system\n"));
}
