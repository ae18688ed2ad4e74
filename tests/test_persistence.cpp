// Save files byte for byte, every kind of damaged file refused without losing anything (not
// loaded, kept aside as ".bad"), and an autosave in slices that keeps the old files until
// its end.
#include <filesystem>
#include <fstream>

#include "sessionTest.h"

static bytes patch(bytes d, size_t at, const bytes& with) {
    std::copy(with.begin(), with.end(), d.begin() + long(at));
    return d;
}

struct saveFiles : sessionTest {
    std::string dir = std::filesystem::temp_directory_path() / "quarn-save-XXXXXX";
    void SetUp() override {
        sessionTest::SetUp();
        dir = std::string(mkdtemp(dir.data())) + "/";
    }
    void TearDown() override {
        std::filesystem::remove_all(dir);
        sessionTest::TearDown();
    }
    bytes slurp(const std::string& name) {
        return {std::istreambuf_iterator<char>(std::ifstream(dir + name, std::ios::binary).rdbuf()),
                {}};
    }
    // A damaged file: nothing loaded, a copy kept aside, the file itself untouched.
    void refused(const std::string& name, const bytes& d) {
        std::string path = dir + name;
        std::ofstream(path, std::ios::binary)
            .write(d.empty() ? "" : (const char*)d.data(), long(d.size()));
        int loaded = name == "world"      ? loadWorld(path.c_str(), terList)
                     : name == "profiles" ? loadProfs(path.c_str(), profList)
                                          : loadEntityList(path.c_str(), entList);
        EXPECT_EQ(loaded, name == "entities" ? -1 : 0);
        EXPECT_EQ(arrayListGetLength(terList) + arrayListGetLength(profList), 0);
        EXPECT_EQ(slurp(name + ".bad"), d);
        EXPECT_EQ(slurp(name), d);
    }
};

TEST_F(saveFiles, TheFilesHoldTheirRecordsAndDamagedOnesAreRefusedAndKeptAside) {
    embedSpawnTer(terList, 2, 0, 0, terScale, terEdge);
    saveChunks((dir + "world").c_str(), terList);
    send(newAccountMsg("alice", "pw"));
    arrayListGet<veskProfile>(profList, 0)->stage = psGame; // it loads as not logged in
    saveProfs((dir + "profiles").c_str(), profList);
    bytes world = slurp("world");
    bytes accounts = slurp("profiles");
    freeLists();
    freshLists(0);
    ASSERT_EQ(world.size(), 4u + 7 * 3272); // 7 chunks of 91 vertices, 150 faces; (1, -1) first
    EXPECT_EQ(bytes(world.begin(), world.begin() + 20),
              (bytes{7, 0, 0, 0, 91, 0, 0, 0, 150, 0, 0, 0, 1, 0, 0, 0, 0xff, 0xff, 0xff, 0xff}));
    ASSERT_EQ(accounts.size(), 4 + 516u);
    std::string alice(accounts.begin() + 4, accounts.end());
    EXPECT_EQ(alice.substr(0, 256), std::string("alice") + std::string(251, 0));
    EXPECT_TRUE(alice.substr(256).starts_with("$argon2id$v=19$m=512,t=6,p=1$"));
    EXPECT_EQ(alice.substr(512), std::string(4, '\xff')); // no entity before the first login
    for (size_t cut = 0; cut < 4 + 3272; cut += 7)
        refused("world", bytes(world.begin(), world.begin() + long(cut)));
    refused("world", world + bytes{0});
    refused("world", patch(world, 4 + 16 + 91 * 16 + 8, {91, 0, 0, 0})); // face index 91 of 91
    refused("world", patch(world, 4, {0xff, 0xff, 0xff, 0xff}));
    refused("world", patch(world, 4 + 16 + 5 * 16 + 4, {0, 0, 0xc0, 0x7f})); // NaN
    refused("world", patch(world, 4 + 3272 + 8, bytes(world.begin() + 12, world.begin() + 20)));
    refused("world", patch(world, 12, {0, 0, 0, 0x80})); // a chunk at the end of the int range
    for (size_t cut : {size_t(3), size_t(300), accounts.size() - 1})
        refused("profiles", bytes(accounts.begin(), accounts.begin() + long(cut)));
    refused("profiles", accounts + bytes{7});
    refused("profiles", accounts + bytes(516, 0)); // two records under a count of one
    refused("profiles", patch(accounts, 0, {0xfe, 0xff, 0xff, 0xff}));
    // Model 4, scale 2, at (150.5, 0.3, -40.25) from the centre of chunk (0, 0), not moving.
    float rec[7] = {2.0f, 150.5f, 0.3f, -40.25f, 0, 0, 0};
    const unsigned char* r = reinterpret_cast<const unsigned char*>(rec);
    bytes one = bytes{4, 0, 0, 0} + bytes(r, r + 28);
    bytes ents = bytes{2, 0, 0, 0} + one + one;
    refused("entities", bytes(ents.begin(), ents.end() - 1));
    refused("entities", patch(ents, 4 + 8, {0xca, 0xf2, 0x49, 0x71})); // beyond a million
    EXPECT_EQ(loadWorldFrom(world.data(), world.size(), "world", terList), 7);
    EXPECT_EQ(loadProfsFrom(accounts.data(), accounts.size(), "profiles", profList), 1);
    EXPECT_EQ(arrayListGet<veskProfile>(profList, 0)->stage, psNotConn);
    // A far entity is taken into the chunk that holds it, (10, -7) centred at (150, -34.64),
    // rather than crossing a chunk a tick towards its place.
    EXPECT_EQ(loadEntitiesFrom(ents.data(), ents.size(), "entities", entList), 2);
    veskGravity* g = arrayListGet<veskEntity>(entList, 1)->gravMem;
    EXPECT_EQ(g->chunkCoords[0], 10);
    EXPECT_EQ(g->chunkCoords[1], -7);
    EXPECT_NEAR(g->position[2], -40.25f + 34.641016f, 1e-4);
}

// Until its end the old files stay; dropped half-way it leaves them and no temporary file;
// at its end the files are those a whole save makes.
TEST_F(saveFiles, ASaveInSlicesKeepsTheOldFilesUntilItsEnd) {
    std::string profiles = dir + "profiles";
    std::string world = dir + "world";
    embedSpawnTer(terList, 11, 0, 0, terScale, terEdge);
    saveChunks(world.c_str(), terList);
    bytes before = slurp("world");
    arrayListGet<veskTerrain>(terList, 5)->verts[0].loc[1] = 3.0f;
    startSlicedSave(profiles.c_str(), profList, world.c_str(), terList);
    for (int slice = 0; slice < 4; slice++) { // the small file first, then a part of the world
        EXPECT_EQ(saveNextSlice(300000), 0);
        EXPECT_TRUE(slurp("world") == before);
    }
    EXPECT_EQ(slurp("profiles"), (bytes{0, 0, 0, 0}));
    dropSlicedSave();
    EXPECT_FALSE(std::filesystem::exists(world + ".tmp"));
    startSlicedSave(profiles.c_str(), profList, world.c_str(), terList);
    int done = 0;
    for (int slices = 0; done == 0 && slices < 10; slices++) // 1 MB in all
        done = saveNextSlice(300000);
    EXPECT_EQ(done, 1);
    saveChunks((world + "2").c_str(), terList);
    EXPECT_TRUE(slurp("world") == slurp("world2"));
    EXPECT_FALSE(slurp("world") == before);
}
