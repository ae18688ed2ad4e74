// Forged floods against the headless binary in a network of the test's own, where any
// address of 198.18.0.0/15 can send: a player in the game keeps every input beside empty
// datagrams from one address, wrong passwords and creations from thousands; one address
// cannot flush its counts away, and forged senders lock nobody out; forged creations are
// never saved and leave room for a real player's; names with control bytes never reach the
// log raw; the log stays under its rate.
#include <atomic>
#include <functional>
#include <thread>

#include "e2eUtil.h"

struct floodsE2E : e2eTest {
    // Sends `make(n)` from forged addresses at `perSecond` while the player turns every
    // 100 ms for `ms`; the turns sent that never came back. (Two turns in one tick would
    // show only the second: they are two ticks apart.)
    int turnsLostBeside(
        udpClient* player, int perSecond, int addresses, int ms, std::function<bytes(long)> make,
        std::function<void()> meanwhile = [] {}) {
        std::atomic<bool> flooding = true;
        std::thread other(meanwhile);
        std::thread flooder([&] {
            forgedSender f;
            long n = 0;
            for (auto t0 = std::chrono::steady_clock::now(); flooding; usleep(5000))
                for (long due = long(msSince(t0) * perSecond / 1000); n < due; n++)
                    f.send(testRangeAddress(1 + uint32_t(n % addresses)), srv.port, make(n));
        });
        std::set<int> sent, back;
        auto t0 = std::chrono::steady_clock::now();
        for (int k = 1; msSince(t0) < ms + 300;) {
            if (msSince(t0) < ms && msSince(t0) >= 100.0 * k) {
                player->send(player->turn(turnBase + k));
                sent.insert(turnBase + k++);
            }
            for (int got : player->turnsIn(player->recv(2)))
                back.insert(got);
        }
        flooding = false;
        flooder.join();
        other.join();
        turnBase += 1000;
        int lost = 0;
        for (int k : sent)
            lost += !back.count(k);
        return lost;
    }
    int turnBase = 0;
};

TEST_F(floodsE2E, APlayerKeepsEveryInputAndStrangersGetNoMoreThanTheirLimits) {
    string why;
    if (!enterOwnNetwork(&why)) GTEST_SKIP() << why;
    // An account from before names were checked, with an escape sequence in its name.
    bytes old = newAccountMsg("old\x1b[31mred", "pw");
    string file = {1, 0, 0, 0};
    file.append(old.begin() + 1, old.end()).append({-1, -1, -1, -1});
    writeFile(res("profiles"), file);
    srv.args = {"--quiet"};
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    udpClient local(srv.port); // made inside the test's network, as every client here
    ASSERT_EQ(local.request(newAccountMsg("victim", "right")), bytes{soNewGood});
    udpClient player(srv.port, "198.18.200.1");
    ASSERT_TRUE(player.join("player", "pw")) << srv.output();
    std::jthread alive([&](std::stop_token stop) { // the player is never silent
        for (; !stop.stop_requested(); usleep(200 * 1000))
            player.send(player.tic());
    });

    EXPECT_EQ(turnsLostBeside(&player, 4000, 1, 2000, [](long) { return bytes{}; }), 0);
    size_t before = srv.output().size();
    auto guess = [](long n) { return loginMsg("victim", "guess" + std::to_string(n), 3); };
    EXPECT_EQ(turnsLostBeside(&player, 2000, 4096, 2000, guess), 0);
    string during = srv.output().substr(before);
    EXPECT_EQ(timesIn(during, "Log In: Failed (password) (victim 198.18."), 10);
    EXPECT_LT(timesIn(during, "\n"), 2 * 120) << "the log's rate"; // six kinds a second at most
    EXPECT_TRUE(has(during, "Log In: Failed (rate): ")) << during;

    // One address guesses ten wrong passwords and makes five accounts; thousands of forged
    // addresses then send logins of unknown names; the address is still refused both, and
    // a newcomer from a fresh address logs in at once.
    ASSERT_TRUE(local.join("friend"));
    local.send(sessionMsg(coDisconnect, local.key));
    udpClient real(srv.port, "198.18.100.1");
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(real.request(loginMsg("friend", "guess", 3)), bytes{soLogBad});
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(real.request(newAccountMsg("real" + std::to_string(i), "pw")), bytes{soNewGood});
    forgedSender flush;
    for (uint32_t n = 0; n < 8192; n++) {
        flush.send(testRangeAddress(20000 + n), srv.port, loginMsg("unknown", "pw", 3));
        if (n % 100 == 99) usleep(50 * 1000);
    }
    usleep(200 * 1000);
    EXPECT_EQ(real.request(loginMsg("real0", "pw", 3)), bytes{soLogBad});
    EXPECT_EQ(real.request(newAccountMsg("real5", "pw")), bytes{soNewBad});
    udpClient newcomer(srv.port, "198.18.100.2");
    EXPECT_TRUE(newcomer.login("real1", "pw", 3));

    // Forged creations from thousands of addresses: a real player's creation and join go
    // through beside them, and none of theirs is ever saved.
    before = srv.output().size();
    auto create = [](long n) { return newAccountMsg("forged" + std::to_string(n), "pw"); };
    udpClient latecomer(srv.port, "198.18.100.3");
    bool joined = false;
    auto join = [&] { joined = latecomer.join("latecomer"); };
    EXPECT_EQ(turnsLostBeside(&player, 2000, 4096, 3000, create, join), 0);
    EXPECT_TRUE(joined);

    // A name with control bytes is refused; the old account logs in, shown escaped.
    EXPECT_EQ(local.request(newAccountMsg("new\nForged line", "pw")), bytes{soNewBad});
    EXPECT_TRUE(local.login("old\x1b[31mred", "pw", 3));
    ASSERT_EQ(srv.stop(), 0);
    string saved = readFile(res("profiles"));
    EXPECT_TRUE(has(saved, "latecomer") && has(saved, "player") && has(saved, "friend"));
    EXPECT_FALSE(has(saved, "forged") || has(saved, "real1")); // never completed a handshake
    string out = srv.output();
    EXPECT_TRUE(has(out, "Profile Creation: Failed (name) (new\\x0AForged line 127.0.0.1:"));
    EXPECT_TRUE(has(out, "Profile Log In: (old\\x1B[31mred) (***)"));
    EXPECT_FALSE(has(out, "\x1b"));
    EXPECT_FALSE(has(out, "\nForged line"));
}
