// Save files byte for byte, reloads that give back what was saved, and every kind of
// damaged file refused without losing anything: not loaded, kept aside as ".bad", and
// saves that fail half-way leaving the previous file whole.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testUtil.h"
#include "veskServer.h"

namespace {

using bytes = std::vector<unsigned char>;

bytes slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void spit(const std::string& path, const bytes& d) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(d.data()), std::streamsize(d.size()));
}

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

void putLE(bytes* d, int32_t v) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&v);
    d->insert(d->end(), p, p + 4);
}

struct saveFiles : testing::Test {
    std::string dir;
    quietTrace quiet;
    void SetUp() override {
        char tmpl[] = "/tmp/quarn-save-XXXXXX";
        dir = mkdtemp(tmpl);
        freshLists(0);
    }
    void TearDown() override {
        freeLists();
        std::string cmd = "rm -rf " + dir;
        if (system(cmd.c_str()) != 0) ADD_FAILURE();
    }
    std::string path(const char* name) { return dir + "/" + name; }
    veskProfile* addProfile(const char* name, const char* pass, int entity) {
        veskProfile* pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
        strcpy(reinterpret_cast<char*>(pro->username), name);
        strcpy(reinterpret_cast<char*>(pro->password), pass);
        pro->entity = entity;
        arrayListAddEndPointer(profList, pro);
        return pro;
    }
};

TEST_F(saveFiles, EmptyAccountListIsFourZeroBytes) {
    saveProfs(path("profiles").c_str(), profList);
    EXPECT_EQ(slurp(path("profiles")), (bytes{0, 0, 0, 0}));
    EXPECT_EQ(loadProfs(path("profiles").c_str(), profList), 1);
    EXPECT_EQ(arrayListGetLength(profList), 0);
    EXPECT_FALSE(exists(path("profiles.tmp")));
}

TEST_F(saveFiles, ProfileRecordLayoutAndReload) {
    veskProfile* a = addProfile("alice", "secret", 5);
    a->stage = psGame; // logged in when saved
    saveProfs(path("profiles").c_str(), profList);
    bytes d = slurp(path("profiles"));
    ASSERT_EQ(d.size(), 4u + 516);
    EXPECT_EQ(d[0], 1);
    EXPECT_EQ(memcmp(d.data() + 4, "alice\0\0", 7), 0);
    EXPECT_EQ(memcmp(d.data() + 4 + 256, "secret\0", 7), 0);
    EXPECT_EQ(memcmp(d.data() + 4 + 512, "\x05\0\0\0", 4), 0);

    ArrayList* back = initArrayList(10, 8);
    ASSERT_EQ(loadProfs(path("profiles").c_str(), back), 1);
    veskProfile* b = arrayListGet<veskProfile>(back, 0);
    EXPECT_EQ(memcmp(b->username, a->username, 512), 0);
    EXPECT_EQ(b->entity, 5);
    EXPECT_EQ(b->stage, psNotConn);
    freeArrayListPointer(back);
}

TEST_F(saveFiles, LoadingOverwritesInPlaceThenAppends) {
    addProfile("one1", "a", 1);
    addProfile("two2", "b", 2);
    saveProfs(path("profiles").c_str(), profList);
    ArrayList* longer = initArrayList(10, 8);
    for (const char* n : {"xxxx", "yyyy", "zzzz"}) {
        veskProfile* p = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
        strcpy(reinterpret_cast<char*>(p->username), n);
        p->stage = psGame;
        arrayListAddEndPointer(longer, p);
    }
    loadProfs(path("profiles").c_str(), longer);
    ASSERT_EQ(arrayListGetLength(longer), 3);
    EXPECT_STREQ(reinterpret_cast<char*>(arrayListGet<veskProfile>(longer, 1)->username), "two2");
    EXPECT_EQ(arrayListGet<veskProfile>(longer, 1)->stage, psNotConn);
    EXPECT_STREQ(reinterpret_cast<char*>(arrayListGet<veskProfile>(longer, 2)->username), "zzzz");
    freeArrayListPointer(longer);
}

TEST_F(saveFiles, SpawnWorldIsOneMegabyteAndReloadsIdentically) {
    embedSpawnTer(terList, 11, 0, 0, terScale, terEdge);
    veskTerrain* t = arrayListGet<veskTerrain>(terList, 100);
    t->verts[3].loc[1] = 2.75f;
    t->verts[3].texi = 3;
    saveChunks(path("world").c_str(), terList);
    bytes d = slurp(path("world"));
    ASSERT_EQ(d.size(), 1083036u);
    EXPECT_EQ(memcmp(d.data(), "\x4b\x01\0\0", 4), 0);                    // 331
    EXPECT_EQ(memcmp(d.data() + 4, "\x5b\0\0\0\x96\0\0\0", 8), 0);        // 91, 150
    EXPECT_EQ(memcmp(d.data() + 12, "\x0a\0\0\0\xf6\xff\xff\xff", 8), 0); // (10, -10)

    ArrayList* back = initArrayList(10, 8);
    ASSERT_EQ(loadWorld(path("world").c_str(), back), 331);
    for (int i = 0; i < 331; i++) {
        veskTerrain* a = arrayListGet<veskTerrain>(terList, i);
        veskTerrain* b = arrayListGet<veskTerrain>(back, i);
        ASSERT_EQ(a->chunkCoords[0], b->chunkCoords[0]);
        ASSERT_EQ(a->chunkCoords[1], b->chunkCoords[1]);
        ASSERT_EQ(memcmp(a->verts, b->verts, 91 * 16), 0);
        ASSERT_EQ(memcmp(a->faces, b->faces, 150 * 12), 0);
        ASSERT_EQ(arrayListGetLength(b->movedVerts), 0);
    }
    saveChunks(path("world2").c_str(), back);
    EXPECT_EQ(slurp(path("world2")), d);
    freeTerList(back);
}

TEST_F(saveFiles, WorldWithNoChunksLoadsAsNothing) {
    spit(path("world"), {0, 0, 0, 0});
    EXPECT_EQ(loadWorld(path("world").c_str(), terList), 0);
    EXPECT_FALSE(exists(path("world.bad")));
    EXPECT_EQ(loadWorld(path("missing").c_str(), terList), 0);
    EXPECT_EQ(loadProfs(path("missing").c_str(), profList), 0);
    EXPECT_EQ(loadEntityList(path("missing").c_str(), entList), -1);
}

bytes oneChunkWorld() {
    ArrayList* l = initArrayList(10, 8);
    embedSpawnTer(l, 2, 0, 0, 10.0f, 5);
    FILE* f = tmpfile();
    int32_t n = arrayListGetLength(l);
    fwrite(&n, 4, 1, f);
    for (int i = 0; i < n; i++)
        saveChunk(arrayListGet<veskTerrain>(l, i), f);
    bytes d(size_t(ftell(f)));
    rewind(f);
    if (fread(d.data(), 1, d.size(), f) != d.size()) d.clear();
    fclose(f);
    freeTerList(l);
    return d;
}

// A damaged file: refused, nothing created, and a copy kept aside.
void expectRefused(saveFiles* t, const char* name, const bytes& d) {
    std::string p = t->path(name);
    spit(p, d);
    remove((p + ".bad").c_str());
    int result;
    if (strcmp(name, "world") == 0)
        result = loadWorld(p.c_str(), terList);
    else if (strcmp(name, "profiles") == 0)
        result = loadProfs(p.c_str(), profList);
    else
        result = loadEntityList(p.c_str(), entList);
    EXPECT_EQ(result, strcmp(name, "entities") == 0 ? -1 : 0);
    EXPECT_EQ(arrayListGetLength(terList) + arrayListGetLength(profList) +
                  arrayListGetLength(entList),
              0);
    EXPECT_EQ(slurp(p + ".bad"), d);
    EXPECT_EQ(slurp(p), d); // loading never touches the file itself
}

TEST_F(saveFiles, DamagedWorldFilesAreRefusedAndKeptAside) {
    bytes good = oneChunkWorld();
    ASSERT_EQ(good.size(), 4u + 7 * 3272);
    for (size_t cut = 0; cut < 4 + 3272; cut += 7) {
        SCOPED_TRACE(cut);
        expectRefused(this, "world", bytes(good.begin(), good.begin() + long(cut)));
    }
    bytes longer = good;
    longer.push_back(0);
    expectRefused(this, "world", longer);
    bytes badFace = good;
    memcpy(badFace.data() + 4 + 16 + 91 * 16 + 8, "\x5b\0\0\0", 4); // index 91 of 91
    expectRefused(this, "world", badFace);
    bytes negative = good;
    memcpy(negative.data() + 4, "\xff\xff\xff\xff", 4);
    expectRefused(this, "world", negative);
    bytes absurd = good;
    memcpy(absurd.data(), "\xff\xff\xff\x7f", 4);
    expectRefused(this, "world", absurd);
    bytes nan = good;
    float q = NAN;
    memcpy(nan.data() + 4 + 16 + 5 * 16 + 4, &q, 4);
    expectRefused(this, "world", nan);
    bytes twice = good;
    memcpy(twice.data() + 4 + 3272 + 8, twice.data() + 4 + 8, 8); // two chunks at one place
    expectRefused(this, "world", twice);
    spit(path("world"), good); // and the sound file still loads
    EXPECT_EQ(loadWorld(path("world").c_str(), terList), 7);
}

TEST_F(saveFiles, DamagedProfileAndEntityFilesAreRefused) {
    addProfile("alice", "pw", 0);
    saveProfs(path("profiles").c_str(), profList);
    bytes good = slurp(path("profiles"));
    freeLists();
    freshLists(0);
    for (size_t cut : {size_t(0), size_t(3), size_t(4), size_t(300), good.size() - 1})
        expectRefused(this, "profiles", bytes(good.begin(), good.begin() + long(cut)));
    bytes extra = good;
    extra.push_back(7);
    expectRefused(this, "profiles", extra);
    bytes negative = good;
    memcpy(negative.data(), "\xfe\xff\xff\xff", 4);
    expectRefused(this, "profiles", negative);

    bytes ents;
    putLE(&ents, 2);
    for (int i = 0; i < 2; i++) {
        putLE(&ents, 4);
        float f[7] = {2.0f, 1, 2, 3, 0, 0, 1};
        ents.insert(ents.end(), reinterpret_cast<unsigned char*>(f),
                    reinterpret_cast<unsigned char*>(f) + 28);
    }
    expectRefused(this, "entities", bytes(ents.begin(), ents.end() - 1));
    bytes nan = ents;
    float inf = INFINITY;
    memcpy(nan.data() + 4 + 28 + 8, &inf, 4);
    expectRefused(this, "entities", nan);
    spit(path("entities"), ents);
    ASSERT_EQ(loadEntityList(path("entities").c_str(), entList), 2);
    veskEntity* e = arrayListGet<veskEntity>(entList, 1);
    EXPECT_EQ(e->globalId, 1);
    EXPECT_EQ(e->ruleSet, 0);
    EXPECT_EQ(e->editType, 0);
    EXPECT_EQ(e->modelIndex, 4);
    EXPECT_EQ(e->scale, 2.0f);
    EXPECT_EQ(e->gravMem->position[2], 3.0f);
    EXPECT_EQ(e->gravMem->moveVect[2], 1.0f);
    EXPECT_EQ(e->gravMem->maxMoveSpeed, 2.0f);
    EXPECT_EQ(e->gravMem->addMoveSpeed, 0.4f);
}

TEST_F(saveFiles, SaveThatCannotCreateItsTemporaryFileKeepsTheOldFile) {
    addProfile("alice", "pw", 0);
    saveProfs(path("profiles").c_str(), profList);
    bytes before = slurp(path("profiles"));
    addProfile("bobby", "pw", 1);
    mkdir(path("profiles.tmp").c_str(), 0755); // the temporary file cannot be made
    saveProfs(path("profiles").c_str(), profList);
    EXPECT_EQ(slurp(path("profiles")), before);
    rmdir(path("profiles.tmp").c_str());
    saveProfs(path("profiles").c_str(), profList);
    EXPECT_EQ(slurp(path("profiles")).size(), 4u + 2 * 516);
}

TEST_F(saveFiles, SaveThatFailsWhileWritingKeepsTheOldFile) {
    embedSpawnTer(terList, 3, 0, 0, terScale, terEdge);
    saveChunks(path("world").c_str(), terList);
    bytes before = slurp(path("world"));
    embedSpawnTer(terList, 11, 0, 0, terScale, terEdge); // a bigger world to save
    // Writes beyond 100 kB now fail, as on a full disk.
    signal(SIGXFSZ, SIG_IGN);
    rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = {100000, old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    saveChunks(path("world").c_str(), terList);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(slurp(path("world")), before);
    EXPECT_FALSE(exists(path("world.tmp")));
}

} // namespace
