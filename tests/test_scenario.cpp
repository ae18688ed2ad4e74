// A scripted game through the real Start, serving ticks and Stop of the server, inside the
// process under the fake clock: a veteran from before passwords were hashed flies the free
// mover, two players join, walk, turn both ways, jump, strafe, cross chunk borders on
// edited ground, use every brush, and leave, one by disconnecting while walking (his entity
// stops), one by falling silent.
// Every datagram the server sends and the save files at Stop are compared byte for byte
// with the golden files in tests/golden; scripts/regen-golden writes them anew (read its
// diff before committing). Session keys and password salts come from a fixed generator.
#include <filesystem>
#include <regex>
#include <fstream>
#include <sodium.h>
#include <sys/socket.h>

#include "golden.h"
#include "sessionTest.h"

namespace {

uint64_t randomState = 0;

uint32_t fixedRandom() { // splitmix64
    uint64_t z = (randomState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return uint32_t((z ^ (z >> 31)) >> 16);
}

void fixedBytes(void* const out, const size_t n) {
    for (size_t i = 0; i < n; i++)
        static_cast<unsigned char*>(out)[i] = uint8_t(fixedRandom());
}

randombytes_implementation fixedGenerator = {
    [] { return "fixed"; }, fixedRandom, nullptr, nullptr, fixedBytes, nullptr};

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

// A later answer (a save, a list's file written) goes into the transcript when it comes.
void answerLater(void* context, int, const char* text) {
    *static_cast<std::string*>(context) += std::string("answered later: ") + text + "\n";
}

// What depends on the machine rather than the game: the ticks' durations and the process's
// time, wall-clock times, the time a save took, the players' ports, the save folder.
std::string masked(std::string text, const std::string& folder) {
    for (size_t at; (at = text.find(folder)) != std::string::npos;)
        text.replace(at, folder.size(), "RES");
    static const std::regex machine(
        "tick mean [0-9.]+ ms, max [0-9.]+ ms|[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]+Z|:[0-9]{4,5}\\b|"
        "(quarn_(tick_duration|uptime|last_save_duration)[a-z_]*(\\{[^}]*\\})?) [0-9.e+-]+");
    return std::regex_replace(text, machine, "$1 #");
}

struct player {
    const char* name;
    loopback lb = {}; // the client's socket; serverAddr is the server's endpoint
    unsigned char key[16] = {};
    bytes last;      // the last datagram it got
    int talking = 0; // sends a tic every tick, as a client in the game does
};

} // namespace

struct scenario : testing::Test {
    scratchFolder folder{"quarn-scenario"};
    std::string dir = folder.dir;
    quietTrace quiet;
    std::string record; // every datagram the players got, tick by tick
    player players[4] = {{"veteran", {}, {}, {}, 0},
                         {"alice", {}, {}, {}, 0},
                         {"bobby", {}, {}, {}, 0},
                         {"mallory", {}, {}, {}, 0}};
    int ticks = 0;

    void SetUp() override {
        captureLog();
        useFakeClock(1000);
        // The library's own start draws bytes once per process: it comes first, so the
        // fixed generator's sequence is the same whether or not other tests ran before.
        ASSERT_GE(sodium_init(), 0);
        randomState = 42;
        randombytes_set_implementation(&fixedGenerator);
        options.spawnR = 3;
        options.port = 0;
        options.autosaveSeconds = 0;
        // The figures count from the scenario's start, whatever ran before it.
        traffic.totals = {};
        traffic.figures = {};
        saves.totals = {};
        sessions.passwordHashes = 0;
        logging.linesLost = logging.linesLostReported = 0;
    }
    void TearDown() override {
        if (world.servOn) quitServer();
        for (player& p : players)
            close(p.lb.client);
        randombytes_set_implementation(&randombytes_sysrandom_implementation);
    }
    void start() {
        ASSERT_TRUE(startServer());
        sockaddr_in server = {};
        socklen_t len = sizeof server;
        getsockname(traffic.mysocket, reinterpret_cast<sockaddr*>(&server), &len);
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (player& p : players) {
            if (p.lb.client < 0) p.lb.client = loopbackSocket(&p.lb.clientAddr);
            p.lb.serverAddr = server;
        }
    }
    void send(player& p, const bytes& d) { clientSend(&p.lb, d); }
    bytes tic(const player& p) { return sessionMsg(coGameTic, p.key); }
    bytes held(const player& p, const std::vector<std::pair<int, int>>& e) {
        return tic(p) + keys(int(e.size()), e);
    }
    // Serving ticks, 50 ms apart; what each player got is written down.
    void step(int n = 1) {
        for (int i = 0; i < n; i++) {
            for (player& p : players)
                if (p.talking) send(p, tic(p));
            fakeNow += 50;
            serveTick();
            ticks++;
            for (player& p : players)
                for (const bytes& d : clientDrain(&p.lb, 0)) {
                    char line[64];
                    snprintf(line, sizeof line, "tick %d to %s, %zu bytes", ticks, p.name,
                             d.size());
                    record += line;
                    for (size_t k = 0; k < d.size(); k++) {
                        snprintf(line, sizeof line, "%s%02x", k % 32 ? (k % 4 ? "" : " ") : "\n",
                                 d[k]);
                        record += line;
                    }
                    record += "\n";
                    if (d.size() == 25 && d[0] == soLogGood) memcpy(p.key, &d[1], 16);
                    p.last = d;
                }
        }
    }
    // A login and the whole handshake: each batch acknowledged in the tick after it came,
    // up to the end mark, which is acknowledged too. The acknowledgement of the first
    // datagram of type `lose` (a terrain or entity batch, the end mark) is lost: it comes
    // again a second later, and walk keys sent meanwhile move nothing.
    void join(player& p, const std::string& pass, int radius, int lose = -1) {
        send(p, loginMsg(p.name, pass, radius));
        step();
        for (int i = 0; i < 40; i++) {
            if (!p.last.empty() && p.last[0] == lose) {
                lose = -1;
                send(p, held(p, {{skmWalkForward, 1}}));
                step(22);
                send(p, held(p, {{skmWalkForward, 2}}));
            }
            if (p.last == bytes{soUpdate}) break;
            send(p, sessionMsg(coUpdate, p.key));
            step();
        }
        send(p, sessionMsg(coUpdate, p.key));
        step();
        p.talking = 1;
    }
    void mouse(player& p, float x, float z, int button, float slant = 1) {
        const float eyeAndRay[6] = {x, 3, z, 0.1f * slant, -1, 0.2f * slant};
        send(p, tic(p) + mouseMsg(eyeAndRay, button));
        step();
    }
    void turnTo(player& p, float yaw) {
        const float r[3] = {0, yaw, 0};
        send(p, tic(p) + viewAnglesMsg(r));
    }
};

TEST_F(scenario, AScriptedGameSendsAndSavesExactlyTheGoldenBytes) {
    // The veteran's account was saved before passwords were hashed, and flies entity 0. A
    // second old account names entity 0 as well: it is the veteran's, so this one has none.
    bytes veteran = newAccountMsg("veteran", "plain-old");
    bytes copycat = newAccountMsg("copycat", "plain-too");
    std::ofstream(dir + "/profiles", std::ios::binary)
        << std::string{2, 0, 0, 0} << std::string(veteran.begin() + 1, veteran.end())
        << std::string(4, '\0') << std::string(copycat.begin() + 1, copycat.end())
        << std::string(4, '\0');
    start();
    player &vet = players[0], &alice = players[1], &bob = players[2], &mallory = players[3];
    for (const char* name : {"bob", "bob", "alice", "bobby", "alice", "mallory"}) {
        send(std::string(name) == "alice" ? alice : bob, newAccountMsg(name, "pw"));
        step();
    }
    send(bob, loginMsg("bob", "pw", 3)); // three characters never log in
    step();
    // Mallory guesses wrong, then logs in and never answers: the key comes three times more,
    // then the session is let go.
    send(mallory, loginMsg("mallory", "guess", 2));
    step();
    send(mallory, loginMsg("mallory", "pw", 2));
    for (const char* guess : {"plain", ""}) { // a saved plain password is no prefix
        send(vet, loginMsg("veteran", guess, 2));
        step();
    }
    join(vet, "plain-old", 2, soInitEnt);
    join(alice, "pw", 2, soInitTer);
    join(bob, "pw", 3, soUpdate);
    send(alice, loginMsg("alice", "pw", 2)); // a live session is never taken over
    step();

    // The veteran flies forward and to the left, looking up, across a chunk border.
    const float up[3] = {-0.4f, 0.5f, 0};
    send(vet, tic(vet) + viewAnglesMsg(up) + keys(2, {{skmWalkForward, 1}, {skmStrafeLeft, 1}}));
    // Alice walks north into chunk (0, 1), turns right and back left, jumps, strafes.
    send(alice, held(alice, {{skmWalkForward, 1}}));
    step(16);
    send(vet, held(vet, {{skmWalkForward, 2}, {skmStrafeLeft, 2}}));
    send(alice, held(alice, {{skmWalkForward, 2}, {skmRotateright, 1}}));
    step(3);
    send(alice, held(alice, {{skmRotateright, 2}, {skmRotateleft, 1}}));
    step(2);
    send(alice, held(alice, {{skmRotateleft, 2}, {skmJump, 1}, {skmStrafeRight, 1}}));
    step();
    send(alice, held(alice, {{skmJump, 2}}));
    step(12);
    send(alice, held(alice, {{skmStrafeRight, 2}}));
    step(4);

    // Bob edits the ground at the border of chunks (0, 0) and (1, 0) with every brush:
    // raise, lower, smooth, and the four textures.
    for (int button : {0, 0, 0, 1})
        mouse(bob, 6, 1, button);
    mouse(bob, 0, 0, 0, 0); // straight down onto a vertex: six faces tie, the first is edited
    for (int slot : {skmHotBar5, skmHotBar1, skmHotBar2, skmHotBar3, skmHotBar4}) {
        send(bob, held(bob, {{slot, 1}}));
        step();
        mouse(bob, 7, -1, 0);
        send(bob, held(bob, {{slot, 2}}));
    }
    // Alice walks east over the edited ground into chunk (1, 0), then stops.
    turnTo(alice, 1.5707964f);
    send(alice, held(alice, {{skmWalkForward, 1}}));
    step(14);
    send(alice, held(alice, {{skmWalkForward, 2}}));
    step(4);

    // Bob leaves walking: his entity comes to a stop. Alice falls silent and is polled,
    // then let go.
    send(bob, held(bob, {{skmWalkForward, 1}}));
    step(2);
    send(bob, sessionMsg(coDisconnect, bob.key));
    bob.talking = 0;
    alice.talking = 0;
    step(100);

    // The operator's session of tests/golden/scenario-commands.txt, a command every three
    // ticks: its answers (and those that come later) in a transcript of their own, the log
    // after it, and the figures.
    std::string session;
    std::ifstream commands(goldenPath("scenario-commands.txt"));
    for (std::string line; std::getline(commands, line);) {
        commandAnswer a;
        session += "tick " + std::to_string(ticks) + " command " + line + "\n";
        runCommand(line.c_str(), &a, answerLater, &session);
        session += a.text;
        vet.talking = 0; // a kicked or banned player says nothing more
        step(3);
    }
    send(mallory, newAccountMsg("mallory", "again")); // her name was given up with her account
    step();
    std::string figures;
    metricsText(&figures);
    ASSERT_EQ(stopServer(), 1);
    for (const std::string& entry : capturedLog)
        session += "log " + entry + "\n";

    EXPECT_EQ(goldenDifference("scenario-datagrams.txt", masked(record, dir)), "");
    EXPECT_EQ(goldenDifference("scenario-operator.txt", masked(session, dir)), "");
    EXPECT_EQ(goldenDifference("scenario-metrics.txt", masked(figures, dir)), "");
    for (const char* f : {"profiles", "world", "entities", "bans", "allow"})
        EXPECT_EQ(goldenDifference(std::string("scenario-") + f, slurp(dir + "/" + f)), "");
}

// The serving loop's own paths under the fake clock: autosaves at their interval, one that
// fails and is tried again at the next, a Stop during an autosave that saves the world as
// it is at the Stop, and a Start that brings the player back where she stood.
TEST_F(scenario, AutosavesAFailedOneAndAStopDuringOneKeepTheLatestWorld) {
    options.autosaveSeconds = 1;
    start();
    player& alice = players[1];
    send(alice, newAccountMsg("alice", "pw"));
    step();
    join(alice, "pw", 2);
    auto logged = [&](const std::string& start) {
        return std::ranges::count_if(capturedLog, [&](auto& e) { return e.starts_with(start); });
    };
    step(20);
    ASSERT_EQ(logged("Autosave: 1 accounts, 2 entities, 37 chunks, "), 1);
    std::string saved = slurp(dir + "/world");
    std::filesystem::create_directory(dir + "/world.tmp");
    step(20);
    EXPECT_EQ(
        logged("Autosave: failed (" + dir + "/world.tmp: Is a directory), trying again in 1 s"), 1);
    EXPECT_TRUE(slurp(dir + "/world") == saved);
    EXPECT_FALSE(std::filesystem::exists(dir + "/profiles.tmp"));
    std::filesystem::remove(dir + "/world.tmp");
    step(20);
    EXPECT_EQ(logged("Autosave: 1 accounts, 2 entities, 37 chunks, "), 2);

    // An autosave starts; alice walks on; the Stop saves where she is then.
    for (int i = 0; i < 40 && !saveUnderWay(); i++)
        step();
    ASSERT_TRUE(saveUnderWay());
    send(alice, held(alice, {{skmWalkForward, 1}}));
    step(6);
    auto alicesAvatar = [] {
        return profEntity(accountNamed(reinterpret_cast<const unsigned char*>("alice")))->gravMem;
    };
    veskGravity* g = alicesAvatar();
    float at[3] = {g->position[0], g->position[1], g->position[2]};
    int chunk[2] = {g->chunkCoords[0], g->chunkCoords[1]};
    ASSERT_EQ(stopServer(), 1);
    alice.talking = 0;
    start();
    join(alice, "pw", 2);
    g = alicesAvatar();
    EXPECT_EQ(g->chunkCoords[0], chunk[0]);
    EXPECT_EQ(g->chunkCoords[1], chunk[1]);
    EXPECT_NEAR(g->position[0], at[0], 1e-3);
    EXPECT_NEAR(g->position[2], at[2], 1e-3);
}

// A Start whose UDP port another socket holds fails and says why; the next one, on a free
// port, serves.
TEST_F(scenario, AStartOnAPortInUseFailsAndSaysSo) {
    sockaddr_in taken = {};
    int holder = loopbackSocket(&taken, "0.0.0.0");
    options.port = ntohs(taken.sin_port);
    EXPECT_EQ(startServer(), 0);
    EXPECT_FALSE(world.servOn);
    std::string failed = "Server: Start failed, UDP port " + std::to_string(options.port);
    EXPECT_TRUE(capturedLog.back().starts_with(failed)) << capturedLog.back();
    close(holder);
    options.port = 0;
    start();
    EXPECT_TRUE(world.servOn);
}

// The status line's figures over its interval, which each line starts afresh: the longest
// tick of one interval is not the next one's.
TEST(statusLine, EachIntervalHasItsOwnFiguresAndTheLineComesAtItsInterval) {
    captureLog();
    useFakeClock(5000);
    options.statusSeconds = 2;
    startStatus();
    countTick(30.0);
    countTick(10.0);
    fakeNow += 1999;
    countTick(2.0);
    EXPECT_TRUE(capturedLog.empty());
    fakeNow += 1;
    countTick(2.0);
    ASSERT_EQ(capturedLog.size(), 1u);
    EXPECT_TRUE(capturedLog[0].starts_with("Status: 0 playing, 0 connecting, tick mean 11.00 ms, "
                                           "max 30.00 ms, 0 chunks, 0 entities, 0 datagrams "
                                           "dropped, 0 dropped by the system"))
        << capturedLog[0];
    countTick(4.0);
    logStatus();
    EXPECT_TRUE(capturedLog[1].starts_with("Status: 0 playing, 0 connecting, tick mean 4.00 ms, "
                                           "max 4.00 ms"))
        << capturedLog[1];
}
