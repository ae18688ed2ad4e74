// What an operator relies on, against the headless binary in a network namespace of the
// test's own: the command line (a refused option, another folder for the save files, quiet
// running, a view radius cap), the bounds per address, and the status line.
#include <regex>
#include <sched.h>

#include "e2eUtil.h"

using hosting = e2eTest;

// Moves this test's process into a network namespace of its own, with loopback up and the
// non-loopback address 192.0.2.10 on it; the server started afterwards inherits it.
static bool privateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    return system("ip link set lo up && ip addr add 192.0.2.10/32 dev lo") == 0;
}

// An unknown option is refused. The save files live in a folder of the operator's choosing;
// quiet running prints the log entries and nothing else; a larger view radius than allowed
// is served at the cap. One address other than loopback makes five accounts a minute and
// has ten failed logins. The status line counts the players and the sessions still
// connecting, and times the ticks.
TEST_F(hosting, OptionsLimitsPerAddressAndTheStatusLine) {
    ASSERT_TRUE(privateNetwork()) << "needs the right to make a network namespace";
    srv.args = {"--no-such-option"};
    srv.spawn(dir);
    EXPECT_EQ(srv.waitExit(), 2);
    EXPECT_TRUE(has(srv.output(), "Usage: "));
    string elsewhere = dir + "/srv";
    std::filesystem::rename(dir + "/res", elsewhere);
    srv.args = {"--res", elsewhere, "--quiet", "--max-view-radius", "2"};
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    udpClient remote(srv.port, "192.0.2.10");
    for (int i = 0; i < 7; i++)
        EXPECT_EQ(remote.request(newAccountMsg("remote" + std::to_string(i), "pw")),
                  bytes{uint8_t(i < 5 ? soNewGood : soNewBad)})
            << i;
    EXPECT_TRUE(srv.waitFor("Profile Creation: Refused (limit)"));
    // Ten wrong guesses cost a password check each; then even the right one is refused.
    for (int i = 0; i < 11; i++)
        EXPECT_EQ(remote.request(loginMsg("remote0", "guess" + std::to_string(i), 3)),
                  bytes{soLogBad});
    EXPECT_EQ(remote.request(loginMsg("remote0", "pw", 3)), bytes{soLogBad});
    EXPECT_TRUE(srv.waitFor("Log In: Failed (rate)"));
    EXPECT_EQ(timesIn(srv.output(), "Log In: Failed (password)"), 10);

    udpClient first(srv.port);                            // a socket in the namespace
    EXPECT_EQ(first.join("first"), hexesWithin(2, 0, 0)); // asked for radius 3
    first.send(first.keys({{skmWalkForward, 1}}));
    first.listen(2500);
    udpClient late(srv.port);
    ASSERT_EQ(late.request(newAccountMsg("third", "pw")), bytes{soNewGood});
    ASSERT_TRUE(late.login("third", "pw", 3)); // connecting until its handshake is done
    ASSERT_EQ(srv.stop(), 0);
    EXPECT_TRUE(has(readFile(elsewhere + "/profiles"), "third"));
    EXPECT_EQ(readFile(elsewhere + "/world").size(), 1083036u);
    EXPECT_FALSE(std::filesystem::exists(dir + "/res"));
    string out = srv.output();
    EXPECT_FALSE(has(out, "received message")); // a trace line of every datagram
    std::regex status("Status: 1 playing, 1 connecting, tick mean ([0-9.]+) ms, max ([0-9.]+) "
                      "ms, 331 chunks, 3 entities, 0 datagrams dropped");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, status)) << out;
    EXPECT_GT(std::stod(m[1]), 0.0);
    EXPECT_LE(std::stod(m[1]), std::stod(m[2]));
    EXPECT_LT(std::stod(m[2]), 50.0);
}
