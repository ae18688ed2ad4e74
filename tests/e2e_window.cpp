// The real binary in window mode under a virtual display: the window's layout and its
// letters, Start and Stop by clicks, a port another server holds, a Stop whose save fails,
// and the quit; beside it headless servers and their signals.
#include "e2eUtil.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

using screenshot = std::vector<uint32_t>; // 1000 x 600 pixels of the window, 0xRRGGBB

// Starts a virtual display in the background and prints its process id, then the display
// number once it is ready.
constexpr const char* xvfbCommand =
    "Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>&1 >/dev/null 2>&1 & echo $!";

// Pixels in the rectangle whose channels are all below 64.
static int countDark(const screenshot& s, int x0, int y0, int w, int h) {
    int n = 0;
    for (int i = 0; i < w * h; i++)
        n += (s[size_t((y0 + i / w) * 1000 + x0 + i % w)] & 0xC0C0C0) == 0;
    return n;
}

struct windowServer : e2eTest {
    pid_t xvfb = -1;
    string display;
    unsigned long win = 0;
    int cell = 0; // the width of a character cell, as the server measured its font

    void SetUp() override {
        // Xvfb picks a free display and writes its number to descriptor 3 once it is ready;
        // the output ends when it closes that descriptor.
        int number = -1;
        ASSERT_EQ(sscanf(runX(xvfbCommand).c_str(), "%d %d", &xvfb, &number), 2);
        display = ":" + std::to_string(number);
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; }); // until the window maps
        srv.spawn(dir, display);
        win = std::stoul("0" + runX("timeout 20 xdotool search --sync --name 'Quarn Incremental'"));
        ASSERT_NE(win, 0u) << srv.output();
        ASSERT_TRUE(srv.waitFor("textW: ")) << srv.output();
        string out = srv.output();
        cell = std::stoi(out.substr(out.find("textW: ") + 7));
        // Clicks count once the loop runs: wait for the first frame with the grey button.
        ASSERT_TRUE(waitUntil([&] { return shot()[300 * 1000 + 20] == 0x646464u; }, 10000));
    }
    ~windowServer() override {
        if (xvfb > 0) kill(xvfb, SIGTERM);
    }
    string runX(const string& cmd) {
        FILE* f = popen(("DISPLAY=" + display + " " + cmd + " 2>/dev/null").c_str(), "r");
        string out(64, 0);
        out.resize(fread(out.data(), 1, out.size(), f));
        pclose(f);
        return out;
    }
    void clickButton() {
        runX("xdotool mousemove --window " + std::to_string(win) + " 120 420 click 1");
    }
    screenshot shot() { // a few frames on
        usleep(300 * 1000);
        screenshot s(600000);
        Display* d = XOpenDisplay(display.c_str());
        XImage* im = XGetImage(d, win, 0, 0, 1000, 600, AllPlanes, ZPixmap);
        for (size_t i = 0; im && i < s.size(); i++)
            s[i] = uint32_t(XGetPixel(im, int(i % 1000), int(i / 1000))) & 0xFFFFFF;
        if (im) XDestroyImage(im);
        XCloseDisplay(d);
        return s;
    }
    // In cells, from the leftmost to the rightmost dark column of the button's label:
    // "Start" spans five, "Stop" four.
    double labelCells() {
        screenshot s = shot();
        std::vector<int> inked;
        for (int x = 4; x < 246; x++)
            if (countDark(s, x, 400, 1, 60) > 0) inked.push_back(x);
        return inked.empty() ? 0 : double(inked.back() - inked.front()) / cell;
    }
};

TEST_F(windowServer, ShowsItsLayoutStartsAndStopsByClicksKeepsServingWhenASaveFails) {
    screenshot s = shot();
    uint32_t logo = s[64 * 1000 + 129];
    EXPECT_GT(int(logo >> 8 & 255), int(logo >> 16 & 255) + 40) << std::hex << logo; // green
    EXPECT_GT(labelCells(), 4.5); // a black "Start" label
    // Newest entry on top: "gLoop: Starting", then "initUI: Completed" (17 characters).
    EXPECT_GT(countDark(s, 258, 24, 17 * cell, 20), 100);
    EXPECT_EQ(countDark(s, 258 + 18 * cell, 24, 200, 20), 0);

    // Start while a headless server (on a folder of its own) holds the port: the window
    // stays stopped. SIGINT stops that server with a save.
    string otherDir = makeRunDir();
    serverProc headless;
    headless.port = srv.port;
    ASSERT_TRUE(headless.serve(otherDir)) << headless.output();
    clickButton();
    ASSERT_TRUE(srv.waitFor("initServ: cannot open UDP port " + std::to_string(srv.port)));
    EXPECT_EQ(headless.stop(SIGINT), 0);
    clickButton();
    ASSERT_TRUE(srv.waitFor("entsLoaded")) << srv.output();
    EXPECT_TRUE(waitUntil([&] { return std::fabs(labelCells() - 3.5) < 0.5; }, 5000)); // "Stop"
    std::filesystem::remove_all(otherDir);

    // The only copy of an account is in memory while a save fails: Stop keeps serving, and
    // the Stop after the fault is cleared saves it.
    ASSERT_EQ(cl.request(newAccountMsg("keepme", "pw")), bytes{soNewGood});
    std::filesystem::create_directory(res("profiles.tmp"));
    clickButton();
    ASSERT_TRUE(srv.waitFor("S Prof: error opening file")) << srv.output();
    EXPECT_EQ(cl.request({coWakeup}), bytes{soWakeup});
    std::filesystem::remove(res("profiles.tmp"));
    clickButton();
    EXPECT_TRUE(waitUntil([&] { return has(readFile(res("profiles")), "keepme"); }, 5000));
    // SDL turns SIGTERM into the quit event that closing the window sends.
    EXPECT_EQ(srv.stop(), 0);
}
