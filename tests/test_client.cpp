// The client library: its readers against hand-made and golden datagrams and every golden
// datagram cut one byte short, and a session taken through its stages and time-outs on an
// injected clock.
#include <gtest/gtest.h>

#include <set>

#include "clientSession.h"
#include "golden.h"
#include "testUtil.h"

namespace {

const unsigned char keyA[keyLen] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const unsigned char keyB[keyLen] = {9};

bytes logGood(const unsigned char* key) { // entity 258, terrain scale 10
    return bytes{soLogGood} + bytes(key, key + keyLen) + bytes{0, 0, 1, 2, 0, 0, 0x20, 0x41};
}

// An entity update of entity 2 turning to (1, 2, 3), alone in an in-game datagram.
bytes turnUpdate() {
    const float rots[3] = {1, 2, 3};
    bytes d = {soEntUpdate, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 1, soEntRot};
    appendFloats(&d, rots, 3);
    return d;
}

// The datagrams of tests/golden/scenario-datagrams.txt, player by player, in order.
struct sessionRun {
    clientSession s = {};
    clientOutbox out = {};
    gameStream content;
    int64_t now = 0;
    int receive(const bytes& d) { // what the datagram carried is in `content`
        clearStream(&content);
        return clientReceive(&s, d.data(), d.size(), now, &out, &content);
    }
    int tickAt(int64_t t) {
        now = t;
        return clientTick(&s, now, &out);
    }
    bytes sent(int i) const { return bytes(out.data[i], out.data[i] + out.len[i]); }
    bytes ack() const { return sessionMsg(coUpdate, keyA); }
};

} // namespace

TEST(clientWire, ReadersTakeHandMadeDatagramsAndRefuseMalformedOnes) {
    logGoodMsg m;
    bytes good = logGood(keyA);
    ASSERT_EQ(readLogGood(good.data(), good.size(), &m, nullptr), 1);
    EXPECT_TRUE(m.entity == 258 && m.terScale == 10.0f && memcmp(m.key, keyA, keyLen) == 0);
    EXPECT_EQ(readLogGood(good.data(), good.size() - 1, &m, nullptr), 0);
    bytes told = bytes{soDisconnect} + bytes(keyA, keyA + keyLen);
    EXPECT_EQ(readDisconnect(told.data(), told.size(), keyA), 1);
    EXPECT_EQ(readDisconnect(told.data(), told.size(), keyB), 0);
    EXPECT_EQ(readDisconnect(told.data(), told.size() - 1, keyA), 0);
    gameStream s;
    bytes turn = turnUpdate();
    ASSERT_EQ(readGameDatagram(turn.data(), turn.size(), &s, nullptr), 1);
    EXPECT_TRUE(s.ents[0].id == 2 && s.ents[0].hasRot && s.ents[0].rots[2] == 3.0f);
    bytes huge = {soInitTer, 0x7f, 0xff, 0xff, 0xff, 0, 0, 0, 0};
    EXPECT_EQ(readTerBatch(huge.data(), huge.size(), &s, nullptr), 0);
    bytes empty = {soInitTer, 0, 0, 0, 0}; // a handshake's last batch, never a game block
    EXPECT_EQ(readTerBatch(empty.data(), empty.size(), &s, nullptr), 1);
    EXPECT_EQ(readGameDatagram(empty.data(), empty.size(), &s, nullptr), 0);
    bytes twice = turn + turn;
    EXPECT_EQ(readGameDatagram(twice.data(), twice.size(), &s, nullptr), 0);
    turn[turn.size() - 1] = 0x7f; // the last angle a NaN
    turn[turn.size() - 2] = 0xc0;
    const char* why = nullptr;
    EXPECT_EQ(readGameDatagram(turn.data(), turn.size(), &s, &why), 0);
    EXPECT_STREQ(why, "sub-record not finite");
}

// Every datagram of the scripted game, read by a session of its player that logged in: all
// are well formed and refused one byte short (a disconnect cut short is no disconnect: it is
// ignored), each player is brought into the game with every chunk of its view, the veteran
// sees its own look up come back; the veteran, kicked, and alice, silent at the end, are
// told they were let go.
TEST(clientWire, TheGoldenGameReadsCleanlyThroughEachPlayersSession) {
    std::vector<goldenDatagram> golden = goldenDatagrams();
    const std::pair<const char*, size_t> players[] = {{"veteran", 7}, {"alice", 7}, {"bobby", 19}};
    for (auto [name, chunks] : players) {
        sessionRun run;
        clientBegin(&run.s, name, "pw", 2, 0, 0, &run.out);
        std::set<std::pair<int, int>> seen;
        int inGame = 0, looked = 0;
        for (const goldenDatagram& g : golden) {
            if (g.to != name) continue;
            const bytes& d = g.bytes;
            bool cuttable = d.size() > 1 && d[0] != soLogGood;
            int cut = cuttable ? run.receive(bytes(d.begin(), d.end() - 1)) : evMalformed;
            EXPECT_EQ(cut, d[0] == soDisconnect ? evIgnored : evMalformed) << name;
            int handshake = run.s.stage == csHandshake;
            int event = run.receive(d);
            EXPECT_NE(event, evMalformed) << name;
            inGame += event == evInGame;
            for (const chunkRec& c : run.content.chunks)
                if (handshake) seen.insert({c.cx, c.cy});
            for (const entUpdate& u : run.content.ents)
                looked += u.id == 0 && u.hasRot && u.rots[0] == -0.4f && u.rots[1] == 0.5f;
        }
        EXPECT_EQ(inGame, 1) << name;
        EXPECT_EQ(seen.size(), chunks) << name;
        bool letGo = name != std::string("bobby"); // the veteran is kicked, alice timed out
        EXPECT_EQ(run.s.stage, letGo ? csEnded : csInGame) << name;
        EXPECT_TRUE(looked >= 1 || name != std::string("veteran"));
    }
}

// A creation unanswered, refused, a login refused, each tried again at its time; the key;
// batches acknowledged once each, a malformed one not at all; the game, its polls, and
// the silence that ends it.
TEST(clientSession, JoinsThroughRefusalsAndEndsAfterASilence) {
    sessionRun run;
    clientBegin(&run.s, "abcd", "pw", 3, 1, 0, &run.out);
    ASSERT_EQ(run.out.count, 1);
    EXPECT_EQ(run.sent(0), newAccountMsg("abcd", "pw"));
    EXPECT_EQ(run.tickAt(999), evNone);
    EXPECT_EQ(run.tickAt(1000), evResent);
    EXPECT_EQ(run.sent(0), newAccountMsg("abcd", "pw"));
    EXPECT_EQ(run.receive({soNewBad}), evCreateRefused);
    EXPECT_EQ(run.sent(0), loginMsg("abcd", "pw", 3)); // the name may be ours: a login at once
    EXPECT_EQ(run.receive({soLogBad}), evLoginRefused);
    EXPECT_EQ(run.out.count, 0);
    EXPECT_EQ(run.tickAt(2000), evResent);
    EXPECT_EQ(run.sent(0), newAccountMsg("abcd", "pw")); // no account was made: create again
    EXPECT_EQ(run.receive({soNewGood}), evCreated);
    EXPECT_EQ(run.receive(logGood(keyA)), evLoggedIn);
    ASSERT_EQ(run.out.count, 2);
    EXPECT_TRUE(run.sent(0) == run.ack() && run.sent(1) == run.ack());
    EXPECT_EQ(run.receive({soLogBad}), evIgnored); // the answer to a login sent twice
    bytes batch = {soInitTer, 0, 0, 0, 0};
    EXPECT_EQ(run.receive(batch), evBatch);
    EXPECT_TRUE(run.out.count == 1 && run.sent(0) == run.ack());
    EXPECT_EQ(run.receive({soInitEnt, 0}), evMalformed);
    EXPECT_EQ(run.out.count, 0);
    EXPECT_EQ(run.receive({soUpdate}), evInGame);
    EXPECT_TRUE(run.out.count == 1 && run.sent(0) == run.ack());
    run.now = 3000;
    EXPECT_EQ(run.receive({soUpdate}), evPoll);
    EXPECT_EQ(run.sent(0), run.ack());
    EXPECT_EQ(run.receive(turnUpdate()), evGameUpdate);
    EXPECT_EQ(run.tickAt(7999), evNone);
    EXPECT_EQ(run.tickAt(8000), evEnded);
    EXPECT_EQ(run.s.endedBy, endSilence);
}

TEST(clientSession, GivesUpAfterASilentHandshake) {
    sessionRun silent;
    clientBegin(&silent.s, "abcd", "pw", 3, 0, 0, &silent.out);
    silent.receive(logGood(keyA));
    EXPECT_EQ(silent.tickAt(4999), evNone); // the server sends again on its own
    EXPECT_EQ(silent.out.count, 0);
    EXPECT_EQ(silent.tickAt(5000), evEnded);
    EXPECT_EQ(silent.s.endedBy, endSilence);
}
