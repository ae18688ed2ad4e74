// Faults around the headless binary's save files: a SIGKILL in the middle of saving, damaged
// world files, a res/ that cannot be written and none at all, and autosaves.
#include "e2eUtil.h"

namespace fs = std::filesystem;
using faults = e2eTest;

// Writes the world file of the spawn area of this radius around (0, 0) and returns it.
static string worldOfRadius(const string& path, int radius) {
    quietTrace quiet;
    freshLists(radius);
    saveChunks(path.c_str(), terList);
    freeLists();
    return readFile(path);
}

TEST_F(faults, KillDuringSaveLeavesOldOrNewFilesNeverBrokenOnes) {
    const string world = worldOfRadius(res("world"), 31); // 2791 chunks, 9.1 MB
    writeFile(res("profiles"), string(4, 0));             // no accounts
    int inSave = 0;
    for (int round = 0; round < 30; round++) {
        const string old = readFile(res("profiles"));
        const string name = "k" + std::to_string(round);
        ASSERT_TRUE(srv.serve(dir)) << srv.output();
        ASSERT_EQ(cl.request(newAccountMsg(name, "pw")), bytes{soNewGood});
        kill(srv.pid, SIGTERM);
        usleep(random() % (round % 2 ? 3000 : 100000)); // odd rounds aim at the accounts' save
        int status = srv.stop(SIGKILL);
        ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << status;
        inSave += fs::remove(res("world.tmp")) | fs::remove(res("profiles.tmp"));
        EXPECT_TRUE(readFile(res("world")) == world); // nothing edits it: old and new are alike
        string now = readFile(res("profiles"));       // the old accounts, or one more
        EXPECT_TRUE(now == old || (now.size() == old.size() + 516 && has(now, name)));
    }
    EXPECT_GT(inSave, 0) << "no kill landed inside a save";
}

// A damaged world that cannot be kept aside (the name "world.bad" is taken) is not saved
// over; one that can is kept aside and the spawn area made afresh. A save that cannot make
// its temporary files beside the real ones keeps them, and so does one without res/ at all;
// both quits end with status 1. Autosaves come at their interval, and what one saved
// survives a kill.
TEST_F(faults, DamagedWorldsFailedSavesAndAutosavesKeepWhatWasSaved) {
    const string spawn = worldOfRadius(res("world"), 11);
    const string damaged = spawn.substr(0, 100); // inside the first chunk
    writeFile(res("world"), damaged);
    fs::create_directory(res("world.bad"));
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    ASSERT_EQ(srv.stop(), 1);
    EXPECT_TRUE(readFile(res("world")) == damaged);
    fs::remove(res("world.bad"));
    fs::create_directory(res("world.tmp"));
    fs::create_directory(res("profiles.tmp"));
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    EXPECT_EQ(readFile(res("world.bad")), damaged);
    ASSERT_EQ(cl.request(newAccountMsg("newcomer", "pw")), bytes{soNewGood});
    ASSERT_EQ(srv.stop(), 1);
    EXPECT_TRUE(has(srv.output(), "Server: Save failed (res/")) << srv.output();
    EXPECT_TRUE(readFile(res("world")) == damaged);
    EXPECT_FALSE(has(readFile(res("profiles")), "newcomer"));

    fs::remove(res("world.tmp"));
    fs::remove(res("profiles.tmp"));
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

    fs::remove_all(dir + "/res");
    ASSERT_EQ(srv.stop(), 1);
    EXPECT_FALSE(fs::exists(dir + "/res"));
}
