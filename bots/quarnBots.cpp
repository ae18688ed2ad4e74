// quarn-bots: many scripted players in one process against a running server, to see what a
// host carries. Each player joins through the client library on a socket of its own, then
// walks, turns and (with --edit) uses the brushes every tick; one event loop serves them all.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "clientSession.h"
#include "textNumbers.h"

namespace {

constexpr int tickMs = 50;       // the server's tick, and the bots'
constexpr int turnRing = 128;    // view-angle changes remembered for their echo
constexpr int inFlightMs = 1000; // changes younger than this at the end are not judged
constexpr const char* password = "quarn-bots";

struct botOptions {
    sockaddr_in server = {};
    int players = 0, seconds = 0, radius = 3, edit = 0, joinRate = 50;
    std::string prefix = "bot";
};

// A view-angle change sent, and whether it came back in the player's own entity update.
struct sentTurn {
    float rots[3];
    int64_t at;
    int echoed;
};

// The walk of a player: phases of a few seconds, each with its keys and its way of turning.
struct botScript {
    uint32_t seed;
    int phase, phaseLeft;
    float yaw, pitch, turn; // turn: the change of heading a tick while turning
    int editEvery;          // ticks between two brush strokes (with --edit)
    int brush;              // the hot bar slot held in this phase (with --edit)
    int strokes;
    unsigned char held[numServKeyMaps];
};

struct bot {
    int fd;
    int index;
    int begun;
    int64_t startAt; // when its first datagram goes
    int64_t loginMs; // from the first datagram to the key; -1 before
    int64_t joinMs;  // from the first datagram to the game; -1 before
    int resends;     // creations and logins sent again
    clientSession session;
    botScript script;
    float pos[3]; // where its entity stands in its chunk, as the server last said
    sentTurn turns[turnRing];
    int64_t turnsSent, turnsEchoed;
    int64_t gameDatagrams, gameBytes; // received while in the game
    int64_t inGameMs;                 // time spent in the game
    uint32_t dropped;                 // datagrams its socket had no room for, as the system counts
};

struct botTotals {
    int64_t datagramsIn, datagramsOut, sendFailures, malformed;
    int64_t lastIn, lastOut; // at the last progress line
};

int64_t nowMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

uint32_t nextRandom(uint32_t* state) { // xorshift32
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return *state = x;
}

// --- the command line ----------------------------------------------------------------------

void usage(FILE* to, const char* program) {
    fprintf(to,
            "Usage: %s ADDRESS:PORT --players N --seconds S [--radius R] [--edit] [--prefix NAME]\n"
            "       [--join-rate N]\n"
            "Scripted players against a running server, to see what it carries. Each player\n"
            "creates its account (NAME0001, NAME0002, ... with the password quarn-bots), or\n"
            "logs in to it when it exists, acknowledges the handshake, then every 50 ms walks\n"
            "and turns (keys and view angles, different for each player), and with --edit\n"
            "uses the brushes. A progress line a second goes to standard error, the report to\n"
            "standard output. Exit status 0 when every player got into the game and stayed,\n"
            "1 when one did not, 2 for a bad command line.\n"
            "\n"
            "  ADDRESS:PORT    the server's IPv4 address and UDP port (e.g. 127.0.0.1:2300)\n"
            "  --players N     players, each on a UDP socket of its own (1-100000)\n"
            "  --seconds S     how long they play, from the first datagram (1-86400)\n"
            "  --radius R      the view radius each asks for (1-1000, default 3; the server\n"
            "                  serves at most its --max-view-radius)\n"
            "  --edit          players also use the terrain brushes (a stroke every second\n"
            "                  or so each)\n"
            "  --prefix NAME   the start of the players' names (default bot)\n"
            "  --join-rate N   players who begin to join each second, one after the other\n"
            "                  (1-100000, default 50; a wave of joins costs the server a\n"
            "                  password hash for each new account in the tick its handshake\n"
            "                  ends, so a large N tests the wave more than the game)\n"
            "  --help          print this text and exit\n"
            "\n"
            "The server limits account creations to --creations-per-address a minute for each\n"
            "address (5 by default) and to --creations-per-minute for all, loopback excepted:\n"
            "against a server on another host, start it with both at least N, or the players\n"
            "beyond are refused until the minute is over. Logins of existing accounts cost a\n"
            "password hash, --hashes-per-tick a tick (5 by default): N players logging in\n"
            "again take about N/100 seconds. --max-players refuses players beyond it.\n",
            program);
}

// A name the server shows in its log may hold no control byte, and the index must fit.
int prefixAcceptable(const std::string& prefix) {
    if (prefix.size() > size_t(textLen) - 8) return 0;
    for (unsigned char c : prefix)
        if (c < 0x20 || c == 0x7F) return 0;
    return 1;
}

enum optionId {
    optPlayers = 1000,
    optSeconds,
    optRadius,
    optEdit,
    optPrefix,
    optJoinRate,
    optHelp
};

// A numeric option: the setting it sets and the values it accepts.
struct numericOption {
    int id;
    const char* name;
    int* target;
    long lo, hi;
};

// Says why the command line is refused, with the usage: exit status 2.
int refuse(const char* program, const char* reason, const char* value) {
    fprintf(stderr, "%s: %s", program, reason);
    if (value) fprintf(stderr, ", not \"%s\"", value);
    fprintf(stderr, "\n");
    usage(stderr, program);
    return 2;
}

// 1 to go on; else 0, with the exit status in *exitStatus (0 after --help).
int parseCommandLine(int argc, char** argv, botOptions* out, int* exitStatus) {
    static const option longOptions[] = {{"players", required_argument, nullptr, optPlayers},
                                         {"seconds", required_argument, nullptr, optSeconds},
                                         {"radius", required_argument, nullptr, optRadius},
                                         {"edit", no_argument, nullptr, optEdit},
                                         {"prefix", required_argument, nullptr, optPrefix},
                                         {"join-rate", required_argument, nullptr, optJoinRate},
                                         {"help", no_argument, nullptr, optHelp},
                                         {nullptr, 0, nullptr, 0}};
    const numericOption numeric[] = {{optPlayers, "players", &out->players, 1, 100000},
                                     {optSeconds, "seconds", &out->seconds, 1, 86400},
                                     {optRadius, "radius", &out->radius, 1, 1000},
                                     {optJoinRate, "join-rate", &out->joinRate, 1, 100000}};
    const char* program = argc > 0 ? argv[0] : "quarn-bots";
    opterr = 0;
    for (;;) {
        int id = getopt_long(argc, argv, "", longOptions, nullptr);
        if (id == -1) break;
        for (const numericOption& n : numeric) {
            if (n.id != id || parseWholeNumber(optarg, n.lo, n.hi, n.target)) continue;
            char reason[100];
            snprintf(reason, sizeof reason, "--%s takes a whole number from %ld to %ld", n.name,
                     n.lo, n.hi);
            *exitStatus = refuse(program, reason, optarg);
            return 0;
        }
        if (id == optEdit) out->edit = 1;
        if (id == optPrefix) out->prefix = optarg;
        if (id == optHelp) {
            usage(stdout, program);
            *exitStatus = 0;
            return 0;
        }
        if (id == '?' || id == ':') {
            *exitStatus =
                refuse(program, "unknown option, or one without its value", argv[optind - 1]);
            return 0;
        }
    }
    const char* problem = nullptr;
    if (optind != argc - 1)
        problem = "give the server's ADDRESS:PORT once";
    else if (!parseListenAddress(argv[optind], &out->server))
        problem = "the server is an IPv4 ADDRESS:PORT with a port from 1 to 65535";
    else if (out->players == 0)
        problem = "--players is needed";
    else if (out->seconds == 0)
        problem = "--seconds is needed";
    else if (!prefixAcceptable(out->prefix))
        problem = "--prefix takes up to 248 bytes without control characters";
    if (!problem) return 1;
    *exitStatus = refuse(program, problem, optind == argc - 1 ? argv[optind] : nullptr);
    return 0;
}

// --- sockets -------------------------------------------------------------------------------

// Every player has a socket: the soft limit on open files goes up to the hard one.
int roomForSockets(int players) {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= rlim_t(players) + 16;
}

// A non-blocking UDP socket connected to the server: it hears only the server.
int playerSocket(const sockaddr_in* server) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int size = 1 << 20; // a tick's streaming may come in several full datagrams
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    int on = 1; // the system says how many it dropped for a full queue
    setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    if (connect(fd, reinterpret_cast<const sockaddr*>(server), sizeof *server) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void sendDatagram(bot* b, botTotals* totals, const unsigned char* d, size_t len) {
    if (send(b->fd, d, len, 0) == ssize_t(len))
        totals->datagramsOut++;
    else
        totals->sendFailures++; // a full send buffer, or nobody at the server's port yet
}

void sendOutbox(bot* b, botTotals* totals, const clientOutbox* out) {
    for (int i = 0; i < out->count; i++)
        sendDatagram(b, totals, out->data[i], out->len[i]);
}

// --- a player's script ---------------------------------------------------------------------

enum phaseKind { walkTurning, walkStraight, strafeLooking, standLooking, walkBack, strafeJump };
constexpr int phaseKinds = 6;

void wanted(const botScript* s, int edit, unsigned char* keys) {
    int phase = s->phase;
    memset(keys, 0, numServKeyMaps);
    if (edit) keys[skmHotBar0 + s->brush] = 1; // held: the brush of the phase's strokes
    if (phase == walkTurning || phase == walkStraight) keys[skmWalkForward] = 1;
    if (phase == strafeLooking) keys[skmStrafeLeft] = 1;
    if (phase == walkBack) keys[skmWalkBackwards] = 1;
    if (phase == strafeJump) keys[skmStrafeRight] = keys[skmJump] = 1;
}

int turning(int phase) {
    return phase == walkTurning || phase == strafeLooking || phase == standLooking;
}

void startScript(bot* b) {
    botScript* s = &b->script;
    *s = botScript{};
    s->seed = 2654435761u * uint32_t(b->index + 1) | 1;
    s->yaw = float(nextRandom(&s->seed) % 628) / 100.0f;
    s->turn = (0.02f + float(nextRandom(&s->seed) % 80) / 1000.0f) * (b->index % 2 ? 1 : -1);
    s->phase = int(nextRandom(&s->seed) % phaseKinds);
    s->editEvery = 10 + int(nextRandom(&s->seed) % 30);
}

// The key changes from what is held to what the phase wants: releases, then presses.
int keyChanges(botScript* s, const unsigned char* want, keyChange* changes) {
    int n = 0;
    for (int slot = 0; slot < numServKeyMaps; slot++)
        if (s->held[slot] && !want[slot]) changes[n++] = {slot, kaRelease};
    for (int slot = 0; slot < numServKeyMaps; slot++)
        if (!s->held[slot] && want[slot]) changes[n++] = {slot, kaPress};
    memcpy(s->held, want, numServKeyMaps);
    return n;
}

void rememberTurn(bot* b, const float* rots, int64_t now) {
    sentTurn* t = &b->turns[b->turnsSent % turnRing];
    memcpy(t->rots, rots, sizeof t->rots);
    t->at = now;
    t->echoed = 0;
    b->turnsSent++;
}

// A brush stroke on the ground ahead: the eye above the entity, the ray down and forward;
// raising and lowering in turn.
void brushStroke(bot* b, byteWriter* w) {
    botScript* s = &b->script;
    const float eye[3] = {b->pos[0], b->pos[1] + 1.5f, b->pos[2]};
    const float ray[3] = {0.6f * std::sin(s->yaw), -1.0f, 0.6f * std::cos(s->yaw)};
    putMouse(w, eye, ray, s->strokes % 2);
    s->strokes++;
}

// This tick's game datagram: held keys when the phase changes, view angles while turning,
// now and then a brush stroke.
void sendTic(bot* b, const botOptions* opt, botTotals* totals, int64_t now, int64_t tick) {
    botScript* s = &b->script;
    unsigned char d[bufSize];
    byteWriter w = makeWriter(d, sizeof d);
    if (!clientTicHead(&b->session, &w)) return;
    if (s->phaseLeft-- <= 0) {
        s->phase = int(nextRandom(&s->seed) % phaseKinds);
        s->phaseLeft = 20 + int(nextRandom(&s->seed) % 60);
        s->brush = int(nextRandom(&s->seed) % 6);
    }
    unsigned char want[numServKeyMaps];
    wanted(s, opt->edit, want);
    if (s->phase == strafeJump && s->phaseLeft % 10 != 0) want[skmJump] = 0; // a hop now and then
    keyChange changes[2 * numServKeyMaps];
    int n = keyChanges(s, want, changes);
    if (n > 0) putKeyList(&w, changes, n);
    if (opt->edit && (tick + b->index) % s->editEvery == 0) brushStroke(b, &w);
    if (turning(s->phase)) {
        s->yaw = std::fmod(s->yaw + s->turn, 6.2831855f);
        s->pitch = 0.3f * std::sin(float(tick % 1000) * 0.05f + float(b->index));
        const float rots[3] = {s->pitch, s->yaw, 0};
        putViewAngles(&w, rots);
        rememberTurn(b, rots, now);
    }
    if (!w.overflow) sendDatagram(b, totals, d, w.pos);
}

// --- what comes back -----------------------------------------------------------------------

void noteEcho(bot* b, const float* rots) {
    for (sentTurn& t : b->turns)
        if (!t.echoed && t.at != 0 && memcmp(t.rots, rots, sizeof t.rots) == 0) {
            t.echoed = 1;
            b->turnsEchoed++;
            return;
        }
}

// The player's own entity in what arrived: where it stands, and the turns that came back.
void readOwnEntity(bot* b, const gameStream* content) {
    int32_t own = b->session.login.entity;
    for (const entRecord& e : content->entities)
        if (e.id == own) memcpy(b->pos, e.pos, sizeof b->pos);
    for (const entUpdate& u : content->ents) {
        if (u.id != own) continue;
        if (u.hasLoc) memcpy(b->pos, u.pos, sizeof b->pos);
        if (u.hasRot) noteEcho(b, u.rots);
    }
}

struct botCounts {
    int inGame, joining, aborted, toldToLeave;
};

// One datagram, with the socket's count of datagrams dropped for want of room: when the bots
// cannot keep up, their own machine loses what the server sent.
ssize_t receiveOne(bot* b, unsigned char* d, size_t cap) {
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(uint32_t))];
    iovec iov = {d, cap};
    msghdr m = {};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t n = recvmsg(b->fd, &m, 0);
    for (cmsghdr* c = n >= 0 ? CMSG_FIRSTHDR(&m) : nullptr; c; c = CMSG_NXTHDR(&m, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
            memcpy(&b->dropped, CMSG_DATA(c), sizeof b->dropped);
    return n;
}

void receiveAll(bot* b, botTotals* totals, gameStream* content, int64_t now) {
    static unsigned char d[65536];
    for (;;) {
        ssize_t n = receiveOne(b, d, sizeof d);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return; // nothing more waiting (or the port refused: nobody serves yet)
        totals->datagramsIn++;
        if (b->session.stage == csInGame) {
            b->gameDatagrams++;
            b->gameBytes += n;
        }
        clearStream(content);
        clientOutbox out;
        int event = clientReceive(&b->session, d, size_t(n), now, &out, content);
        sendOutbox(b, totals, &out);
        if (event == evMalformed) totals->malformed++;
        if (event == evLoggedIn && b->loginMs < 0) b->loginMs = now - b->session.startedAt;
        if (event == evInGame) b->joinMs = now - b->session.startedAt;
        if (event == evBatch || event == evGameUpdate) readOwnEntity(b, content);
    }
}

void countPlayers(const std::vector<bot>& bots, botCounts* c) {
    *c = botCounts{};
    for (const bot& b : bots) {
        int stage = b.session.stage; // one yet to begin counts as joining
        if (stage == csInGame) c->inGame++;
        if (stage < csInGame) c->joining++;
        if (stage == csEnded && b.session.endedBy == endToldToLeave) c->toldToLeave++;
        if (stage == csEnded && b.session.endedBy != endToldToLeave) c->aborted++;
    }
}

void progressLine(const std::vector<bot>& bots, botTotals* totals, int64_t second) {
    botCounts c;
    countPlayers(bots, &c);
    fprintf(stderr,
            "quarn-bots: %lld s, %d in game, %d joining, %d aborted, %d told to leave, "
            "%lld datagrams/s in, %lld out\n",
            (long long)second, c.inGame, c.joining, c.aborted, c.toldToLeave,
            (long long)(totals->datagramsIn - totals->lastIn),
            (long long)(totals->datagramsOut - totals->lastOut));
    totals->lastIn = totals->datagramsIn;
    totals->lastOut = totals->datagramsOut;
}

// --- the run -------------------------------------------------------------------------------

int openPlayers(std::vector<bot>* bots, const botOptions* opt, int epoll, int64_t t0) {
    bots->resize(size_t(opt->players));
    for (int i = 0; i < opt->players; i++) {
        bot* b = &(*bots)[size_t(i)];
        *b = bot{};
        b->index = i;
        b->loginMs = -1;
        b->joinMs = -1;
        b->fd = playerSocket(&opt->server);
        if (b->fd < 0) {
            fprintf(stderr, "quarn-bots: socket of player %d: %s\n", i + 1, strerror(errno));
            return 0;
        }
        epoll_event e = {};
        e.events = EPOLLIN;
        e.data.u32 = uint32_t(i);
        if (epoll_ctl(epoll, EPOLL_CTL_ADD, b->fd, &e) != 0) return 0;
        // Players come in one after the other, at the join rate.
        b->startAt = t0 + int64_t(i) * 1000 / opt->joinRate;
        startScript(b);
    }
    return 1;
}

// One millisecond's share of the players: each player ticks every 50 ms at a phase of its
// own (its index modulo 50), as players on machines of their own would. A whole tick's
// datagrams sent in one burst would cross the server's tick edge together, and a player
// whose two game ticks fall into one of the server's loses the first one's view angles.
void tickPlayers(std::vector<bot>* bots, const botOptions* opt, botTotals* totals, int64_t now,
                 int64_t slot) {
    for (size_t i = size_t(slot % tickMs); i < bots->size(); i += tickMs) {
        bot& b = (*bots)[i];
        clientOutbox out;
        if (!b.begun) {
            if (now < b.startAt) continue;
            char name[textLen + 1];
            snprintf(name, sizeof name, "%s%04d", opt->prefix.c_str(), b.index + 1);
            clientBegin(&b.session, name, password, opt->radius, 1, now, &out);
            b.begun = 1;
            sendOutbox(&b, totals, &out);
            continue;
        }
        int wasInGame = b.session.stage == csInGame;
        b.resends += clientTick(&b.session, now, &out) == evResent;
        sendOutbox(&b, totals, &out);
        if (wasInGame) b.inGameMs += tickMs;
        if (b.session.stage == csInGame) sendTic(&b, opt, totals, now, slot / tickMs);
    }
}

void run(std::vector<bot>* bots, const botOptions* opt, botTotals* totals, int epoll, int64_t t0) {
    gameStream content;
    epoll_event events[256];
    int64_t end = t0 + int64_t(opt->seconds) * 1000;
    int64_t nextSlot = t0, slot = 0, nextProgress = t0 + 1000;
    for (int64_t now = nowMs(); now < end; now = nowMs()) {
        int wait = int(std::clamp<int64_t>(nextSlot - now, 0, tickMs));
        int n = epoll_wait(epoll, events, 256, wait);
        now = nowMs();
        for (int i = 0; i < n; i++)
            receiveAll(&(*bots)[events[i].data.u32], totals, &content, now);
        if (now - nextSlot > tickMs) nextSlot = now - tickMs; // ticks missed by far are dropped
        for (; nextSlot <= now; nextSlot++)
            tickPlayers(bots, opt, totals, now, slot++);
        if (now >= nextProgress) {
            progressLine(*bots, totals, (nextProgress - t0) / 1000);
            nextProgress += 1000;
        }
    }
}

double percentile(std::vector<int64_t> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t at = size_t(std::ceil(p * double(v.size()))) - 1;
    return double(v[std::min(at, v.size() - 1)]);
}

// The report, with the status: 0 when every player got in and stayed.
int report(const std::vector<bot>& bots, const botOptions* opt, const botTotals* totals,
           int64_t end) {
    botCounts c;
    countPlayers(bots, &c);
    std::vector<int64_t> joins, logins;
    int64_t sent = 0, echoed = 0, datagrams = 0, bytes = 0, gameMs = 0, refusals = 0, resends = 0;
    int64_t dropped = 0;
    for (const bot& b : bots) {
        dropped += b.dropped;
        if (b.joinMs >= 0) joins.push_back(b.joinMs);
        if (b.loginMs >= 0) logins.push_back(b.loginMs);
        refusals += b.session.refusals;
        resends += b.resends;
        sent += b.turnsSent;
        echoed += b.turnsEchoed;
        for (const sentTurn& t : b.turns) // too young to have come back: not judged
            if (t.at != 0 && !t.echoed && end - t.at < inFlightMs) sent--;
        datagrams += b.gameDatagrams;
        bytes += b.gameBytes;
        gameMs += b.inGameMs;
    }
    double gameSeconds = double(std::max<int64_t>(gameMs, 1)) / 1000.0;
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &opt->server.sin_addr, address, sizeof address);
    printf("quarn-bots: %d players for %d s against %s:%d, view radius %d, %d joining a "
           "second%s\n",
           opt->players, opt->seconds, address, ntohs(opt->server.sin_port), opt->radius,
           opt->joinRate, opt->edit ? ", editing" : "");
    printf("in game at the end: %d of %d (%d still joining)\n", c.inGame, opt->players, c.joining);
    printf("join time: median %.0f ms, 99th percentile %.0f ms (%zu joined)\n",
           percentile(joins, 0.5), percentile(joins, 0.99), joins.size());
    printf("of it the login: median %.0f ms, 99th percentile %.0f ms (the rest is the handshake)\n",
           percentile(logins, 0.5), percentile(logins, 0.99));
    printf("refusals: %lld (a taken name, a limit, a busy tick), requests sent again: %lld\n",
           (long long)refusals, (long long)resends);
    printf("inputs echoed: %.1f %% of %lld view-angle changes came back in the player's own "
           "entity updates\n",
           sent > 0 ? 100.0 * double(echoed) / double(sent) : 0.0, (long long)sent);
    printf("received in game: %.1f datagrams/s and %.1f KB/s per player\n",
           double(datagrams) / gameSeconds, double(bytes) / 1000.0 / gameSeconds);
    printf("aborted: %d (refused, or the server fell silent)\n", c.aborted);
    printf("told soDisconnect: %d\n", c.toldToLeave);
    printf("malformed datagrams: %lld, sends failed: %lld\n", (long long)totals->malformed,
           (long long)totals->sendFailures);
    rusage used = {};
    getrusage(RUSAGE_SELF, &used);
    double cpu = double(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
                 double(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
    printf("the bots themselves: %lld datagrams dropped by their sockets (no room), %.1f s of "
           "processor time (%.0f %% of one core)\n",
           (long long)dropped, cpu, 100.0 * cpu / double(opt->seconds));
    int stayed = c.inGame == opt->players;
    printf("result: %s\n",
           stayed ? "every player got in and stayed" : "not every player got in and stayed");
    return stayed ? 0 : 1;
}

// Every player the server knows is told goodbye.
void leaveAll(std::vector<bot>* bots, botTotals* totals) {
    for (bot& b : *bots) {
        clientOutbox out;
        clientLeave(&b.session, &out);
        sendOutbox(&b, totals, &out);
        close(b.fd);
    }
}

} // namespace

int main(int argc, char** argv) {
    botOptions opt;
    int status = 0;
    if (!parseCommandLine(argc, argv, &opt, &status)) return status;
    if (!roomForSockets(opt.players)) {
        rlimit limit = {};
        getrlimit(RLIMIT_NOFILE, &limit);
        fprintf(stderr,
                "%s: %d players need a socket each, but this process may open %llu files "
                "(raise the hard limit: ulimit -Hn)\n",
                argv[0], opt.players, (unsigned long long)limit.rlim_cur);
        return 2;
    }
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    std::vector<bot> bots;
    int64_t t0 = nowMs();
    botTotals totals = {};
    if (epoll < 0 || !openPlayers(&bots, &opt, epoll, t0)) return 1;
    run(&bots, &opt, &totals, epoll, t0);
    int64_t end = nowMs();
    int result = report(bots, &opt, &totals, end);
    leaveAll(&bots, &totals);
    close(epoll);
    return result;
}
