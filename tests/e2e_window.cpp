// The real binary in window mode under a virtual display (the window and its screenshots,
// Start and Stop by clicks, closing, signals) and in headless mode (signals, a taken port).
#include "e2eUtil.h"

#include <SDL2/SDL_image.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using screenshot = std::vector<uint32_t>; // 1000 x 600 pixels of the window, 0xRRGGBB

static bool savePng(screenshot& s, const string& path) {
    SDL_Surface* surface =
        SDL_CreateRGBSurfaceWithFormatFrom(s.data(), 1000, 600, 32, 4000, SDL_PIXELFORMAT_RGB888);
    bool ok = surface && IMG_SavePNG(surface, path.c_str()) == 0;
    SDL_FreeSurface(surface);
    return ok;
}

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

    void SetUp() override {
        // Xvfb picks a free display and writes its number to descriptor 3 once it is ready.
        FILE* f = popen(
            "Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>&1 >/dev/null 2>&1 & echo $!",
            "r");
        int number = -1;
        ASSERT_EQ(fscanf(f, "%d %d", &xvfb, &number), 2);
        pclose(f);
        display = ":" + std::to_string(number);
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; }); // until the window maps
        srv.spawn(dir, display);
        win = std::stoul(
            "0" + runX("timeout 20 xdotool search --sync --name '^Quarn Incremental: Server 10$'"));
        ASSERT_NE(win, 0u) << srv.output();
        // Clicks count once the loop runs: wait for the first frame with the grey button.
        ASSERT_TRUE(waitUntil([&] { return shot()[300 * 1000 + 20] == 0x646464u; }, 10000));
    }
    void TearDown() override {
        if (xvfb > 0) kill(xvfb, SIGTERM);
    }
    string runX(const string& cmd) {
        FILE* f = popen(("DISPLAY=" + display + " " + cmd + " 2>/dev/null").c_str(), "r");
        string out(64, 0);
        out.resize(fread(out.data(), 1, out.size(), f));
        pclose(f);
        return out;
    }
    void click(int x) {
        runX("xdotool mousemove --window " + std::to_string(win) + " " + std::to_string(x) +
             " 420 click 1");
    }
    void closeWindow() { // as a window manager does: WM_DELETE_WINDOW
        Display* d = XOpenDisplay(display.c_str());
        XClientMessageEvent ev = {
            ClientMessage, 0, True, d, win, XInternAtom(d, "WM_PROTOCOLS", False), 32, {}};
        ev.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
        XSendEvent(d, win, False, NoEventMask, reinterpret_cast<XEvent*>(&ev));
        XCloseDisplay(d);
    }
    screenshot shot() {
        screenshot s(600000);
        Display* d = XOpenDisplay(display.c_str());
        XImage* im = XGetImage(d, win, 0, 0, 1000, 600, AllPlanes, ZPixmap);
        for (size_t i = 0; im && i < s.size(); i++)
            s[i] = uint32_t(XGetPixel(im, int(i % 1000), int(i / 1000))) & 0xFFFFFF;
        if (im) XDestroyImage(im);
        XCloseDisplay(d);
        return s;
    }
    // A few frames later; kept in /tmp/quarn-screenshots for a human to look at.
    screenshot shoot(const string& name) {
        usleep(400 * 1000);
        screenshot s = shot();
        std::filesystem::create_directories("/tmp/quarn-screenshots");
        string path = "/tmp/quarn-screenshots/" + name + ".png";
        EXPECT_TRUE(savePng(s, path));
        printf("screenshot: %s\n", path.c_str());
        return s;
    }
    // The width of a character cell, as the server measured its font.
    int cell() {
        string out = srv.output();
        size_t at = out.find("textW: ");
        return at == string::npos ? 0 : std::stoi(out.substr(at + 7));
    }
    // From the leftmost to the rightmost dark column of the button's label: "Start" spans
    // five cells, "Stop" four.
    int labelWidth(const screenshot& s) {
        int left = 1000, right = -1;
        for (int x = 4; x < 246; x++)
            if (countDark(s, x, 400, 1, 60) > 0) {
                left = std::min(left, x);
                right = x;
            }
        return right - left;
    }
    bool showsStart(const screenshot& s) { return labelWidth(s) > 4.5 * cell(); }
    bool showsStop(const screenshot& s) {
        int w = labelWidth(s);
        return w > 3 * cell() && w < 4 * cell();
    }
    // Rows of the log's slot `row` (20 pixels from y = 4) with dark pixels in character
    // cell `col`.
    std::vector<int> inkRows(const screenshot& s, int row, int col) {
        std::vector<int> rows;
        for (int y = 0; y < 20; y++)
            if (countDark(s, 258 + col * cell(), 4 + 20 * row + y, cell(), 1) > 0)
                rows.push_back(y);
        return rows;
    }
};

TEST_F(windowServer, ShowsLayoutStartsStopsAndClosesWithStatusZero) {
    screenshot s = shoot("window-start");
    EXPECT_EQ(s[400 * 1000 + 700], 0xFFFFFFu); // background
    uint32_t logo = s[64 * 1000 + 129];
    EXPECT_GT(int(logo >> 8 & 255), int(logo >> 16 & 255) + 40) << std::hex << logo; // green
    EXPECT_EQ(s[300 * 1000 + 20], 0x646464u);                                        // button
    ASSERT_GT(cell(), 0) << srv.output();
    EXPECT_TRUE(showsStart(s)); // a black "Start" label
    // Newest entry on top: "gLoop: Starting", then "initUI: Completed" (17 characters).
    EXPECT_GT(countDark(s, 258, 24, 17 * cell(), 20), 100);
    EXPECT_EQ(countDark(s, 258 + 18 * cell(), 24, 200, 20), 0);
    // Whole letters: the tail of the "g" of "gLoop" reaches well below the foot of its
    // "L" (a font too tall for its row has its baseline at the row's end and the tails
    // cut off there).
    std::vector<int> g = inkRows(s, 0, 0), l = inkRows(s, 0, 1);
    ASSERT_TRUE(!g.empty() && !l.empty());
    EXPECT_GE(g.back() - l.back(), 3)
        << "descender cut: g ends at " << g.back() << ", L at " << l.back();
    click(120);
    ASSERT_TRUE(waitPort(srv.port, true)) << srv.output();
    s = shoot("window-serving");
    EXPECT_TRUE(showsStop(s));
    EXPECT_EQ(cl.request({coWakeup}), bytes{soWakeup});
    click(120);
    ASSERT_TRUE(waitPort(srv.port, false));
    EXPECT_TRUE(showsStart(shoot("window-stopped")));
    click(2); // the margin: nothing happens
    usleep(300 * 1000);
    EXPECT_TRUE(waitPort(srv.port, false, 0));
    closeWindow();
    EXPECT_EQ(srv.waitExit(10000), 0);
}

TEST_F(windowServer, StartWithThePortTakenStaysStoppedAndSigtermIsAQuitThatSaves) {
    serverProc other;
    other.port = srv.port;
    other.spawn(dir);
    ASSERT_TRUE(waitPort(srv.port, true));
    click(120);
    ASSERT_TRUE(srv.waitFor("initServ: cannot open UDP port " + std::to_string(srv.port)));
    EXPECT_TRUE(showsStart(shoot("window-bind-failed")));
    EXPECT_EQ(other.stop(), 0);
    EXPECT_TRUE(waitPort(srv.port, false, 0));
    click(120);
    ASSERT_TRUE(waitPort(srv.port, true));
    EXPECT_EQ(srv.stop(), 0);
    EXPECT_TRUE(waitPort(srv.port, false, 0));
    EXPECT_EQ(readFile(srv.dir + "/res/world").size(), 1083036u);
}

// The only copy of the accounts is in memory while a save fails: Stop keeps serving, and
// the Stop after the fault is cleared saves them.
TEST_F(windowServer, StopWhoseSaveFailsKeepsServingAndTheNextStopSaves) {
    click(120);
    ASSERT_TRUE(waitPort(srv.port, true)) << srv.output();
    ASSERT_EQ(cl.request(newAccountMsg("keepme", "pw")), bytes{soNewGood});
    string blocker = srv.dir + "/res/profiles.tmp";
    std::filesystem::create_directory(blocker);
    click(120);
    ASSERT_TRUE(srv.waitFor("S Prof: error opening file")) << srv.output();
    EXPECT_TRUE(showsStop(shoot("window-save-failed")));
    EXPECT_TRUE(portTaken(srv.port));
    EXPECT_EQ(cl.request({coWakeup}), bytes{soWakeup});
    std::filesystem::remove(blocker);
    click(120);
    ASSERT_TRUE(waitPort(srv.port, false)) << srv.output();
    EXPECT_TRUE(has(readFile(srv.dir + "/res/profiles"), "keepme"));
    closeWindow();
    EXPECT_EQ(srv.waitExit(10000), 0);
}

using headless = e2eTest;

TEST_F(headless, SignalsStopWithASaveAndASecondServerCannotBind) {
    for (int sig : {SIGTERM, SIGINT}) {
        serverProc second;
        second.port = srv.port;
        ASSERT_TRUE(srv.serve(dir) && has(srv.output(), "Server: Starting"));
        second.spawn(dir); // it stops at the port
        EXPECT_EQ(second.waitExit(), 1);
        EXPECT_TRUE(has(second.output(), "initServ: cannot open UDP port " +
                                             std::to_string(srv.port) +
                                             ": Address already in use") &&
                    has(second.output(), "Server: Start failed"))
            << second.output();
        EXPECT_EQ(srv.stop(sig), 0);
        EXPECT_TRUE(waitPort(srv.port, false, 0) &&
                    has(srv.output(), "Server: Stopping + Saving\n"));
    }
}
