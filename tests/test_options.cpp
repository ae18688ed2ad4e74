// The command line: a value beyond the documented bounds of each number, a missing or empty
// value, an unknown option or a stray argument is refused with status 2 before anything
// starts.
#include <gtest/gtest.h>

#include "testUtil.h"
#include "veskServer.h"

// parseCommandLine on `args` after the program's name, into `line`; its messages are dropped.
static int parse(std::vector<std::string> args, commandLine* line) {
    args.insert(args.begin(), "quarn-server");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    testing::internal::CaptureStderr();
    int status = parseCommandLine(int(argv.size()), argv.data(), line);
    testing::internal::GetCapturedStderr();
    return status;
}

TEST(options, ValuesBeyondTheirBoundsAndUnknownOptionsEndWithStatusTwo) {
    commandLine line;
    for (std::vector<std::string> bad : {std::vector<std::string>{"--port", "0"},
                                         {"--port", "65536"},
                                         {"--port", "23x"},
                                         {"--max-accounts", "-1"},
                                         {"--max-view-radius", "0"},
                                         {"--max-view-radius", "1001"},
                                         {"--world-radius", "0"},
                                         {"--autosave", "-1"},
                                         {"--status-interval", "0"},
                                         {"--res", ""},
                                         {"--port"},
                                         {"--no-such-option"},
                                         {"2300"}})
        EXPECT_EQ(parse(bad, &line), 2) << bad[0];
}

// An installed host names its save folder in QUARN_RES; a --res on the command line wins.
TEST(options, SaveFolderComesFromQuarnResUnlessResIsGiven) {
    commandLine line;
    setenv("QUARN_RES", "/var/lib/quarn", 1);
    EXPECT_EQ(parse({"--headless"}, &line), -1);
    EXPECT_EQ(line.resGiven, 1); // a folder that must exist, as one given by --res
    EXPECT_EQ(resPath("world"), "/var/lib/quarn/world");
    EXPECT_EQ(parse({"--res", "elsewhere"}, &line), -1);
    EXPECT_EQ(resPath("world"), "elsewhere/world");
    unsetenv("QUARN_RES");
    setResDir("res");
}
