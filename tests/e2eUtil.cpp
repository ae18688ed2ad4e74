// End-to-end helpers: processes, the virtual display and its framebuffer, the UDP port.
#include "e2eUtil.h"

#include "testUtil.h"
#include "veskServer.h"
#include "wireParse.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>
#include <X11/Xlib.h>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

static void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

static void copyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
}

std::string makeRunDir() {
    char tmpl[] = "/tmp/quarn-e2e-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    mkdir((dir + "/res").c_str(), 0755);
    copyFile(std::string(QUARN_SOURCE_DIR) + "/res/Quarn.png", dir + "/res/Quarn.png");
    copyFile(std::string(QUARN_SOURCE_DIR) + "/res/UbuntuMono-R.ttf",
             dir + "/res/UbuntuMono-R.ttf");
    return dir;
}

serverProc spawnServer(const std::string& dir, bool headless, const std::string& display) {
    serverProc p;
    p.dir = dir;
    static int n = 0;
    p.out = dir + "/out" + std::to_string(n++) + ".txt";
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        int fd = open(p.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);
        if (headless) unsetenv("DISPLAY");
        if (headless)
            execl(QUARN_SERVER_BIN, QUARN_SERVER_BIN, "--headless", (char*)nullptr);
        else
            execl(QUARN_SERVER_BIN, QUARN_SERVER_BIN, (char*)nullptr);
        _exit(127);
    }
    p.pid = pid;
    return p;
}

int waitExit(serverProc* p, int timeoutMs) {
    if (p->pid < 0) return -1;
    for (int t = 0; t < timeoutMs; t += 10) {
        int status;
        if (waitpid(p->pid, &status, WNOHANG) == p->pid) {
            p->pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        sleepMs(10);
    }
    killServer(p);
    return -1;
}

void killServer(serverProc* p) {
    if (p->pid < 0) return;
    kill(p->pid, SIGKILL);
    waitpid(p->pid, nullptr, 0);
    p->pid = -1;
}

serverGuard::~serverGuard() {
    killServer(p);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool waitForOutput(const serverProc& p, const std::string& needle, int timeoutMs) {
    for (int t = 0; t < timeoutMs; t += 20) {
        if (readFile(p.out).find(needle) != std::string::npos) return true;
        sleepMs(20);
    }
    return false;
}

int countInOutput(const serverProc& p, const std::string& needle) {
    std::string s = readFile(p.out);
    int n = 0;
    for (size_t at = s.find(needle); at != std::string::npos; at = s.find(needle, at + 1))
        n++;
    return n;
}

int udpPortTaken(int port) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(uint16_t(port));
    int taken = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == EADDRINUSE;
    close(s);
    return taken;
}

bool waitPortTaken(int port, int want, int timeoutMs) {
    for (int t = 0; t < timeoutMs; t += 20) {
        if (udpPortTaken(port) == want) return true;
        sleepMs(20);
    }
    return false;
}

bool startXvfb(xDisplay* x) {
    for (int d = 90; d < 140; d++) {
        std::string lock = "/tmp/.X" + std::to_string(d) + "-lock";
        if (access(lock.c_str(), F_OK) == 0) continue;
        char tmpl[] = "/tmp/quarn-fb-XXXXXX";
        x->fbdir = mkdtemp(tmpl);
        x->name = ":" + std::to_string(d);
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open("/dev/null", O_WRONLY);
            dup2(fd, 1);
            dup2(fd, 2);
            execlp("Xvfb", "Xvfb", x->name.c_str(), "-screen", "0", "1280x800x24", "-fbdir",
                   x->fbdir.c_str(), "-nolisten", "tcp", (char*)nullptr);
            _exit(127);
        }
        x->pid = pid;
        std::string sock = "/tmp/.X11-unix/X" + std::to_string(d);
        for (int t = 0; t < 10000; t += 50) {
            if (access(sock.c_str(), F_OK) == 0 &&
                access((x->fbdir + "/Xvfb_screen0").c_str(), F_OK) == 0)
                return true;
            if (waitpid(pid, nullptr, WNOHANG) == pid) break; // display taken; try the next
            sleepMs(50);
        }
        stopXvfb(x);
    }
    return false;
}

void stopXvfb(xDisplay* x) {
    if (x->pid > 0) {
        kill(x->pid, SIGTERM);
        waitpid(x->pid, nullptr, 0);
    }
    x->pid = -1;
}

std::string runX(const xDisplay& x, const std::string& cmd) {
    std::string full = "DISPLAY=" + x.name + " " + cmd + " 2>/dev/null";
    FILE* f = popen(full.c_str(), "r");
    if (!f) return "";
    std::string out;
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        out.append(chunk, n);
    pclose(f);
    return out;
}

unsigned long findWindow(const xDisplay& x, const std::string& title, int timeoutMs) {
    for (int t = 0; t < timeoutMs; t += 100) {
        std::string out = runX(x, "xdotool search --name '^" + title + "$'");
        if (!out.empty()) return strtoul(out.c_str(), nullptr, 10);
        sleepMs(100);
    }
    return 0;
}

void clickWindow(const xDisplay& x, unsigned long win, int px, int py) {
    runX(x, "xdotool mousemove --window " + std::to_string(win) + " " + std::to_string(px) + " " +
                std::to_string(py) + " click 1");
}

void closeWindow(const xDisplay& x, unsigned long win) {
    Display* d = XOpenDisplay(x.name.c_str());
    if (!d) return;
    XEvent ev = {};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = win;
    ev.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, win, False, NoEventMask, &ev);
    XFlush(d);
    XCloseDisplay(d);
}

static uint32_t be32(const unsigned char* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

bool grabScreen(const xDisplay& x, screenshot* shot) {
    std::string d = readFile(x.fbdir + "/Xvfb_screen0");
    if (d.size() < 100) return false;
    auto u = reinterpret_cast<const unsigned char*>(d.data());
    uint32_t headerSize = be32(u), w = be32(u + 16), h = be32(u + 20);
    uint32_t bpp = be32(u + 44), bpl = be32(u + 48), ncolors = be32(u + 76);
    size_t off = headerSize + size_t(ncolors) * 12;
    if (bpp != 32 || off + size_t(bpl) * h > d.size()) return false;
    shot->w = int(w);
    shot->h = int(h);
    shot->px.resize(size_t(w) * h);
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t i = 0; i < w; i++) {
            const unsigned char* p = u + off + size_t(y) * bpl + size_t(i) * 4;
            shot->px[size_t(y) * w + i] = uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
        }
    return true;
}

bool savePng(const screenshot& shot, const std::string& path) {
    SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, shot.w, shot.h, 32, SDL_PIXELFORMAT_RGB888);
    if (!s) return false;
    for (int y = 0; y < shot.h; y++)
        memcpy(static_cast<char*>(s->pixels) + size_t(y) * size_t(s->pitch),
               &shot.px[size_t(y) * size_t(shot.w)], size_t(shot.w) * 4);
    int rc = IMG_SavePNG(s, path.c_str());
    SDL_FreeSurface(s);
    return rc == 0;
}

int countDark(const screenshot& s, int x0, int y0, int w, int h, int dark) {
    int n = 0;
    for (int y = y0; y < y0 + h && y < s.h; y++)
        for (int x = x0; x < x0 + w && x < s.w; x++) {
            uint32_t p = s.at(x, y);
            if (int(p >> 16 & 255) <= dark && int(p >> 8 & 255) <= dark && int(p & 255) <= dark)
                n++;
        }
    return n;
}

// --- game client -----------------------------------------------------------------------

void openClient(udpClient* c) {
    c->fd = socket(AF_INET, SOCK_DGRAM, 0);
    int size = 4 << 20;
    setsockopt(c->fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(c->fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

void closeClient(udpClient* c) {
    if (c->fd >= 0) close(c->fd);
    c->fd = -1;
}

void clientSendTo(udpClient* c, const std::vector<unsigned char>& d) {
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(2300);
    sendto(c->fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

std::vector<unsigned char> clientNext(udpClient* c, int timeoutMs) {
    pollfd p = {c->fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return {};
    std::vector<unsigned char> d(65536);
    ssize_t n = recv(c->fd, d.data(), d.size(), 0);
    d.resize(n > 0 ? size_t(n) : 0);
    return d;
}

std::vector<unsigned char> request(udpClient* c, const std::vector<unsigned char>& d, int tries) {
    for (int i = 0; i < tries; i++) {
        clientSendTo(c, d);
        std::vector<unsigned char> r = clientNext(c, 500);
        if (!r.empty()) return r;
    }
    return {};
}

int clientLogin(udpClient* c, const std::string& name, const std::string& pass, int radius) {
    std::vector<unsigned char> r = request(c, loginMsg(name, pass, radius));
    if (r.size() != 25 || r[0] != soLogGood) return 0;
    memcpy(c->key, r.data() + 1, 16);
    c->entity = beInt(r.data() + 17);
    return 1;
}

int clientHandshake(udpClient* c, std::vector<chunkRec>* chunks, std::vector<entRec>* ents,
                    int timeoutMs) {
    std::vector<unsigned char> ack = sessionMsg(coUpdate, c->key);
    clientSendTo(c, ack); // confirms the key; nothing comes back for it
    for (int t = 0; t < timeoutMs; t += 200) {
        usleep(60 * 1000); // a tick for the server to take the acknowledgement
        clientSendTo(c, ack);
        std::vector<unsigned char> d = clientNext(c, 200);
        if (d.empty()) continue;
        if (d[0] == soLogGood) continue; // a resend of the key
        std::string why;
        if (d[0] == soInitTer) {
            if (!parseBulkTerrain(d, chunks, &why)) return 0;
        } else if (d[0] == soInitEnt) {
            if (!parseBulkEnts(d, ents, &why)) return 0;
        } else if (d == std::vector<unsigned char>{soUpdate}) {
            clientSendTo(c, ack); // acknowledges the end mark: now in the game
            return 1;
        } else {
            return 0;
        }
    }
    return 0;
}

std::vector<unsigned char> keyMsg(const udpClient& c, std::vector<std::pair<int, int>> entries) {
    std::vector<unsigned char> d = sessionMsg(coGameTic, c.key);
    d.push_back(cosKey);
    appendInt(&d, int(entries.size()));
    for (auto [slot, action] : entries) {
        appendInt(&d, slot);
        d.push_back(uint8_t(action));
    }
    return d;
}

void writeProfile(const std::string& dir, const std::string& name, const std::string& pass,
                  int entity) {
    std::vector<unsigned char> d = {1, 0, 0, 0};
    std::vector<unsigned char> rec = newAccountMsg(name, pass);
    d.insert(d.end(), rec.begin() + 1, rec.end());
    d.insert(d.end(), reinterpret_cast<unsigned char*>(&entity),
             reinterpret_cast<unsigned char*>(&entity) + 4);
    std::ofstream out(dir + "/res/profiles", std::ios::binary);
    out.write(reinterpret_cast<const char*>(d.data()), std::streamsize(d.size()));
}
