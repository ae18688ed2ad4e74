// Faults around the headless binary's save files: a res/ that cannot be written, a SIGKILL
// in the middle of saving, no res/ at all, and damaged or cut world files.
#include <algorithm>
#include <random>

#include "e2eUtil.h"

namespace fs = std::filesystem;
using faults = e2eTest;

// Writes the world file of the spawn area of this radius around (0, 0) and returns it.
static string worldOfRadius(const string& path, int radius) {
    quietTrace quiet;
    ArrayList* list = initArrayList(10, 8);
    embedSpawnTer(list, radius, 0, 0, 10.0f, 5);
    saveChunks(path.c_str(), list);
    freeTerList(list);
    return readFile(path);
}

TEST_F(faults, UnwritableResKeepsTheOldFilesAndTheQuitSaysSoWithStatusOne) {
    const string world = worldOfRadius(res("world"), 11);
    writeProfile(dir, "keeper", 0);
    const string profiles = readFile(res("profiles"));
    // No temporary file can be created beside the real one; no file may hold a byte; the
    // accounts fit under the limit but the world does not.
    for (long limit : {-1L, 0L, 65536L}) {
        SCOPED_TRACE(limit);
        writeFile(res("world"), world);
        writeFile(res("profiles"), profiles);
        for (const char* tmp : {"world.tmp", "profiles.tmp"})
            if (limit < 0) fs::create_directory(res(tmp));
        ASSERT_TRUE(srv.serve(dir, limit)) << srv.output();
        ASSERT_EQ(cl.request(newAccountMsg("newcomer", "pw")), bytes{soNewGood});
        ASSERT_EQ(srv.stop(), 1);
        string out = srv.output(), now = readFile(res("profiles"));
        EXPECT_TRUE(has(out, "Server: Save failed (res/")) << out;
        EXPECT_EQ(limit < 0, has(out, "S Prof: error opening file") &&
                                 has(out, "S Chunk: error opening file"));
        EXPECT_EQ(limit == 0, has(out, "save of res/profiles failed (File too large)"));
        EXPECT_EQ(limit >= 0, has(out, "save of res/world failed (File too large); the previous"));
        EXPECT_EQ(fs::remove(res("world.tmp")) + fs::remove(res("profiles.tmp")), 2 * (limit < 0));
        EXPECT_TRUE(readFile(res("world")) == world && !has(out, "Corrupt save file"));
        // The first byte holds the number of accounts, all fewer than 256 here.
        EXPECT_TRUE(limit > 0 ? now[0] == 2 && has(now, "newcomer") : now == profiles);
    }
}

// The accounts file is the old one, or the old one with the account `name` added.
static bool oldOrOneMore(const string& now, const string& old, const string& name) {
    if (now == old) return true;
    bytes field = newAccountMsg(name, "");
    string newName(field.begin() + 1, field.begin() + 257);
    bool counted = now.size() == old.size() + 516 && now[0] == old[0] + 1;
    return counted && now.substr(1, old.size() - 1) == old.substr(1) &&
           now.substr(old.size(), 256) == newName;
}

TEST_F(faults, KillDuringSaveLeavesOldOrNewFilesNeverBrokenOnes) {
    const string world = worldOfRadius(res("world"), 31); // 2791 chunks, 9.1 MB
    writeProfile(dir, "first", 0);
    std::mt19937 rng(std::random_device{}());
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(srv.stop(), 0);
    const unsigned stopUs = unsigned(msSince(t0) * 1000); // how long a clean Stop takes
    int killed = 0, inSave = 0;
    for (int round = 0; round <= 40; round++) {
        SCOPED_TRACE(round);
        const string old = readFile(res("profiles")), name = "k" + std::to_string(round);
        ASSERT_TRUE(srv.serve(dir)) << srv.output();
        string out = srv.output(), total = "total: " + std::to_string(int(old[0])) + "\n";
        ASSERT_TRUE(!has(out, "Corrupt save file") && has(out, "numChunks: 2791\n") &&
                    has(out, total))
            << out;
        if (round == 40) break; // the last start only loads what the last kill left
        ASSERT_EQ(cl.request(newAccountMsg(name, "pw")), bytes{soNewGood});
        kill(srv.pid, SIGTERM);
        usleep(rng() % (round % 2 ? 3000 : stopUs + 1)); // odd rounds aim at the accounts' save
        kill(srv.pid, SIGKILL);
        int status = srv.waitExit(10000);
        ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << status;
        killed += status != 0;
        inSave += fs::remove(res("world.tmp")) | fs::remove(res("profiles.tmp"));
        EXPECT_EQ(readFile(res("world")), world); // nothing edits it: old and new are alike
        EXPECT_TRUE(oldOrOneMore(readFile(res("profiles")), old, name));
    }
    EXPECT_GT(killed, 0);
    EXPECT_GT(inSave, 0) << "no kill landed inside a save; a Stop takes " << stopUs << " us";
}

TEST_F(faults, MissingResDirectoryServesAndReportsTheFailedSave) {
    fs::remove_all(dir + "/res");
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    EXPECT_EQ(cl.request(newAccountMsg("homeless", "pw")), bytes{soNewGood});
    ASSERT_EQ(srv.stop(), 1);
    for (const char* line :
         {"L World: error opening file", "Load World: 0", "L Profs: error opening file",
          "S Prof: error opening file", "S Chunk: error opening file"})
        EXPECT_TRUE(has(srv.output(), line)) << line;
    EXPECT_FALSE(fs::exists(dir + "/res"));
}

TEST_F(faults, DamagedWorldIsKeptAsideAndTheSpawnAreaRegenerated) {
    const string spawn = worldOfRadius(dir + "/spawn", 11);
    ASSERT_EQ(spawn.size(), 1083036u);
    std::vector<string> damaged = {string(4099, 0), spawn.substr(0, spawn.size() - 1)};
    std::ranges::generate(damaged[0], std::mt19937(7));
    for (size_t at = 0; at < 200; at += 7) // cuts inside the first chunk
        damaged.push_back(spawn.substr(0, at));
    for (const string& bad : damaged) {
        SCOPED_TRACE(bad.size());
        writeFile(res("world"), bad);
        fs::remove(res("world.bad"));
        ASSERT_TRUE(srv.serve(dir)) << srv.output();
        string out = srv.output();
        EXPECT_LT(out.find("Corrupt save file res/world ("), out.find("Load World: 0")) << out;
        EXPECT_TRUE(has(out, "Load World: 0") && fs::exists(res("world.bad")) &&
                    readFile(res("world.bad")) == bad);
        ASSERT_EQ(srv.stop(), 0);
        EXPECT_EQ(readFile(res("world")), spawn);
    }
}

// The only copy of a damaged world must survive when it cannot be copied aside: the name
// "world.bad" is taken by a directory, or the copy meets a size limit the fresh world fits.
TEST_F(faults, DamagedWorldThatCannotBeKeptAsideIsNotSavedOver) {
    string damaged = worldOfRadius(res("world"), 11);
    damaged.resize(3 << 20, 0x5a); // sound chunks, then 2 MB that belong to none
    for (long limit : {-1L, 2L << 20}) {
        SCOPED_TRACE(limit);
        writeFile(res("world"), damaged);
        if (limit < 0) fs::create_directory(res("world.bad"));
        ASSERT_TRUE(srv.serve(dir, limit)) << srv.output();
        ASSERT_EQ(srv.stop(), 1);
        string out = srv.output();
        EXPECT_TRUE(has(out, "Corrupt save file res/world (") && !has(out, "not loaded, kept as") &&
                    has(out, "save of res/world skipped"))
            << out;
        EXPECT_EQ(readFile(res("world")), damaged);
        EXPECT_EQ(fs::is_directory(res("world.bad")), limit < 0); // and no partial copy
        EXPECT_EQ(fs::remove(res("world.bad")), limit < 0);
    }
}

TEST_F(faults, AutosaveThenAKillLosesNothingSaved) {
    srv.args = {"--autosave", "1"};
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    ASSERT_EQ(cl.request(newAccountMsg("autosaved", "pw")), bytes{soNewGood});
    ASSERT_TRUE(srv.waitFor("Autosave: 1 accounts, 331 chunks, ", 5000)) << srv.output();
    ASSERT_EQ(srv.stop(SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    EXPECT_TRUE(cl.login("autosaved", "pw", 3));
    EXPECT_EQ(srv.stop(), 0);
}
