// Many clients at once against the headless binary: 32 players create accounts, log in, go
// through the handshake and play for ten seconds (walking, turning, jumping, editing near a
// chunk corner); nobody is dropped, every datagram parses strictly, the tick rate holds.
#include <atomic>
#include <cmath>
#include <thread>

#include <memory>

#include "e2eUtil.h"

using load = e2eTest;

// What player i does at its k-th action: walk, turn, jump, pick brushes, edit.
static bytes action(const udpClient& c, int i, int k) {
    const float near[6] = {4.0f + float(i % 3), 2, 7, 0.3f, -1, 0.6f};
    const float corner[6] = {9, 2, 0.5f + float(i % 4), 0.3f, -1, 0.6f};
    const std::vector<bytes> all = {c.keys({{skmWalkForward, 1}, {skmRotateleft, 2}}),
                                    c.keys({{skmRotateleft, 1}, {skmJump, 1}}),
                                    c.keys({{skmRotateleft, 2}, {skmJump, 2}, {skmStrafeRight, 1}}),
                                    c.mouse(near, i % 2),
                                    c.keys({{skmHotBar0 + i % 6, 1}, {skmStrafeRight, 2}}),
                                    c.mouse(corner, 0),
                                    c.keys({{skmHotBar0 + i % 6, 2}, {skmWalkBackwards, 1}}),
                                    c.keys({{skmWalkBackwards, 2}, {skmWalkForward, 1}})};
    return all[size_t(i + k) % 8];
}

TEST_F(load, ThirtyTwoPlayersAtOnce) {
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    const int n = 32;
    std::vector<std::unique_ptr<udpClient>> players;
    for (int i = 0; i < n; i++)
        players.push_back(std::make_unique<udpClient>(srv.port));
    std::vector<double> inGameMs(n, -1), movedMs(n, -1);
    std::atomic<int> settled = 0;       // players in the game, or failed
    std::atomic<double> endMs = 180000; // ten seconds after the last one settled
    auto t0 = std::chrono::steady_clock::now();
    auto play = [&](int i) {
        udpClient& c = *players[size_t(i)];
        coords got = c.join("loadplayer" + std::to_string(i));
        EXPECT_EQ(got, hexesWithin(3, 0, 0)) << i; // exactly the 19 chunks in view
        if (!got.empty()) inGameMs[size_t(i)] = msSince(t0);
        if (++settled == n) endMs = msSince(t0) + 10000;
        for (int k = 0; !got.empty() && msSince(t0) < endMs; k++) {
            c.send(action(c, i, k));
            int ms = int(std::min(700.0 + 10 * i % 300, endMs - msSince(t0))); // all end together
            for (auto& u : updatesOf(c.listen(ms), c.entity)) {
                EXPECT_TRUE(std::fabs(u.pos[0]) < 12 && std::fabs(u.pos[2]) < 12 &&
                            std::fabs(u.pos[1]) < 60);
                movedMs[size_t(i)] = msSince(t0);
            }
        }
    };
    std::vector<std::jthread> threads;
    for (int i = 0; i < n; i++)
        threads.emplace_back(play, i);
    threads.clear();
    double end = msSince(t0), sum = 0;
    for (int i = 0; i < n; i++) // forward, once pressed, is never released
        EXPECT_GT(movedMs[size_t(i)], end - 2000) << "player " << i << " stopped moving";
    ASSERT_EQ(srv.stop(), 0);
    std::string out = srv.output();
    for (const char* bad : {"Ticks this second", "Connection Aborted", "Disconnected", "nan"})
        EXPECT_FALSE(has(out, bad)) << bad;
    for (size_t at = out.find("BUG:"); at != std::string::npos; at = out.find("BUG:", at + 1))
        printf("%s\n", out.substr(at, out.find('\n', at) - at).c_str());
    printf("load: handshakes done after (ms):");
    for (double ms : inGameMs)
        printf(" %.0f", ms), sum += ms;
    printf("; mean %.0f ms, the last at %.0f ms\n", sum / n, endMs - 10000);
}
