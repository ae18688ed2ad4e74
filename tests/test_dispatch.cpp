// The receive dispatcher over a loopback socket: game-tick entries applied in order up to a
// cut or hostile one, and every message one byte short, exact and one byte long.
#include <cmath>

#include "sessionTest.h"

using dispatcher = sessionTest;

static bytes rots(float a, float b, float c) {
    const float r[3] = {a, b, c};
    return viewAnglesMsg(r);
}

static bytes cut(const bytes& d) {
    return bytes(d.begin(), d.end() - 1);
}

// An unknown type is ignored without a reply, a wake-up of any length is answered; game-tick
// entries apply in order, and a cut or hostile one ends the handling.
TEST_F(dispatcher, GameTicEntriesApplyInOrderUntilOneIsCutOrHostile) {
    loginAlice(0, psGame);
    pro->key[15] = 0;     // a message one byte short would still name her, if it were read
    forgetAccountIndex(); // the index is made afresh with her new key
    for (const bytes& d : {cut(tic()), cut(sessionMsg(coDisconnect, pro->key)), bytes{77}})
        dispatch(&lb, d);
    EXPECT_TRUE(clientDrain(&lb).empty());
    EXPECT_EQ(pro->stage, psGame);
    EXPECT_EQ(send({coWakeup, 9, 9}), bytes{soWakeup});
    EXPECT_EQ(capturedLog, std::vector<std::string>{"Wake Up: (127.0.0.1)"});
    auto held = [&] { return std::vector<int>(pro->keyMapBuf, pro->keyMapBuf + 7); };
    dispatch(&lb, tic() + keys(2, {{0, 1}, {3, 1}}) + rots(0.25f, -1.5f, 0));
    EXPECT_EQ(held(), (std::vector<int>{1, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(avatar()->rots[1], -1.5f);
    fakeNow = 500;
    dispatch(&lb, tic() + keys(6, {{13, 1}, {-1, 1}, {6, 1}, {5, 2}, {3, 2}, {2, 7}}));
    EXPECT_EQ(held(), (std::vector<int>{1, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(pro->lastRecv, 500u); // slot 13 is past the keys, not the field after them
    dispatch(&lb, tic() + keys(3, {{0, 1}, {1, 1}}) + rots(1, 1, 1)); // one entry short
    dispatch(&lb, tic() + keys(0x7FFFFFFF, {{2, 1}}));
    dispatch(&lb, cut(tic() + rots(3, 3, 3)));
    dispatch(&lb, tic() + bytes{9} + rots(3, 3, 3));
    dispatch(&lb, tic() + rots(NAN, 0, 0) + rots(0, INFINITY, 0) + keys(1, {{5, 1}}));
    EXPECT_EQ(held(), (std::vector<int>{1, 1, 1, 0, 0, 1, 1}));
    EXPECT_EQ(avatar()->rots[1], -1.5f);
    pro->key[4] = 0; // a key is all its 16 bytes, after a 0 among them as well
    forgetAccountIndex();
    bytes other = tic() + keys(1, {{4, 1}});
    other[1 + 6] ^= 0x5A;
    dispatch(&lb, other);
    EXPECT_EQ(pro->keyMapBuf[4], 0);
}

static bytes grown(bytes d, int by) { // one byte more (by 1), the same (0) or one less (-1)
    if (by > 0) d.push_back(0);
    if (by < 0) d.pop_back();
    return d;
}

// Every message one byte short of its length, exact, and one byte long: only the exact
// lengths (and, where a length is a least one, the longer) act.
TEST_F(dispatcher, EveryMessageOneByteShortExactAndOneByteLong) {
    for (int by : {-1, 0, 1}) {
        bytes reply = send(grown(newAccountMsg("carol" + std::to_string(by + 1), "pw"), by));
        EXPECT_EQ(reply, by == 0 ? bytes{soNewGood} : bytes{}) << by;
    }
    for (int by : {-1, 1, 0}) {
        bytes reply = send(grown(loginMsg("carol1", "pw", 3), by));
        EXPECT_EQ(reply.size(), by == 0 ? 25u : 0u) << by;
    }
    loginAlice(0, psKeyWait);
    for (int by : {-1, 1, 0}) {
        send(grown(sessionMsg(coUpdate, pro->key), by));
        EXPECT_EQ(pro->stage, by == 0 ? psTerWait : psKeyWait) << by;
    }
    pro->stage = psGame;
    fakeNow = 700;
    send(grown(tic(), -1));
    EXPECT_EQ(pro->lastRecv, 0u);
    send(tic());
    EXPECT_EQ(pro->lastRecv, 700u);
    // A key list: its count cut; then entries one byte short, exact and one long (the byte
    // after them is read as the next sub-message, which no kind 0 may be).
    auto held = [&] { return std::vector<int>(pro->keyMapBuf, pro->keyMapBuf + 4); };
    send(tic() + bytes{cosKey, 0, 0, 0});
    send(grown(tic() + keys(2, {{0, 1}, {1, 1}}), -1));
    EXPECT_EQ(held(), (std::vector<int>{1, 0, 0, 0}));
    send(tic() + keys(2, {{2, 1}, {3, 1}}) + bytes{cosKey, 0, 0, 0, 1, 0, 0, 0, 1});
    EXPECT_EQ(held(), (std::vector<int>{1, 0, 1, 1}));
    send(tic() + keys(1, {{0, 2}}) + keys(1, {{1, 1}}));
    EXPECT_EQ(held(), (std::vector<int>{0, 1, 1, 1}));
    // View angles: 11, 12 and 13 bytes after the kind.
    for (int by : {-1, 0, 1}) {
        bytes d = tic() + rots(0.5f * float(by + 2), 0, 0);
        send(grown(d, by));
        EXPECT_EQ(avatar()->rots[0], by < 0 ? 0.0f : 0.5f * float(by + 2)) << by;
    }
    // Her key from another port steers nothing.
    loopback other = lb;
    other.clientAddr.sin_port = htons(ntohs(lb.clientAddr.sin_port) ^ 1);
    dispatch(&other, tic() + keys(1, {{skmJump, 1}}));
    EXPECT_EQ(pro->keyMapBuf[skmJump], 0);
    // A disconnect: its key cut, then whole with a byte more.
    send(grown(sessionMsg(coDisconnect, pro->key), -1));
    EXPECT_EQ(pro->stage, psGame);
    send(grown(sessionMsg(coDisconnect, pro->key), 1));
    EXPECT_EQ(pro->stage, psNotConn);
}
