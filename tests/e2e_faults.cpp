// Faults around the headless binary's save files: a res/ that cannot be written, a SIGKILL
// in the middle of saving, no res/ at all, damaged world files, and autosaves.
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

// No temporary file can be made beside the real ones: the save fails and leaves them.
TEST_F(faults, UnwritableOrMissingResKeepsServingAndTheQuitEndsWithStatusOne) {
    const string world = worldOfRadius(res("world"), 11);
    fs::create_directory(res("world.tmp"));
    fs::create_directory(res("profiles.tmp"));
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    ASSERT_EQ(cl.request(newAccountMsg("newcomer", "pw")), bytes{soNewGood});
    ASSERT_EQ(srv.stop(), 1);
    EXPECT_TRUE(has(srv.output(), "Server: Save failed (res/")) << srv.output();
    EXPECT_TRUE(readFile(res("world")) == world);
    EXPECT_FALSE(fs::exists(res("profiles")));
    // Without res/ at all it serves, and the quit reports the failed save.
    fs::remove_all(dir + "/res");
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    EXPECT_EQ(cl.request(newAccountMsg("homeless", "pw")), bytes{soNewGood});
    ASSERT_EQ(srv.stop(), 1);
    EXPECT_FALSE(fs::exists(dir + "/res"));
}

TEST_F(faults, KillDuringSaveLeavesOldOrNewFilesNeverBrokenOnes) {
    const string world = worldOfRadius(res("world"), 31); // 2791 chunks, 9.1 MB
    writeProfile(dir, "first", 0);
    std::mt19937 rng(std::random_device{}());
    int inSave = 0;
    for (int round = 0; round < 30; round++) {
        const string old = readFile(res("profiles"));
        const string name = "k" + std::to_string(round);
        ASSERT_TRUE(srv.serve(dir)) << srv.output();
        ASSERT_EQ(cl.request(newAccountMsg(name, "pw")), bytes{soNewGood});
        kill(srv.pid, SIGTERM);
        usleep(rng() % (round % 2 ? 3000 : 100000)); // odd rounds aim at the accounts' save
        kill(srv.pid, SIGKILL);
        int status = srv.waitExit(10000);
        ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << status;
        inSave += fs::remove(res("world.tmp")) | fs::remove(res("profiles.tmp"));
        EXPECT_TRUE(readFile(res("world")) == world); // nothing edits it: old and new are alike
        string now = readFile(res("profiles"));       // the old accounts, or one more
        EXPECT_TRUE(now == old || (now.size() == old.size() + 516 && has(now, name)));
    }
    EXPECT_GT(inSave, 0) << "no kill landed inside a save";
}

// A damaged world is kept aside and the spawn area made afresh; when it cannot be kept
// aside (the name "world.bad" is taken), the only copy is not saved over.
TEST_F(faults, DamagedWorldIsKeptAsideOrElseNotSavedOver) {
    const string spawn = worldOfRadius(res("world"), 11);
    const string cut = spawn.substr(0, 100); // inside the first chunk
    writeFile(res("world"), cut);
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    EXPECT_TRUE(has(srv.output(), "Corrupt save file res/world (")) << srv.output();
    EXPECT_EQ(readFile(res("world.bad")), cut);
    ASSERT_EQ(srv.stop(), 0);
    EXPECT_TRUE(readFile(res("world")) == spawn);
    const string damaged = spawn + "trailing bytes";
    writeFile(res("world"), damaged);
    fs::remove(res("world.bad"));
    fs::create_directory(res("world.bad"));
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    ASSERT_EQ(srv.stop(), 1);
    EXPECT_TRUE(has(srv.output(), "save of res/world skipped"));
    EXPECT_TRUE(readFile(res("world")) == damaged);
}

// Autosaves come at their interval, and what one saved survives a kill.
TEST_F(faults, AutosaveComesEveryIntervalAndSurvivesAKill) {
    srv.args = {"--autosave", "1"};
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    ASSERT_EQ(cl.request(newAccountMsg("autosaved", "pw")), bytes{soNewGood});
    ASSERT_TRUE(srv.waitFor("Autosave: 1 accounts, 331 chunks, ", 5000)) << srv.output();
    usleep(1500 * 1000);
    EXPECT_LE(timesIn(srv.output(), "Autosave: "), int(msSince(t0) / 1000)); // one a second
    ASSERT_EQ(srv.stop(SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    EXPECT_TRUE(cl.login("autosaved", "pw", 3));
    EXPECT_EQ(srv.stop(), 0);
}
