// Faults around the headless binary's save files: damaged world files, a res/ that cannot be
// written and none at all, and autosaves that survive a SIGKILL.
#include "e2eUtil.h"

namespace fs = std::filesystem;
using faults = e2eTest;

// A damaged world that cannot be kept aside (the name "world.bad" is taken) is not saved
// over; one that can is kept aside and the spawn area made afresh. A save that cannot make
// its temporary files beside the real ones keeps them, and so does one without res/ at all;
// both quits end with status 1. What an autosave wrote survives a kill.
TEST_F(faults, DamagedWorldsFailedSavesAndAutosavesKeepWhatWasSaved) {
    ASSERT_TRUE(srv.serve(dir)) << srv.output(); // the spawn area, and only its world kept
    ASSERT_EQ(srv.stop(), 0);
    fs::remove(res("profiles"));
    fs::remove(res("entities"));
    const string damaged = readFile(res("world")).substr(0, 100); // inside the first chunk
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
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    ASSERT_EQ(cl.request(newAccountMsg("autosaved", "pw")), bytes{soNewGood});
    ASSERT_TRUE(srv.waitFor("Autosave: 1 accounts, 1 entities, 331 chunks, ", 5000))
        << srv.output();
    ASSERT_EQ(srv.stop(SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    EXPECT_TRUE(cl.login("autosaved", "pw", 3));

    fs::remove_all(dir + "/res");
    ASSERT_EQ(srv.stop(), 1);
    EXPECT_FALSE(fs::exists(dir + "/res"));
}
