// Helpers for end-to-end tests of the real binary: run directories, the server process and
// its output, a UDP port of the test's own, and game clients that talk to the server over
// loopback.
#pragma once

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <set>
#include <unistd.h>

#include "bytes.h"
#include "clientSession.h"
#include "forgedNet.h"
#include "testUtil.h"
#include "server.h"

using std::string;

inline double msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

template <class F> bool waitUntil(F done, int timeoutMs) {
    for (auto t0 = std::chrono::steady_clock::now(); !done(); usleep(20 * 1000))
        if (msSince(t0) > timeoutMs) return false;
    return true;
}

// A UDP port nobody holds now, as the system hands them out: tests running side by side
// get different ones.
inline int freePort() {
    sockaddr_in a = {};
    close(loopbackSocket(&a));
    return ntohs(a.sin_port);
}

inline string readFile(const string& path) {
    return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}};
}

inline void writeFile(const string& path, const string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

inline bool has(const string& text, const string& part) {
    return text.find(part) != string::npos;
}

string makeRunDir(); // a fresh directory with res/ holding the logo and the font

// One HTTP request over a fresh connection to 127.0.0.1:port: `request` is a path for a
// plain GET, or the whole request. The answer's status (0 when none came), head and body.
struct httpAnswer {
    int status = 0;
    string head, body;
};
httpAnswer httpAsk(int port, const string& request);

// `quarn-server --res resDir --control command`, with `input` on its standard input: its
// exit status, with what it printed (standard output, then standard error) in `printed`.
int runControl(const string& resDir, const string& command, string* printed,
               const string& input = "");

struct serverProc {
    int port = freePort();
    std::vector<string> args;   // further options
    string input = "/dev/null"; // its standard input
    string environment;         // NAME=value ... for its environment
    string display;             // an X display: window mode there, else headless
    pid_t pid = -1;
    string out;           // the file of its captured output, new at each spawn
    bool keepOut = false; // unless this is set: then `out` is used as it is
    ~serverProc() { waitExit(0); }
    // Runs in `runDir` (holding res/), headless unless a display is given.
    void spawn(const string& runDir);
    int waitExit(int timeoutMs = 30000); // the exit status, or -1 when it had to be killed
    int stop(int sig = SIGTERM) { return pid > 0 && kill(pid, sig) == 0 ? waitExit() : -1; }
    string output() const { return readFile(out); }
    bool waitFor(const string& part, int ms = 5000) {
        return waitUntil([&] { return has(output(), part); }, ms);
    }
    // Spawns a headless server and waits until it serves: it has its port before it loads.
    bool serve(const string& runDir) {
        spawn(runDir);
        return waitFor("entsLoaded", 20000);
    }
};

// A game client whose loopback endpoint sends to the server's port. Its creations, logins
// and handshakes are the client library's session, driven by the steady clock.
struct udpClient : loopback {
    unsigned char key[16] = {};
    int entity = -1;
    clientSession session = {};
    clientOutbox unsent = {}; // the session's answers not sent yet
    explicit udpClient(int port, const char* ip = "127.0.0.1") {
        client = loopbackSocket(&clientAddr, ip);
        serverAddr = {AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    }
    udpClient(const udpClient&) = delete;
    ~udpClient() { close(client); }
    void send(const bytes& d) { clientSend(this, d); }
    bytes recv(int timeoutMs) { return clientRecv(this, timeoutMs); }
    bytes tic() const { return sessionMsg(coGameTic, key); }
    bytes request(const bytes& d) { // drops what came before; sends until a reply comes
        bytes r;
        clientDrain(this, 0);
        for (int i = 0; i < 10 && r.empty(); i++) {
            send(d);
            r = recv(500);
        }
        return r;
    }
    // A login (sent again every 500 ms, ten times at most): true when the key came, false at
    // the first refusal. The key is not acknowledged yet: handshake() does that.
    bool login(const string& name, const string& pass, int radius);
    // The whole handshake after a login, each batch acknowledged; true when in game.
    bool handshake(int timeoutMs);
    // A new account (or the login of one that exists), its login with view radius 3 and the
    // handshake: true when in game. Refusals are tried again, as a player would: a tick hashes
    // only a few passwords.
    bool join(const string& name, const string& pass = "pw");
    // Steps the session with what arrives until the event `goal`: false when the session
    // ends, the event `stop` comes first, or `timeoutMs` passes.
    bool drive(int goal, int stop, int timeoutMs);
    void sendUnsent();
    bytes keys(const std::vector<std::pair<int, int>>& entries) const {
        return tic() + ::keys(int(entries.size()), entries);
    }
    // A view-angle change whose heading names turn k, for counting the turns that come back.
    bytes turn(int k) const {
        const float rots[3] = {0, 0.001f * float(k), 0};
        return tic() + viewAnglesMsg(rots);
    }
    // The turns of this client's entity in the datagrams, by the k of turn(k).
    std::set<int> turnsIn(const bytes& d) const {
        gameStream s;
        std::set<int> got;
        if (d.empty() || d == bytes{soUpdate} || !readGameDatagram(d.data(), d.size(), &s, nullptr))
            return got;
        for (const entUpdate& u : s.ents)
            if (u.id == entity && u.hasRot) got.insert(int(std::lround(u.rots[1] / 0.001f)));
        return got;
    }
    bytes mouse(const float* eyeAndRay, int button) const {
        return tic() + mouseMsg(eyeAndRay, button);
    }
};

// A run directory, a server and a client; the directory goes when the test ends.
struct e2eTest : testing::Test {
    string dir = makeRunDir();
    serverProc srv;
    udpClient cl{srv.port};
    ~e2eTest() override { std::filesystem::remove_all(dir); }
    string res(const string& name) { return dir + "/res/" + name; }
};
