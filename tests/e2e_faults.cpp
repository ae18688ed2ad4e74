// Faults injected around the real binary's save files: a res/ that cannot be written, a
// SIGKILL in the middle of saving, no res/ at all, and damaged or cut world files.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "e2eUtil.h"
#include "testUtil.h"
#include "veskServer.h"

namespace {

using bytes = std::vector<unsigned char>;
namespace fs = std::filesystem;

bytes slurp(const std::string& path) {
    std::string s = readFile(path);
    return bytes(s.begin(), s.end());
}

void spit(const std::string& path, const bytes& d) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(d.data()), std::streamsize(d.size()));
}

void putLE(bytes* d, int32_t v) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&v);
    d->insert(d->end(), p, p + 4);
}

// The world file of the spawn area of this radius around (0, 0), laid out byte by byte.
bytes worldOfRadius(int radius) {
    quietTrace quiet;
    ArrayList* list = initArrayList(10, 8);
    embedSpawnTer(list, radius, 0, 0, 10.0f, 5);
    bytes d;
    putLE(&d, arrayListGetLength(list));
    for (int i = 0; i < arrayListGetLength(list); i++) {
        veskTerrain* c = arrayListGet<veskTerrain>(list, i);
        putLE(&d, c->numVerts);
        putLE(&d, c->numFaces);
        putLE(&d, c->chunkCoords[0]);
        putLE(&d, c->chunkCoords[1]);
        auto v = reinterpret_cast<const unsigned char*>(c->verts);
        d.insert(d.end(), v, v + 16 * size_t(c->numVerts));
        auto f = reinterpret_cast<const unsigned char*>(c->faces);
        d.insert(d.end(), f, f + 12 * size_t(c->numFaces));
    }
    freeTerList(list);
    return d;
}

int32_t intAt(const bytes& d, size_t at) {
    int32_t v;
    memcpy(&v, d.data() + at, 4);
    return v;
}

// The number of chunks when every record adds up, indices stay inside their chunk,
// coordinates are unique and the last record ends the file; otherwise -1.
int worldChunks(const bytes& d) {
    if (d.size() < 4 || intAt(d, 0) < 0) return -1;
    size_t at = 4;
    std::set<std::pair<int, int>> coords;
    for (int i = 0; i < intAt(d, 0); i++) {
        if (d.size() - at < 16) return -1;
        int32_t v = intAt(d, at), f = intAt(d, at + 4);
        if (v < 0 || f < 0 || (d.size() - at - 16) < 16 * size_t(v) + 12 * size_t(f)) return -1;
        if (!coords.insert({intAt(d, at + 8), intAt(d, at + 12)}).second) return -1;
        size_t faces = at + 16 + 16 * size_t(v);
        for (size_t k = 0; k < 3 * size_t(f); k++)
            if (intAt(d, faces + 4 * k) < 0 || intAt(d, faces + 4 * k) >= v) return -1;
        at = faces + 12 * size_t(f);
    }
    return at == d.size() ? intAt(d, 0) : -1;
}

// The number of accounts when the size matches the count, otherwise -1.
int profileCount(const bytes& d) {
    if (d.size() < 4 || intAt(d, 0) < 0) return -1;
    return d.size() == 4 + 516 * size_t(intAt(d, 0)) ? intAt(d, 0) : -1;
}

std::string usernameAt(const bytes& d, int i) {
    const char* p = reinterpret_cast<const char*>(d.data() + 4 + 516 * size_t(i));
    return std::string(p, strnlen(p, 256));
}

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// A headless server whose files may not grow past `limit` bytes (RLIMIT_FSIZE, with
// SIGXFSZ ignored so such a write fails with EFBIG). Its output runs through a pipe that
// the test copies to `p.out`, out of reach of the limit.
struct limitedServer {
    serverProc p;
    std::thread copier;
    ~limitedServer() {
        killServer(&p);
        if (copier.joinable()) copier.join();
    }
};

void spawnLimited(limitedServer* s, const std::string& dir, rlim_t limit) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    s->p.dir = dir;
    s->p.out = dir + "/limited.txt";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        signal(SIGXFSZ, SIG_IGN);
        rlimit rl = {limit, limit};
        if (chdir(dir.c_str()) != 0 || setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(126);
        unsetenv("DISPLAY");
        execl(QUARN_SERVER_BIN, QUARN_SERVER_BIN, "--headless", (char*)nullptr);
        _exit(127);
    }
    close(fds[1]);
    s->p.pid = pid;
    s->copier = std::thread([rd = fds[0], out = s->p.out] {
        FILE* f = fopen(out.c_str(), "wb");
        char chunk[4096];
        ssize_t n;
        while ((n = read(rd, chunk, sizeof chunk)) > 0) {
            fwrite(chunk, 1, size_t(n), f);
            fflush(f);
        }
        fclose(f);
        close(rd);
    });
}

struct faults : testing::Test {
    std::string dir;
    udpClient cl;
    void SetUp() override {
        // Another suite may hold the port for a while.
        ASSERT_TRUE(waitPortTaken(2300, 0, 120000)) << "UDP port 2300 stays taken";
        dir = makeRunDir();
        openClient(&cl);
    }
    void TearDown() override {
        closeClient(&cl);
        if (exists(dir + "/res")) chmod((dir + "/res").c_str(), 0755);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string res(const char* name) { return dir + "/res/" + name; }
    // Waits until the server has loaded and holds the port.
    void serving(const serverProc& p) {
        ASSERT_TRUE(waitForOutput(p, "entsLoaded", 20000)) << readFile(p.out);
        ASSERT_TRUE(waitPortTaken(2300, 1, 5000)) << readFile(p.out);
    }
    void stopOk(serverProc* p) {
        kill(p->pid, SIGTERM);
        ASSERT_EQ(waitExit(p, 30000), 0) << readFile(p->out);
        ASSERT_TRUE(waitPortTaken(2300, 0, 5000));
    }
};

TEST_F(faults, UnwritableResKeepsTheOldFilesAndStillExitsCleanly) {
    const bytes world = worldOfRadius(11);
    writeProfile(dir, "keeper", "pw", 0);
    const bytes profiles = slurp(res("profiles"));
    // Blocked: no temporary file can be created beside the real one. Nothing: no file may
    // hold a single byte. Half-way: the accounts fit, the world does not.
    enum { blocked, nothing, halfWay };
    for (int flavour : {blocked, nothing, halfWay}) {
        SCOPED_TRACE(flavour == blocked ? "blocked" : flavour == nothing ? "nothing" : "half");
        spit(res("world"), world);
        spit(res("profiles"), profiles);
        if (flavour == blocked) {
            fs::create_directory(res("world.tmp"));
            fs::create_directory(res("profiles.tmp"));
            if (geteuid() != 0) chmod((dir + "/res").c_str(), 0555);
        }
        limitedServer s;
        spawnLimited(&s, dir, flavour == nothing ? 0 : flavour == halfWay ? 65536 : RLIM_INFINITY);
        serving(s.p);
        ASSERT_EQ(request(&cl, newAccountMsg("newcomer", "pw")), bytes{soNewGood});
        stopOk(&s.p);
        s.copier.join();
        std::string out = readFile(s.p.out);
        EXPECT_EQ(out.find("Corrupt save file"), std::string::npos) << out;
        if (flavour == blocked) {
            EXPECT_NE(out.find("S Prof: error opening file"), std::string::npos) << out;
            EXPECT_NE(out.find("S Chunk: error opening file"), std::string::npos) << out;
            chmod((dir + "/res").c_str(), 0755);
            fs::remove(res("world.tmp"));
            fs::remove(res("profiles.tmp"));
        } else {
            EXPECT_EQ(flavour == nothing,
                      out.find("save of res/profiles failed (") != std::string::npos)
                << out;
            EXPECT_NE(out.find("save of res/world failed (File too large); the previous "
                               "file is kept"),
                      std::string::npos)
                << out;
            EXPECT_FALSE(exists(res("world.tmp")));
            EXPECT_FALSE(exists(res("profiles.tmp")));
        }
        EXPECT_TRUE(slurp(res("world")) == world);
        bytes nowProfiles = slurp(res("profiles"));
        if (flavour == halfWay) {
            ASSERT_EQ(profileCount(nowProfiles), 2);
            EXPECT_EQ(usernameAt(nowProfiles, 1), "newcomer");
        } else {
            EXPECT_TRUE(nowProfiles == profiles);
        }
    }
}

TEST_F(faults, KillDuringSaveLeavesOldOrNewFilesNeverBrokenOnes) {
    const bytes world = worldOfRadius(31); // 2977 chunks, about 9.7 MB
    const int chunks = intAt(world, 0);
    spit(res("world"), world);
    writeProfile(dir, "first", "pw", 0);
    std::random_device rd;
    const unsigned seed = rd();
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));

    // A clean round measures how long a Stop takes.
    serverProc srv = spawnServer(dir, true);
    serverGuard guard{&srv};
    serving(srv);
    ASSERT_EQ(request(&cl, newAccountMsg("clean", "pw")), bytes{soNewGood});
    auto t0 = std::chrono::steady_clock::now();
    stopOk(&srv);
    int stopMs = int(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count());
    ASSERT_EQ(profileCount(slurp(res("profiles"))), 2);

    int killed = 0, newProfiles = 0, tmpLeft = 0;
    const int rounds = 40;
    for (int round = 0; round <= rounds; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        const bytes oldProfiles = slurp(res("profiles"));
        const int oldCount = profileCount(oldProfiles);
        srv = spawnServer(dir, true);
        serving(srv);
        std::string out = readFile(srv.out);
        ASSERT_EQ(out.find("Corrupt save file"), std::string::npos) << out;
        ASSERT_NE(out.find("numChunks: " + std::to_string(chunks)), std::string::npos) << out;
        ASSERT_NE(out.find("total: " + std::to_string(oldCount) + "\n"), std::string::npos) << out;
        if (round == rounds) break; // the last start only checks what the last kill left
        std::string name = "k" + std::to_string(round);
        ASSERT_EQ(request(&cl, newAccountMsg(name, "pw")), bytes{soNewGood});

        fs::remove(res("world.tmp"));
        fs::remove(res("profiles.tmp"));
        kill(srv.pid, SIGTERM);
        // Every other round aims at the short save of the accounts that comes first.
        unsigned window = round % 2 ? 3000 : unsigned(stopMs) * 1000 + 1;
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % window));
        kill(srv.pid, SIGKILL);
        int status = waitExit(&srv, 10000);
        ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << status;
        killed += status != 0;
        tmpLeft += exists(res("world.tmp")) || exists(res("profiles.tmp"));

        EXPECT_EQ(worldChunks(slurp(res("world"))), chunks);
        EXPECT_TRUE(slurp(res("world")) == world); // nothing edits it: old and new are alike
        bytes p = slurp(res("profiles"));
        if (p != oldProfiles) {
            ASSERT_EQ(profileCount(p), oldCount + 1);
            EXPECT_TRUE(std::equal(oldProfiles.begin() + 4, oldProfiles.end(), p.begin() + 4));
            EXPECT_EQ(usernameAt(p, oldCount), name);
            newProfiles++;
        }
        ASSERT_TRUE(waitPortTaken(2300, 0, 5000));
    }
    stopOk(&srv);
    std::cout << "Stop takes " << stopMs << " ms; of " << rounds << " rounds " << killed
              << " were killed, " << tmpLeft << " in the middle of a save, " << newProfiles
              << " kept the new accounts\n";
    EXPECT_GT(killed, 0);
    EXPECT_GT(tmpLeft, 0) << "no kill landed inside a save";
}

TEST_F(faults, MissingResDirectoryServesAndReportsTheFailedSave) {
    fs::remove_all(dir + "/res");
    serverProc srv = spawnServer(dir, true);
    serverGuard guard{&srv};
    serving(srv);
    std::string out = readFile(srv.out);
    for (const char* line : {"L World: error opening file", "Load World: 0",
                             "L Profs: error opening file", "L Ents: error opening file"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    EXPECT_EQ(request(&cl, {coWakeup}), bytes{soWakeup});
    EXPECT_EQ(request(&cl, newAccountMsg("homeless", "pw")), bytes{soNewGood});
    stopOk(&srv);
    out = readFile(srv.out);
    EXPECT_NE(out.find("S Prof: error opening file"), std::string::npos) << out;
    EXPECT_NE(out.find("S Chunk: error opening file"), std::string::npos) << out;
    EXPECT_FALSE(exists(dir + "/res"));
}

TEST_F(faults, DamagedWorldIsKeptAsideAndTheSpawnAreaRegenerated) {
    const bytes spawn = worldOfRadius(11);
    ASSERT_EQ(spawn.size(), 1083036u);
    std::mt19937 rng(7);
    std::vector<bytes> damaged;
    for (size_t len : {size_t(4099), spawn.size()}) {
        bytes noise(len);
        for (auto& b : noise)
            b = uint8_t(rng());
        damaged.push_back(noise);
    }
    std::vector<size_t> cuts;
    for (size_t at = 0; at < 200; at += 7)
        cuts.push_back(at);
    for (size_t at : {size_t(1000), size_t(3275), size_t(3276), spawn.size() / 2, spawn.size() - 1})
        cuts.push_back(at);
    for (size_t at : cuts)
        damaged.push_back(bytes(spawn.begin(), spawn.begin() + long(at)));

    for (size_t i = 0; i < damaged.size(); i++) {
        SCOPED_TRACE("damaged file " + std::to_string(i) + " of " +
                     std::to_string(damaged[i].size()) + " bytes");
        spit(res("world"), damaged[i]);
        fs::remove(res("world.bad"));
        serverProc srv = spawnServer(dir, true);
        serverGuard guard{&srv};
        serving(srv);
        std::string out = readFile(srv.out);
        size_t corrupt = out.find("Corrupt save file res/world (");
        ASSERT_NE(corrupt, std::string::npos) << out;
        size_t regenerated = out.find("Load World: 0");
        ASSERT_NE(regenerated, std::string::npos) << out;
        EXPECT_LT(corrupt, regenerated);
        EXPECT_TRUE(slurp(res("world.bad")) == damaged[i]);
        ASSERT_EQ(request(&cl, {coWakeup}), bytes{soWakeup});
        stopOk(&srv);
        bytes saved = slurp(res("world"));
        EXPECT_EQ(worldChunks(saved), 331);
        EXPECT_TRUE(saved == spawn);
    }
}

// The only copy of a damaged world must survive when it cannot be copied aside: here the
// name "world.bad" is taken by a directory, or the copy meets a file-size limit that the
// smaller fresh world still fits in.
TEST_F(faults, DamagedWorldThatCannotBeKeptAsideIsNotSavedOver) {
    bytes damaged = worldOfRadius(11);
    damaged.resize(3 << 20, 0x5a); // sound chunks, then 2 MB that belong to none
    for (bool blocked : {true, false}) {
        SCOPED_TRACE(blocked ? "world.bad is a directory" : "copy beyond the size limit");
        spit(res("world"), damaged);
        if (blocked) fs::create_directory(res("world.bad"));
        limitedServer s;
        spawnLimited(&s, dir, blocked ? RLIM_INFINITY : 2 << 20);
        serving(s.p);
        ASSERT_EQ(request(&cl, {coWakeup}), bytes{soWakeup});
        stopOk(&s.p);
        s.copier.join();
        std::string out = readFile(s.p.out);
        EXPECT_NE(out.find("Corrupt save file res/world ("), std::string::npos) << out;
        EXPECT_EQ(out.find("not loaded, kept as"), std::string::npos) << out;
        EXPECT_NE(out.find("save of res/world skipped"), std::string::npos) << out;
        EXPECT_TRUE(slurp(res("world")) == damaged);
        EXPECT_EQ(fs::is_directory(res("world.bad")), blocked); // and no partial copy
        EXPECT_EQ(exists(res("world.bad")), blocked);
        if (blocked) fs::remove(res("world.bad"));
    }
}

} // namespace
