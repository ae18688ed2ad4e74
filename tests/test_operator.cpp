// The operator's pieces inside the process: the bans and allow-list files read line by line
// (damaged lines reported and skipped) and written back, the tick clock across the wrap of
// the millisecond counter, and a control client waiting for a save.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/un.h>

#include "sessionTest.h"
#include "testUtil.h"
#include "server.h"

struct accessLists : testing::Test {
    scratchFolder folder{"quarn-access"};
    std::string dir = folder.dir;
    quietTrace quiet;
    void SetUp() override {
        captureLog();
        resetAccessLists();
    }
    void TearDown() override { resetAccessLists(); }
    void write(const char* name, const std::string& text) {
        std::ofstream(dir + "/" + name) << text;
    }
    std::string read(const char* name) {
        std::ifstream f(dir + "/" + name);
        return {std::istreambuf_iterator<char>(f), {}};
    }
};

static uint32_t ip(const char* text) {
    in_addr a;
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

static const unsigned char* name(const char* text) {
    return reinterpret_cast<const unsigned char*>(text);
}

static banTarget target(const std::string& text) {
    banTarget t;
    std::string why;
    EXPECT_TRUE(parseBanTarget(text, &t, &why, 0)) << text << ": " << why;
    return t;
}

// The files are read line by line: damaged lines are reported and skipped, yet kept, with
// every comment, when a change writes the file back (a slice a tick); a file edited by
// hand since it was read is read again before a change is written over it.
TEST_F(accessLists, LinesAreReadSkippingDamageAndWrittenBackWithEveryOtherLine) {
    write("bans", "# a comment\n\n10.1.2.0/24\r\n  griefer  \nbad\\x20guy\n"
                  "1.2.3.4/33\n\\x23hash\nbroken\\x4\n203.0.113.7\n0.0.0.0/0x\n");
    write("allow", "on\nfriend\nbob\n");
    loadAccessLists();
    std::string bans = dir + "/bans";
    EXPECT_EQ(capturedLog,
              (std::vector<std::string>{
                  "Damaged line 6 of " + bans + " skipped (not an IPv4 address range): 1.2.3.4/33",
                  "Damaged line 8 of " + bans + " skipped (a \\ that is not \\xNN): broken\\x5Cx4",
                  "Damaged line 10 of " + bans + " skipped (not an IPv4 address range): 0.0.0.0/0x",
                  "Damaged line 3 of " + dir +
                      "/allow skipped (a name of 3 characters or fewer never logs in): bob"}));
    EXPECT_TRUE(addressBanned(ip("10.1.2.0")));
    EXPECT_TRUE(addressBanned(ip("10.1.2.255")));
    EXPECT_FALSE(addressBanned(ip("10.1.3.0")));
    EXPECT_TRUE(addressBanned(ip("203.0.113.7")));
    EXPECT_FALSE(addressBanned(ip("203.0.113.6")));
    EXPECT_TRUE(nameBanned(name("griefer")));
    EXPECT_TRUE(nameBanned(name("bad guy")));
    EXPECT_TRUE(nameBanned(name("#hash")));
    EXPECT_FALSE(nameBanned(name("griefe")));
    EXPECT_TRUE(allowListOn());
    EXPECT_TRUE(nameAllowed(name("friend")));
    EXPECT_FALSE(nameAllowed(name("stranger")));
    EXPECT_FALSE(changeBan(target("10.1.2.9/24"), 1)); // the range, by another address in it
    EXPECT_TRUE(changeBan(target("name 1.2.3.4"), 1)); // a name that reads as an address
    EXPECT_TRUE(changeBan(target("griefer"), 0));
    writeAccessListsNow();
    EXPECT_EQ(read("bans"), "# a comment\n\n10.1.2.0/24\r\nbad\\x20guy\n1.2.3.4/33\n"
                            "\\x23hash\nbroken\\x4\n203.0.113.7\n0.0.0.0/0x\n\\x31.2.3.4\n");
    EXPECT_EQ(banList(), (std::vector<std::string>{"10.1.2.0/24", "bad guy", "\\x23hash",
                                                   "203.0.113.7/32", "\\x31.2.3.4"}));
    // An operator adds a line and a comment by hand; the next change keeps both.
    write("bans", read("bans") + "# added by hand\nhandmade\n");
    EXPECT_TRUE(changeBan(target("address 0.0.0.0/0"), 1));
    EXPECT_TRUE(nameBanned(name("handmade")));
    EXPECT_TRUE(addressBanned(ip("192.0.2.1")));
    writeAccessListsNow();
    EXPECT_TRUE(read("bans").ends_with("# added by hand\nhandmade\n0.0.0.0/0\n"));
    EXPECT_TRUE(changeBan(target("0.0.0.0/0"), 0));
    EXPECT_FALSE(addressBanned(ip("192.0.2.1")));
    allowSwitch(0);
    EXPECT_TRUE(nameAllowed(name("stranger")));
    writeAccessListsNow();
    EXPECT_EQ(read("allow"), "off\nfriend\nbob\n");
    EXPECT_EQ(int(std::filesystem::status(dir + "/allow").permissions()), 0600);
}

// A long list is written over several ticks; a hand edit made meanwhile is read before the
// write replaces the file, and the change is made again over it: both stay.
TEST_F(accessLists, AHandEditDuringALongWriteIsKeptWithTheChange) {
    std::string many;
    for (int i = 0; i < 40000; i++)
        many += "10." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + ".0/24\n";
    write("bans", many);
    loadAccessLists();
    EXPECT_TRUE(changeBan(target("name latecomer"), 1));
    serveAccessLists(); // the first slice of the lines
    EXPECT_EQ(read("bans"), many);
    write("bans", many + "# by hand\nhandmade\n");
    int ticks = 0;
    for (; ticks < 100 && read("bans").find("latecomer") == std::string::npos; ticks++)
        serveAccessLists();
    EXPECT_GT(ticks, 3); // the lines, their sync, the rename, the folder's sync
    EXPECT_EQ(read("bans"), many + "# by hand\nhandmade\nlatecomer\n");
    EXPECT_TRUE(nameBanned(name("handmade")));
    std::vector<uintmax_t> aside; // the replaced file, let go of a slice a tick
    for (std::string old = dir + "/bans.old"; std::filesystem::exists(old) && aside.size() < 10;
         serveAccessLists())
        aside.push_back(std::filesystem::file_size(old));
    const uintmax_t replaced = many.size() + strlen("# by hand\nhandmade\n");
    const uintmax_t slice = 256 * 1024;
    EXPECT_EQ(aside,
              (std::vector<uintmax_t>{replaced, replaced, replaced - slice, replaced - 2 * slice}));
    EXPECT_TRUE(changeBan(target("name another"), 1));
    serveAccessLists();
    resetAccessLists(); // a Stop in the middle of a write leaves no temporary file
    EXPECT_FALSE(std::filesystem::exists(dir + "/bans.tmp"));
}

// Ticks go on at 20 a second, 50 ms apart, while the unsigned millisecond clock wraps to 0:
// none stops, none comes early; after a stall the missed ones come at once.
TEST(tickClock, TicksOnAcrossTheWrap) {
    quietTrace quiet;
    loop.nextTick = 0xFFFFFFC0u;
    loop.lastSec = loop.nextTick;
    loop.ticksThisSecond = 0;
    std::vector<uint32_t> at;
    uint32_t now = 0xFFFFFF00u; // every millisecond from 256 before the wrap to 1999
    for (int step = 0; step < 2256; step++, now++)
        if (tickDue(now)) at.push_back(now);
    ASSERT_EQ(at.size(), 42u); // at -64, -14, 36, ... 1986
    for (size_t i = 0; i < at.size(); i++)
        EXPECT_EQ(at[i], 0xFFFFFFC0u + uint32_t(i) * 50) << i;
    int missed = 0; // a stall of half a second: the ticks it missed run back to back
    while (tickDue(2536) && missed < 100)
        missed++;
    EXPECT_EQ(missed, 11); // those due at 2036, 2086, ... 2536
}

// A control client whose command is under way (a save) is not idle, however long the work
// takes: it gets its answer when the save is written, not the cut-off of an idle client.
struct controlSocket : sessionTest {
    scratchFolder folder{"quarn-control"};
    void SetUp() override {
        sessionTest::SetUp();
        ASSERT_TRUE(openControl());
    }
    void TearDown() override {
        closeControl();
        sessionTest::TearDown();
    }
};

TEST_F(controlSocket, AClientWaitingForASaveIsNotIdle) {
    int fd = unixSocket(folder.dir + "/control.sock", SOCK_STREAM, unixConnected);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, "save\n", 5, 0), 5);
    for (int i = 0; i < 5; i++)
        eventStep(10);
    fakeNow += 60000; // a minute of saving
    serveControl(fakeNow);
    eventStep(10);
    char data[256];
    EXPECT_EQ(recv(fd, data, sizeof data, MSG_DONTWAIT), -1); // no answer yet, not cut off
    ssize_t n = -1;
    for (int tick = 0; tick < 20 && n < 0; tick++) { // the save writes a file a tick
        serveTick();
        eventStep(10);
        n = recv(fd, data, sizeof data - 1, MSG_DONTWAIT);
    }
    ASSERT_GT(n, 0);
    data[n] = 0;
    EXPECT_TRUE(std::string(data).starts_with("Save: 0 accounts, 0 entities, 0 chunks, ")) << data;
    EXPECT_TRUE(std::string(data).ends_with(" ms\nok\n")) << data;
    close(fd);
}
