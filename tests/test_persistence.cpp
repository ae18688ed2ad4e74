// Save files byte for byte, reloads that give back what was saved, and every kind of
// damaged file refused without losing anything: not loaded, kept aside as ".bad".
#include <filesystem>
#include <sys/stat.h>

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
        bytes d;
        readWholeFile((dir + name).c_str(), &d);
        return d;
    }
    // A damaged file: nothing loaded, a copy kept aside, the file itself untouched.
    void refused(const std::string& name, const bytes& d) {
        FILE* f = fopen((dir + name).c_str(), "wb");
        fwrite(d.data(), 1, d.size(), f);
        fclose(f);
        remove((dir + name + ".bad").c_str());
        std::string path = dir + name;
        int loaded = name == "world"      ? loadWorld(path.c_str(), terList)
                     : name == "profiles" ? loadProfs(path.c_str(), profList)
                                          : loadEntityList(path.c_str(), entList);
        EXPECT_EQ(loaded, name == "entities" ? -1 : 0);
        EXPECT_EQ(arrayListGetLength(terList) + arrayListGetLength(profList), 0);
        EXPECT_EQ(arrayListGetLength(entList), 0);
        EXPECT_EQ(slurp(name + ".bad"), d);
        EXPECT_EQ(slurp(name), d);
    }
};

TEST_F(saveFiles, AccountRecordsHoldNameHashAndEntityAndReloadInPlace) {
    auto prof = [](int i) { return arrayListGet<veskProfile>(profList, i); };
    std::string path = dir + "profiles";
    send(newAccountMsg("alice", "secret"));
    send(newAccountMsg("bobby", "pw"));
    prof(1)->stage = psGame; // logged in when saved
    ASSERT_EQ(saveProfs(path.c_str(), profList), 1);
    bytes d = slurp("profiles");
    ASSERT_EQ(d.size(), 4 + 2 * 516u);
    EXPECT_EQ(bytes(d.begin(), d.begin() + 4), (bytes{2, 0, 0, 0}));
    std::string bobby(d.end() - 516, d.end());
    EXPECT_EQ(bobby.substr(0, 256), std::string("bobby") + std::string(251, 0));
    EXPECT_TRUE(bobby.substr(256).starts_with("$argon2id$v=19$m=512,t=6,p=1$"));
    EXPECT_EQ(bobby.substr(512), std::string(4, '\xff')); // no entity before the first login
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u); // the hashes are for the server's eyes only
    freeLists();
    freshLists(0);
    arrayListAddEndPointer(profList, calloc(1, sizeof(veskProfile))); // overwritten in place
    prof(0)->stage = psGame;
    ASSERT_EQ(loadProfs(path.c_str(), profList), 1);
    ASSERT_EQ(arrayListGetLength(profList), 2);
    EXPECT_EQ(prof(0)->stage, psNotConn);
    EXPECT_EQ(prof(1)->stage, psNotConn);
    saveProfs((path + "2").c_str(), profList);
    EXPECT_EQ(slurp("profiles2"), d);
}

TEST_F(saveFiles, DamagedFilesAreRefusedAndKeptAside) {
    embedSpawnTer(terList, 2, 0, 0, terScale, terEdge);
    saveChunks((dir + "world").c_str(), terList);
    send(newAccountMsg("alice", "pw"));
    saveProfs((dir + "profiles").c_str(), profList);
    bytes world = slurp("world");
    bytes accounts = slurp("profiles");
    freeLists();
    freshLists(0);
    ASSERT_EQ(world.size(), 4u + 7 * 3272); // 7 chunks of 91 vertices, 150 faces; (1, -1) first
    EXPECT_EQ(bytes(world.begin(), world.begin() + 20),
              (bytes{7, 0, 0, 0, 91, 0, 0, 0, 150, 0, 0, 0, 1, 0, 0, 0, 0xff, 0xff, 0xff, 0xff}));
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
    refused("profiles", patch(accounts, 0, {0xfe, 0xff, 0xff, 0xff}));
    // Model 4, scale 2, at (150.5, 0.3, -40.25) from the centre of chunk (0, 0), not moving.
    float rec[7] = {2.0f, 150.5f, 0.3f, -40.25f, 0, 0, 0};
    const unsigned char* r = reinterpret_cast<const unsigned char*>(rec);
    bytes one = bytes{4, 0, 0, 0} + bytes(r, r + 28);
    bytes ents = bytes{2, 0, 0, 0} + one + one;
    refused("entities", bytes(ents.begin(), ents.end() - 1));
    refused("entities", patch(ents, 4 + 32 + 28, {0, 0, 0xc0, 0x7f})); // NaN motion
    refused("entities", patch(ents, 4 + 8, {0xca, 0xf2, 0x49, 0x71})); // beyond a million
    EXPECT_EQ(loadWorldFrom(world.data(), world.size(), "world", terList), 7);
    // A far entity is taken into the chunk that holds it, (10, -7) centred at (150, -34.64),
    // rather than crossing a chunk a tick towards its place.
    EXPECT_EQ(loadEntitiesFrom(ents.data(), ents.size(), "entities", entList), 2);
    veskGravity* g = arrayListGet<veskEntity>(entList, 1)->gravMem;
    EXPECT_EQ(g->chunkCoords[0], 10);
    EXPECT_EQ(g->chunkCoords[1], -7);
    EXPECT_NEAR(g->position[2], -40.25f + 34.641016f, 1e-4);
}

// An autosave writes a slice a tick: until its end the old files stay, dropped half-way it
// leaves them and no temporary file, and at its end the files are those a whole save makes.
TEST_F(saveFiles, ASaveInSlicesKeepsTheOldFilesUntilItsEnd) {
    std::string profiles = dir + "profiles";
    std::string world = dir + "world";
    embedSpawnTer(terList, 11, 0, 0, terScale, terEdge);
    send(newAccountMsg("alice", "pw"));
    saveChunks(world.c_str(), terList);
    bytes before = slurp("world");
    arrayListGet<veskTerrain>(terList, 5)->verts[0].loc[1] = 3.0f;
    send(newAccountMsg("bobby", "pw"));
    startSlicedSave(profiles.c_str(), profList, world.c_str(), terList);
    for (int slice = 0; slice < 4; slice++) { // the small file first, then a part of the world
        EXPECT_EQ(saveNextSlice(300000), 0);
        EXPECT_TRUE(slurp("world") == before);
    }
    EXPECT_EQ(slurp("profiles").size(), 4 + 2 * 516u);
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
