// Many clients at once against the headless binary: 32 players create accounts, log in, go
// through the handshake and play for ten seconds (walking, turning, jumping, editing near a
// chunk corner) while another address floods the port; nobody is dropped, every datagram
// parses strictly, the tick rate holds.
#include <atomic>
#include <thread>

#include "e2eUtil.h"

using load = e2eTest;

// What player i does at its k-th action: walk, turn, jump, pick brushes, edit.
static bytes action(const udpClient& c, int i, int k) {
    const float corner[6] = {9, 2, 0.5f + float(i % 4), 0.3f, -1, 0.6f};
    const std::vector<bytes> all = {
        c.keys({{skmWalkForward, 1}, {skmRotateleft, 1}, {skmJump, 1}, {skmHotBar0 + i % 6, 2}}),
        c.keys({{skmRotateleft, 2}, {skmJump, 2}, {skmHotBar0 + i % 6, 1}}),
        c.mouse(corner, i % 2),
    };
    return all[size_t(i + k) % all.size()];
}

TEST_F(load, ThirtyTwoPlayersJoinWithTheirChunksAndPlayTenSecondsBesideAFlood) {
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    const int n = 32;
    std::vector<double> movedMs(n, -1);
    std::atomic<int> settled = 0;       // players in the game, or failed
    std::atomic<double> endMs = 180000; // ten seconds after the last one settled
    auto t0 = std::chrono::steady_clock::now();
    auto play = [&](int i) {
        udpClient c(srv.port);
        coords got = c.join("loadplayer" + std::to_string(i));
        EXPECT_EQ(got, hexesWithin(3)) << i; // exactly the 19 chunks in view
        if (++settled == n) endMs = msSince(t0) + 10000;
        for (int k = 0; !got.empty() && msSince(t0) < endMs; k++) {
            c.send(action(c, i, k));
            int ms = int(std::min(700.0 + 10 * i % 300, endMs - msSince(t0))); // all end together
            if (!updatesOf(c.listen(ms), c.entity).empty()) movedMs[size_t(i)] = msSince(t0);
        }
    };
    std::jthread flooder([&](std::stop_token stop) { // 4,000 wake-ups a second from 127.0.0.2
        udpClient sender(srv.port, "127.0.0.2");
        for (; !stop.stop_requested(); usleep(5000))
            for (int i = 0; i < 20; i++)
                sender.send({coWakeup});
    });
    std::vector<std::jthread> threads;
    for (int i = 0; i < n; i++)
        threads.emplace_back(play, i);
    threads.clear();
    flooder.request_stop();
    for (int i = 0; i < n; i++) // forward, once pressed, is never released
        EXPECT_GT(movedMs[size_t(i)], msSince(t0) - 2000) << "player " << i << " stopped moving";
    ASSERT_EQ(srv.stop(), 0);
    for (const char* bad : {"Ticks this second", "Connection Aborted", "Disconnected", "nan"})
        EXPECT_FALSE(has(srv.output(), bad)) << bad;
}
