// The command line: each number within its documented bounds lands where the server reads
// it, and a value beyond them, a missing or empty value, an unknown option or a stray
// argument is refused with status 2 and the usage before anything starts.
#include <gtest/gtest.h>

#include "testUtil.h"
#include "server.h"

static std::string said; // what the last parse wrote on standard error

// parseCommandLine on `args` after the program's name, into `line`.
static int parse(std::vector<std::string> args, commandLine* line) {
    args.insert(args.begin(), "quarn-server");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    testing::internal::CaptureStderr();
    int status = parseCommandLine(int(argv.size()), argv.data(), line);
    said = testing::internal::GetCapturedStderr();
    return status;
}

TEST(options, ValuesBeyondTheirBoundsAndUnknownOptionsEndWithStatusTwo) {
    commandLine line;
    for (std::vector<std::string> bad : {std::vector<std::string>{"--port", "23x"},
                                         {"--port", " 23"},
                                         {"--res", ""},
                                         {"--port"},
                                         {"--http", "127.0.0.1:0"},
                                         {"--no-such-option"},
                                         {"2300"}}) {
        EXPECT_EQ(parse(bad, &line), 2) << bad[0];
        EXPECT_TRUE(said.find("\nUsage: quarn-server [options]\n") != std::string::npos) << said;
    }
}

// An installed host names its save folder in QUARN_RES; a --res on the command line wins.
TEST(options, SaveFolderComesFromQuarnResUnlessResIsGiven) {
    commandLine line;
    setenv("QUARN_RES", "/var/lib/quarn", 1);
    EXPECT_EQ(parse({"--headless"}, &line), -1);
    EXPECT_EQ(options.resGiven, 1); // a folder that must exist, as one given by --res
    EXPECT_EQ(resPath("world"), "/var/lib/quarn/world");
    EXPECT_EQ(parse({"--res", "elsewhere"}, &line), -1);
    EXPECT_EQ(resPath("world"), "elsewhere/world");
    unsetenv("QUARN_RES");
    setResDir("res");
}

// Every number an option takes lands where the server reads it, at both ends of its range.
TEST(options, EachNumberTakesEffectAtTheEndsOfItsRange) {
    const struct {
        const char* option;
        int* value;
        int lowest, highest;
    } numbers[] = {{"--port", &options.port, 1, 65535},
                   {"--max-accounts", &options.maxAccounts, 0, 10000000},
                   {"--max-view-radius", &options.maxViewRadius, 1, 1000},
                   {"--world-radius", &options.worldRadius, 1, 1000000},
                   {"--autosave", &options.autosaveSeconds, 0, 7 * 24 * 3600},
                   {"--status-interval", &options.statusSeconds, 1, 24 * 3600},
                   {"--hashes-per-tick", &options.hashesPerTick, 1, 1000},
                   {"--creations-per-minute", &options.creationsPerMinute, 0, 1000000},
                   {"--creations-per-address", &options.creationsPerAddress, 0, 1000000},
                   {"--failed-logins-per-address", &options.failedLoginsPerAddress, 1, 1000000},
                   {"--max-players", &options.maxPlayers, 0, 100000},
                   {"--backup-every", &options.backupEveryHours, 0, 720},
                   {"--keep-backups", &options.keepBackups, 1, 1000}};
    commandLine line;
    for (const auto& n : numbers) {
        for (int v : {n.lowest, n.highest}) {
            EXPECT_EQ(parse({n.option, std::to_string(v)}, &line), -1) << n.option;
            EXPECT_EQ(*n.value, v) << n.option;
        }
        EXPECT_EQ(parse({n.option, std::to_string(n.lowest - 1)}, &line), 2) << n.option;
        EXPECT_EQ(parse({n.option, std::to_string(int64_t(n.highest) + 1)}, &line), 2) << n.option;
    }
    EXPECT_EQ(parse({"--help"}, &line), 0); // printed: nothing starts
    EXPECT_EQ(parse({"--verbose", "--headless"}, &line), -1);
    EXPECT_TRUE(line.verbose && line.headless);
}
