// What an operator runs: the binary's command line (a refused option, another folder for
// the save files, quiet running) and the status line of a short run with two players.
#include <regex>

#include "e2eUtil.h"

using hosting = e2eTest;

TEST_F(hosting, AnUnknownOptionEndsWithTheUsageAndStatusTwo) {
    srv.args = {"--max-view-radius", "many"};
    srv.spawn(dir);
    EXPECT_EQ(srv.waitExit(), 2);
    EXPECT_TRUE(has(srv.output(), "--max-view-radius takes a whole number from 1 to 1000"));
    EXPECT_TRUE(has(srv.output(), "Usage: "));
    EXPECT_FALSE(portTaken(srv.port));
}

// The save files live in a folder of the operator's choosing; quiet running prints the
// log entries and nothing else; the status line counts two players and times the ticks.
TEST_F(hosting, ResFolderQuietRunAndTheStatusLineOfTwoPlayers) {
    string elsewhere = dir + "/srv";
    std::filesystem::rename(dir + "/res", elsewhere);
    srv.args = {"--res", elsewhere, "--quiet", "--status-interval", "1"};
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    udpClient other(srv.port);
    ASSERT_EQ(cl.join("first").size(), 19u);
    ASSERT_EQ(other.join("second").size(), 19u);
    cl.send(cl.keys({{skmWalkForward, 1}}));
    cl.listen(2500, &other);
    ASSERT_EQ(srv.stop(), 0);

    EXPECT_TRUE(has(readFile(elsewhere + "/profiles"), "second"));
    EXPECT_EQ(readFile(elsewhere + "/world").size(), 1083036u);
    EXPECT_FALSE(std::filesystem::exists(dir + "/res"));
    // Every line is a log entry: no trace line of the start, the datagrams or the saves.
    string out = srv.output();
    for (const char* trace : {"mysocket:", "Load World", "received message", "saveProfs()"})
        EXPECT_FALSE(has(out, trace)) << trace;
    for (const char* entry : {"Server: Starting", "Profile Creation: Success", "doneSendingCap"})
        EXPECT_TRUE(has(out, entry)) << entry;

    std::regex status("Status: 2 playing, 0 connecting, tick mean ([0-9.]+) ms, max ([0-9.]+) "
                      "ms, 331 chunks, 3 entities, 0 datagrams dropped");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, status)) << out;
    double mean = std::stod(m[1]), max = std::stod(m[2]);
    EXPECT_GT(mean, 0.0);
    EXPECT_LE(mean, max);
    EXPECT_LT(max, 50.0);
}
