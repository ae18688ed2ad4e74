// What the live page reads, inside the process: the chunk feed byte for byte (its head, the
// records newer than a version, a changed face list sent whole, the same bytes whatever the
// size of the reads), and client text in the JSON (damaged files set aside: the save files'
// test).
#include <cstring>
#include <filesystem>

#include "sessionTest.h"

struct liveFeed : sessionTest {
    // The whole feed from `since`, read `piece` bytes at a time.
    bytes feed(uint32_t since, size_t piece) {
        chunkFeed f;
        startChunkFeed(&f, since);
        bytes all, part(piece);
        long n;
        for (int reads = 0; (n = chunkFeedRead(&f, part.data(), piece)) != -1 && reads < 100000;
             reads++) {
            EXPECT_GE(n, 0);
            all.insert(all.end(), part.begin(), part.begin() + n);
        }
        return all;
    }
};

static uint32_t u32(const bytes& d, size_t at) {
    uint32_t v;
    memcpy(&v, d.data() + at, 4);
    return v;
}

TEST_F(liveFeed, ChunksNewerThanAVersionByteForByte) {
    embedSpawnTer(world.terList, 2, 0, 0, options.terScale, options.terEdge); // 7 chunks
    const size_t head = 12 + 150 * 12, record = 16 + 91 * 16;
    bytes all = feed(0, 1 << 16);
    ASSERT_EQ(all.size(), head + 7 * record + 16);
    EXPECT_EQ(bytes(all.begin(), all.begin() + 4), (bytes{'Q', 'C', 'H', '1'}));
    EXPECT_EQ(u32(all, 4), world.worldVersion);
    EXPECT_EQ(u32(all, 8), 150u);
    int32_t faces[450];
    genHexFace(5, faces);
    EXPECT_EQ(memcmp(all.data() + 12, faces, sizeof faces), 0);
    for (int i = 0; i < 7; i++) {
        veskTerrain* ter = arrayListGet<veskTerrain>(world.terList, i);
        size_t at = head + size_t(i) * record;
        EXPECT_EQ(int32_t(u32(all, at)), ter->chunkCoords[0]);
        EXPECT_EQ(int32_t(u32(all, at + 4)), ter->chunkCoords[1]);
        EXPECT_EQ(u32(all, at + 8), 91u);
        EXPECT_EQ(u32(all, at + 12), 0xFFFFFFFFu); // the generated faces
        EXPECT_EQ(memcmp(all.data() + at + 16, ter->verts, 91 * 16), 0);
    }
    EXPECT_EQ(bytes(all.end() - 16, all.end()),
              (bytes{0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0}));
    for (size_t piece : {size_t(1), size_t(7), record, record + 1})
        EXPECT_TRUE(feed(0, piece) == all) << piece;

    // One chunk changed after the page's version: only it comes, its faces whole when they
    // are not a generated chunk's.
    uint32_t seen = world.worldVersion;
    veskTerrain* changed = arrayListGet<veskTerrain>(world.terList, 4);
    chunkWillChange(changed);
    std::swap(changed->faces[0], changed->faces[1]);
    bytes newer = feed(seen, 1 << 16);
    ASSERT_EQ(newer.size(), head + record + 150 * 12 + 16);
    EXPECT_EQ(int32_t(u32(newer, head)), changed->chunkCoords[0]);
    EXPECT_EQ(u32(newer, head + 12), 150u);
    EXPECT_EQ(memcmp(newer.data() + head + record, changed->faces, 150 * 12), 0);
    for (size_t piece : {size_t(7), record + 150 * 12 - 1})
        EXPECT_TRUE(feed(seen, piece) == newer) << piece;
    EXPECT_EQ(feed(world.worldVersion, 64).size(), head + 16);
}

// Names are client text: shown escaped, and quoted as JSON wants.
TEST_F(liveFeed, StatusJsonQuotesClientTextAndLeavesOutAddresses) {
    loginAlice(0, psGame);
    strcpy(reinterpret_cast<char*>(pro->username), "a\"b\\c\n");
    veskGravity* g = avatar();
    g->chunkCoords[0] = 1;
    g->chunkCoords[1] = 2;
    g->position[0] = 1;
    g->position[1] = 0.5f;
    g->position[2] = 2;
    std::string json;
    statusJson(&json);
    EXPECT_NE(json.find("\"name\":\"a\\\"b\\\\x5Cc\\\\x0A\",\"stage\":\"game\","
                        "\"chunk\":[1,2],\"position\":[1,0.5,2],\"world\":[16,0.5,45.3013]"),
              std::string::npos)
        << json;
    EXPECT_EQ(json.find("127.0.0.1"), std::string::npos);
}
