// Players against the headless binary: a new account's walker lands, accelerates and walks
// into the next chunk; an edit by one player reaches every player and is in the world file.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "e2eUtil.h"

struct players : e2eTest {
    udpClient b{srv.port};
    void SetUp() override { ASSERT_TRUE(srv.serve(dir)) << srv.output(); }
};

TEST_F(players, NewWalkerLandsAcceleratesAndWalksIntoTheNextChunk) {
    ASSERT_EQ(b.join("observer").size(), 19u);
    ASSERT_EQ(cl.request(newAccountMsg("walker", "pw")), bytes{soNewGood});
    ASSERT_TRUE(cl.login("walker", "pw", 3));
    // The walker is made at the first login; the observer sees it land in that tick, and
    // nothing more.
    EXPECT_EQ(cl.entity, 2);
    std::vector<entUpdate> landing = updatesOf(b.listen(600), 2);
    ASSERT_EQ(landing.size(), 1u);
    EXPECT_NEAR(landing[0].pos[1], 0.51f, 1e-6);

    std::vector<chunkRec> chunks;
    std::vector<entRec> ents;
    ASSERT_TRUE(cl.handshake(&chunks, &ents, 30000));
    ASSERT_EQ(chunks.size(), 19u);
    cl.send(cl.keys({{skmWalkForward, 1}}));
    std::vector<gameStream> seen = cl.listen(1500, &b);
    std::vector<entUpdate> walk = updatesOf(seen, 2);
    ASSERT_GE(walk.size(), 8u);
    const float speeds[6] = {0.4f, 0.8f, 1.2f, 1.6f, 2.0f, 2.0f};
    for (size_t i = 0; i < 6; i++) {
        auto [x, z] = worldXZ(walk[i]);
        float dz = z - (i ? worldXZ(walk[i - 1]).second : 5.0f);
        EXPECT_TRUE(std::fabs(x - 5) < 1e-4 && std::fabs(dz - speeds[i]) < 1e-4 &&
                    std::fabs(walk[i].pos[1] - 0.51f) < 1e-4)
            << i;
    }
    // Into chunk (0, 1): the position is re-expressed there, and the 5 chunks that came into
    // view arrive in the same tick (three fill a datagram, two follow).
    auto crossing = std::ranges::find_if(seen, [](const gameStream& s) {
        return s.ents.size() == 1 && s.ents[0].id == 2 && s.ents[0].hasLoc && s.ents[0].cy == 1;
    });
    ASSERT_TRUE(crossing < seen.end() - 1);
    EXPECT_TRUE(crossing->ents[0].cx == 0 && crossing->ents[0].pos[2] < 0);
    EXPECT_EQ(crossing->chunks.size(), 3u);
    std::vector<chunkRec> ring = crossing->chunks;
    ring.insert(ring.end(), crossing[1].chunks.begin(), crossing[1].chunks.end());
    coords want = hexesWithin(3, 0, 1);
    for (auto c : hexesWithin(3, 0, 0))
        want.erase(c);
    EXPECT_EQ(ring.size(), 5u);
    EXPECT_EQ(coordsOf(ring), want);
}

TEST_F(players, EveryEditReachesEveryPlayerAndIsSaved) {
    ASSERT_EQ(cl.join("editor").size(), 19u);
    ASSERT_EQ(b.join("watcher").size(), 19u);
    std::map<std::tuple<int, int, int>, vertTex> last; // the latest state of each edited vertex
    // Picks a brush with hot-bar keys and edits once: the vertices moved, as both players saw
    // them, and the highest of them.
    auto edit = [&](std::vector<std::pair<int, int>> keys, int button) {
        const float eyeAndRay[6] = {5, 2, 5, 0, -1, 1};
        cl.send(cl.keys(keys));
        cl.listen(150, &b);
        cl.send(cl.mouse(eyeAndRay, button));
        std::multiset<string> seen[2];
        std::vector<vertMove> moved;
        float top = 0;
        for (int k : {0, 1})
            for (auto& s : k ? b.listen(50) : cl.listen(300, &b))
                for (auto& m : s.moves) {
                    seen[k].insert(string(reinterpret_cast<const char*>(&m), sizeof m));
                    if (!k) moved.push_back(m), last[{m.cx, m.cy, m.index}] = m.vert;
                    top = std::max(top, m.vert.loc[1]);
                }
        EXPECT_GT(moved.size(), 10u);
        EXPECT_EQ(seen[0], seen[1]); // the same vertices with the same values
        return std::pair(top, moved);
    };
    EXPECT_GT(edit({}, 0).first, 0.4f);               // raise
    EXPECT_LT(edit({}, 1).first, 0.05f);              // lower
    for (auto& m : edit({{skmHotBar2, 1}}, 0).second) // the texture brush, index 1
        EXPECT_EQ(m.vert.texi, 1);
    edit({{skmHotBar2, 2}, {skmHotBar0, 1}}, 0); // raise again
    edit({{skmHotBar0, 2}, {skmHotBar5, 1}}, 0); // smooth

    ASSERT_EQ(srv.stop(), 0);
    quietTrace quiet;
    ArrayList* saved = initArrayList(10, 8);
    ASSERT_EQ(loadWorld(res("world").c_str(), saved), 331);
    for (auto& [at, vert] : last) { // (cx, cy, index) and the streamed vertex
        int cxy[2] = {std::get<0>(at), std::get<1>(at)};
        EXPECT_EQ(memcmp(&coordsToTer(cxy, saved)->verts[std::get<2>(at)], &vert, 16), 0);
    }
    freeTerList(saved);
}
