// The save folder against crashes, careless operators and local users, with the headless
// binary: a save killed at every step of its commit (strace's fault injection) leaves files
// of one moment; a save that fails at a stop keeps the server serving until it can save;
// the folder's lock outlives the lock file, a folder others may write is refused, planted
// links are never followed, files take the modes they should; a control socket nobody
// serves is given up on; backups, and their restore.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include "e2eUtil.h"

namespace fs = std::filesystem;

namespace {

const char* saveFileNames[] = {"profiles", "entities", "logins", "world"};

struct savesE2E : e2eTest {
    std::map<string, string> files() {
        std::map<string, string> all;
        for (const char* name : saveFileNames)
            all[name] = readFile(res(name));
        return all;
    }
    int control(const string& command, string* printed = nullptr) {
        string ignored;
        return runControl(res(""), command, printed ? printed : &ignored);
    }
    // The backup's folder an answer names: "backup in backups/NAME (4 files, linked); …".
    static string folderIn(const string& answer) {
        size_t at = answer.find("backups/");
        return answer.substr(at, answer.find(' ', at) - at);
    }
    // A newcomer joins and edits the ground under it: every save file changes.
    void changeEverything(udpClient* newcomer) {
        ASSERT_TRUE(newcomer->join("newcomer"));
        const float down[6] = {5, 3, 5, 0.1f, -1, 0.2f};
        for (int i = 0; i < 3; i++) {
            newcomer->send(newcomer->mouse(down, 0));
            usleep(100 * 1000);
        }
    }
};

} // namespace

// A save whose commit record cannot be renamed into place fails and leaves it nowhere; then
// the server is killed at each rename of a save's commit (the commit record's own, then the
// four files') and just before it removes the record: after the next Start the files are
// all those of the save before, or, once the record is in place, all of the new one.
TEST_F(savesE2E, ASaveKilledAtAnyStepLeavesTheFilesOfOneMoment) {
    if (system("command -v strace >/dev/null") != 0) GTEST_SKIP() << "no strace";
    srv.args = {"--quiet", "--autosave", "0"};
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    ASSERT_TRUE(cl.join("alice"));
    ASSERT_EQ(srv.stop(), 0);
    std::map<string, string> before = files();
    for (int step = 0; step <= 6; step++) {
        for (auto& [name, bytes] : before)
            writeFile(res(name), bytes);
        ASSERT_TRUE(srv.serve(dir)) << srv.output();
        udpClient newcomer(srv.port);
        changeEverything(&newcomer);
        string inject = step == 0   ? "-e trace=rename -e inject=rename:error=EIO:when=1"
                        : step <= 5 ? "-e trace=rename -e inject=rename:signal=KILL:when=" +
                                          std::to_string(step)
                                    : "-e trace=unlink -P res/commit -e inject=unlink:signal=KILL";
        string command = "strace -qq -o /dev/null -p " + std::to_string(srv.pid) + " " + inject +
                         " 2>" + dir + "/strace.txt &";
        ASSERT_EQ(system(command.c_str()), 0);
        usleep(500 * 1000); // attached
        control("save");
        if (step == 0) { // the commit record could not be put in place: the save failed
            EXPECT_FALSE(fs::exists(res("commit.tmp")));
            kill(srv.pid, SIGKILL);
        }
        EXPECT_EQ(srv.waitExit(10000), 128 + SIGKILL) << step << readFile(dir + "/strace.txt");
        ASSERT_TRUE(srv.serve(dir)) << srv.output(); // Start completes or discards the save
        kill(srv.pid, SIGKILL);                      // and nothing saves after it
        srv.waitExit();
        std::map<string, string> after = files();
        int unchanged = 0;
        for (const char* name : saveFileNames)
            unchanged += after[name] == before[name];
        EXPECT_EQ(unchanged, step <= 1 ? 4 : 0) << "killed at step " << step;
        EXPECT_FALSE(fs::exists(res("commit"))) << step;
        for (const char* name : saveFileNames)
            EXPECT_FALSE(fs::exists(res(name) + string(".tmp"))) << step << name;
    }
}

// A stop whose save fails keeps the server serving, trying again every 5 seconds; once the
// save can be written the server stops with status 0. A second signal stops it at once,
// without the save, with status 1.
TEST_F(savesE2E, AStopWhoseSaveFailsKeepsServingUntilTheSaveIsWritten) {
    srv.args = {"--quiet"};
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    ASSERT_TRUE(cl.join("alice"));
    fs::create_directory(res("world.tmp")); // a save cannot make its temporary world file
    kill(srv.pid, SIGTERM);
    EXPECT_TRUE(srv.waitFor("Save failed (")) << srv.output();
    EXPECT_TRUE(has(srv.output(), "at the stop, still serving; trying again every 5 s"));
    string status;
    EXPECT_EQ(control("status", &status), 0) << status;
    fs::remove(res("world.tmp"));
    EXPECT_EQ(srv.waitExit(8000), 0) << srv.output();
    EXPECT_TRUE(has(srv.output(), "Server: Saved at last; stopping"));
    EXPECT_TRUE(has(readFile(res("profiles")), "alice"));

    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    fs::create_directory(res("world.tmp"));
    kill(srv.pid, SIGTERM);
    EXPECT_TRUE(srv.waitFor("at the stop, still serving"));
    kill(srv.pid, SIGTERM);
    EXPECT_EQ(srv.waitExit(), 1);
    EXPECT_TRUE(has(srv.output(), "Server: Stopped without saving at a second signal"));
}

// The lock holds without its file; a folder others may write is refused; links planted
// under the names of the files are removed, never followed; the files take their modes,
// the world's and the entities' as the umask leaves them.
TEST_F(savesE2E, TheFolderIsLockedItselfAndNothingInItIsFollowed) {
    string victim = dir + "/victim";
    writeFile(victim, "precious");
    fs::create_symlink(victim, res("profiles.tmp"));
    srv.environment = "umask 077 &&";
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    fs::remove(res("lock"));
    serverProc second;
    second.spawn(dir);
    EXPECT_EQ(second.waitExit(), 1);
    EXPECT_TRUE(has(second.output(), "save folder res is in use by process (unknown)"))
        << second.output();
    ASSERT_TRUE(cl.join("alice"));
    EXPECT_EQ(control("save"), 0);
    EXPECT_EQ(readFile(victim), "precious");
    for (const char* name : saveFileNames)
        EXPECT_EQ(int(fs::status(res(name)).permissions()), 0600) << name;
    ASSERT_EQ(srv.stop(), 0);
    srv.environment = "umask 022 &&";
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    ASSERT_EQ(srv.stop(), 0);
    const std::pair<const char*, int> modes[] = {
        {"profiles", 0600}, {"logins", 0600}, {"entities", 0644}, {"world", 0644}};
    for (auto [name, mode] : modes)
        EXPECT_EQ(int(fs::status(res(name)).permissions()), mode) << name;

    chmod(res("").c_str(), 0777);
    serverProc open;
    open.spawn(dir);
    EXPECT_EQ(open.waitExit(), 1);
    EXPECT_TRUE(has(open.output(), "save folder res may be written by others than its owner "
                                   "(mode 0777)"))
        << open.output();
    chmod(res("").c_str(), 0755);
}

// A control socket that nobody serves (a hung server's) is given up on after 5 seconds.
TEST_F(savesE2E, AControlSocketNobodyServesIsGivenUpOn) {
    int listener = unixSocket(res("control.sock"), SOCK_STREAM, unixListening);
    ASSERT_GE(listener, 0);
    auto t0 = std::chrono::steady_clock::now();
    string printed;
    EXPECT_EQ(control("status", &printed), 1);
    EXPECT_GE(msSince(t0), 4900);
    EXPECT_LT(msSince(t0), 8000);
    EXPECT_TRUE(has(printed, "did not take the command within 5 seconds")) << printed;
    close(listener);
}

// A host's backups: the answer names a folder holding the files of the save it made, the
// oldest beyond --keep-backups go, and files copied back bring that moment back. A full
// server refuses a login as it refuses any.
TEST_F(savesE2E, ABackupHoldsItsSaveAndRestoresItAndAFullServerRefusesLogins) {
    srv.args = {"--quiet", "--keep-backups", "2", "--max-players", "1"};
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    ASSERT_TRUE(cl.join("alice"));
    udpClient late(srv.port);
    ASSERT_EQ(late.request(newAccountMsg("latecomer", "pw")), bytes{soNewGood});
    EXPECT_EQ(late.request(loginMsg("latecomer", "pw", 3)), bytes{soLogBad});
    EXPECT_TRUE(srv.waitFor("Log In: Failed (full) (latecomer 127.0.0.1:")) << srv.output();

    string answer;
    ASSERT_EQ(control("backup", &answer), 0) << answer;
    ASSERT_TRUE(has(answer, "backup in backups/")) << answer;
    string first = folderIn(answer);
    std::map<string, string> moment = files();
    EXPECT_TRUE(has(moment["profiles"], "alice"));
    for (const char* name : saveFileNames)
        EXPECT_EQ(readFile(res(first + "/" + name)), moment[name]) << name;
    EXPECT_EQ(fs::status(res(first)).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(res("backups")).permissions(), fs::perms::owner_all);
    for (int i = 0; i < 2; i++)
        ASSERT_EQ(control("backup", &answer), 0) << answer;
    string latest = folderIn(answer);
    EXPECT_FALSE(fs::exists(res(first))) << "the oldest of three goes";
    EXPECT_EQ(std::distance(fs::directory_iterator(res("backups")), {}), 2);

    control("kick alice"); // unless her silent session has already timed out
    ASSERT_EQ(control("remove alice"), 0);
    ASSERT_EQ(srv.stop(), 0);
    EXPECT_FALSE(has(readFile(res("profiles")), "alice"));
    // The restore: stop, copy the files back, start.
    for (const char* name : saveFileNames)
        fs::copy_file(res(latest + "/" + name), res(name), fs::copy_options::overwrite_existing);
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    EXPECT_EQ(control("accounts", &answer), 0);
    EXPECT_TRUE(has(answer, "alice")) << answer;
}
