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
    std::string dir;
    void SetUp() override {
        sessionTest::SetUp();
        char name[] = "/tmp/quarn-save-XXXXXX";
        dir = std::string(mkdtemp(name)) + "/";
    }
    void TearDown() override {
        std::filesystem::remove_all(dir);
        sessionTest::TearDown();
    }
    void reset() {
        freeLists();
        freshLists(0);
    }
    bytes slurp(const std::string& name) {
        bytes d;
        readWholeFile((dir + name).c_str(), &d);
        return d;
    }
    void spit(const std::string& name, const bytes& d) {
        FILE* f = fopen((dir + name).c_str(), "wb");
        fwrite(d.data(), 1, d.size(), f);
        fclose(f);
    }
    int load(const std::string& name) { // the entity loader reports -1 when nothing loaded
        std::string p = dir + name;
        if (name.starts_with("world")) return loadWorld(p.c_str(), terList);
        if (name == "profiles") return loadProfs(p.c_str(), profList);
        return loadEntityList(p.c_str(), entList);
    }
    int save(const std::string& name) {
        std::string p = dir + name;
        if (name.starts_with("world")) return saveChunks(p.c_str(), terList);
        return saveProfs(p.c_str(), profList);
    }
    // A damaged file: nothing loaded, a copy kept aside, the file itself untouched.
    void refused(const std::string& name, const bytes& d) {
        spit(name, d);
        remove((dir + name + ".bad").c_str());
        EXPECT_EQ(load(name), name == "entities" ? -1 : 0);
        EXPECT_EQ(arrayListGetLength(terList) + arrayListGetLength(profList) +
                      arrayListGetLength(entList),
                  0);
        EXPECT_EQ(slurp(name + ".bad"), d);
        EXPECT_EQ(slurp(name), d);
    }
};

TEST_F(saveFiles, AccountRecordsHoldNameHashAndEntityAndReloadInPlace) {
    auto prof = [](int i) { return arrayListGet<veskProfile>(profList, i); };
    ASSERT_EQ(save("profiles"), 1);
    EXPECT_EQ(slurp("profiles"), (bytes{0, 0, 0, 0}));
    send(newAccountMsg("alice", "secret"));
    send(newAccountMsg("bobby", "pw"));
    prof(1)->stage = psGame; // logged in when saved
    ASSERT_EQ(save("profiles"), 1);
    bytes d = slurp("profiles");
    ASSERT_EQ(d.size(), 4 + 2 * 516u);
    EXPECT_EQ(bytes(d.begin(), d.begin() + 4), (bytes{2, 0, 0, 0}));
    std::string bobby(d.end() - 516, d.end());
    EXPECT_EQ(bobby.substr(0, 256), std::string("bobby") + std::string(251, 0));
    EXPECT_TRUE(bobby.substr(256).starts_with("$argon2id$v=19$m=512,t=6,p=1$"));
    EXPECT_EQ(bobby.substr(512), std::string(4, '\xff')); // no entity before the first login
    struct stat st;
    ASSERT_EQ(stat((dir + "profiles").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u); // the hashes are for the server's eyes only
    reset();
    arrayListAddEndPointer(profList, calloc(1, sizeof(veskProfile))); // overwritten in place
    prof(0)->stage = psGame;
    ASSERT_EQ(load("profiles"), 1);
    ASSERT_EQ(arrayListGetLength(profList), 2);
    EXPECT_EQ(prof(0)->stage, psNotConn);
    EXPECT_EQ(prof(1)->stage, psNotConn);
    save("again");
    EXPECT_EQ(slurp("again"), d);
    EXPECT_NE(access((dir + "profiles.tmp").c_str(), F_OK), 0);
}

TEST_F(saveFiles, SpawnWorldIsOneMegabyteAndReloadsIdentically) {
    embedSpawnTer(terList, 11, 0, 0, terScale, terEdge);
    arrayListGet<veskTerrain>(terList, 100)->verts[3].loc[1] = 2.75f;
    save("world");
    bytes d = slurp("world");
    ASSERT_EQ(d.size(), 1083036u); // 331 chunks, each 91 vertices, 150 faces; then (10, -10)
    EXPECT_EQ(bytes(d.begin(), d.begin() + 20),
              (bytes{75, 1, 0, 0, 91, 0, 0, 0, 150, 0, 0, 0, 10, 0, 0, 0, 0xf6, 0xff, 0xff, 0xff}));
    reset();
    ASSERT_EQ(load("world"), 331);
    save("world2");
    EXPECT_EQ(slurp("world2"), d);
    spit("world", {0, 0, 0, 0}); // no chunks: as if missing, and not damaged
    EXPECT_EQ(load("world"), 0);
    EXPECT_TRUE(slurp("world.bad").empty());
    EXPECT_EQ(loadWorld((dir + "none").c_str(), terList), 0);
    EXPECT_EQ(loadProfs((dir + "none").c_str(), profList), 0);
    EXPECT_EQ(loadEntityList((dir + "none").c_str(), entList), -1);
}

TEST_F(saveFiles, DamagedWorldFilesAreRefusedAndKeptAside) {
    embedSpawnTer(terList, 2, 0, 0, terScale, terEdge);
    save("world");
    bytes good = slurp("world");
    bytes place(good.begin() + 12, good.begin() + 20);
    reset();
    ASSERT_EQ(good.size(), 4u + 7 * 3272);
    for (size_t cut = 0; cut < 4 + 3272; cut += 7)
        refused("world", bytes(good.begin(), good.begin() + long(cut)));
    refused("world", good + bytes{0});
    refused("world", patch(good, 4 + 16 + 91 * 16 + 8, {91, 0, 0, 0})); // face index 91 of 91
    refused("world", patch(good, 4, {0xff, 0xff, 0xff, 0xff}));
    refused("world", patch(good, 0, {0xff, 0xff, 0xff, 0x7f}));
    refused("world", patch(good, 4 + 16 + 5 * 16 + 4, {0, 0, 0xc0, 0x7f})); // NaN
    refused("world", patch(good, 4 + 3272 + 8, place)); // the first chunk's place, twice
    spit("world", good);                                // and the sound file still loads
    EXPECT_EQ(load("world"), 7);
}

TEST_F(saveFiles, DamagedAccountAndEntityFilesAreRefusedSoundOnesLoad) {
    send(newAccountMsg("alice", "pw"));
    save("profiles");
    bytes good = slurp("profiles");
    reset();
    for (size_t cut : {size_t(0), size_t(3), size_t(300), good.size() - 1})
        refused("profiles", bytes(good.begin(), good.begin() + long(cut)));
    refused("profiles", good + bytes{7});
    refused("profiles", patch(good, 0, {0xfe, 0xff, 0xff, 0xff}));
    float rec[7] = {2.0f, 1, 2, 3, 0, 0, 1}; // scale, position, motion after the model 4
    const unsigned char* r = reinterpret_cast<const unsigned char*>(rec);
    bytes one = bytes{4, 0, 0, 0} + bytes(r, r + 28);
    bytes ents = bytes{2, 0, 0, 0} + one + one;
    refused("entities", bytes(ents.begin(), ents.end() - 1));
    refused("entities", patch(ents, 4 + 32 + 28, {0, 0, 0xc0, 0x7f})); // NaN motion
    spit("entities", ents);
    EXPECT_EQ(load("entities"), 2);
    spit("profiles", good);
    EXPECT_EQ(load("profiles"), 1);
}
