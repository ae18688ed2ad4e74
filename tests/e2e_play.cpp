// Players against the real binary: a new account's walker lands, accelerates and walks
// into the next chunk; an edit by one player reaches every player in the same tick and
// is in the world file after Stop.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <map>
#include <set>
#include <unistd.h>

#include "e2eUtil.h"
#include "testUtil.h"
#include "veskServer.h"
#include "wireParse.h"

namespace {

using bytes = std::vector<unsigned char>;

struct players : testing::Test {
    serverProc srv;
    udpClient a, b;
    void SetUp() override {
        ASSERT_EQ(udpPortTaken(2300), 0);
        srv = spawnServer(makeRunDir(), true);
        ASSERT_TRUE(waitForOutput(srv, "entsLoaded", 20000));
        ASSERT_TRUE(waitPortTaken(2300, 1, 5000));
        openClient(&a);
        openClient(&b);
    }
    void TearDown() override {
        closeClient(&a);
        closeClient(&b);
        killServer(&srv);
    }
    void join(udpClient* c, const char* name, int radius = 3) {
        ASSERT_EQ(request(c, newAccountMsg(name, "pw")), bytes{soNewGood});
        ASSERT_TRUE(clientLogin(c, name, "pw", radius));
        std::vector<chunkRec> chunks;
        std::vector<entRec> ents;
        ASSERT_TRUE(clientHandshake(c, &chunks, &ents));
    }
    // In-game datagrams of one client, decoded, until `ms` have passed.
    std::vector<gameStream> listen(udpClient* c, int ms, udpClient* alsoAlive = nullptr) {
        std::vector<gameStream> got;
        for (int t = 0; t < ms; t += 10) {
            if (t % 300 == 0) {
                clientSendTo(c, sessionMsg(coGameTic, c->key));
                if (alsoAlive) clientSendTo(alsoAlive, sessionMsg(coGameTic, alsoAlive->key));
            }
            bytes d = clientNext(c, 10);
            if (d.empty() || d == bytes{soUpdate}) continue;
            gameStream s;
            std::string why;
            EXPECT_TRUE(parseGameDatagram(d, &s, &why)) << why;
            got.push_back(s);
        }
        return got;
    }
};

std::vector<entUpdate> updatesOf(const std::vector<gameStream>& all, int id) {
    std::vector<entUpdate> out;
    for (auto& s : all)
        for (auto& u : s.ents)
            if (u.id == id && u.hasLoc) out.push_back(u);
    return out;
}

TEST_F(players, NewWalkerLandsAcceleratesAndWalksIntoTheNextChunk) {
    join(&b, "observer");
    ASSERT_EQ(request(&a, newAccountMsg("walker", "pw")), bytes{soNewGood});
    // The observer sees the new walker land in the tick it was created, and nothing more.
    std::vector<entUpdate> landing = updatesOf(listen(&b, 600), 2);
    ASSERT_EQ(landing.size(), 1u);
    EXPECT_NEAR(landing[0].pos[0], 5.0f, 1e-5);
    EXPECT_NEAR(landing[0].pos[1], 0.51f, 1e-6);
    EXPECT_NEAR(landing[0].pos[2], 5.0f, 1e-5);

    ASSERT_TRUE(clientLogin(&a, "walker", "pw", 3));
    EXPECT_EQ(a.entity, 2);
    std::vector<chunkRec> chunks;
    std::vector<entRec> ents;
    ASSERT_TRUE(clientHandshake(&a, &chunks, &ents));

    clientSendTo(&a, keyMsg(a, {{skmWalkForward, 1}}));
    std::vector<gameStream> seen = listen(&a, 1500, &b);
    std::vector<entUpdate> walk = updatesOf(seen, 2);
    ASSERT_GE(walk.size(), 8u);
    const float speeds[6] = {0.4f, 0.8f, 1.2f, 1.6f, 2.0f, 2.0f};
    float px = 5, pz = 5;
    for (int i = 0; i < 6; i++) {
        float cx, cz;
        terToWorldNew(walk[size_t(i)].cx, walk[size_t(i)].cy, &cx, &cz, 10.0f);
        float x = cx + walk[size_t(i)].pos[0], z = cz + walk[size_t(i)].pos[2];
        EXPECT_NEAR(x - px, 0.0f, 1e-4) << "tick " << i;
        EXPECT_NEAR(z - pz, speeds[i], 1e-4) << "tick " << i;
        EXPECT_NEAR(walk[size_t(i)].pos[1], 0.51f, 1e-4);
        px = x;
        pz = z;
    }
    // Into chunk (0, 1): the position is re-expressed there and the ring of 5 chunks that
    // came into view arrives in the same tick (three chunks fill a datagram: two of them).
    size_t crossing = 0;
    while (crossing < seen.size() && !(updatesOf({seen[crossing]}, 2).size() == 1 &&
                                       updatesOf({seen[crossing]}, 2)[0].cy == 1))
        crossing++;
    ASSERT_LT(crossing + 1, seen.size());
    entUpdate first = updatesOf({seen[crossing]}, 2)[0];
    EXPECT_EQ(first.cx, 0);
    EXPECT_LT(first.pos[2], 0.0f);
    std::set<std::pair<int, int>> ring;
    for (size_t k : {crossing, crossing + 1})
        for (auto& ch : seen[k].chunks)
            ring.insert({ch.cx, ch.cy});
    EXPECT_EQ(seen[crossing].chunks.size(), 3u);
    std::set<std::pair<int, int>> want;
    for (int x = -4; x <= 4; x++)
        for (int y = -4; y <= 4; y++)
            if (terRadius(x, y - 1) == 2 && terRadius(x, y) >= 3) want.insert({x, y});
    EXPECT_EQ(ring, want);
}

} // namespace

namespace {

bytes mouseMsg(const udpClient& c, const float* loc, const float* ray, int button) {
    bytes d = sessionMsg(coGameTic, c.key);
    d.push_back(cosMouse);
    appendFloats(&d, loc, 3);
    appendFloats(&d, ray, 3);
    d.push_back(uint8_t(button));
    return d;
}

std::vector<vertMove> movesOf(const std::vector<gameStream>& all) {
    std::vector<vertMove> out;
    for (auto& s : all)
        out.insert(out.end(), s.moves.begin(), s.moves.end());
    return out;
}

// Key of a moved vertex, with its contents, for comparing what two clients saw.
std::set<std::vector<int32_t>> asSet(const std::vector<vertMove>& moves) {
    std::set<std::vector<int32_t>> s;
    for (auto& m : moves) {
        int32_t loc[3];
        memcpy(loc, m.vert.loc, 12);
        s.insert({m.cx, m.cy, m.index, loc[0], loc[1], loc[2], m.vert.texi});
    }
    return s;
}

TEST_F(players, EveryEditReachesEveryPlayerAndIsSaved) {
    join(&a, "editor");
    join(&b, "watcher");
    const float eye[3] = {5, 2, 5}, ahead[3] = {0, -1, 1};
    std::map<std::vector<int>, vertTex> last; // the latest state of every edited vertex
    auto edit = [&](int button, const char* what) {
        clientSendTo(&a, mouseMsg(a, eye, ahead, button));
        std::vector<gameStream> seenA = listen(&a, 300, &b);
        std::vector<gameStream> seenB = listen(&b, 50);
        std::vector<vertMove> ma = movesOf(seenA), mb = movesOf(seenB);
        EXPECT_GT(ma.size(), 10u) << what;
        EXPECT_EQ(asSet(ma), asSet(mb)) << what; // both saw the same vertices change
        for (auto& m : ma)
            last[{m.cx, m.cy, m.index}] = m.vert;
        return ma;
    };
    std::vector<vertMove> raised = edit(0, "raise");
    float top = 0;
    for (auto& m : raised)
        top = std::max(top, m.vert.loc[1]);
    EXPECT_GT(top, 0.4f);
    std::vector<vertMove> lowered = edit(1, "lower");
    float after = 0;
    for (auto& m : lowered)
        after = std::max(after, m.vert.loc[1]);
    EXPECT_LT(after, 0.05f);

    clientSendTo(&a, keyMsg(a, {{skmHotBar2, 1}})); // texture brush, index 1
    listen(&a, 150, &b);
    std::vector<vertMove> painted = edit(0, "paint");
    for (auto& m : painted)
        EXPECT_EQ(m.vert.texi, 1);
    clientSendTo(&a, keyMsg(a, {{skmHotBar2, 2}, {skmHotBar0, 1}}));
    listen(&a, 150, &b);
    edit(0, "raise again");
    clientSendTo(&a, keyMsg(a, {{skmHotBar0, 2}, {skmHotBar5, 1}}));
    listen(&a, 150, &b);
    edit(0, "smooth");

    kill(srv.pid, SIGTERM);
    ASSERT_EQ(waitExit(&srv, 20000), 0);
    std::string world = readFile(srv.dir + "/res/world");
    ASSERT_EQ(world.size(), 1083036u);
    // Walk the chunk records and check every edited vertex against what was streamed.
    size_t pos = 4, checked = 0;
    while (pos < world.size()) {
        int32_t head[4];
        memcpy(head, world.data() + pos, 16);
        for (int i = 0; i < head[0]; i++) {
            auto it = last.find({head[2], head[3], i});
            if (it == last.end()) continue;
            EXPECT_EQ(memcmp(world.data() + pos + 16 + 16 * size_t(i), &it->second, 16), 0);
            checked++;
        }
        pos += 16 + 16 * size_t(head[0]) + 12 * size_t(head[1]);
    }
    EXPECT_EQ(checked, last.size());
}

} // namespace
