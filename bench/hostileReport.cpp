// What hostile clients and a grown world cost the players of a server binary, measured from
// outside against the real process in a network namespace of the tool's own: a watching
// player turns every 50 ms and counts the turns the server echoes, while one scenario plays
// against it; the tick figures come from the status lines, the rest from what clients see
// and from the log. The same tool measures any build of the server, side by side.
//
//   quarn_hostile SCENARIO [--server PATH] [--seconds N] [--world FILE] [--keep]
#include <algorithm>
#include <atomic>
#include <climits>
#include <fcntl.h>
#include <functional>
#include <getopt.h>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

#include "bytes.h"
#include "e2eUtil.h"

namespace {

// --- the command line ------------------------------------------------------------------

struct toolOptions {
    string scenario;
    string server = QUARN_SERVER_BIN;
    int seconds = 0; // 0: the scenario's own default
    string world = "/tmp/quarn-grown-world";
    bool keep = false;
    bool help = false;
};

const char* const usageText =
    "usage: quarn_hostile SCENARIO [--server PATH] [--seconds N] [--world FILE] [--keep]\n"
    "  SCENARIO: grownjoin grownwalk picks20 picks60 logflood stdoutstall newcomers\n"
    "            playerlock registration forgedendpoint\n"
    "  --server PATH   the server binary measured (default: this build's)\n"
    "  --seconds N     the length of the scenario's main phase\n"
    "  --world FILE    the cached grown world (default /tmp/quarn-grown-world)\n"
    "  --keep          keep the run folders (/tmp/quarn-hostile-*) with the server's output\n"
    "  --help          print this and exit\n";

// 1 with the options, 0 after a bad command line.
int parseToolOptions(int argc, char** argv, toolOptions* o) {
    static const option longOptions[] = {
        {"server", required_argument, nullptr, 's'}, {"seconds", required_argument, nullptr, 'n'},
        {"world", required_argument, nullptr, 'w'},  {"keep", no_argument, nullptr, 'k'},
        {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1;) {
        if (c == 's') {
            o->server = optarg;
        } else if (c == 'h') {
            o->help = true;
            return 1;
        } else if (c == 'k') {
            o->keep = true;
        } else if (c == 'w') {
            o->world = optarg;
        } else if (c != 'n' || !parseWholeNumber(optarg, 1, 3600, &o->seconds)) {
            return 0;
        }
    }
    if (optind != argc - 1) return 0;
    o->scenario = argv[optind];
    return 1;
}

// --- the server process ----------------------------------------------------------------

double secondsSince(std::chrono::steady_clock::time_point t0) {
    return msSince(t0) / 1000.0;
}

// A headless server of the binary measured, in a run directory of its own; its standard
// output and error go to a file (appended over restarts), or its standard output to a pipe
// the tool reads when it chooses.
struct serverRun {
    string bin, dir;
    int port = freePort();
    std::vector<string> args; // further options
    pid_t pid = -1;
    string outPath;
    int pipeRead = -1;
    int pipeSize = 0; // the pipe's buffer, when set
    serverRun(const string& binary, const string& runDir)
        : bin(binary), dir(runDir), outPath(runDir + "/out.txt") {}
    serverRun(const serverRun&) = delete;
    ~serverRun() {
        if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
        if (pipeRead >= 0) close(pipeRead);
    }
    string res(const string& name) const { return dir + "/res/" + name; }

    bool start(bool pipeOut = false) {
        std::vector<string> all = {bin,     "--headless", "--port",     std::to_string(port),
                                   "--res", res(""),      "--autosave", "0"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2] = {-1, -1};
        if (pipeOut && pipe2(fds, O_CLOEXEC) != 0) return false;
        if (pipeOut && pipeSize > 0) fcntl(fds[0], F_SETPIPE_SZ, pipeSize);
        int file = open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives the tool
            dup2(input, 0);
            dup2(pipeOut ? fds[1] : file, 1);
            dup2(file, 2);
            if (chdir(dir.c_str()) == 0) execv(bin.c_str(), argv.data());
            _exit(127);
        }
        close(file);
        close(input);
        if (pipeOut) {
            close(fds[1]);
            pipeRead = fds[0];
        }
        return pid > 0;
    }

    bool exited() {
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) pid = -1;
        return pid <= 0;
    }

    // Serving: a wake-up from loopback is answered (the port opens before the world is
    // loaded, the ticks start after).
    bool ready(int timeoutMs) {
        udpClient probe(port);
        auto t0 = std::chrono::steady_clock::now();
        while (msSince(t0) < timeoutMs && !exited()) {
            probe.send(bytes{coWakeup});
            for (bytes d = probe.recv(200); !d.empty(); d = probe.recv(0))
                if (d == bytes{soWakeup}) return true;
        }
        return false;
    }

    // SIGTERM (a Stop with a save), then SIGKILL after `timeoutMs`: the exit status, -1
    // when it had to be killed.
    int stop(int timeoutMs = 120000) {
        if (pid <= 0 || kill(pid, SIGTERM) != 0) return -1;
        int status = 0;
        auto t0 = std::chrono::steady_clock::now();
        while (waitpid(pid, &status, WNOHANG) != pid) {
            if (msSince(t0) > timeoutMs) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
                pid = -1;
                return -1;
            }
            usleep(20 * 1000);
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    long outSize() const {
        struct stat st;
        return stat(outPath.c_str(), &st) == 0 ? long(st.st_size) : 0;
    }
    string outBetween(long from, long to) const {
        string all = readFile(outPath);
        size_t end = std::min(all.size(), size_t(to));
        return size_t(from) < end ? all.substr(size_t(from), end - size_t(from)) : "";
    }
    string outFrom(long from) const { return outBetween(from, LONG_MAX); }
};

bool keepRunDirs = false; // --keep: the run directories stay, for a look at the log

// A run directory with an empty save folder, which goes when the scenario ends (the
// headless server needs neither the window's logo nor its font).
struct runDir {
    string path;
    runDir() {
        char pattern[] = "/tmp/quarn-hostile-XXXXXX";
        if (!mkdtemp(pattern)) {
            perror("mkdtemp");
            exit(1);
        }
        path = pattern;
        std::filesystem::create_directory(path + "/res");
    }
    ~runDir() {
        if (!keepRunDirs) std::filesystem::remove_all(path);
    }
};

// --- what the log and the status lines say ---------------------------------------------

struct tickFigures {
    double mean = 0, max = 0; // the mean of the status lines' means, the longest tick
    int lines = 0;
    int playing = -1; // of the last status line
    long long dropped = 0;
};

tickFigures ticksIn(const string& text) {
    tickFigures f;
    double sum = 0;
    for (size_t at = text.find("Status: "); at != string::npos;
         at = text.find("Status: ", at + 1)) {
        const char* line = text.c_str() + at;
        int playing = 0;
        if (sscanf(line, "Status: %d playing", &playing) == 1) f.playing = playing;
        const char* tick = strstr(line, "tick mean ");
        double mean = 0, max = 0;
        if (!tick || sscanf(tick, "tick mean %lf ms, max %lf ms", &mean, &max) != 2) continue;
        long long dropped = 0;
        const char* count = strstr(tick, " chunks, ");
        if (count && sscanf(count, " chunks, %*d entities, %lld datagrams dropped", &dropped) == 1)
            f.dropped += dropped;
        sum += mean;
        f.max = std::max(f.max, max);
        f.lines++;
    }
    f.mean = f.lines ? sum / f.lines : 0;
    return f;
}

void printTicks(const char* what, const tickFigures& t) {
    printf("  %s: tick mean %.2f ms, longest tick %.2f ms (%d status lines), %lld datagrams "
           "dropped\n",
           what, t.mean, t.max, t.lines, t.dropped);
}

// Adds up "<text>" entries and the "<text>: N more from" summaries of held-back ones.
long countEntries(const string& out, const string& text) {
    long n = timesIn(out, text + "\n") + timesIn(out, text + " (");
    for (size_t at = out.find(text + ": "); at != string::npos; at = out.find(text + ": ", at + 1))
        n += atol(out.c_str() + at + text.size() + 2);
    return n;
}

// The entries saying that the watcher's session was aborted.
int watcherAborts(const string& log) {
    int n = 0;
    for (size_t at = log.find("Connection Aborted"); at != string::npos;
         at = log.find("Connection Aborted", at + 1)) {
        size_t end = log.find('\n', at);
        n += log.substr(at, end == string::npos ? string::npos : end - at).find("(watcher ") !=
             string::npos;
    }
    return n;
}

long linesIn(const string& text) {
    return long(std::count(text.begin(), text.end(), '\n'));
}

// --- clients -----------------------------------------------------------------------------

// The first answer to `msg` (sent again every 500 ms, ten times at most): its type byte, or
// -1 when none came.
int answerTo(udpClient* c, const bytes& msg) {
    bytes r = c->request(msg);
    return r.empty() ? -1 : r[0];
}

// A new account, tried again while the server is busy hashing: true when it was made.
bool createAccount(udpClient* c, const string& name, const string& pass) {
    for (int i = 0; i < 20; i++) {
        if (answerTo(c, newAccountMsg(name, pass)) == soNewGood) return true;
        usleep(100 * 1000);
    }
    return false;
}

// The handshake after a login, each batch acknowledged as soon as it comes (an
// acknowledgement is sent again after 1.5 s of silence): its time in ms, -1 when it did
// not end within `timeoutMs`.
double handshakeMs(udpClient* c, int timeoutMs) {
    bytes ack = sessionMsg(coUpdate, c->key);
    auto t0 = std::chrono::steady_clock::now();
    c->send(ack); // confirms the key
    c->send(ack); // asks for the first batch
    double heard = 0;
    while (msSince(t0) < timeoutMs) {
        bytes d = c->recv(100);
        if (d.empty()) {
            if (msSince(t0) - heard > 1500) {
                c->send(ack);
                heard = msSince(t0);
            }
            continue;
        }
        heard = msSince(t0);
        if (d == bytes{soUpdate}) {
            c->send(ack); // the end mark acknowledged: in the game
            return msSince(t0);
        }
        if (d[0] == soInitTer || d[0] == soInitEnt) c->send(ack);
    }
    return -1;
}

struct joinTimes {
    double loginMs = -1, handshakeMs = -1; // -1: it did not happen
    bool in() const { return handshakeMs >= 0; }
};

// A login at view radius 3, tried again while refused, and the handshake.
joinTimes joinGame(udpClient* c, const string& name, const string& pass, int timeoutMs = 60000) {
    joinTimes t;
    auto t0 = std::chrono::steady_clock::now();
    bool in = false;
    for (int i = 0; i < 20 && !in; i++) {
        in = c->login(name, pass, 3);
        if (!in) usleep(100 * 1000);
    }
    if (!in) return t;
    t.loginMs = msSince(t0);
    t.handshakeMs = handshakeMs(c, timeoutMs);
    return t;
}

void disconnect(udpClient* c) {
    c->send(sessionMsg(coDisconnect, c->key));
    clientDrain(c, 20);
}

// What the watcher saw: turns sent and echoed, the longest time without an echo, and when
// the first and the last echo came (ms into the window, -1 for none).
struct watchFigures {
    int sent = 0, kept = 0;
    double longestGapMs = 0, meanEchoMs = 0, firstEchoMs = -1, lastEchoMs = -1;
};

int nextTurn = 1; // turn numbers are never reused, so a late echo is never miscounted

// Turns go out in the middle of the server's ticks, which keep a 50 ms grid: sent at a
// tick's edge, jitter would now and then put two turns into one tick, and the first would
// be lost however well the server did. A point of the grid (25 ms after an echo left).
auto turnGrid = std::chrono::steady_clock::now();

// Sends a turn and sets the grid from its echo; the grid stays as it was when none comes.
void alignTurns(udpClient* w) {
    int k = nextTurn++;
    w->send(w->turn(k));
    for (auto t0 = std::chrono::steady_clock::now(); msSince(t0) < 500;)
        if (w->turnsIn(w->recv(5)).count(k)) {
            turnGrid = std::chrono::steady_clock::now() + std::chrono::milliseconds(25);
            return;
        }
}

// The watcher turns every 50 ms for `ms` (`beforeTurn` runs before each turn) and counts
// the turns the server echoes, waiting 300 ms more for the last ones. (Two turns in one
// tick show only the second: a tick that takes longer than 50 ms loses turns.)
watchFigures watch(udpClient* w, double ms, const std::function<void()>& beforeTurn = {}) {
    watchFigures f;
    std::map<int, double> sentAt;
    std::vector<double> echoes;
    double latency = 0;
    auto t0 = std::chrono::steady_clock::now();
    double first = std::fmod(-std::chrono::duration<double, std::milli>(t0 - turnGrid).count(), 50);
    if (first < 0) first += 50; // the first point of the grid in the window
    for (int k = 0; msSince(t0) < ms + 300;) {
        double due = first + 50.0 * k;
        if (due < ms && msSince(t0) >= due) {
            if (beforeTurn) beforeTurn();
            sentAt[nextTurn] = msSince(t0);
            w->send(w->turn(nextTurn++));
            k++;
        }
        for (int got : w->turnsIn(w->recv(2))) {
            auto s = sentAt.find(got);
            if (s == sentAt.end() || s->second < 0) continue;
            echoes.push_back(msSince(t0));
            latency += echoes.back() - s->second;
            s->second = -1; // counted
        }
    }
    f.sent = int(sentAt.size());
    f.kept = int(echoes.size());
    f.meanEchoMs = echoes.empty() ? 0 : latency / double(echoes.size());
    double last = 0;
    for (double at : echoes) {
        f.longestGapMs = std::max(f.longestGapMs, at - last);
        last = at;
    }
    f.longestGapMs = std::max(f.longestGapMs, ms - last);
    if (!echoes.empty()) {
        f.firstEchoMs = echoes.front();
        f.lastEchoMs = echoes.back();
    }
    return f;
}

void printWatch(const char* what, const watchFigures& f) {
    printf("  %s: watcher's turns kept %d of %d (%.0f %%), longest time without an echo "
           "%.0f ms, mean echo %.0f ms\n",
           what, f.kept, f.sent, f.sent ? 100.0 * f.kept / f.sent : 0.0, f.longestGapMs,
           f.meanEchoMs);
}

// Whether the watcher was dropped: when its last turn came back, whether it is still served
// once the attack is over, and the log's word for it.
void printAbort(const watchFigures& w, int seconds, bool served, const string& log) {
    char last[64] = "no echo at all";
    if (w.lastEchoMs >= 0)
        snprintf(last, sizeof last, "last echo %.1f s into the %d s", w.lastEchoMs / 1000, seconds);
    printf("  watcher: %s; still served afterwards: %s; its \"Connection Aborted\" entries: %d\n",
           last, served ? "yes" : "no", watcherAborts(log));
}

// Whether the server still serves the watcher: a turn of 2 s echoed.
bool stillServed(udpClient* w) {
    return watch(w, 2000).kept > 0;
}

// The watcher at its own address, made and in the game; null (with why) when it could not
// join.
std::unique_ptr<udpClient> joinWatcher(serverRun* srv, const char* address = "198.18.200.1") {
    auto w = std::make_unique<udpClient>(srv->port, address);
    if (!createAccount(w.get(), "watcher", "pw")) return nullptr;
    joinTimes t = joinGame(w.get(), "watcher", "pw", 120000);
    if (!t.in()) return nullptr;
    alignTurns(w.get());
    printf("  watcher in the game (login %.0f ms, handshake %.0f ms)\n", t.loginMs, t.handshakeMs);
    return w;
}

// A client's game datagrams go on while `keepAlive` runs: every 200 ms an empty game input,
// and what came for it is read and dropped.
struct keepAlive {
    std::jthread thread;
    explicit keepAlive(udpClient* c)
        : thread([c](std::stop_token stop) {
              while (!stop.stop_requested()) {
                  c->send(c->tic());
                  clientDrain(c, 0);
                  usleep(200 * 1000);
              }
          }) {}
};

// The hostile player made and in the game, the watcher playing on meanwhile.
bool joinHostile(udpClient* watcher, udpClient* hostile) {
    keepAlive alive(watcher);
    return createAccount(hostile, "hostile", "pw") && joinGame(hostile, "hostile", "pw").in();
}

// Reads and drops what comes for a client until stopped.
std::jthread drainer(udpClient* c) {
    return std::jthread([c](std::stop_token stop) {
        while (!stop.stop_requested()) {
            clientDrain(c, 0);
            usleep(10 * 1000);
        }
    });
}

// Sends `make(n)` for n = 0, 1, ... at `perSecond` until stopped, through `send`.
std::jthread paced(double perSecond, std::function<void(long)> send) {
    return std::jthread([perSecond, send](std::stop_token stop) {
        long n = 0;
        for (auto t0 = std::chrono::steady_clock::now(); !stop.stop_requested(); usleep(2000))
            for (long due = long(msSince(t0) * perSecond / 1000); n < due; n++)
                send(n);
    });
}

// --- forged datagrams from any address and port ----------------------------------------

// A raw socket writes the IP and UDP heads itself, so a datagram can carry any source
// address and port, a live player's among them.
struct rawSender {
    int fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    rawSender() {
        int size = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    rawSender(const rawSender&) = delete;
    ~rawSender() { close(fd); }
    bool send(const sockaddr_in& from, int serverPort, const bytes& payload) {
        bytes d(sizeof(iphdr) + sizeof(udphdr));
        iphdr ip = {};
        ip.ihl = 5;
        ip.version = 4;
        ip.ttl = 64;
        ip.protocol = IPPROTO_UDP;
        ip.tot_len = htons(uint16_t(d.size() + payload.size()));
        ip.saddr = from.sin_addr.s_addr;
        ip.daddr = htonl(INADDR_LOOPBACK);
        udphdr udp = {};
        udp.source = from.sin_port;
        udp.dest = htons(uint16_t(serverPort));
        udp.len = htons(uint16_t(sizeof udp + payload.size()));
        udp.check = 0; // none, as IPv4 allows
        memcpy(d.data(), &ip, sizeof ip);
        memcpy(d.data() + sizeof ip, &udp, sizeof udp);
        d.insert(d.end(), payload.begin(), payload.end());
        sockaddr_in to = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        return sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
               ssize_t(d.size());
    }
};

// The n-th of 65,536 distinct forged addresses of 198.18.0.0/16, spread over the range as a
// botnet's would be rather than counted up (the real clients use 198.19.0.0/16).
uint32_t spreadAddress(uint32_t n) {
    return testRangeAddress((n * 40503u + 12345u) & 0xFFFFu);
}

// --- the grown world -------------------------------------------------------------------

// Every chunk within the default border: hex distance 128 of chunk (0, 0).
constexpr int grownRadius = 128;
constexpr int grownChunks = 3 * grownRadius * (grownRadius + 1) + 1;
static_assert(grownChunks == 49537);

long long grownWorldBytes() {
    veskTerrain* sample =
        initTerrain(options.terEdge, 0, 0, options.terScale / float(options.terEdge));
    long long len = 4 + grownChunks * chunkRecordLen(sample);
    freeTerrain(sample);
    return len;
}

// Whether the file has the grown world's size and chunk count.
bool grownWorldCached(const string& path) {
    std::error_code e;
    if (std::filesystem::file_size(path, e) != uintmax_t(grownWorldBytes()) || e) return false;
    unsigned char head[4] = {};
    FILE* f = fopen(path.c_str(), "rb");
    size_t got = f ? fread(head, 1, 4, f) : 0;
    if (f) fclose(f);
    byteReader r = makeReader(head, got);
    return readIntLE(&r) == grownChunks && !r.overread;
}

// Writes the world file as the server saves it: the chunk count, then each chunk's record,
// the chunks made by the server's own spawn-area code out to the border.
bool writeGrownWorld(const string& path) {
    int savedRadius = options.worldRadius;
    options.worldRadius = grownRadius;
    ArrayList* chunks = initArrayList(10, 8);
    embedSpawnTer(chunks, grownRadius + 1, 0, 0, options.terScale, options.terEdge);
    options.worldRadius = savedRadius;
    string tmp = path + ".tmp";
    FILE* f = arrayListGetLength(chunks) == grownChunks ? fopen(tmp.c_str(), "wb") : nullptr;
    bool written = f != nullptr;
    const int32_t count = grownChunks;
    if (f) written = fwrite(&count, 4, 1, f) == 1;
    std::vector<unsigned char> record;
    for (veskTerrain* ter : arrayListItems<veskTerrain>(chunks)) {
        if (!written) break;
        record.clear();
        byteWriter w = appendTo(&record, size_t(chunkRecordLen(ter)));
        encodeChunkRecord(&w, ter);
        written = fwrite(record.data(), 1, record.size(), f) == record.size();
    }
    if (f && fclose(f) != 0) written = false;
    freeTerList(chunks);
    if (written) written = rename(tmp.c_str(), path.c_str()) == 0;
    if (!written) remove(tmp.c_str());
    return written;
}

// The grown world in the run directory's save folder, made once and then copied from the
// cache (a copy: the server truncates the files a save replaced, a link would lose the cache).
bool placeGrownWorld(const string& cache, const serverRun& srv) {
    if (!grownWorldCached(cache)) {
        auto t0 = std::chrono::steady_clock::now();
        if (!writeGrownWorld(cache)) {
            fprintf(stderr, "the grown world could not be written to %s\n", cache.c_str());
            return false;
        }
        printf("  grown world written to %s in %.1f s\n", cache.c_str(), secondsSince(t0));
    }
    std::error_code e;
    std::filesystem::copy_file(cache, srv.res("world"), e);
    return !e;
}

// --- the scenarios ---------------------------------------------------------------------

struct scenarioContext {
    toolOptions opt;
    int seconds(int byDefault) const { return opt.seconds > 0 ? opt.seconds : byDefault; }
};

// Starts a server on the run directory, quiet, with a status line a second: false, with
// what it printed, when it does not serve within `timeoutMs`.
bool startServer(serverRun* srv, int timeoutMs = 30000) {
    srv->args = {"--quiet", "--status-interval", "1"};
    auto t0 = std::chrono::steady_clock::now();
    if (!srv->start() || !srv->ready(timeoutMs)) {
        fprintf(stderr, "the server did not start:\n%s\n", srv->outFrom(0).c_str());
        return false;
    }
    printf("  server serving after %.1f s\n", secondsSince(t0));
    return true;
}

int grownJoin(const scenarioContext& c) {
    int seconds = c.seconds(15);
    runDir run;
    serverRun srv(c.opt.server, run.path);
    printf("grownjoin: %d chunks (hex distance <= %d), 3 accounts looping login, handshake, "
           "disconnect at view radius 3 for %d s\n",
           grownChunks, grownRadius, seconds);
    if (!placeGrownWorld(c.opt.world, srv) || !startServer(&srv, 300000)) return 1;
    auto watcher = joinWatcher(&srv);
    if (!watcher) return 1;
    const char* addresses[3] = {"198.18.150.1", "198.18.150.2", "198.18.150.3"};
    std::vector<std::unique_ptr<udpClient>> joiners;
    for (int i = 0; i < 3; i++) {
        joiners.push_back(std::make_unique<udpClient>(srv.port, addresses[i]));
        keepAlive alive(watcher.get());
        if (!createAccount(joiners[i].get(), "joiner" + std::to_string(i), "pw")) return 1;
    }
    watchFigures idle = watch(watcher.get(), 2000);
    printWatch("no join", idle);

    // Single joins, one at a time, each beside the watcher.
    for (int i = 0; i < 3; i++) {
        long before = srv.outSize();
        std::atomic<bool> done = false;
        joinTimes t;
        std::jthread joiner([&] {
            usleep(1000 * 1000);
            t = joinGame(joiners[0].get(), "joiner0", "pw");
            disconnect(joiners[0].get());
            done = true;
        });
        int sent = 0, kept = 0;
        for (int second = 0; second < 60 && (second < 3 || !done); second++) {
            watchFigures w = watch(watcher.get(), 1000); // a long join: the watcher plays on
            sent += w.sent;
            kept += w.kept;
        }
        joiner.join();
        watchFigures after = watch(watcher.get(), 1500); // its status line comes in
        tickFigures ticks = ticksIn(srv.outFrom(before));
        printf("  single join %d: login %.0f ms, handshake %.0f ms; longest tick %.0f ms; "
               "watcher kept %d of %d\n",
               i + 1, t.loginMs, t.handshakeMs, ticks.max, kept + after.kept, sent + after.sent);
    }

    // Three accounts joining over and over.
    long before = srv.outSize();
    std::atomic<bool> looping = true;
    std::mutex m;
    std::vector<double> joinMs;
    std::vector<std::jthread> loops;
    for (int i = 0; i < 3; i++)
        loops.emplace_back([&, i] {
            string name = "joiner" + std::to_string(i);
            while (looping) {
                joinTimes t = joinGame(joiners[size_t(i)].get(), name, "pw", 20000);
                if (t.in()) disconnect(joiners[size_t(i)].get());
                std::lock_guard<std::mutex> hold(m);
                if (t.in() && looping) joinMs.push_back(t.loginMs + t.handshakeMs);
            }
        });
    watchFigures w = watch(watcher.get(), seconds * 1000.0);
    long end = srv.outSize();
    looping = false;
    {
        keepAlive alive(watcher.get());
        loops.clear(); // each ends after its join under way
    }
    string during = srv.outBetween(before, end);
    std::sort(joinMs.begin(), joinMs.end());
    printf("  joins completed in %d s: %zu (%.1f a second), join time median %.0f ms, "
           "longest %.0f ms\n",
           seconds, joinMs.size(), double(joinMs.size()) / seconds,
           joinMs.empty() ? 0.0 : joinMs[joinMs.size() / 2], joinMs.empty() ? 0.0 : joinMs.back());
    printWatch("while joining", w);
    printTicks("while joining", ticksIn(during));
    printf("  watcher still served afterwards: %s; its \"Connection Aborted\" entries: %d\n",
           stillServed(watcher.get()) ? "yes" : "no", watcherAborts(during));
    srv.stop();
    return 0;
}

// Walkers in the game holding walk-forward and turn-left (in circles), from loopback
// addresses; the tick figures of `seconds` once all have joined.
int walkersIn(const scenarioContext& c, bool grown, int walkers, int seconds) {
    runDir run;
    serverRun srv(c.opt.server, run.path);
    if (grown && !placeGrownWorld(c.opt.world, srv)) return 1;
    if (!startServer(&srv, 300000)) return 1;
    std::vector<std::unique_ptr<udpClient>> clients;
    for (int i = 0; i < walkers; i++) {
        string ip = "127.0.1." + std::to_string(i + 1);
        clients.push_back(std::make_unique<udpClient>(srv.port, ip.c_str()));
    }
    std::atomic<int> joined = 0;
    std::jthread alive([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            for (int i = 0; i < joined; i++) {
                udpClient* w = clients[size_t(i)].get();
                w->send(w->keys({{skmWalkForward, 1}, {skmRotateleft, 1}}));
                clientDrain(w, 0);
            }
            usleep(200 * 1000);
        }
    });
    std::vector<double> joinMs;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < walkers && msSince(t0) < 600000; i++) {
        string name = "walker" + std::to_string(i);
        udpClient* w = clients[size_t(i)].get();
        if (!createAccount(w, name, "pw")) break;
        joinTimes t = joinGame(w, name, "pw");
        if (!t.in()) break;
        joinMs.push_back(t.loginMs + t.handshakeMs);
        joined++;
    }
    double joining = secondsSince(t0);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    long before = srv.outSize();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    tickFigures ticks = ticksIn(srv.outFrom(before));
    alive.request_stop();
    alive.join();
    std::sort(joinMs.begin(), joinMs.end());
    printf("  %s world: %d walkers joined in %.0f s (join median %.0f ms, longest %.0f ms), "
           "%d playing\n",
           grown ? "grown" : "small", joined.load(), joining,
           joinMs.empty() ? 0.0 : joinMs[joinMs.size() / 2], joinMs.empty() ? 0.0 : joinMs.back(),
           ticks.playing);
    printTicks(grown ? "grown world" : "small world", ticks);
    srv.stop();
    return joined == walkers ? 0 : 1;
}

int grownWalk(const scenarioContext& c) {
    int seconds = c.seconds(10);
    const int walkers = 50;
    printf("grownwalk: %d walkers walking in circles for %d s, in the grown world (%d chunks) "
           "and in the spawn area\n",
           walkers, seconds, grownChunks);
    int small = walkersIn(c, false, walkers, seconds);
    int grown = walkersIn(c, true, walkers, seconds);
    return small || grown;
}

// A game datagram (`head`: its type and key) packed with picks aimed at the ground around
// the entity's start.
bytes picksDatagram(const bytes& head, long n) {
    bytes d = head;
    for (int i = 0; d.size() + 26 <= size_t(bufSize); i++) {
        const float eyeAndRay[6] = {5.0f + float((n + i) % 7) - 3.0f,
                                    4.0f,
                                    5.0f + float((n + 3 * i) % 5) - 2.0f,
                                    0.1f,
                                    -1.0f,
                                    0.05f};
        d = d + mouseMsg(eyeAndRay, i % 2); // raise and lower in turn
    }
    return d;
}

int picks(const scenarioContext& c, int perSecond) {
    int seconds = c.seconds(15);
    runDir run;
    serverRun srv(c.opt.server, run.path);
    size_t length = picksDatagram(bytes(sessionHeadLen), 0).size();
    printf("picks%d: a player sends %d game datagrams a second, each with %zu picks (%zu "
           "bytes), for %d s\n",
           perSecond, perSecond, (length - sessionHeadLen) / 26, length, seconds);
    if (!startServer(&srv)) return 1;
    auto watcher = joinWatcher(&srv);
    if (!watcher) return 1;
    udpClient hostile(srv.port, "198.18.201.1");
    if (!joinHostile(watcher.get(), &hostile)) return 1;
    long before = srv.outSize();
    {
        keepAlive hostileAlive(&hostile); // a player silent for a second is dropped
        printWatch("before", watch(watcher.get(), 3000));
    }
    printTicks("before", ticksIn(srv.outFrom(before)));
    before = srv.outSize();
    watchFigures w;
    {
        std::jthread drain = drainer(&hostile);
        std::jthread sender =
            paced(perSecond, [&](long n) { hostile.send(picksDatagram(hostile.tic(), n)); });
        w = watch(watcher.get(), seconds * 1000.0);
    }
    long end = srv.outSize();
    string during = srv.outBetween(before, end);
    printWatch("picking", w);
    printTicks("picking", ticksIn(during));
    printAbort(w, seconds, stillServed(watcher.get()), during);
    srv.stop();
    return 0;
}

int logFlood(const scenarioContext& c) {
    int seconds = c.seconds(10);
    const int perSecond = 20000;
    runDir run;
    serverRun srv(c.opt.server, run.path);
    printf("logflood: a player in the game sends %d keyed coUpdate datagrams a second for %d s, "
           "server --quiet\n",
           perSecond, seconds);
    if (!startServer(&srv)) return 1;
    auto watcher = joinWatcher(&srv);
    if (!watcher) return 1;
    udpClient hostile(srv.port, "198.18.201.1");
    if (!joinHostile(watcher.get(), &hostile)) return 1;
    long before = srv.outSize();
    watchFigures quiet;
    {
        keepAlive hostileAlive(&hostile);
        quiet = watch(watcher.get(), 3000);
    }
    long quietLines = linesIn(srv.outFrom(before));
    printWatch("before", quiet);
    printf("  before: %ld log lines in 3 s\n", quietLines);
    before = srv.outSize();
    bytes update = sessionMsg(coUpdate, hostile.key);
    watchFigures w;
    {
        std::jthread drain = drainer(&hostile);
        std::jthread sender = paced(perSecond, [&](long) { hostile.send(update); });
        w = watch(watcher.get(), seconds * 1000.0);
    }
    long end = srv.outSize();
    string during = srv.outBetween(before, end);
    printf("  flooding: %ld log lines a second (%ld bytes a second) on standard output\n",
           linesIn(during) / seconds, long(during.size()) / seconds);
    printWatch("flooding", w);
    printTicks("flooding", ticksIn(during));
    srv.stop();
    return 0;
}

// The server's standard output, read by a thread of the tool while it is not paused.
struct pipeReader {
    int fd;
    std::atomic<bool> paused = false;
    std::atomic<long> bytesRead = 0;
    std::mutex m;
    string text;
    std::jthread thread;
    explicit pipeReader(int pipeFd)
        : fd(pipeFd), thread([this](std::stop_token stop) { run(stop); }) {}
    void run(std::stop_token stop) {
        char data[65536];
        while (!stop.stop_requested()) {
            if (paused) {
                usleep(10 * 1000);
                continue;
            }
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            ssize_t n = read(fd, data, sizeof data);
            if (n <= 0) return; // the server has gone
            std::lock_guard<std::mutex> hold(m);
            text.append(data, size_t(n));
            bytesRead += n;
        }
    }
    string copy() {
        std::lock_guard<std::mutex> hold(m);
        return text;
    }
};

int stdoutStall(const scenarioContext& c) {
    int seconds = c.seconds(10);
    runDir run;
    serverRun srv(c.opt.server, run.path);
    printf("stdoutstall: standard output is a pipe (its buffer one page, so that it fills "
           "within a second), trace lines on; the tool stops reading it for %d s\n",
           seconds);
    srv.args = {"--status-interval", "1"};
    srv.pipeSize = 4096;
    if (!srv.start(true)) return 1;
    pipeReader reader(srv.pipeRead);
    if (!srv.ready(30000)) {
        fprintf(stderr, "the server did not start:\n%s\n", reader.copy().c_str());
        return 1;
    }
    auto watcher = joinWatcher(&srv);
    if (!watcher) return 1;
    printWatch("read", watch(watcher.get(), 2000));
    long readBefore = reader.bytesRead;
    reader.paused = true;
    watchFigures stalled = watch(watcher.get(), seconds * 1000.0);
    reader.paused = false;
    watchFigures after = watch(watcher.get(), 3000);
    printWatch("not read", stalled);
    printf("  not read: the last echo %.1f s after reading stopped\n", stalled.lastEchoMs / 1000);
    printWatch("read again", after);
    printf("  read again: the first echo %.0f ms after reading resumed; %ld bytes had been read "
           "before the stall\n",
           after.firstEchoMs, readBefore);
    bool served = stillServed(watcher.get());
    srv.stop();
    reader.thread.request_stop();
    reader.thread.join();
    string out = reader.copy();
    printf("  watcher still served afterwards: %s; its \"Connection Aborted\" entries: %d; %ld "
           "bytes read in all\n",
           served ? "yes" : "no", watcherAborts(out), long(out.size()));
    printTicks("whole run", ticksIn(out));
    return 0;
}

// Logins with the right password from fresh addresses, each a socket of its own in
// 198.19.0.0/16; accepted ones end their session at once. Tried and refused, and each
// try's outcome in turn: "+" accepted, "x" refused, "?" unanswered.
struct freshLogins {
    int tried = 0, refused = 0, unanswered = 0;
    int next = 1;
    string outcomes;
    void tryOne(int port, const string& name, const string& pass) {
        string ip = "198.19." + std::to_string(next / 250) + "." + std::to_string(next % 250 + 1);
        next++;
        udpClient fresh(port, ip.c_str());
        bytes r = fresh.request(loginMsg(name, pass, 3));
        tried++;
        if (r.size() == size_t(logGoodLen) && r[0] == soLogGood) {
            memcpy(fresh.key, &r[1], keyLen);
            disconnect(&fresh);
            outcomes += '+';
        } else if (r.empty()) {
            unanswered++;
            outcomes += '?';
        } else {
            refused++;
            outcomes += 'x';
        }
    }
};

int newcomers(const scenarioContext& c) {
    int seconds = c.seconds(20);
    const int burst = 4100, perSecond = 82;
    runDir run;
    serverRun srv(c.opt.server, run.path);
    printf("newcomers: %d forged unknown-name logins from distinct addresses, then %d a second "
           "from new ones; a right-password login from a fresh address every 2 s for %d s\n",
           burst, perSecond, seconds);
    if (!startServer(&srv)) return 1;
    udpClient local(srv.port);
    if (!createAccount(&local, "newcomer", "right-password") ||
        !joinGame(&local, "newcomer", "right-password").in())
        return 1;
    disconnect(&local);
    freshLogins control;
    control.tryOne(srv.port, "newcomer", "right-password");
    printf("  before the forged logins: %d of %d refused\n", control.refused, control.tried);
    long before = srv.outSize();
    forgedSender forger;
    bytes unknown = loginMsg("nobody-here", "pw", 3);
    auto t0 = std::chrono::steady_clock::now();
    for (uint32_t n = 0; n < uint32_t(burst); n++) {
        forger.send(spreadAddress(n), srv.port, unknown);
        if (n % 250 == 249) usleep(50 * 1000);
    }
    printf("  burst sent in %.1f s\n", secondsSince(t0));
    usleep(300 * 1000);
    freshLogins real = control;
    real.tried = real.refused = real.unanswered = 0;
    real.outcomes.clear();
    {
        std::jthread trickle = paced(perSecond, [&](long n) {
            forger.send(spreadAddress(uint32_t(burst + n)), srv.port, unknown);
        });
        for (auto t1 = std::chrono::steady_clock::now(); msSince(t1) < seconds * 1000.0;) {
            auto t2 = std::chrono::steady_clock::now();
            real.tryOne(srv.port, "newcomer", "right-password");
            usleep(useconds_t(std::max(0.0, 2000 - msSince(t2)) * 1000));
        }
    }
    string during = srv.outFrom(before);
    printf("  right-password logins from fresh addresses: %d of %d refused (%d unanswered)\n",
           real.refused, real.tried, real.unanswered);
    for (size_t at = 0; at < real.outcomes.size(); at += 30) // 30 tries a minute
        printf("  minute %zu, one a try (+ accepted, x refused, ? unanswered): %s\n", at / 30 + 1,
               real.outcomes.substr(at, 30).c_str());
    printf("  log: %ld \"Log In: Failed (rate)\", %ld \"Log In: Failed (username)\" (entries and "
           "summaries)\n",
           countEntries(during, "Log In: Failed (rate)"),
           countEntries(during, "Log In: Failed (username)"));
    srv.stop();
    return 0;
}

int playerLock(const scenarioContext& c) {
    int seconds = c.seconds(20);
    runDir run;
    serverRun srv(c.opt.server, run.path);
    const char* home = "198.18.210.1";
    printf("playerlock: after a restart, 10 forged wrong-password logins for the player's name "
           "at once, then one every 5 s (other addresses); the player logs in every 2 s from "
           "its home address %s and from 127.0.0.1 in turn, for %d s\n",
           home, seconds);
    if (!startServer(&srv)) return 1;
    udpClient player(srv.port, home);
    if (!createAccount(&player, "homeplayer", "right-password") ||
        !joinGame(&player, "homeplayer", "right-password").in())
        return 1;
    disconnect(&player);
    printf("  stop (SIGTERM): exit status %d\n", srv.stop());
    if (!startServer(&srv)) return 1;
    long before = srv.outSize();
    std::jthread forger([&](std::stop_token stop) {
        forgedSender f;
        for (uint32_t n = 0; !stop.stop_requested(); n++) {
            f.send(spreadAddress(n), srv.port,
                   loginMsg("homeplayer", "guess" + std::to_string(n), 3));
            for (int wait = 0; wait < (n < 10 ? 1 : 100) && !stop.stop_requested(); wait++)
                usleep(50 * 1000);
        }
    });
    usleep(1000 * 1000);
    udpClient loopbackPlayer(srv.port);
    int tried[2] = {0, 0}, refused[2] = {0, 0};
    for (auto t0 = std::chrono::steady_clock::now(); msSince(t0) < seconds * 1000.0;) {
        auto t1 = std::chrono::steady_clock::now();
        int which = (tried[0] + tried[1]) % 2;
        udpClient* from = which == 0 ? &player : &loopbackPlayer;
        bytes r = from->request(loginMsg("homeplayer", "right-password", 3));
        tried[which]++;
        if (r.size() == size_t(logGoodLen) && r[0] == soLogGood) {
            memcpy(from->key, &r[1], keyLen);
            disconnect(from);
        } else {
            refused[which]++;
        }
        usleep(useconds_t(std::max(0.0, 2000 - msSince(t1)) * 1000));
    }
    forger.request_stop();
    forger.join();
    string during = srv.outFrom(before);
    printf("  the player's logins refused: from home %d of %d, from loopback %d of %d\n",
           refused[0], tried[0], refused[1], tried[1]);
    printf("  log: %d \"Log In: Failed (password)\" and %d \"Log In: Failed (rate)\" entries for "
           "homeplayer\n",
           timesIn(during, "Log In: Failed (password) (homeplayer "),
           timesIn(during, "Log In: Failed (rate) (homeplayer "));
    srv.stop();
    return 0;
}

// The accounts of a profiles file: a little-endian count, then 516-byte records whose
// first 256 bytes are the name; -1 when the file does not add up.
int accountsIn(const string& data, int* forged) {
    byteReader r = makeReader(data.data(), data.size());
    int32_t count = readIntLE(&r);
    if (r.overread || count < 0 || uint64_t(count) * 516 != bytesLeft(&r)) return -1;
    *forged = 0;
    for (int32_t i = 0; i < count; i++) {
        const unsigned char* record = readBytes(&r, 516);
        *forged += record && memcmp(record, "forged", 6) == 0;
    }
    return count;
}

int registration(const scenarioContext& c) {
    int seconds = c.seconds(15);
    const int perSecond = 1000, addresses = 4096;
    runDir run;
    serverRun srv(c.opt.server, run.path);
    printf("registration: %d forged creations a second from %d addresses for %d s; a real "
           "client at a fresh address creates an account every 3 s (and joins with it)\n",
           perSecond, addresses, seconds);
    if (!startServer(&srv)) return 1;
    long before = srv.outSize();
    int tried = 0, refused = 0, joined = 0;
    {
        forgedSender forger;
        std::jthread flood = paced(perSecond, [&](long n) {
            forger.send(spreadAddress(uint32_t(n % addresses)), srv.port,
                        newAccountMsg("forged" + std::to_string(n), "pw"));
        });
        usleep(500 * 1000);
        for (auto t0 = std::chrono::steady_clock::now(); msSince(t0) < seconds * 1000.0;) {
            auto t1 = std::chrono::steady_clock::now();
            string ip = "198.19.1." + std::to_string(tried + 1);
            string name = "real" + std::to_string(tried);
            udpClient real(srv.port, ip.c_str());
            tried++;
            if (answerTo(&real, newAccountMsg(name, "pw")) != soNewGood) {
                refused++;
            } else if (joinGame(&real, name, "pw").in()) {
                joined++;
                disconnect(&real);
            }
            usleep(useconds_t(std::max(0.0, 3000 - msSince(t1)) * 1000));
        }
    }
    string during = srv.outFrom(before);
    int status = srv.stop();
    int forged = 0;
    int accounts = accountsIn(readFile(srv.res("profiles")), &forged);
    printf("  real creations refused: %d of %d (%d joined the game with theirs)\n", refused, tried,
           joined);
    printf("  log: %ld \"Profile Creation: Success\", %ld \"Profile Creation: Refused (limit)\"\n",
           countEntries(during, "Profile Creation: Success"),
           countEntries(during, "Profile Creation: Refused (limit)"));
    printf("  after the stop (exit status %d): the profiles file holds %d accounts, %d of them "
           "forged\n",
           status, accounts, forged);
    return 0;
}

int forgedEndpoint(const scenarioContext& c) {
    int seconds = c.seconds(10);
    const int perBurst = 1500;
    runDir run;
    serverRun srv(c.opt.server, run.path);
    printf("forgedendpoint: before each of the watcher's turns (every 50 ms) a burst of %d game "
           "datagrams with a wrong key forged from its exact address and port (%d a second), "
           "for %d s\n",
           perBurst, perBurst * 20, seconds);
    if (!startServer(&srv)) return 1;
    auto watcher = joinWatcher(&srv);
    if (!watcher) return 1;
    printWatch("before", watch(watcher.get(), 2000));
    unsigned char wrongKey[keyLen];
    for (unsigned char& b : wrongKey)
        b = uint8_t(rand());
    const float rots[3] = {0, -1.0f, 0};
    bytes forged = sessionMsg(coGameTic, wrongKey) + viewAnglesMsg(rots);
    rawSender raw;
    if (raw.fd < 0) {
        fprintf(stderr, "no raw socket: %s\n", strerror(errno));
        return 1;
    }
    long sent = 0;
    long before = srv.outSize();
    watchFigures w = watch(watcher.get(), seconds * 1000.0, [&] {
        for (int i = 0; i < perBurst; i++)
            sent += raw.send(watcher->clientAddr, srv.port, forged);
    });
    long end = srv.outSize();
    string during = srv.outBetween(before, end);
    printf("  forged datagrams sent: %ld\n", sent);
    printWatch("forging", w);
    printTicks("forging", ticksIn(during));
    printAbort(w, seconds, stillServed(watcher.get()), during);
    srv.stop();
    return 0;
}

struct scenario {
    const char* name;
    std::function<int(const scenarioContext&)> run;
};

const scenario scenarios[] = {
    {"grownjoin", grownJoin},
    {"grownwalk", grownWalk},
    {"picks20", [](const scenarioContext& c) { return picks(c, 20); }},
    {"picks60", [](const scenarioContext& c) { return picks(c, 60); }},
    {"logflood", logFlood},
    {"stdoutstall", stdoutStall},
    {"newcomers", newcomers},
    {"playerlock", playerLock},
    {"registration", registration},
    {"forgedendpoint", forgedEndpoint},
};

// The first line of `command`'s output.
string firstLineOf(const string& command) {
    FILE* p = popen(command.c_str(), "r");
    char line[256] = "";
    if (p && !fgets(line, sizeof line, p)) line[0] = 0;
    if (p) pclose(p);
    line[strcspn(line, "\n")] = 0;
    return line;
}

} // namespace

int main(int argc, char** argv) {
    scenarioContext c;
    if (!parseToolOptions(argc, argv, &c.opt)) {
        fputs(usageText, stderr);
        return 2;
    }
    if (c.opt.help) {
        fputs(usageText, stdout);
        return 0;
    }
    const scenario* chosen = nullptr;
    for (const scenario& s : scenarios)
        if (c.opt.scenario == s.name) chosen = &s;
    c.opt.server = std::filesystem::absolute(c.opt.server);
    if (!chosen || access(c.opt.server.c_str(), X_OK) != 0) {
        fprintf(stderr, "%s", chosen ? "the server binary cannot be run\n" : "");
        fputs(usageText, stderr);
        return 2;
    }
    keepRunDirs = c.opt.keep;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf("server %s (%s); load average %s\n", c.opt.server.c_str(),
           firstLineOf("'" + c.opt.server + "' --version").c_str(),
           firstLineOf("cat /proc/loadavg").c_str());
    string why;
    if (!enterOwnNetwork(&why)) {
        fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    trace.on = 0; // the library's own trace, while the grown world is made
    int status = chosen->run(c);
    printf("load average afterwards %s\n", firstLineOf("cat /proc/loadavg").c_str());
    return status;
}
