// What strangers can make the server do, inside the process: each sender's share of a tick,
// sessions served before strangers, the tick's hash budget and who goes first, a name that
// keeps failing, the limits per address (with the shared overflow record) and for the whole
// server, and the summaries that keep a flood out of the log.
#include <fcntl.h>

#include "sessionTest.h"

struct floods : sessionTest {
    // An account with a hashed password and no session.
    veskProfile* account(const char* name, const char* password) {
        auto* p = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
        strcpy(reinterpret_cast<char*>(p->username), name);
        hashPassword(p->password, reinterpret_cast<const unsigned char*>(password));
        p->entity = -1;
        p->confirmed = 1;
        arrayListAddEndPointer(sessions.profList, p);
        return p;
    }
    int logged(const std::string& entry) { return int(std::ranges::count(capturedLog, entry)); }
};

static std::string port(const loopback& l) {
    return std::to_string(ntohs(l.clientAddr.sin_port));
}

// A sender gets its share of a tick and loses only its own datagrams beyond it. When the
// budget runs out after a few datagrams (the clock moves a millisecond whenever it is
// read), the session's input, sent last, is served first.
TEST_F(floods, EachSenderHasItsShareAndASessionIsServedBeforeAnyStranger) {
    loginAlice(4, psGame);
    loopback stranger = lb;
    stranger.client = loopbackSocket(&stranger.clientAddr, "127.0.0.2");
    long long droppedBefore = traffic.totals.dropped;
    for (int i = 0; i < 600; i++)
        clientSend(&stranger, {coWakeup});
    clientSend(&lb, tic() + keys(1, {{skmJump, 1}}));
    usleep(20000);
    tick();
    EXPECT_EQ(pro->keyMapBuf[skmJump], 1);
    EXPECT_EQ(clientDrain(&stranger, 20).size(), size_t(options.maxPerSenderPerTick));
    EXPECT_EQ(traffic.totals.dropped - droppedBefore, 600 - options.maxPerSenderPerTick);
    fakeNow += 1000; // the second is over: what the log left out is summed up, with its sender
    tick();
    EXPECT_EQ(logged("Wake Up: 492 more from 1 addresses in the last second"), 1);
    for (int i = 0; i < 300; i++)
        clientSend(&stranger, {coWakeup});
    clientSend(&lb, tic() + keys(1, {{skmJump, 2}}));
    usleep(20000);
    loop.clock = [] { return fakeNow++; };
    tick();
    EXPECT_EQ(pro->keyMapBuf[skmJump], 0);
    size_t served = clientDrain(&stranger, 20).size();
    EXPECT_LT(served, 30u);
    EXPECT_EQ(traffic.totals.dropped - droppedBefore,
              600 - options.maxPerSenderPerTick + 300 - long(served));
    close(stranger.client);
}

// Picks aimed at the ground, packed into one game datagram.
static bytes picks(int n) {
    const float eyeAndRay[6] = {1, 3, 1, 0.1f, -1, 0.2f};
    bytes d;
    for (int i = 0; i < n; i++)
        d = d + mouseMsg(eyeAndRay, 0);
    return d;
}

// A player's picks in a tick are bounded, and so is their time: the rest are counted,
// never taken. A datagram forged at her address and port without her key is dropped as it
// is read, and counts nowhere.
TEST_F(floods, APlayersPicksAreBoundedAndAForgerAtHerEndpointCostsNothing) {
    loginAlice(4, psGame);
    setveskGravity(avatar(), world.terList);
    long long ignored = traffic.totals.picksIgnored, wrongKey = traffic.totals.wrongKey;
    bytes forged = tic() + keys(1, {{skmJump, 1}});
    forged[1] ^= 1;
    clientSend(&lb, forged);
    clientSend(&lb, tic() + picks(10));
    tick();
    EXPECT_EQ(traffic.totals.picksIgnored - ignored, 6);
    EXPECT_EQ(traffic.totals.wrongKey - wrongKey, 1);
    EXPECT_EQ(pro->keyMapBuf[skmJump], 0);
    {
        capturedTrace traced;              // each pick traced with its vectors
        clientSend(&lb, tic() + picks(3)); // the next tick takes picks again
        tick();
        EXPECT_EQ(timesIn(traced.text, "loc (1.000000, 3.000000, 1.000000, }\n"), 3);
    }
    EXPECT_EQ(traffic.totals.picksIgnored - ignored, 6);
    // Work on a datagram stops once the tick's time for dispatching is spent (each reading
    // of the clock here takes 5 ms): only the picks begun within it are taken.
    loop.clock = [] { return fakeNow += 5; };
    clientSend(&lb, tic() + picks(10));
    tick();
    EXPECT_GE(traffic.totals.picksIgnored - ignored, 6 + 7);
}

// Six wrong guesses from a stranger arrive before alice's right password from her own
// address: hers is checked first, then four guesses; the tick's budget refuses the rest
// without a hash, and the next tick has a budget again.
TEST_F(floods, TheHashBudgetServesALoginFromItsHomeAddressFirst) {
    options.hashesPerTick = 5;
    veskProfile* alice = account("alice", "right");
    account("bobby", "secret");
    ASSERT_EQ(send(loginMsg("alice", "right", 3)).size(), 25u); // her home is now this address
    profDisconnect(alice);
    loopback stranger = lb;
    stranger.client = loopbackSocket(&stranger.clientAddr, "127.0.0.2");
    newHashTick();
    long long hashes = sessions.passwordHashes;
    for (int i = 0; i < 6; i++)
        queueAccountRequest(loginMsg("bobby", "guess", 3).data(), loginLen, &stranger.clientAddr);
    queueAccountRequest(loginMsg("alice", "right", 3).data(), loginLen, &lb.clientAddr);
    serveAccountRequests();
    EXPECT_EQ(clientRecv(&lb).size(), 25u);
    EXPECT_EQ(clientDrain(&stranger, 20), datagrams(6, {soLogBad}));
    EXPECT_EQ(sessions.passwordHashes - hashes, 5);
    std::string who = " (bobby 127.0.0.2:" + port(stranger) + ")";
    EXPECT_EQ(logged("Log In: Failed (password)" + who), 4);
    EXPECT_EQ(logged("Log In: Failed (busy)" + who), 2);
    newHashTick();
    EXPECT_EQ(send(newAccountMsg("carol", "pw")), bytes{soNewGood});
    close(stranger.client);
}

// Ten wrong passwords in a minute, and the name is checked only from the addresses it
// logged in from for the rest of that minute; but loopback, the operator's own machine, is
// never kept out (forged senders elsewhere are the end-to-end tests').
TEST_F(floods, ANameThatKeepsFailingNeverKeepsOutLoopback) {
    veskProfile* alice = account("alice", "right");
    loopback stranger = lb;
    stranger.client = loopbackSocket(&stranger.clientAddr, "127.0.0.2");
    long long hashes = sessions.passwordHashes;
    for (int i = 0; i < 12; i++)
        dispatch(&stranger, loginMsg("alice", "guess", 3));
    EXPECT_EQ(sessions.passwordHashes - hashes, 12);
    EXPECT_EQ(alice->failedLogins, 12);
    std::string who = " (alice 127.0.0.2:" + port(stranger) + ")";
    EXPECT_EQ(logged("Log In: Failed (rate)" + who), 0);
    EXPECT_EQ(send(loginMsg("alice", "right", 3)).size(), 25u);
    close(stranger.client);
}

// Beyond twenty entries of one kind in a second caused by datagrams, whoever sent them, or
// made by the protocol itself, the rest are counted, with their senders, and summed up once
// the second is over; an entry of the tick's own always shows.
TEST(entryLimits, BeyondTwentyASecondOnlyASummaryShows) {
    captureLog();
    resetLogLimits();
    logSummaries(1000);
    sockaddr_in from[3];
    for (int i = 0; i < 3; i++)
        from[i] = sockaddr_in{AF_INET, 0, {htonl(0xC6120000u + uint32_t(i))}, {}};
    for (int i = 0; i < 25; i++) {
        setEntrySender(&from[i % 3]);
        protocolEntry("Wake Up", "Wake Up: (%d)", i);
        datagramEntry("Log In: Failed (busy)", "Log In: Failed (busy)");
        setEntrySender(nullptr);
        protocolEntry("sendPoll prof", "sendPoll prof");
        datagramEntry("Disconnected", "Disconnected (%d)", i);
    }
    EXPECT_EQ(capturedLog.size(), 85u);
    EXPECT_EQ(capturedLog[76], "Wake Up: (19)");
    logSummaries(1999);
    EXPECT_EQ(capturedLog.size(), 85u);
    logSummaries(2000);
    ASSERT_EQ(capturedLog.size(), 88u);
    EXPECT_EQ(capturedLog[85], "Wake Up: 5 more from 3 addresses in the last second");
    EXPECT_EQ(capturedLog[86], "Log In: Failed (busy): 5 more from 3 addresses in the last second");
    EXPECT_EQ(capturedLog[87], "sendPoll prof: 5 more in the last second");
    setEntrySender(&from[0]);
    protocolEntry("Wake Up", "Wake Up: (again)");
    EXPECT_EQ(capturedLog.back(), "Wake Up: (again)");
    setEntrySender(nullptr);
}

// Only a count makes a record, and a record is never given up while its minute runs: a
// flood of counts from 30,000 addresses fills the table, yet the first address stays
// refused, and an address that found no room is never refused for it; such addresses share
// one hash a tick.
TEST(addressLimits, AFullTableForgetsNobodyAndRefusesNobodyItCouldNotCount) {
    resetLimits();
    newHashTick();
    sockaddr_in first = {AF_INET, 0, {htonl(0xC0000201u)}, {}};
    for (int i = 0; i < options.failedLoginsPerAddress; i++)
        countFailedLogin(&first, 0);
    EXPECT_FALSE(loginAllowed(&first, 100));
    for (uint32_t n = 0; n < 30000; n++) {
        sockaddr_in from = {AF_INET, 0, {htonl(0xC6120000u + n)}, {}};
        countFailedLogin(&from, 100);
    }
    EXPECT_FALSE(loginAllowed(&first, 200));
    std::vector<sockaddr_in> uncounted;
    for (uint32_t n = 0; uncounted.size() < 2 && n < 1000; n++) {
        sockaddr_in from = {AF_INET, 0, {htonl(0xC6200000u + n)}, {}};
        for (int i = 0; i < options.failedLoginsPerAddress; i++)
            countFailedLogin(&from, 300);
        if (loginAllowed(&from, 300)) uncounted.push_back(from);
    }
    ASSERT_EQ(uncounted.size(), 2u);
    sockaddr_in counted = {AF_INET, 0, {htonl(0xC6120005u)}, {}};
    EXPECT_TRUE(takeHash(&uncounted[0], 300));
    EXPECT_FALSE(takeHash(&uncounted[1], 300));
    EXPECT_TRUE(takeHash(&counted, 300));
    newHashTick();
    EXPECT_TRUE(takeHash(&uncounted[1], 300));
    EXPECT_TRUE(loginAllowed(&first, 60000)); // every minute ends
}

// At most creationsPerMinute accounts confirmed a minute from all addresses but loopback
// together; then creations wait for the next minute, but from loopback.
TEST(addressLimits, ConfirmationsAreCountedForTheWholeServer) {
    resetLimits();
    for (uint32_t n = 0; n < uint32_t(options.creationsPerMinute); n++) {
        sockaddr_in from = {AF_INET, 0, {htonl(0xC6120000u + n)}, {}};
        EXPECT_TRUE(creationAllowed(&from, 90500 + n)); // a minute and a half after the start
        countConfirmation(&from, 90500 + n);
    }
    sockaddr_in fresh = {AF_INET, 0, {htonl(0xC6129999u)}, {}};
    sockaddr_in local = {AF_INET, 0, {htonl(0x7F000001)}, {}};
    EXPECT_FALSE(creationAllowed(&fresh, 150499));
    EXPECT_TRUE(creationAllowed(&local, 150499));
    EXPECT_TRUE(creationAllowed(&fresh, 150500));
}

// --max-accounts is the most there may be: once that many are confirmed, creations are
// refused; accounts made but never confirmed count for nothing.
TEST_F(floods, TheAccountCapIsTheMostThereMayBe) {
    options.maxAccounts = 2;
    for (const char* name : {"first", "second", "third", "fourth"})
        EXPECT_EQ(send(newAccountMsg(name, "pw")), bytes{soNewGood});
    account("veteran", "pw");
    EXPECT_EQ(send(newAccountMsg("fifth", "pw")), bytes{soNewGood});
    confirmAccount(accountNamed(reinterpret_cast<const unsigned char*>("third")), 1);
    EXPECT_EQ(send(newAccountMsg("sixth", "pw")), bytes{soNewBad});
    EXPECT_EQ(logged("Profile Creation: Refused (limit) (sixth 127.0.0.1:" + port(lb) + ")"), 1);
    EXPECT_EQ(arrayListGetLength(sessions.profList), 2);
}

// Sixty wake-ups in a second: the first fifty are traced, the rest are counted, and the
// next second's first tick says how many went untraced.
TEST_F(floods, BeyondFiftyDatagramsASecondTheTraceOnlyCountsThem) {
    resetLogLimits();
    capturedTrace traced;
    tick(); // the second starts
    for (int i = 0; i < 60; i++)
        clientSend(&lb, {coWakeup});
    tick();
    fakeNow += 1000;
    tick();
    EXPECT_EQ(timesIn(traced.text, "received message: (1 bytes) (00 first)"), 50);
    EXPECT_EQ(timesIn(traced.text, "Trace: 10 datagrams handled untraced in the last second\n"), 1);
}

// Standard output as a pipe whose reader stalls: writing never waits; what does not fit is
// dropped in whole lines and counted, and once the reader is back a log entry says how many.
TEST(standardOutput, AStalledReaderCostsLinesNeverAWait) {
    captureLog();
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    fcntl(pipeFds[0], F_SETPIPE_SZ, 4096);
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    fflush(stdout);
    int savedOut = dup(STDOUT_FILENO);
    dup2(pipeFds[1], STDOUT_FILENO);
    openOutput();
    long long lostBefore = outputLinesLost();
    std::string line(99, 'x');
    line += '\n';
    for (int i = 0; i < 20000; i++) { // 2 MB, with nobody reading
        outputText(line.data(), line.size());
        flushOutput();
    }
    long long lost = outputLinesLost() - lostBefore;
    EXPECT_GT(lost, 5000);
    EXPECT_TRUE(capturedLog.empty()); // no room yet to say so
    std::string read;
    char data[65536];
    for (int round = 0, quiet = 0; round < 1000 && (capturedLog.empty() || !quiet); round++) {
        size_t before = read.size();
        for (ssize_t n; (n = ::read(pipeFds[0], data, sizeof data)) > 0;)
            read.append(data, size_t(n));
        flushOutput();
        quiet = read.size() == before;
    }
    closeOutput(0);
    dup2(savedOut, STDOUT_FILENO);
    close(savedOut);
    close(pipeFds[0]);
    close(pipeFds[1]);
    ASSERT_EQ(capturedLog.size(), 1u);
    EXPECT_EQ(capturedLog[0], "Log: " + std::to_string(lost) + " lines lost");
    EXPECT_EQ(read.size() % line.size(), 0u); // whole lines only
    EXPECT_EQ(long(read.size() / line.size()) + lost, 20000);
}

// A player who disconnects and logs in again at once, from the same address and port, is
// heard with the new key from the next datagram on, even one that arrives between ticks.
TEST_F(floods, APlayerWhoLogsInAgainAtOnceIsHeardWithTheNewKey) {
    veskProfile* bob = account("bobby", "pw");
    clientSend(&lb, loginMsg("bobby", "pw", 3));
    tick();
    bytes oldKey(bob->key, bob->key + keyLen);
    clientSend(&lb, sessionMsg(coDisconnect, bob->key));
    clientSend(&lb, loginMsg("bobby", "pw", 3));
    tick();
    ASSERT_EQ(bob->stage, psKeyWait);
    ASSERT_NE(bytes(bob->key, bob->key + keyLen), oldKey);
    long long forged = traffic.totals.wrongKey;
    clientSend(&lb, sessionMsg(coUpdate, bob->key));
    usleep(1000);
    readWaitingDatagrams();
    tick();
    EXPECT_EQ(traffic.totals.wrongKey, forged);
    EXPECT_EQ(bob->stage, psTerWait);
}
