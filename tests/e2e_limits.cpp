// Bounds against the headless binary: account creations and failed logins per address,
// from a non-loopback address in a network namespace of the test's own.
#include <map>
#include <sched.h>

#include "e2eUtil.h"

using limits = e2eTest;

// Moves this test's process into a network namespace of its own, with loopback up and the
// non-loopback address 192.0.2.10 on it; the server started afterwards inherits it.
static bool privateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    return system("ip link set lo up && ip addr add 192.0.2.10/32 dev lo") == 0;
}

static long residentKb(pid_t pid) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    string line;
    while (std::getline(status, line))
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    return -1;
}

static int timesIn(const string& text, const string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

// Sends every datagram, a hundred at a time, and counts the replies of each kind.
static std::map<int, int> replies(udpClient* c, const std::vector<bytes>& all) {
    std::map<int, int> count;
    for (size_t i = 0; i < all.size(); i++) {
        c->send(all[i]);
        if (i % 100 != 99 && i + 1 != all.size()) continue;
        for (bytes d = c->recv(300); !d.empty(); d = c->recv(300))
            count[d[0]]++;
    }
    return count;
}

TEST_F(limits, OneAddressMakesFiveAccountsAMinuteAndTenFailedLogins) {
    ASSERT_TRUE(privateNetwork()) << "needs the right to make a network namespace";
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    udpClient remote(srv.port, "192.0.2.10");
    long rssBefore = residentKb(srv.pid);
    std::vector<bytes> creations;
    for (int i = 0; i < 2000; i++)
        creations.push_back(newAccountMsg("flood" + std::to_string(i), "pw"));
    std::map<int, int> made = replies(&remote, creations);
    EXPECT_EQ(made[soNewGood], 5);
    EXPECT_GT(made[soNewBad], 1900);
    EXPECT_LT(residentKb(srv.pid) - rssBefore, 4096); // a few accounts, no entities
    EXPECT_TRUE(has(srv.output(), "Profile Creation: Refused (limit)"));

    // One guess at a time: each costs a password hash, and a tick's time for datagrams
    // is bounded.
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(remote.request(loginMsg("flood0", "guess" + std::to_string(i), 3)),
                  bytes{soLogBad});
    // Right, but too late this minute.
    EXPECT_EQ(remote.request(loginMsg("flood0", "pw", 3)), bytes{soLogBad});
    // The log reaches the output at the end of the tick that sent the last reply.
    EXPECT_TRUE(
        waitUntil([&] { return timesIn(srv.output(), "Log In: Failed (rate)") >= 3; }, 2000));
    EXPECT_EQ(timesIn(srv.output(), "Log In: Failed (password)"), 10);

    // The operator's own machine is not limited.
    udpClient local(srv.port); // a socket of the test's namespace
    for (int i = 0; i < 7; i++)
        EXPECT_EQ(local.request(newAccountMsg("local" + std::to_string(i), "pw")),
                  bytes{soNewGood});
    EXPECT_TRUE(local.login("flood0", "pw", 3));
    EXPECT_FALSE(has(srv.output(), "Ticks this second"));
    ASSERT_EQ(srv.stop(), 0);
    EXPECT_EQ(readFile(res("profiles")).size(), 4 + 12 * 516u);
}
