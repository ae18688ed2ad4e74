// The operator's day with the headless binary: commands through the control socket, bans
// across a restart, the locked save folder, the log's timestamps, control clients that say
// nothing or far too much, and systemd's view.
#include <algorithm>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>

#include "e2eUtil.h"

namespace fs = std::filesystem;

struct operatorE2E : e2eTest {
    // The command's answer, its exit status checked.
    string control(const string& command, int status = 0, const string& input = "") {
        string printed;
        EXPECT_EQ(runControl(res(""), command, &printed, input), status)
            << command << ": " << printed;
        return printed;
    }
    string portOf(const udpClient& c) { return std::to_string(ntohs(c.clientAddr.sin_port)); }
};

// A connection to the control socket, or -1.
static int connectControl(const string& path) {
    return unixSocket(path, SOCK_STREAM, unixConnected);
}

// Whether `text` from `at` on has the shape of `pattern`, where '#' stands for any digit.
static bool shaped(const string& text, size_t at, const string& pattern) {
    if (at == string::npos || at + pattern.size() > text.size()) return false;
    for (size_t i = 0; i < pattern.size(); i++) {
        char c = text[at + i];
        if (pattern[i] == '#' ? !isdigit(static_cast<unsigned char>(c)) : c != pattern[i])
            return false;
    }
    return true;
}

static string readAll(int fd) {
    string got;
    char data[4096];
    for (ssize_t n; (n = read(fd, data, sizeof data)) > 0;)
        got.append(data, size_t(n));
    return got;
}

// What the operator's session of the scripted game (tests/golden) cannot show: commands
// through the real control socket, their effect on real clients, a password from standard
// input, the log's timestamps, and bans that outlive a restart.
TEST_F(operatorE2E, CommandsThroughTheControlSocketAndBansThatOutliveARestart) {
    srv.environment = "TZ=America/New_York"; // the log's times are UTC all the same
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    EXPECT_EQ(int(fs::status(res("control.sock")).permissions()), 0600);
    ASSERT_TRUE(cl.join("alice"));
    udpClient bob(srv.port);
    ASSERT_EQ(bob.request(newAccountMsg("bobby", "old-pass")), bytes{soNewGood});
    string alice = "alice 127.0.0.1:" + portOf(cl);
    EXPECT_EQ(control("ban alice"), "banned alice, 1 kicked\n");
    EXPECT_EQ(clientDrain(&cl, 100).back(), bytes{soDisconnect} + bytes(cl.key, cl.key + keyLen));
    EXPECT_EQ(cl.request(loginMsg("alice", "pw", 3)), bytes{soLogBad});
    EXPECT_EQ(control("ban name outlaw"), "banned outlaw, 0 kicked\n");
    EXPECT_EQ(cl.request(newAccountMsg("outlaw", "pw")), bytes{soNewBad});
    ASSERT_TRUE(bob.login("bobby", "old-pass", 3) && bob.handshake(20000)); // now confirmed
    EXPECT_EQ(control("ban 127.0.0.0/24"), "banned 127.0.0.0/24, 1 kicked\n");
    EXPECT_EQ(clientDrain(&bob, 100).back(),
              bytes{soDisconnect} + bytes(bob.key, bob.key + keyLen));
    bob.send({coWakeup});
    EXPECT_TRUE(bob.recv(300).empty()); // dropped unread
    EXPECT_EQ(control("unban 127.0.0.0/24"), "unbanned 127.0.0.0/24, 0 kicked\n");
    EXPECT_EQ(control("allow on"), "the allow-list is on\n");
    EXPECT_EQ(cl.request(newAccountMsg("carol", "pw")), bytes{soNewBad});
    EXPECT_EQ(control("allow off"), "the allow-list is off\n");

    EXPECT_TRUE(has(control("password bobby new pass", 1), "on standard input, not on the "));
    EXPECT_EQ(control("password bobby", 0, "new pass\n"), "new password set for bobby\n");
    EXPECT_EQ(bob.request(loginMsg("bobby", "old-pass", 3)), bytes{soLogBad});
    ASSERT_TRUE(bob.login("bobby", "new pass", 3));
    EXPECT_EQ(control("stop"), "stopping\n");
    EXPECT_EQ(srv.waitExit(), 0);
    EXPECT_EQ(clientDrain(&bob, 100).back(),
              bytes{soDisconnect} + bytes(bob.key, bob.key + keyLen));
    EXPECT_FALSE(fs::exists(res("control.sock")));
    string out = srv.output();
    EXPECT_TRUE(has(out, "Log In: Failed (banned) (" + alice + ")"));
    EXPECT_FALSE(has(out, "new pass"));
    EXPECT_FALSE(has(out, "coReturn") || has(out, "sendChunk nsent")); // no --verbose
    // Every log entry starts with a UTC timestamp; the trace lines do not.
    size_t stop = out.find(" Admin: stop\n");
    ASSERT_TRUE(stop > 25 && shaped(out, stop - 25, "\n####-##-##T##:##:##.###Z Admin: stop\n"));
    std::tm stamp = {};
    strptime(out.c_str() + stop - 24, "%Y-%m-%dT%H:%M:%S", &stamp);
    EXPECT_LT(std::abs(timegm(&stamp) - time(nullptr)), 120); // UTC, not New York's time

    // The bans outlive the restart; unbanned, alice is back.
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    EXPECT_EQ(control("bans"), "alice\noutlaw\n"); // in the order they were made
    EXPECT_EQ(cl.request(loginMsg("alice", "pw", 3)), bytes{soLogBad});
    control("unban alice");
    EXPECT_TRUE(cl.login("alice", "pw", 3));
    EXPECT_EQ(srv.stop(), 0);
    string none;
    EXPECT_EQ(runControl(res(""), "status", &none), 1);
    EXPECT_TRUE(has(none, "no server listens on")) << none;
}

// A client that connects and says nothing, one that sends a megabyte, and one too many:
// each gets an error, and the commands of others are served meanwhile.
TEST_F(operatorE2E, ClientsThatSayNothingOrFarTooMuchAreCutOff) {
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    string path = res("control.sock");
    auto t0 = std::chrono::steady_clock::now();
    int idle = connectControl(path);
    int flood = connectControl(path);
    ASSERT_GE(idle, 0);
    std::thread writer([flood] {
        string megabyte(1 << 20, 'a');
        (void)!send(flood, megabyte.data(), megabyte.size(), MSG_NOSIGNAL);
        shutdown(flood, SHUT_WR);
    });
    EXPECT_EQ(readAll(flood), "error: a command has at most 1024 bytes\nfailed\n");
    writer.join();
    close(flood);
    usleep(200 * 1000); // its slot is free again
    std::vector<int> others;
    for (int i = 0; i < 7; i++)
        others.push_back(connectControl(path));
    int tooMany = connectControl(path);
    EXPECT_EQ(readAll(tooMany), "error: too many connections\nfailed\n");
    for (int fd : others)
        close(fd);
    usleep(200 * 1000);
    EXPECT_TRUE(has(control("status"), "Status: 0 playing"));
    EXPECT_EQ(readAll(idle), "error: no command within 10 seconds\nfailed\n");
    EXPECT_LT(msSince(t0), 12000);
    ASSERT_EQ(srv.stop(), 0);
    close(idle);
    close(tooMany);
}

// systemd hears readiness once the port is open, the status line, the watchdog every second
// and the stop; with the journal as standard output no timestamp is added.
TEST_F(operatorE2E, SystemdHearsReadinessStatusWatchdogAndTheStop) {
    string notify = dir + "/notify";
    int fd = unixSocket(notify, SOCK_DGRAM, unixBound);
    ASSERT_GE(fd, 0);
    srv.out = dir + "/journal.txt";
    srv.keepOut = true;
    writeFile(srv.out, "");
    struct stat st;
    ASSERT_EQ(stat(srv.out.c_str(), &st), 0);
    srv.environment = "NOTIFY_SOCKET=" + notify + " JOURNAL_STREAM=" + std::to_string(st.st_dev) +
                      ":" + std::to_string(st.st_ino);
    srv.args = {"--status-interval", "1"};
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    usleep(2500 * 1000);
    ASSERT_EQ(srv.stop(), 0);
    std::vector<string> heard;
    char data[1024];
    for (ssize_t n; (n = recv(fd, data, sizeof data, MSG_DONTWAIT)) > 0;)
        heard.emplace_back(data, size_t(n));
    close(fd);
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.front(), "READY=1");
    EXPECT_GE(std::ranges::count(heard, "WATCHDOG=1"), 2);
    EXPECT_TRUE(std::ranges::any_of(heard, [](const string& s) {
        return s.starts_with("STATUS=Status: 0 playing, 0 connecting, tick mean ");
    }));
    EXPECT_EQ(heard.back(), "STOPPING=1");
    EXPECT_TRUE(has(srv.output(), "\nServer: Stopping + Saving\n")); // the journal stamps it
}
