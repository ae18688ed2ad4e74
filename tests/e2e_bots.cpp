// quarn-bots against the real headless server: a few players get in, stay and leave with a
// goodbye the server logs.
#include <sys/wait.h>

#include "e2eUtil.h"

namespace {

// quarn-bots against the test's server, for 30 s at most: its exit status (-1 when it had to
// be stopped); its report goes to report.txt in the run folder, its progress lines to
// progress.txt.
int runBots(const string& dir, int port, const string& args) {
    string command = string("timeout 30 ") + QUARN_BOTS_BIN + " 127.0.0.1:" + std::to_string(port) +
                     " " + args + " >" + dir + "/report.txt 2>" + dir + "/progress.txt";
    int status = system(command.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) != 124 ? WEXITSTATUS(status) : -1;
}

// The share of echoed inputs the report gives, or -1.
double echoedShare(const string& report) {
    size_t at = report.find("inputs echoed: ");
    return at == string::npos ? -1 : atof(report.c_str() + at + 15);
}

} // namespace

TEST_F(e2eTest, BotsGetInStayAndLeaveAndTheReportSaysSo) {
    ASSERT_TRUE(srv.serve(dir)) << srv.output();
    int status = runBots(dir, srv.port, "--players 3 --seconds 4 --prefix walker");
    string report = readFile(dir + "/report.txt");
    ASSERT_EQ(status, 0) << report << readFile(dir + "/progress.txt");
    EXPECT_TRUE(has(report, "in game at the end: 3 of 3 (0 still joining)")) << report;
    EXPECT_TRUE(has(report, "(3 joined)")) << report;
    EXPECT_TRUE(has(report, "told soDisconnect: 0")) << report;
    EXPECT_GT(echoedShare(report), 50) << report; // the server is not loaded: most come back
    EXPECT_TRUE(has(readFile(dir + "/progress.txt"), "3 in game, 0 joining, 0 aborted"));
    EXPECT_TRUE(srv.waitFor("Disconnected (walker0003 127.0.0.1:")) << srv.output();
}
