// The live page of the headless binary (--http): /metrics as promtool reads it with its
// counters moving as a player joins and plays, bad and hostile requests answered clearly
// with the game unaffected, and the page in a real browser showing the figures and the
// player and following an edit.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

#include "e2eUtil.h"

// A TCP connection from a loopback address of the test's choice to the server's page.
static int connectFrom(const char* ip, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from = {AF_INET, 0, {}, {}};
    inet_pton(AF_INET, ip, &from.sin_addr);
    sockaddr_in to = {AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether the server closes the connection within `ms`: reading finds its end.
static bool closedWithin(int fd, int ms) {
    char data[4096];
    for (auto t0 = std::chrono::steady_clock::now(); msSince(t0) < ms;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0 && recv(fd, data, sizeof data, MSG_DONTWAIT) <= 0) return true;
    }
    return false;
}

struct liveE2E : e2eTest {
    int httpPort = freePort(); // a UDP port free now is very likely free for TCP too
    void SetUp() override {
        srv.args = {"--http", "127.0.0.1:" + std::to_string(httpPort), "--quiet"};
        ASSERT_TRUE(srv.serve(dir)) << srv.output();
    }
    // A figure of the metrics text; -1 when it is not there.
    double figure(const string& metrics, const string& name) {
        size_t at = metrics.find("\n" + name + " ");
        return at == string::npos ? -1 : atof(metrics.c_str() + at + name.size() + 2);
    }
};

TEST_F(liveE2E, MetricsMoveAsAPlayerJoinsAndPlaysAndPassPromtool) {
    httpAnswer before = httpAsk(httpPort, "/metrics");
    ASSERT_EQ(before.status, 200);
    EXPECT_TRUE(has(before.head, "Content-Type: text/plain; version=0.0.4"));
    ASSERT_TRUE(cl.join("watcher"));
    for (int i = 0; i < 11; i++) { // past a second for the per-second figures, never silent
        cl.send(cl.tic());
        usleep(100 * 1000);
    }
    string after = httpAsk(httpPort, "/metrics").body;
    for (const char* counter : {"quarn_datagrams_received_total", "quarn_datagrams_sent_total",
                                "quarn_received_bytes_total", "quarn_sent_bytes_total",
                                "quarn_ticks_total", "quarn_uptime_seconds"})
        EXPECT_GT(figure(after, counter), figure(before.body, counter)) << counter;
    EXPECT_EQ(figure(after, "quarn_players_playing"), 1); // the rest: the scripted game's
    writeFile(dir + "/metrics.txt", after);
    if (system("command -v promtool >/dev/null") != 0) GTEST_SKIP() << "no promtool";
    string check = "promtool check metrics < " + dir + "/metrics.txt > " + dir + "/lint.txt 2>&1";
    EXPECT_EQ(system(check.c_str()), 0) << readFile(dir + "/lint.txt");
}

// Unknown paths, other methods, a `since` that is not a number, an oversize request, idle
// connections beyond the limit: each gets its clear answer (or none), and meanwhile the
// player's every turn comes back.
TEST_F(liveE2E, BadRequestsAreAnsweredAndCostTheGameNothing) {
    ASSERT_TRUE(cl.join("player"));
    EXPECT_EQ(httpAsk(httpPort, "/nope").status, 404);
    EXPECT_EQ(
        httpAsk(httpPort, "POST / HTTP/1.1\r\nHost: t\r\nContent-Length: 3\r\n\r\nabc").status,
        405);
    for (const char* since : {"abc", "-1", "4294967296", "", "1x"})
        EXPECT_EQ(httpAsk(httpPort, string("/chunks?since=") + since).status, 400) << since;
    EXPECT_EQ(httpAsk(httpPort, "/chunks?since=4294967295").status, 200);

    // This machine holds eight connections at most, from any of its addresses: a ninth takes
    // the place of the one whose head has waited longest, and so does a whole request while
    // the rest trickle their heads a line a second; those are cut off once five seconds late.
    std::vector<int> slow;
    for (int i = 1; i <= 9; i++) {
        slow.push_back(connectFrom(("127.0.0." + std::to_string(i)).c_str(), httpPort));
        ASSERT_GE(slow.back(), 0);
        (void)!send(slow.back(), "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
        usleep(20 * 1000);
    }
    EXPECT_TRUE(closedWithin(slow.front(), 1000));
    close(slow.front());
    slow.erase(slow.begin());
    auto t0 = std::chrono::steady_clock::now();
    std::thread trickle([&] {
        for (int line = 0; line < 8; line++) {
            for (int fd : slow)
                (void)!send(fd, "X-Slow: 1\r\n", 11, MSG_NOSIGNAL | MSG_DONTWAIT);
            usleep(1000 * 1000);
        }
    });
    EXPECT_EQ(httpAsk(httpPort, "/metrics").status, 200);
    std::set<int> sent, back;
    for (int k = 1; k <= 10; k++) {
        cl.send(cl.turn(k));
        sent.insert(k);
        for (auto t0 = std::chrono::steady_clock::now(); msSince(t0) < 100;)
            for (int got : cl.turnsIn(cl.recv(5)))
                back.insert(got);
    }
    EXPECT_EQ(back, sent);
    for (int fd : slow)
        EXPECT_TRUE(closedWithin(fd, 7000 - int(msSince(t0))));
    EXPECT_GE(msSince(t0), 4000);
    EXPECT_EQ(httpAsk(httpPort, "/status.json").status, 200);
    trickle.join();
    for (int fd : slow)
        close(fd);
}

// Debian's chromium, headless, on the page for five seconds of the page's own time (its
// polls come at once), with its profile in the folder `profile`: the DOM it made.
static string chromium(const string& profile, const string& url) {
    string command = "chromium --headless --no-sandbox --disable-gpu --disable-quic "
                     "--no-first-run --disable-background-networking --disable-component-update "
                     "--disable-sync --virtual-time-budget=5000 --user-data-dir=" +
                     profile + " --dump-dom " + url + " 2>/dev/null";
    FILE* f = popen(command.c_str(), "r");
    string out;
    char data[65536];
    for (size_t n; (n = fread(data, 1, sizeof data, f)) > 0;)
        out.append(data, n);
    pclose(f);
    return out;
}

// The figures, the session and the map's version as the page shows them (the chunk feed
// it follows is checked byte for byte inside the process).
TEST_F(liveE2E, TheBrowserShowsTheFiguresThePlayerAndTheMap) {
    if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "no chromium";
    ASSERT_TRUE(cl.join("painter"));
    std::jthread alive([&](std::stop_token stop) { // the player is never silent
        for (; !stop.stop_requested(); usleep(200 * 1000))
            cl.send(cl.tic());
    });
    string url = "http://127.0.0.1:" + std::to_string(httpPort) + "/";
    string before = chromium(dir + "/chromium", url);
    for (const char* shown :
         {"id=\"playing\">1<", "id=\"chunks\">331<", ">painter<", "map: 331 chunks, version 331<"})
        EXPECT_TRUE(has(before, shown)) << shown << "\n" << before;
}
