// Many clients at once against the real binary: 32 players create accounts, log in, go
// through the handshake and play for ten seconds (walking, turning, jumping, editing
// near a chunk corner). Every datagram must parse strictly, nobody may be dropped, the
// tick rate must hold, and the world must stay free of NaNs.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <set>
#include <unistd.h>

#include "e2eUtil.h"
#include "testUtil.h"
#include "veskServer.h"
#include "wireParse.h"

namespace {

using bytes = std::vector<unsigned char>;
using clock_t_ = std::chrono::steady_clock;

constexpr int numPlayers = 32;
constexpr int playMs = 10000;

enum playerStep { creating, loggingIn, handshaking, playing };

struct player {
    udpClient c;
    int step = creating;
    int index = 0;
    double startMs = 0, inGameMs = -1;
    double lastSendMs = -1e9;
    std::set<std::pair<int, int>> chunks; // resent batches repeat chunks
    int ents = 0;
    int datagrams = 0, parseFailures = 0, polls = 0;
    std::string lastWhy;
    // The player's own entity as last streamed, and when it last moved.
    bool seen = false;
    entUpdate last;
    double lastMovedMs = 0;
};

double msSince(clock_t_::time_point t0) {
    return std::chrono::duration<double, std::milli>(clock_t_::now() - t0).count();
}

bytes mouse(const udpClient& c, float x, float z, int button) {
    bytes d = sessionMsg(coGameTic, c.key);
    d.push_back(cosMouse);
    const float eye[3] = {x, 2.0f, z}, ray[3] = {0.3f, -1.0f, 0.6f};
    appendFloats(&d, eye, 3);
    appendFloats(&d, ray, 3);
    d.push_back(uint8_t(button));
    return d;
}

// What a player does at its k-th action of the play: walk, turn, jump, pick brushes, edit.
bytes action(const player& p, int k) {
    const udpClient& c = p.c;
    switch ((k + p.index) % 8) {
    case 0:
        return keyMsg(c, {{skmWalkForward, 1}, {skmRotateleft, 2}});
    case 1:
        return keyMsg(c, {{skmRotateleft, 1}, {skmJump, 1}});
    case 2:
        return keyMsg(c, {{skmRotateleft, 2}, {skmJump, 2}, {skmStrafeRight, 1}});
    case 3:
        return mouse(c, 4.0f + float(p.index % 3), 7.0f, p.index % 2);
    case 4:
        return keyMsg(c, {{skmHotBar0 + p.index % 6, 1}, {skmStrafeRight, 2}});
    case 5:
        return mouse(c, 9.0f, 0.5f + float(p.index % 4), 0);
    case 6:
        return keyMsg(c, {{skmHotBar0 + p.index % 6, 2}, {skmWalkBackwards, 1}});
    default:
        return keyMsg(c, {{skmWalkBackwards, 2}, {skmWalkForward, 1}});
    }
}

TEST(load, ThirtyTwoPlayersAtOnce) {
    ASSERT_EQ(udpPortTaken(2300), 0);
    serverProc srv = spawnServer(makeRunDir(), true);
    serverGuard guard{&srv};
    ASSERT_TRUE(waitForOutput(srv, "entsLoaded", 20000));
    ASSERT_TRUE(waitPortTaken(2300, 1, 5000));

    std::vector<player> ps(numPlayers);
    std::vector<pollfd> fds(numPlayers);
    for (int i = 0; i < numPlayers; i++) {
        openClient(&ps[size_t(i)].c);
        ps[size_t(i)].index = i;
        fds[size_t(i)] = {ps[size_t(i)].c.fd, POLLIN, 0};
    }
    auto t0 = clock_t_::now();
    auto name = [](int i) { return "loadplayer" + std::to_string(i); };
    double allInGame = -1;
    int actions = 0;
    for (;;) {
        double now = msSince(t0);
        bool everyoneIn = true;
        for (auto& p : ps)
            everyoneIn = everyoneIn && p.step == playing;
        if (everyoneIn && allInGame < 0) allInGame = now;
        if (allInGame >= 0 && now > allInGame + playMs) break;
        if (now > 180000) break; // bounded whatever happens

        // Requests are repeated after a second without an answer (the server may be behind).
        for (auto& p : ps) {
            bool due = now - p.lastSendMs > 1000;
            if (p.step == creating && due) {
                clientSendTo(&p.c, newAccountMsg(name(p.index), "pw"));
                p.lastSendMs = now;
                if (p.startMs == 0) p.startMs = now;
            } else if (p.step == loggingIn && due) {
                clientSendTo(&p.c, loginMsg(name(p.index), "pw", 3));
                p.lastSendMs = now;
            } else if (p.step == handshaking && now - p.lastSendMs > 200) {
                clientSendTo(&p.c, sessionMsg(coUpdate, p.c.key));
                p.lastSendMs = now;
            } else if (p.step == playing && now - p.lastSendMs > 700 + 10 * p.index % 300) {
                clientSendTo(&p.c, action(p, actions++));
                p.lastSendMs = now;
            }
        }

        if (poll(fds.data(), fds.size(), 10) <= 0) continue;
        for (auto& p : ps) {
            for (;;) {
                bytes d = clientNext(&p.c, 0);
                if (d.empty()) break;
                p.datagrams++;
                EXPECT_LE(d.size(), 12000u);
                std::string why;
                if (p.step == creating) {
                    if (d == bytes{soNewGood}) {
                        p.step = loggingIn;
                        p.lastSendMs = -1e9;
                    }
                } else if (p.step == loggingIn) {
                    if (d.size() == 25 && d[0] == soLogGood) {
                        memcpy(p.c.key, d.data() + 1, 16);
                        p.c.entity = beInt(d.data() + 17);
                        p.step = handshaking;
                        p.lastSendMs = -1e9; // acknowledge the key at once
                    }
                } else if (p.step == handshaking) {
                    std::vector<chunkRec> chunks;
                    std::vector<entRec> ents;
                    bool ok = true;
                    if (d[0] == soInitTer) ok = parseBulkTerrain(d, &chunks, &why);
                    if (d[0] == soInitEnt) ok = parseBulkEnts(d, &ents, &why);
                    if (!ok) p.parseFailures++, p.lastWhy = why;
                    for (auto& ch : chunks)
                        p.chunks.insert({ch.cx, ch.cy});
                    p.ents += int(ents.size());
                    clientSendTo(&p.c, sessionMsg(coUpdate, p.c.key));
                    p.lastSendMs = msSince(t0);
                    if (d == bytes{soUpdate}) {
                        p.step = playing;
                        p.inGameMs = msSince(t0);
                    }
                } else if (d == bytes{soUpdate}) {
                    p.polls++;
                    clientSendTo(&p.c, sessionMsg(coGameTic, p.c.key));
                } else {
                    gameStream s;
                    if (!parseGameDatagram(d, &s, &why)) {
                        p.parseFailures++;
                        p.lastWhy = why;
                        continue;
                    }
                    for (auto& u : s.ents) {
                        if (u.id != p.c.entity || !u.hasLoc) continue;
                        EXPECT_LT(std::fabs(u.pos[0]), 12.0f);
                        EXPECT_LT(std::fabs(u.pos[2]), 12.0f);
                        EXPECT_LT(std::fabs(u.pos[1]), 60.0f);
                        p.last = u;
                        p.seen = true;
                        p.lastMovedMs = msSince(t0);
                    }
                }
            }
        }
    }

    // Forward, once pressed, is never released: every walker must still be moving.
    double end = msSince(t0);
    for (auto& p : ps) {
        SCOPED_TRACE(p.index);
        EXPECT_EQ(p.step, playing);
        EXPECT_EQ(p.parseFailures, 0) << p.lastWhy;
        EXPECT_EQ(p.chunks.size(), 19u);
        EXPECT_TRUE(p.seen);
        EXPECT_GT(p.lastMovedMs, end - 2000);
    }
    kill(srv.pid, SIGTERM);
    EXPECT_EQ(waitExit(&srv, 30000), 0);
    std::string out = readFile(srv.out);
    EXPECT_EQ(out.find("Ticks this second"), std::string::npos);
    EXPECT_EQ(out.find("Connection Aborted"), std::string::npos);
    EXPECT_EQ(out.find("Disconnected"), std::string::npos);
    EXPECT_EQ(out.find("nan"), std::string::npos);

    double first = 1e9, last = 0, sum = 0;
    int inGame = 0;
    for (auto& p : ps) {
        if (p.inGameMs < 0) continue;
        inGame++;
        first = std::min(first, p.inGameMs - p.startMs);
        last = std::max(last, p.inGameMs);
        sum += p.inGameMs - p.startMs;
    }
    int bugs = 0;
    for (size_t at = out.find("BUG:"); at != std::string::npos; at = out.find("BUG:", at + 1))
        bugs++;
    for (size_t at = out.find("BUG:"); at != std::string::npos; at = out.find("BUG:", at + 1))
        printf("%s\n", out.substr(at, out.find('\n', at) - at).c_str());
    printf("load: %d of %d players in the game after %.0f ms (fastest %.0f ms, mean %.0f ms); "
           "%d BUG lines\n",
           inGame, numPlayers, last, first, sum / std::max(inGame, 1), bugs);
    for (auto& p : ps)
        closeClient(&p.c);
}

} // namespace
