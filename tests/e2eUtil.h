// Helpers for end-to-end tests of the real binary: a private run directory with the
// run-time files, spawning and stopping the server, a virtual X display with its
// framebuffer as screenshot, and the state of UDP port 2300.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct serverProc {
    pid_t pid = -1;
    std::string dir; // working directory, holds res/
    std::string out; // captured standard output and error
};

std::string makeRunDir();

// Kills the process when the test ends early, so no server outlives its test.
struct serverGuard {
    serverProc* p;
    ~serverGuard();
};
serverProc spawnServer(const std::string& dir, bool headless, const std::string& display = "");
// Exit status, or -1 if the process had to be killed after the time-out.
int waitExit(serverProc* p, int timeoutMs);
void killServer(serverProc* p);
std::string readFile(const std::string& path);
bool waitForOutput(const serverProc& p, const std::string& needle, int timeoutMs);
int countInOutput(const serverProc& p, const std::string& needle);
// 1 when some process holds the UDP port, 0 when it is free.
int udpPortTaken(int port);
bool waitPortTaken(int port, int want, int timeoutMs);

struct xDisplay {
    pid_t pid = -1;
    std::string name;  // ":93"
    std::string fbdir; // the framebuffer lives here as an XWD file
};
bool startXvfb(xDisplay* x);
void stopXvfb(xDisplay* x);
// Runs a shell command with DISPLAY set; returns its standard output.
std::string runX(const xDisplay& x, const std::string& cmd);
unsigned long findWindow(const xDisplay& x, const std::string& title, int timeoutMs);
void clickWindow(const xDisplay& x, unsigned long win, int px, int py);
void closeWindow(const xDisplay& x, unsigned long win); // WM_DELETE_WINDOW, as a window manager

struct screenshot {
    int w = 0, h = 0;
    std::vector<uint32_t> px; // 0xRRGGBB
    uint32_t at(int x, int y) const { return px[size_t(y) * size_t(w) + size_t(x)]; }
};
bool grabScreen(const xDisplay& x, screenshot* shot);
bool savePng(const screenshot& shot, const std::string& path);
// Pixels in the rectangle whose channels are all at most `dark`.
int countDark(const screenshot& s, int x0, int y0, int w, int h, int dark = 90);

// A game client on loopback talking to the server's port 2300.
struct udpClient {
    int fd = -1;
    unsigned char key[16] = {};
    int entity = -1;
};
void openClient(udpClient* c);
void closeClient(udpClient* c);
void clientSendTo(udpClient* c, const std::vector<unsigned char>& d);
// The next datagram, or empty after timeoutMs.
std::vector<unsigned char> clientNext(udpClient* c, int timeoutMs);
// Sends until a reply comes (datagrams can be lost); the reply or empty.
std::vector<unsigned char> request(udpClient* c, const std::vector<unsigned char>& d,
                                   int tries = 10);
// Logs in and keeps the key; 1 on soLogGood.
int clientLogin(udpClient* c, const std::string& name, const std::string& pass, int radius);

struct chunkRec;
struct entRec;
// Runs the whole handshake after a login; fills what was streamed. 1 when in the game.
int clientHandshake(udpClient* c, std::vector<chunkRec>* chunks, std::vector<entRec>* ents,
                    int timeoutMs = 30000);
std::vector<unsigned char> keyMsg(const udpClient& c, std::vector<std::pair<int, int>> entries);

// A profiles file with one account, for a server to load at Start.
void writeProfile(const std::string& dir, const std::string& name, const std::string& pass,
                  int entity);
