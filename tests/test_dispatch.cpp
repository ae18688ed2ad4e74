// The receive dispatcher and accounts over a loopback socket: replies byte for byte,
// lengths that are ignored, logins refused for each reason, session keys, and the
// game-tick sub-messages with truncated and hostile contents.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "testUtil.h"
#include "veskServer.h"

namespace {

struct dispatcher : testing::Test {
    loopback lb;
    quietTrace quiet;
    void SetUp() override {
        captureLog();
        useFakeClock(10000);
        freshLists(0);
        openLoopback(&lb);
    }
    void TearDown() override {
        closeLoopback(&lb);
        freeLists();
        useRealClock();
    }
    std::vector<unsigned char> create(const std::string& name, const std::string& pass) {
        dispatch(&lb, newAccountMsg(name, pass));
        return clientRecv(&lb);
    }
    std::vector<unsigned char> login(const std::string& name, const std::string& pass,
                                     int radius = 3) {
        dispatch(&lb, loginMsg(name, pass, radius));
        return clientRecv(&lb);
    }
    veskProfile* prof(int i) { return arrayListGet<veskProfile>(profList, i); }
};

using bytes = std::vector<unsigned char>;

TEST_F(dispatcher, WakeUpAnswersOneZeroByteAndLogsTheSender) {
    dispatch(&lb, {coWakeup, 9, 9});
    EXPECT_EQ(clientRecv(&lb), bytes{0});
    EXPECT_TRUE(logHas("Wake Up: (127.0.0.1)"));
}

TEST_F(dispatcher, WrongLengthsAndUnknownTypesAreIgnoredSilently) {
    bytes a = newAccountMsg("alice", "pw");
    for (size_t len : {size_t(512), size_t(514)}) {
        bytes d = a;
        d.resize(len, 0);
        dispatch(&lb, d);
    }
    bytes l = loginMsg("alice", "pw", 3);
    for (size_t len : {size_t(516), size_t(518)}) {
        bytes d = l;
        d.resize(len, 0);
        dispatch(&lb, d);
    }
    unsigned char key[16] = {};
    bytes shortTic = sessionMsg(coGameTic, key);
    shortTic.pop_back();
    dispatch(&lb, shortTic);
    bytes shortBye = sessionMsg(coDisconnect, key);
    shortBye.resize(3);
    dispatch(&lb, shortBye);
    dispatch(&lb, {77});
    dispatch(&lb, {coNumOutputs});
    EXPECT_TRUE(clientDrain(&lb).empty());
    EXPECT_TRUE(capturedLog.empty());
    EXPECT_EQ(arrayListGetLength(profList), 0);
}

TEST_F(dispatcher, AccountCreationConflictsAndShortNames) {
    EXPECT_EQ(create("alice", "pw"), bytes{soNewGood});
    EXPECT_TRUE(logHas("New Profile Creation: (alice) (pw)"));
    EXPECT_TRUE(logHas("Profile Creation: Success"));
    EXPECT_EQ(create("alice", "other"), bytes{soNewBad});
    EXPECT_TRUE(logHas("Profile Creation: Username conflict."));
    // Names of three characters match nothing: accepted twice, never able to log in.
    EXPECT_EQ(create("bob", "pw"), bytes{soNewGood});
    EXPECT_EQ(create("bob", "pw"), bytes{soNewGood});
    EXPECT_EQ(arrayListGetLength(profList), 3);
    capturedLog.clear();
    EXPECT_EQ(login("bob", "pw"), bytes{soLogBad});
    EXPECT_TRUE(logHas("Log In: Failed (username)"));
    // Every account controls an entity of its own; ids equal list indices.
    EXPECT_EQ(arrayListGetLength(entList), 3);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(prof(i)->entity, i);
        EXPECT_EQ(arrayListGet<veskEntity>(entList, i)->globalId, i);
    }
}

TEST_F(dispatcher, LoginRepliesTwentyFiveBytesWithKeyEntityAndScale) {
    create("alice", "pw");
    bytes reply = login("alice", "pw", 4);
    ASSERT_EQ(reply.size(), 25u);
    EXPECT_EQ(reply[0], soLogGood);
    EXPECT_EQ(memcmp(reply.data() + 1, prof(0)->key, 16), 0);
    EXPECT_EQ(beInt(reply.data() + 17), prof(0)->entity);
    const unsigned char ten[4] = {0x00, 0x00, 0x20, 0x41};
    EXPECT_EQ(memcmp(reply.data() + 21, ten, 4), 0);
    EXPECT_EQ(prof(0)->stage, psKeyWait);
    EXPECT_EQ(prof(0)->terRadius, 4);
    EXPECT_EQ(prof(0)->lastRecv, 10000u);
    EXPECT_TRUE(logHas("keySent (25)"));
    EXPECT_EQ(keyToProf(prof(0)->key), prof(0));
}

TEST_F(dispatcher, LoginRefusalsAndPasswordsEqualUpToTheirZeroByte) {
    create("alice", std::string("pw\0xyz", 6));
    EXPECT_EQ(login("alice", "wrong"), bytes{soLogBad});
    EXPECT_TRUE(logHas("Log In: Failed (password)"));
    EXPECT_EQ(login("carol", "pw"), bytes{soLogBad});
    EXPECT_EQ(prof(0)->stage, psNotConn);
    EXPECT_EQ(login("alice", std::string("pw\0abc", 6)).size(), 25u);
    capturedLog.clear();
    EXPECT_EQ(login("alice", "pw"), bytes{soLogBad}); // a live session is never taken over
    EXPECT_TRUE(logHas("Log In: Failed (overload)"));
}

TEST_F(dispatcher, FullLengthNamesAreHandledWithinTheirFields) {
    std::string name(256, 'n'), pass(256, 'p');
    EXPECT_EQ(create(name, pass), bytes{soNewGood});
    EXPECT_EQ(memcmp(prof(0)->username, name.data(), 256), 0);
    EXPECT_EQ(create(name, "x"), bytes{soNewBad});
    EXPECT_EQ(login(name, pass).size(), 25u);
    ASSERT_FALSE(capturedLog.empty());
    for (const std::string& e : capturedLog)
        EXPECT_LE(e.size(), 255u);
}

TEST_F(dispatcher, KeyThatMatchesALiveKeyUpToAZeroByteIsMadeAgain) {
    // Find a generator seed whose first key has a 0 byte at index 2.
    unsigned seed = 1;
    unsigned char first[16];
    for (;; seed++) {
        srand(seed);
        for (auto& b : first)
            b = uint8_t(rand());
        if (first[2] == 0 && first[0] != 0 && first[1] != 0) break;
    }
    create("alice", "pw");
    veskProfile* live = prof(0);
    live->stage = psGame;
    memcpy(live->key, first, 3); // agrees up to and including the 0 byte
    memset(live->key + 3, 0xEE, 13);
    srand(seed);
    unsigned char made[16];
    traceOn = 1;
    testing::internal::CaptureStdout();
    makeKey(made);
    std::string out = testing::internal::GetCapturedStdout();
    traceOn = 0;
    EXPECT_NE(out.find("keys AreSame"), std::string::npos);
    EXPECT_NE(memcmp(made, first, 16), 0);
    EXPECT_EQ(strCompare(made, live->key, 16), 0);
}

TEST_F(dispatcher, LoginGivesANewEntityWhenTheSavedOneDanglesOrIsTaken) {
    create("alice", "pw");
    create("dave", "pw");
    prof(0)->entity = 40; // from a save file, with no such entity now
    login("alice", "pw");
    EXPECT_EQ(prof(0)->entity, 2);
    prof(1)->entity = 2; // dave's saved index names alice's live entity
    login("dave", "pw");
    EXPECT_EQ(prof(1)->entity, 3);
    EXPECT_EQ(arrayListGetLength(entList), 4);
}

struct inGame : dispatcher {
    veskProfile* pro = nullptr;
    veskGravity* g = nullptr;
    void SetUp() override {
        dispatcher::SetUp();
        create("alice", "pw");
        login("alice", "pw");
        pro = prof(0);
        pro->stage = psGame;
        g = arrayListGet<veskEntity>(entList, pro->entity)->gravMem;
    }
    bytes tic() { return sessionMsg(coGameTic, pro->key); }
};

constexpr int countOfEntries = INT32_MIN;

void addKeys(bytes* d, std::initializer_list<std::pair<int, int>> entries,
             int count = countOfEntries) {
    d->push_back(cosKey);
    appendInt(d, count != countOfEntries ? count : int(entries.size()));
    for (auto [slot, action] : entries) {
        appendInt(d, slot);
        d->push_back(uint8_t(action));
    }
}

void addRots(bytes* d, float a, float b, float c) {
    d->push_back(cosSetRots);
    float r[3] = {a, b, c};
    appendFloats(d, r, 3);
}

TEST_F(inGame, KeysThenRotationsInOneDatagram) {
    bytes d = tic();
    addKeys(&d, {{0, 1}, {3, 1}});
    addRots(&d, 0.25f, -1.5f, 0);
    pro->failCount = 2;
    fakeNow = 12345;
    dispatch(&lb, d);
    EXPECT_EQ(pro->keyMapBuf[0], 1);
    EXPECT_EQ(pro->keyMapBuf[3], 1);
    EXPECT_EQ(g->rots[0], 0.25f);
    EXPECT_EQ(g->rots[1], -1.5f);
    EXPECT_EQ(g->rotChanged, 1);
    EXPECT_EQ(pro->failCount, 0);
    EXPECT_EQ(pro->lastRecv, 12345u);
    EXPECT_TRUE(clientDrain(&lb).empty()); // no reply
}

TEST_F(inGame, BadSlotsAreSkippedAndReleasingAnUnheldKeyKeepsItReleased) {
    bytes d = tic();
    addKeys(&d, {{13, 1}, {-1, 1}, {6, 1}, {5, 2}, {2, 7}});
    dispatch(&lb, d);
    EXPECT_EQ(pro->keyMapBuf[6], 1);
    EXPECT_EQ(pro->keyMapBuf[5], 0);
    EXPECT_EQ(pro->keyMapBuf[2], 0);
    bytes r = tic();
    addKeys(&r, {{6, 2}});
    dispatch(&lb, r);
    EXPECT_EQ(pro->keyMapBuf[6], 0);
}

TEST_F(inGame, ExactlySeventeenBytesOnlyKeepsTheSessionAlive) {
    pro->failCount = 3;
    fakeNow = 22222;
    dispatch(&lb, tic());
    EXPECT_EQ(pro->failCount, 0);
    EXPECT_EQ(pro->lastRecv, 22222u);
}

TEST_F(inGame, DisconnectedKeyIsIgnored) {
    pro->stage = psNotConn;
    bytes d = tic();
    addKeys(&d, {{0, 1}});
    dispatch(&lb, d);
    EXPECT_EQ(pro->keyMapBuf[0], 0);
}

TEST_F(inGame, TruncatedAndHostileSubMessagesEndTheHandling) {
    bytes d = tic();
    addKeys(&d, {{0, 1}, {1, 1}}, 3); // claims a third entry that is not there
    addRots(&d, 1, 1, 1);
    dispatch(&lb, d);
    EXPECT_EQ(pro->keyMapBuf[0], 1);
    EXPECT_EQ(pro->keyMapBuf[1], 1);
    EXPECT_EQ(g->rotChanged, 0); // swallowed by the short key list

    bytes huge = tic();
    addKeys(&huge, {{2, 1}}, 0x7FFFFFFF);
    dispatch(&lb, huge);
    EXPECT_EQ(pro->keyMapBuf[2], 1);

    bytes negative = tic();
    addKeys(&negative, {{4, 1}}, -5);
    dispatch(&lb, negative);
    EXPECT_EQ(pro->keyMapBuf[4], 0);

    bytes shortRots = tic();
    addRots(&shortRots, 3, 3, 3);
    shortRots.pop_back();
    dispatch(&lb, shortRots);
    EXPECT_EQ(g->rots[0], 0.0f);

    bytes unknown = tic();
    unknown.push_back(9);
    addRots(&unknown, 3, 3, 3);
    dispatch(&lb, unknown);
    EXPECT_EQ(g->rots[0], 0.0f);

    bytes shortMouse = tic();
    shortMouse.push_back(cosMouse);
    shortMouse.resize(shortMouse.size() + 24, 0);
    dispatch(&lb, shortMouse);
    EXPECT_EQ(bufIndex, 0);
}

TEST_F(inGame, NonFiniteRotationsAreRefused) {
    bytes d = tic();
    addRots(&d, NAN, 0, 0);
    addRots(&d, 0, INFINITY, 0);
    addKeys(&d, {{1, 1}});
    dispatch(&lb, d);
    EXPECT_EQ(g->rots[0], 0.0f);
    EXPECT_EQ(g->rots[1], 0.0f);
    EXPECT_EQ(g->rotChanged, 0);
    EXPECT_EQ(pro->keyMapBuf[1], 1); // what follows still counts
}

TEST_F(inGame, UpdateOfEighteenBytesIsPrintedButIgnored) {
    pro->stage = psKeyWait;
    bytes d = sessionMsg(coUpdate, pro->key);
    d.push_back(0);
    traceOn = 1;
    testing::internal::CaptureStdout();
    dispatch(&lb, d);
    std::string out = testing::internal::GetCapturedStdout();
    traceOn = 0;
    EXPECT_EQ(out, "coUpdate: 4 (getTic: 10000)\n");
    EXPECT_EQ(pro->stage, psKeyWait);
}

} // namespace
