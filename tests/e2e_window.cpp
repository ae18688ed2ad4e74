// The real binary in window mode under a virtual display, and in headless mode: the
// window and what it shows, Start and Stop by clicks, the port, closing and signals.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "e2eUtil.h"
#include "testUtil.h"

namespace {

struct windowGeometry {
    int x = 0, y = 0;
};

windowGeometry geometryOf(const xDisplay& x, unsigned long win) {
    std::string out = runX(x, "xdotool getwindowgeometry " + std::to_string(win));
    windowGeometry g;
    size_t at = out.find("Position: ");
    if (at != std::string::npos) sscanf(out.c_str() + at, "Position: %d,%d", &g.x, &g.y);
    return g;
}

// Layout of the window with the committed 250 x 250 logo and a 12 x 20 font cell.
constexpr int buttonLeft = 4, buttonTop = 262, buttonW = 242, buttonH = 334;
constexpr int labelTop = buttonTop + (buttonH - 20) / 2;
int labelLeft(int chars) {
    return buttonLeft + (buttonW - 12 * chars) / 2;
}

struct windowServer : testing::Test {
    xDisplay x;
    serverProc srv;
    unsigned long win = 0;
    windowGeometry at;

    void SetUp() override {
        ASSERT_EQ(udpPortTaken(2300), 0);
        ASSERT_TRUE(startXvfb(&x));
        srv = spawnServer(makeRunDir(), false, x.name);
        win = findWindow(x, "Quarn Incremental: Server 10", 20000);
        ASSERT_NE(win, 0u) << readFile(srv.out);
        at = geometryOf(x, win);
        // Clicks count only once the loop runs: wait for the first frame with the button.
        screenshot s;
        for (int t = 0; t < 10000; t += 50) {
            if (grabScreen(x, &s) && s.at(at.x + 20, at.y + 300) == 0x646464u) break;
            usleep(50 * 1000);
        }
        ASSERT_EQ(s.at(at.x + 20, at.y + 300), 0x646464u);
    }
    void TearDown() override {
        killServer(&srv);
        stopXvfb(&x);
    }
    screenshot shoot(const std::string& name) {
        usleep(400 * 1000); // a few frames
        screenshot s;
        EXPECT_TRUE(grabScreen(x, &s));
        std::string path = srv.dir + "/" + name + ".png";
        savePng(s, path);
        printf("screenshot: %s\n", path.c_str());
        return s;
    }
    int labelInk(const screenshot& s, int chars) {
        return countDark(s, at.x + labelLeft(chars), at.y + labelTop, 12 * chars, 20);
    }
    // Ink in the first character cell of a 5-character label: "Start" has some, "Stop" none.
    int fifthCharInk(const screenshot& s) {
        return countDark(s, at.x + labelLeft(5), at.y + labelTop, 6, 20);
    }
    void clickButton() { clickWindow(x, win, 120, 420); }
};

TEST_F(windowServer, ShowsLayoutStartsStopsAndClosesWithStatusZero) {
    screenshot s = shoot("window-start");
    ASSERT_EQ(s.w, 1280);
    EXPECT_EQ(s.at(at.x + 700, at.y + 400), 0xFFFFFFu); // background
    uint32_t logo = s.at(at.x + 4 + 125, at.y + 4 + 60);
    EXPECT_GT(int(logo >> 8 & 255), int(logo >> 16 & 255) + 40) << std::hex << logo; // green
    EXPECT_EQ(s.at(at.x + 20, at.y + 300), 0x646464u);                               // button
    EXPECT_GT(labelInk(s, 5), 40); // a black "Start" label
    EXPECT_GT(fifthCharInk(s), 0);
    // Newest entry on top: "gLoop: Starting", then "initUI: Completed" (17 characters).
    EXPECT_GT(countDark(s, at.x + 258, at.y + 24, 17 * 12, 20), 100);
    EXPECT_EQ(countDark(s, at.x + 258 + 17 * 12 + 12, at.y + 24, 200, 20), 0);

    ASSERT_EQ(udpPortTaken(2300), 0);
    clickButton();
    ASSERT_TRUE(waitPortTaken(2300, 1, 5000)) << readFile(srv.out);
    s = shoot("window-serving");
    EXPECT_GT(labelInk(s, 4), 30); // "Stop"
    EXPECT_EQ(fifthCharInk(s), 0);
    udpClient cl;
    openClient(&cl);
    EXPECT_EQ(request(&cl, {0}), std::vector<unsigned char>{0}); // a wake-up is answered
    EXPECT_EQ(request(&cl, newAccountMsg("alice", "pw")), std::vector<unsigned char>{1});
    closeClient(&cl);

    clickButton();
    ASSERT_TRUE(waitPortTaken(2300, 0, 5000));
    s = shoot("window-stopped");
    EXPECT_GT(fifthCharInk(s), 0); // "Start" again

    clickWindow(x, win, 2, 420); // the margin left of the button: nothing happens
    usleep(300 * 1000);
    EXPECT_EQ(udpPortTaken(2300), 0);

    closeWindow(x, win);
    EXPECT_EQ(waitExit(&srv, 10000), 0);
    std::string out = readFile(srv.out);
    EXPECT_NE(out.find("mysocket: "), std::string::npos);
    EXPECT_EQ(access((srv.dir + "/res/profiles").c_str(), F_OK) == 0,
              out.find("saveProfs()") != std::string::npos);
}

TEST_F(windowServer, SigtermWhileServingIsAQuitThatSaves) {
    clickButton();
    ASSERT_TRUE(waitPortTaken(2300, 1, 5000));
    kill(srv.pid, SIGTERM);
    EXPECT_EQ(waitExit(&srv, 10000), 0);
    EXPECT_EQ(udpPortTaken(2300), 0);
    std::string out = readFile(srv.out);
    EXPECT_EQ(out.find("profList: (nil)"), std::string::npos) << out; // lists existed: saved
}

TEST_F(windowServer, StartWithPortTakenStaysStopped) {
    serverProc other = spawnServer(makeRunDir(), true);
    serverGuard guard{&other};
    ASSERT_TRUE(waitPortTaken(2300, 1, 5000));
    clickButton();
    ASSERT_TRUE(waitForOutput(srv, "initServ: cannot open UDP port 2300", 5000));
    screenshot s = shoot("window-bind-failed");
    EXPECT_GT(fifthCharInk(s), 0); // still "Start"
    kill(other.pid, SIGTERM);
    EXPECT_EQ(waitExit(&other, 10000), 0);
    closeWindow(x, win);
    EXPECT_EQ(waitExit(&srv, 10000), 0);
}

TEST(headless, StartsAtOnceAndStopsWithSaveOnSigterm) {
    ASSERT_EQ(udpPortTaken(2300), 0);
    serverProc srv = spawnServer(makeRunDir(), true);
    serverGuard guard{&srv};
    ASSERT_TRUE(waitForOutput(srv, "Server: Starting", 5000));
    ASSERT_TRUE(waitPortTaken(2300, 1, 5000));
    kill(srv.pid, SIGTERM);
    EXPECT_EQ(waitExit(&srv, 10000), 0);
    EXPECT_EQ(udpPortTaken(2300), 0);
    std::string out = readFile(srv.out);
    EXPECT_NE(out.find("Server: Stopping + Saving\n"), std::string::npos) << out;
}

TEST(headless, SigintStopsToo) {
    ASSERT_EQ(udpPortTaken(2300), 0);
    serverProc srv = spawnServer(makeRunDir(), true);
    serverGuard guard{&srv};
    ASSERT_TRUE(waitPortTaken(2300, 1, 5000));
    kill(srv.pid, SIGINT);
    EXPECT_EQ(waitExit(&srv, 10000), 0);
    EXPECT_NE(readFile(srv.out).find("Server: Stopping + Saving"), std::string::npos);
}

TEST(headless, SecondServerReportsBindFailureAndExitsNonZero) {
    ASSERT_EQ(udpPortTaken(2300), 0);
    serverProc first = spawnServer(makeRunDir(), true);
    serverGuard guardFirst{&first};
    ASSERT_TRUE(waitPortTaken(2300, 1, 5000));
    serverProc second = spawnServer(makeRunDir(), true);
    serverGuard guardSecond{&second};
    int status = waitExit(&second, 10000);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1);
    std::string out = readFile(second.out);
    EXPECT_NE(out.find("initServ: cannot open UDP port 2300: Address already in use"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Server: Start failed"), std::string::npos);
    kill(first.pid, SIGTERM);
    EXPECT_EQ(waitExit(&first, 10000), 0);
}

} // namespace
