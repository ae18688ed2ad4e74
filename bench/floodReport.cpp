// What a flood of forged datagrams costs a player in the game, measured against the real
// binary in a network namespace of its own: the player turns every 50 ms and watches the
// server echo each turn, while a flooder sends from addresses of the test range. Prints, per
// flood, the turns applied per second, the tick mean and max from the status lines, the
// password hashes a tick and the accounts made.
//
//   quarn_flood KIND [SECONDS]     KIND: empty | logins | creations | none
#include <atomic>
#include <cmath>
#include <map>
#include <thread>

#include "e2eUtil.h"

namespace {

struct floodKind {
    const char* name;
    int perSecond;
    int addresses;
};

const floodKind kinds[] = {
    {"none", 0, 1}, {"empty", 4000, 1}, {"logins", 2000, 4096}, {"creations", 2000, 4096}};

bytes floodDatagram(const floodKind& k, long n) {
    if (!strcmp(k.name, "empty")) return {};
    if (!strcmp(k.name, "logins")) return loginMsg("victim", "guess" + std::to_string(n), 3);
    return newAccountMsg("forged" + std::to_string(n), "pw");
}

// Adds up "<text>" entries and "<text>: N more from" summaries.
long countEntries(const string& out, const string& text) {
    long n = timesIn(out, text + "\n") + timesIn(out, text + " (");
    for (size_t at = out.find(text + ": "); at != string::npos; at = out.find(text + ": ", at + 1))
        n += atol(out.c_str() + at + text.size() + 2);
    return n;
}

} // namespace

int main(int argc, char** argv) {
    const floodKind* kind = nullptr;
    for (const floodKind& k : kinds)
        if (argc > 1 && !strcmp(argv[1], k.name)) kind = &k;
    int seconds = argc > 2 ? atoi(argv[2]) : 10;
    if (!kind || seconds < 1) {
        fprintf(stderr, "usage: %s empty|logins|creations|none [seconds]\n", argv[0]);
        return 2;
    }
    string why;
    if (!enterOwnNetwork(&why)) {
        fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    string dir = makeRunDir();
    serverProc srv;
    srv.args = {"--quiet", "--status-interval", "1"};
    if (!srv.serve(dir)) {
        fprintf(stderr, "the server did not start:\n%s\n", srv.output().c_str());
        return 1;
    }
    udpClient victim(srv.port);
    victim.request(newAccountMsg("victim", "right-password"));
    udpClient player(srv.port, "198.18.200.1");
    if (!player.join("flooded", "pw")) {
        fprintf(stderr, "the player could not join:\n%s\n", srv.output().c_str());
        return 1;
    }
    size_t statusBefore = srv.output().size();
    std::atomic<bool> flooding = true;
    std::thread flooder([&] {
        forgedSender f;
        long n = 0;
        for (auto t0 = std::chrono::steady_clock::now(); flooding; usleep(5000)) {
            long due = long(msSince(t0) * kind->perSecond / 1000);
            for (; n < due; n++)
                f.send(testRangeAddress(1 + uint32_t(n % kind->addresses)), srv.port,
                       floodDatagram(*kind, n));
        }
    });
    // Turns sent every 50 ms; each one's echo marks it applied.
    std::map<int, double> sentAt, echoedAt;
    auto t0 = std::chrono::steady_clock::now();
    for (int k = 1; msSince(t0) < seconds * 1000.0;) {
        if (msSince(t0) >= 50.0 * k) {
            player.send(player.turn(k));
            sentAt[k++] = msSince(t0);
        }
        for (int k : player.turnsIn(player.recv(2)))
            if (!echoedAt.count(k)) echoedAt[k] = msSince(t0);
    }
    flooding = false;
    flooder.join();
    srv.stop();
    string out = srv.output();
    string during = out.substr(statusBefore);

    double latency = 0;
    for (auto [k, at] : echoedAt)
        latency += at - sentAt[k];
    // The status lines of the flood's seconds.
    std::vector<double> means, maxes;
    for (size_t at = during.find("tick mean "); at != string::npos;
         at = during.find("tick mean ", at + 1)) {
        double mean = 0, max = 0;
        if (sscanf(during.c_str() + at, "tick mean %lf ms, max %lf ms", &mean, &max) == 2) {
            means.push_back(mean);
            maxes.push_back(max);
        }
    }
    double meanOfMeans = 0, maxOfMaxes = 0;
    for (size_t i = 0; i < means.size(); i++) {
        meanOfMeans += means[i] / double(means.size());
        maxOfMaxes = std::max(maxOfMaxes, maxes[i]);
    }
    long failures = countEntries(during, "Log In: Failed (password)");
    long made = countEntries(during, "Profile Creation: Success");
    printf("flood %s: %d/s from %d address(es) for %d s\n", kind->name, kind->perSecond,
           kind->addresses, seconds);
    printf("  turns applied: %zu of %zu (%.1f a second), mean echo %.1f ms\n", echoedAt.size(),
           sentAt.size(), double(echoedAt.size()) / seconds,
           echoedAt.empty() ? 0.0 : latency / double(echoedAt.size()));
    printf("  tick mean %.2f ms, max %.2f ms (%zu status lines)\n", meanOfMeans, maxOfMaxes,
           means.size());
    printf("  password hashes: %.2f a tick (%ld failed logins, %ld accounts made)\n",
           double(failures + made) / (20.0 * seconds), failures, made);
    printf("  log: %zu bytes, %ld lines a second\n", during.size(),
           long(std::count(during.begin(), during.end(), '\n')) / seconds);
    std::filesystem::remove_all(dir);
    return 0;
}
