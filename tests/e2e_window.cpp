// The real binary in window mode under a virtual display: Start by a click on its button,
// a player served and saved, SIGPIPE ignored, and SIGHUP quitting with a save as closing
// the window does; a headless server's SIGHUP stops it with a save too, one that keeps the
// account whose handshake ended just before.
#include "e2eUtil.h"

namespace {

// Starts a virtual display in the background and prints its process id, then the display
// number once it is ready (Xvfb writes it to descriptor 3 then).
constexpr const char* xvfbCommand =
    "Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>&1 >/dev/null 2>&1 & echo $!";

string runShell(const string& command) {
    FILE* f = popen((command + " 2>/dev/null").c_str(), "r");
    string out(1024, 0);
    out.resize(fread(out.data(), 1, out.size(), f));
    pclose(f);
    return out;
}

struct windowE2E : e2eTest {
    pid_t xvfb = -1;
    void SetUp() override {
        if (runShell("command -v Xvfb && command -v xdotool").find("xdotool") == string::npos)
            GTEST_SKIP() << "Xvfb and xdotool are not installed (scripts/setup-test)";
        int number = -1;
        ASSERT_EQ(sscanf(runShell(xvfbCommand).c_str(), "%d %d", &xvfb, &number), 2);
        srv.display = ":" + std::to_string(number);
    }
    ~windowE2E() override {
        if (xvfb > 0) kill(xvfb, SIGTERM);
    }
    string xdotool(const string& args) {
        return runShell("DISPLAY=" + srv.display + " timeout 20 xdotool " + args);
    }
};

} // namespace

TEST_F(windowE2E, AClickStartsItSigpipeIsIgnoredAndSighupQuitsWithASave) {
    srv.spawn(dir);
    string window = xdotool("search --sync --name 'Quarn Incremental'");
    ASSERT_FALSE(window.empty()) << srv.output();
    window.resize(window.find('\n'));
    EXPECT_TRUE(has(xdotool("getwindowgeometry " + window), "Geometry: 1000x600"));
    ASSERT_TRUE(srv.waitFor("textW: ")) << srv.output();
    // The button sits under the logo; clicks count once the loop draws its frames.
    for (int i = 0; i < 10 && !has(srv.output(), "entsLoaded"); i++) {
        xdotool("mousemove --window " + window + " 120 420 click 1");
        srv.waitFor("entsLoaded", 500);
    }
    ASSERT_TRUE(cl.join("windowed")) << srv.output();
    usleep(300 * 1000); // a few ticks: the last acknowledgement confirms the account
    kill(srv.pid, SIGPIPE);
    EXPECT_EQ(cl.request({coWakeup}), bytes{soWakeup});
    kill(srv.pid, SIGHUP);
    EXPECT_EQ(srv.waitExit(), 0) << srv.output();
    EXPECT_TRUE(has(readFile(res("profiles")), "windowed"));
}

TEST_F(e2eTest, AHeadlessServerStopsWithASaveAtSighup) {
    srv.args = {"--quiet"};
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    ASSERT_TRUE(cl.join("hangup"));
    kill(srv.pid, SIGHUP); // the handshake's last acknowledgement is taken before the save
    EXPECT_EQ(srv.waitExit(), 0) << srv.output();
    EXPECT_TRUE(has(srv.output(), "Server: Stopping + Saving"));
    EXPECT_TRUE(has(readFile(res("profiles")), "hangup")) << srv.output();
}
