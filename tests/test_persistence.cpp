// Save files byte for byte (accounts, world and the entities with the places of their
// players), every kind of damaged file refused without losing anything (not loaded, kept
// aside as ".bad"), a save in slices that writes one moment while a brush goes on changing
// the live world, and temporary files a crash left removed at Start.
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/resource.h>

#include "bytes.h"
#include "sessionTest.h"

static bytes patch(bytes d, size_t at, const bytes& with) {
    std::copy(with.begin(), with.end(), d.begin() + long(at));
    return d;
}

static bytes floats(std::vector<float> v) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(v.data());
    return bytes(p, p + 4 * v.size());
}

struct saveFiles : sessionTest {
    scratchFolder folder{"quarn-save"};
    std::string dir = folder.dir + "/";
    bytes slurp(const std::string& name) {
        return {std::istreambuf_iterator<char>(std::ifstream(dir + name, std::ios::binary).rdbuf()),
                {}};
    }
    std::map<std::string, int> copies; // kept aside so far, by file
    // A damaged file: nothing loaded, a copy of its own kept aside (".bad", then ".bad.2"
    // and on), the file itself untouched.
    void refused(const std::string& name, const bytes& d) {
        std::string path = dir + name;
        std::ofstream(path, std::ios::binary)
            .write(d.empty() ? "" : (const char*)d.data(), long(d.size()));
        int loaded = name == "world"      ? loadWorld(path.c_str(), world.terList)
                     : name == "profiles" ? loadProfs(path.c_str(), sessions.profList)
                     : name == "logins"   ? loadHomes(path.c_str())
                                          : loadEntityList(path.c_str(), world.entList);
        EXPECT_EQ(loaded, name == "entities" ? -1 : 0);
        EXPECT_EQ(arrayListGetLength(world.terList) + arrayListGetLength(sessions.profList), 0);
        int n = ++copies[name];
        EXPECT_EQ(slurp(name + ".bad" + (n > 1 ? "." + std::to_string(n) : "")), d);
        EXPECT_EQ(int(std::filesystem::status(dir + name + ".bad").permissions()), 0600);
        EXPECT_EQ(slurp(name), d);
    }
    // Writes all of a save under way, a slice at a time; its result.
    int finish(size_t slice) {
        int done = 0;
        for (int slices = 0; done == 0 && slices < 1000; slices++)
            done = saveSome(slice);
        return done;
    }
};

TEST_F(saveFiles, TheFilesHoldTheirRecordsAndDamagedOnesAreRefusedAndKeptAside) {
    embedSpawnTer(world.terList, 2, 0, 0, options.terScale, options.terEdge);
    send(newAccountMsg("alice", "pw"));
    send(newAccountMsg("carol", "pw")); // never confirmed: not saved
    confirmAccount(pendingAccounts().front(), 1);
    arrayListGet<veskProfile>(sessions.profList, 0)->stage = psGame; // it loads as not logged in
    {
        capturedTrace traced; // each file's writing is traced as it starts, with its count
        ASSERT_EQ(saveGame(), 1) << saves.saveFailure;
        EXPECT_EQ(timesIn(traced.text, "saveProfs()\ntotal: 1\n"), 1) << traced.text;
        EXPECT_EQ(timesIn(traced.text, "saveChunks()\ntotal: 7\n"), 1) << traced.text;
        EXPECT_EQ(timesIn(traced.text, "profList: 0x"), 1) << traced.text;
    }
    bytes worldFile = slurp("world");
    bytes accounts = slurp("profiles");
    EXPECT_EQ(slurp("entities"), (bytes{0, 0, 0, 0}));
    EXPECT_EQ(slurp("logins"), (bytes{0, 0, 0, 0}));
    freeLists();
    freshLists(0);
    ASSERT_EQ(worldFile.size(), 4u + 7 * 3272); // 7 chunks of 91 vertices, 150 faces; (1, -1) first
    EXPECT_EQ(bytes(worldFile.begin(), worldFile.begin() + 20),
              (bytes{7, 0, 0, 0, 91, 0, 0, 0, 150, 0, 0, 0, 1, 0, 0, 0, 0xff, 0xff, 0xff, 0xff}));
    ASSERT_EQ(accounts.size(), 4 + 516u);
    std::string alice(accounts.begin() + 4, accounts.end());
    EXPECT_EQ(alice.substr(0, 256), std::string("alice") + std::string(251, 0));
    EXPECT_TRUE(alice.substr(256).starts_with("$argon2id$v=19$m=512,t=6,p=1$"));
    EXPECT_EQ(alice.substr(512), std::string(4, '\xff')); // no entity before the first login
    for (size_t cut = 0; cut < 4 + 3272; cut += 7)
        refused("world", bytes(worldFile.begin(), worldFile.begin() + long(cut)));
    refused("world", worldFile + bytes{0});
    refused("world", patch(worldFile, 4 + 16 + 91 * 16 + 8, {91, 0, 0, 0})); // face index 91 of 91
    refused("world", patch(worldFile, 4, {0xff, 0xff, 0xff, 0xff}));
    refused("world", patch(worldFile, 4 + 16 + 5 * 16 + 4, {0, 0, 0xc0, 0x7f})); // NaN
    refused("world",
            patch(worldFile, 4 + 3272 + 8, bytes(worldFile.begin() + 12, worldFile.begin() + 20)));
    refused("world", patch(worldFile, 12, {0, 0, 0, 0x80})); // a chunk at the end of the int range
    for (size_t cut : {size_t(3), size_t(300), accounts.size() - 1})
        refused("profiles", bytes(accounts.begin(), accounts.begin() + long(cut)));
    refused("profiles", accounts + bytes{7});
    refused("profiles", accounts + bytes(516, 0)); // two records under a count of one
    refused("profiles", patch(accounts, 0, {0xfe, 0xff, 0xff, 0xff}));
    // Model 4, scale 2, at (150.5, 0.3, -40.25) from the centre of chunk (0, 0), not moving.
    bytes one = bytes{4, 0, 0, 0} + floats({2.0f, 150.5f, 0.3f, -40.25f, 0, 0, 0});
    bytes ents = bytes{2, 0, 0, 0} + one + one;
    refused("entities", bytes(ents.begin(), ents.end() - 1));
    refused("entities", ents + bytes{0});
    refused("entities", patch(ents, 4 + 4 + 6 * 4, {0, 0, 0xc0, 0x7f})); // its motion a NaN
    refused("entities", patch(ents, 4 + 8, {0xca, 0xf2, 0x49, 0x71}));   // beyond a million
    ArrayList* edge = initArrayList(10, 8); // a million itself is taken
    bytes million = patch(ents, 4 + 8, floats({1e6f}));
    EXPECT_EQ(loadEntitiesFrom(million.data(), million.size(), (dir + "edge").c_str(), edge), 2);
    freeEntList(edge);
    // Alice's homes: 203.0.113.5 at 2023-11-14T22:13:20Z, three empty slots.
    bytes homes = bytes{1, 0, 0, 0} + bytes(accounts.begin() + 4, accounts.begin() + 4 + 256) +
                  bytes{203, 0, 113, 5, 0, 0xf1, 0x53, 0x65, 0, 0, 0, 0} + bytes(36, 0);
    refused("logins", bytes(homes.begin(), homes.end() - 1));
    refused("logins", homes + bytes{0});
    refused("logins", patch(homes, 4 + 256 + 12 + 4, bytes(8, 0xff))); // a time before 1970
    EXPECT_EQ(loadWorldFrom(worldFile.data(), worldFile.size(), "world", world.terList), 7);
    EXPECT_EQ(loadProfsFrom(accounts.data(), accounts.size(), "profiles", sessions.profList), 1);
    veskProfile* loaded = arrayListGet<veskProfile>(sessions.profList, 0);
    EXPECT_EQ(loaded->stage, psNotConn);
    EXPECT_EQ(readHomeBytes(homes.data(), homes.size()), 1);
    EXPECT_EQ(loaded->homes[0].addr, htonl(0xCB007105u));
    EXPECT_EQ(loaded->homes[0].when, 1700000000);
    // A far entity is taken into the chunk that holds it, (10, -7) centred at (150, -34.64),
    // rather than crossing a chunk a tick towards its place.
    EXPECT_EQ(loadEntitiesFrom(ents.data(), ents.size(), "entities", world.entList), 2);
    veskGravity* g = arrayListGet<veskEntity>(world.entList, 1)->gravMem;
    EXPECT_EQ(g->chunkCoords[0], 10);
    EXPECT_EQ(g->chunkCoords[1], -7);
    EXPECT_NEAR(g->position[2], -40.25f + 34.641016f, 1e-4);
    // Where a host looks: the figures count the files set aside, the page names them.
    std::string json, metrics;
    statusJson(&json);
    metricsText(&metrics);
    std::string warning = "\"warning\":\"damaged save files set aside at Start: world (kept as " +
                          dir + "world.bad), world (kept as " + dir + "world.bad.2), ";
    EXPECT_NE(json.find(warning), std::string::npos) << json;
    EXPECT_EQ(timesIn(metrics, "\nquarn_save_files_set_aside 487\n"), 1) << metrics;
}

// The default free mover, a retired entity and a walker in chunk (1, 0) looking back over
// its shoulder: the file holds the two kept, by their place from the centre of chunk (0, 0)
// and their view; accounts follow the new indices. Read back, each entity is where it was,
// looking where it looked, and saved again gives the same bytes.
TEST_F(saveFiles, EntitiesAreSavedWhereTheyStandAndReadBackByteForByte) {
    embedSpawnTer(world.terList, 3, 0, 0, options.terScale, options.terEdge);
    const float at[3] = {1.5f, 0.75f, -2.0f};
    addDefaultEntity(world.entList, 1, at); // the default free mover
    retireEntity(world.entList, addDefaultEntity(world.entList, 0, at));
    veskEntity* walker = addDefaultEntity(world.entList, 0, at);
    walker->modelIndex = 3;
    walker->gravMem->chunkCoords[0] = 1;
    walker->gravMem->rots[0] = 0.25f;
    walker->gravMem->rots[1] = 2.5f;
    for (int e : {2, 1, -1}) {
        auto* pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
        pro->entity = e;
        arrayListAddEndPointer(sessions.profList, pro);
    }
    ASSERT_EQ(saveGame(), 1) << saves.saveFailure;
    float view[3];
    viewDirection(walker->gravMem->rots, view);
    EXPECT_NEAR(view[0], std::cos(0.25) * std::sin(2.5), 1e-6);
    EXPECT_NEAR(view[1], -std::sin(0.25), 1e-6);
    bytes expected = bytes{2, 0, 0, 0} + bytes{0, 0, 0, 0} + floats({2.0f, 1.5f, 0.75f, -2.0f}) +
                     floats({0, 0, 1}) + bytes{3, 0, 0, 0} +
                     floats({2.0f, 16.5f, 0.75f, float(10 * 0.8660254037844386) - 2.0f}) +
                     floats({view[0], view[1], view[2]});
    bytes saved = slurp("entities");
    EXPECT_EQ(saved, expected);
    bytes accounts = slurp("profiles");
    EXPECT_EQ(bytes(accounts.begin() + 516, accounts.begin() + 520), (bytes{1, 0, 0, 0}));
    EXPECT_EQ(bytes(accounts.begin() + 1032, accounts.begin() + 1036), bytes(4, 0xff));

    freeEntList(world.entList);
    world.entList = initArrayList(10, 8);
    ASSERT_EQ(loadEntitiesFrom(saved.data(), saved.size(), "entities", world.entList), 2);
    veskEntity* back = arrayListGet<veskEntity>(world.entList, 1);
    EXPECT_EQ(arrayListGet<veskEntity>(world.entList, 0)->ruleSet, 1);
    EXPECT_EQ(back->ruleSet, 0);
    EXPECT_EQ(back->gravMem->chunkCoords[0], 1);
    EXPECT_NEAR(back->gravMem->rots[1], 2.5f, 1e-6);
    EXPECT_EQ(back->gravMem->curMoveSpeed, 0.0f);
    unsigned char again[32]; // the rest as it was: it encodes to the same bytes
    byteWriter w = makeWriter(again, sizeof again);
    encodeEntityRecord(&w, back);
    EXPECT_EQ(bytes(again, again + 32), bytes(saved.end() - 32, saved.end()));
}

// A save is the moment it started. Until its end the old files stay; dropped half-way it
// leaves them and no temporary file. Brushes on chunks it has not yet written (a raise at
// a chunk border, so that the neighbour's copies move too, and a paint) change the live
// world, not the save, which is the very world a whole save at its start wrote.
TEST_F(saveFiles, ASaveInSlicesWritesItsMomentWhileTheWorldChanges) {
    embedSpawnTer(world.terList, 11, 0, 0, options.terScale, options.terEdge);
    const float at[3] = {0, 1, 0};
    veskEntity* painter = addDefaultEntity(world.entList, 1, at);
    setveskGravity(painter->gravMem, world.terList);
    ASSERT_EQ(saveGame(), 1);
    bytes before = slurp("world");
    startSave();
    for (int slice = 0; slice < 3; slice++) { // the small files, then a part of the world
        EXPECT_EQ(saveSome(300000), 0);
        EXPECT_TRUE(slurp("world") == before);
    }
    dropSave();
    for (const char* tmp : {"world.tmp", "profiles.tmp", "entities.tmp"})
        EXPECT_FALSE(std::filesystem::exists(dir + tmp)) << tmp;
    coordsToTer(std::array<int, 2>{0, 0}.data(), world.terList)->verts[45].loc[1] = 2.5f;
    ASSERT_EQ(saveGame(), 1);
    bytes moment = slurp("world");
    startSave();
    EXPECT_EQ(saveSome(100000), 0); // chunks (0, 0) and (1, 0), mid-list, are not written
    float border[3] = {8.5f, 3, 2}, paint[3] = {0, 3, 0}, down[3] = {0, -1, 0};
    terEditNew(border, down, painter->gravMem, 1, 0);
    terEditNew(paint, down, painter->gravMem, 1, 3);
    EXPECT_EQ(finish(100000), 1);
    EXPECT_TRUE(slurp("world") == moment);
    ASSERT_EQ(saveGame(), 1);
    EXPECT_FALSE(slurp("world") == moment);
}

// At Start, a save committed before a crash is completed: its temporary files that were not
// renamed yet are; without a commit record, temporary files are a save that did not finish
// and go, as do the files a save replaced that were still being let go of.
// A save in slices that cannot write its files (here beyond the largest file this process
// may write) ends, and says it failed.
TEST_F(saveFiles, ASaveInSlicesThatCannotWriteFails) {
    embedSpawnTer(world.terList, 11, 0, 0, options.terScale, options.terEdge);
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = {200000, saved.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    startSave();
    int done = finish(100000);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(done, -1) << saves.saveFailure;
}

TEST_F(saveFiles, WhatACrashLeftIsCompletedOrRemovedAtStart) {
    for (const char* name : {"world.tmp", "entities.tmp", "bans.tmp", "world.old"})
        std::ofstream(dir + name) << "half";
    std::filesystem::create_directory(dir + "profiles.tmp");
    recoverSaveFolder();
    for (const char* name : {"world.tmp", "entities.tmp", "bans.tmp", "world.old"})
        EXPECT_FALSE(std::filesystem::exists(dir + name)) << name;
    EXPECT_TRUE(std::filesystem::is_directory(dir + "profiles.tmp")); // not a file of ours
    ASSERT_EQ(capturedLog.size(), 4u);
    EXPECT_EQ(capturedLog[0],
              "Server: removed " + dir + "world.tmp, left by a save that did not finish");
    EXPECT_EQ(capturedLog[1], "Server: removed " + dir +
                                  "world.old, a file a save replaced that was still being let "
                                  "go of when the server stopped");
    std::filesystem::remove(dir + "profiles.tmp");
    // Committed: the world was renamed before the crash, the entities were not.
    std::ofstream(dir + "commit") << "quarn save commit 1\nprofiles\nentities\nlogins\nworld\n";
    std::ofstream(dir + "world") << "new world";
    std::ofstream(dir + "entities") << "old entities";
    std::ofstream(dir + "entities.tmp") << "new entities";
    capturedLog.clear();
    recoverSaveFolder();
    EXPECT_EQ(slurp("entities"),
              bytes({'n', 'e', 'w', ' ', 'e', 'n', 't', 'i', 't', 'i', 'e', 's'}));
    EXPECT_FALSE(std::filesystem::exists(dir + "commit"));
    EXPECT_EQ(capturedLog, std::vector<std::string>{"Server: completed the save that was "
                                                    "committed before it stopped (entities "
                                                    "renamed)"});
}

// A backup on the schedule comes with the first save an hour after the last; the files a
// later save replaces are let go of without touching the backup's bytes (a hard link).
TEST_F(saveFiles, ABackupOnTheScheduleKeepsItsBytesWhenTheNextSaveReplacesTheFiles) {
    embedSpawnTer(world.terList, 6, 0, 0, options.terScale, options.terEdge);
    options.backupEveryHours = 1;
    options.autosaveSeconds = 0;
    saves.lastBackup = 0;
    ASSERT_EQ(saveGame(), 1);
    serveSaves(3599999);
    EXPECT_FALSE(saveUnderWay());
    serveSaves(3600000);
    for (int tick = 0; tick < 100 && saveUnderWay(); tick++)
        serveSaves(3600000 + 50 * uint32_t(tick));
    std::vector<std::filesystem::path> made;
    for (const auto& entry : std::filesystem::directory_iterator(dir + "backups"))
        made.push_back(entry.path());
    ASSERT_EQ(made.size(), 1u);
    bytes moment = slurp("world");
    EXPECT_EQ(slurp("backups/" + made[0].filename().string() + "/world"), moment);

    coordsToTer(std::array<int, 2>{0, 0}.data(), world.terList)->verts[45].loc[1] = 2.5f;
    ASSERT_EQ(saveGame(), 1);
    while (!tidyOldSaves(4096)) {
    }
    EXPECT_NE(slurp("world"), moment);
    EXPECT_EQ(slurp("backups/" + made[0].filename().string() + "/world"), moment);
}
