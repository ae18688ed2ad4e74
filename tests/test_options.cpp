// The command line: every option reaches its setting, every bad value and unknown option
// is refused with status 2 and the usage, --help and --version end at once with 0.
#include <gtest/gtest.h>

#include "veskServer.h"

namespace {

struct parsed {
    int status;
    int headless;
    std::string err;
};

parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "quarn-server");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    parsed p = {};
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    p.status = parseCommandLine(int(args.size()), argv.data(), &p.headless);
    testing::internal::GetCapturedStdout();
    p.err = testing::internal::GetCapturedStderr();
    return p;
}

TEST(options, EachOptionReachesItsSettingAndBadOnesAreRefusedWithTheUsage) {
    parsed p = parse({"--headless", "--port", "40000", "--max-accounts", "0", "--max-view-radius",
                      "5", "--world-radius", "20", "--autosave", "0", "--status-interval", "7",
                      "--res", "/srv/quarn", "--quiet"});
    EXPECT_EQ(p.status, -1) << p.err;
    EXPECT_EQ(p.headless, 1);
    const int got[6] = {servPort,    maxAccounts,     maxViewRadius,
                        worldRadius, autosaveSeconds, statusSeconds};
    EXPECT_EQ(std::vector<int>(got, got + 6), (std::vector<int>{40000, 0, 5, 20, 0, 7}));
    EXPECT_STREQ(dirProf, "/srv/quarn/profiles");
    EXPECT_EQ(traceOn, 0);
    traceOn = 1;
    setResDir("res");
    const std::vector<std::vector<std::string>> bad = {{"--port", "0"},
                                                       {"--port", "65536"},
                                                       {"--port", "23x"},
                                                       {"--port", ""},
                                                       {"--max-accounts", "-1"},
                                                       {"--max-view-radius", "0"},
                                                       {"--world-radius", "0"},
                                                       {"--autosave", "-5"},
                                                       {"--status-interval", "0"},
                                                       {"--res", ""},
                                                       {"--port"},
                                                       {"--bogus"},
                                                       {"stray"},
                                                       {"--port", "99999999999"}};
    for (const auto& args : bad) {
        parsed refused = parse(args);
        EXPECT_EQ(refused.status, 2) << args[0];
        EXPECT_NE(refused.err.find("Usage: quarn-server [options]"), std::string::npos) << args[0];
    }
    EXPECT_EQ(parse({"--help"}).status, 0);
    EXPECT_EQ(parse({"--version", "--port", "0"}).status, 0);
}

} // namespace
