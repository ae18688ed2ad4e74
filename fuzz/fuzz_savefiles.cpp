// Fuzz target for the three save-file loaders: accounts, world and entities from bytes.
// What loads must survive a save and a reload unchanged, and is then used as after Start.
//
// Input: a selector byte (kind = byte % 3: accounts, world, entities; for accounts,
// byte / 3 % 3 accounts already in the list), then the file's bytes. Files go to a
// scratch directory under $TMPDIR (or /tmp), where rejected files are kept as ".bad";
// saves, which are synced to disk, go to $QUARN_FUZZ_SAVES instead when it is set.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "veskServer.h"

namespace {

std::string scratch;
std::string saves;

void require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "fuzz_savefiles: %s\n", what);
    abort();
}

std::string pathOf(const char* name) {
    return scratch + "/" + name;
}

std::string savePath(const char* name) {
    return saves + "/" + name;
}

std::vector<unsigned char> readFile(const std::string& path) {
    std::vector<unsigned char> out;
    FILE* f = fopen(path.c_str(), "rb");
    require(f != nullptr, "a saved file cannot be read back");
    unsigned char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        out.insert(out.end(), chunk, chunk + n);
    fclose(f);
    return out;
}

bool sameBytes(const std::vector<unsigned char>& a, const uint8_t* b, size_t len) {
    return a.size() == len && (len == 0 || memcmp(a.data(), b, len) == 0);
}

// --- accounts ------------------------------------------------------------------------

bool sameProfile(veskProfile* a, veskProfile* b) {
    return memcmp(a->username, b->username, textLen) == 0 &&
           memcmp(a->password, b->password, textLen) == 0 && a->entity == b->entity;
}

void fuzzProfiles(const uint8_t* file, size_t len, int preloaded) {
    ArrayList* list = initArrayList(10, 8);
    for (int i = 0; i < preloaded; i++) {
        veskProfile* pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
        snprintf(reinterpret_cast<char*>(pro->username), textLen, "kept%d", i);
        pro->stage = psGame;
        pro->entity = i;
        arrayListAddEndPointer(list, pro);
    }
    std::string name = pathOf("profiles");
    if (!loadProfsFrom(file, len, name.c_str(), list)) {
        require(arrayListGetLength(list) == preloaded, "a rejected file changed the accounts");
        freeArrayListPointer(list);
        return;
    }
    int32_t n;
    memcpy(&n, file, 4);
    require(arrayListGetLength(list) == (n > preloaded ? n : preloaded), "account count");
    for (int i = 0; i < n; i++)
        require(arrayListGet<veskProfile>(list, i)->stage == psNotConn, "a loaded account is on");

    std::string saved = savePath("profiles.saved");
    saveProfs(saved.c_str(), list);
    if (n >= preloaded) require(sameBytes(readFile(saved), file, len), "accounts round trip");
    ArrayList* again = initArrayList(10, 8);
    require(loadProfs(saved.c_str(), again) == 1, "saved accounts do not load");
    require(arrayListGetLength(again) == arrayListGetLength(list), "reloaded account count");
    for (int i = 0; i < arrayListGetLength(list); i++)
        require(
            sameProfile(arrayListGet<veskProfile>(list, i), arrayListGet<veskProfile>(again, i)),
            "reloaded account differs");
    freeArrayListPointer(again);
    freeArrayListPointer(list);
}

// --- world ---------------------------------------------------------------------------

bool sameChunk(const veskTerrain* a, const veskTerrain* b) {
    return a->numVerts == b->numVerts && a->numFaces == b->numFaces &&
           a->chunkCoords[0] == b->chunkCoords[0] && a->chunkCoords[1] == b->chunkCoords[1] &&
           memcmp(a->verts, b->verts, sizeof(vertTex) * size_t(a->numVerts)) == 0 &&
           memcmp(a->faces, b->faces, 12 * size_t(a->numFaces)) == 0 &&
           arrayListGetLength(b->movedVerts) == 0;
}

// Start-up without an entity file sets the default free mover down on the loaded world;
// then a client with a wide view is sent all of it, edits the ground under that entity
// with every brush, and is sent the ring of chunks it would see one chunk further on.
// Nothing is listening: the sends fail, as they may on a real network.
void playOn(ArrayList* chunks) {
    terList = chunks;
    entList = initArrayList(10, 8);
    profList = initArrayList(10, 8);
    const float start[3] = {5.0f, 1.0f, 5.0f};
    veskGravity* g = addDefaultEntity(entList, 1, start)->gravMem;
    setveskGravity(g, terList);
    veskProfile* pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
    pro->stage = psTerWait;
    pro->terRadius = 16;
    arrayListAddEndPointer(profList, pro);
    while (pro->curCounter < arrayListGetLength(terList))
        initSendTers(pro);
    pro->curCounter = 0;
    sendEnts(pro);

    pro->stage = psGame;
    const int brushes[3] = {0, 5, 2}; // raise, smooth, paint
    for (int editType : brushes) {
        float eye[3] = {g->position[0] + 1.5f, g->position[1] + 4.0f, g->position[2] - 0.5f};
        float ray[3] = {0.0f, -0.6f, 0.1f};
        terEditNew(eye, ray, g, 1, editType);
    }
    sendMovedVerts(pro);
    g->chunkCoordsOld[0] = g->chunkCoords[0] - 1;
    sendNewChunks(pro);

    freeArrayListPointer(profList);
    freeEntList(entList);
    profList = entList = terList = nullptr;
}

void fuzzWorld(const uint8_t* file, size_t len) {
    ArrayList* chunks = initArrayList(10, 8);
    std::string name = pathOf("world");
    int t = loadWorldFrom(file, len, name.c_str(), chunks);
    require(arrayListGetLength(chunks) == t, "chunk count");
    if (t > 0) {
        std::string saved = savePath("world.saved");
        saveChunks(saved.c_str(), chunks);
        require(sameBytes(readFile(saved), file, len), "world round trip");
        ArrayList* again = initArrayList(10, 8);
        require(loadWorld(saved.c_str(), again) == t, "saved world does not load");
        for (int i = 0; i < t; i++)
            require(sameChunk(arrayListGet<veskTerrain>(chunks, i),
                              arrayListGet<veskTerrain>(again, i)),
                    "reloaded chunk differs");
        freeTerList(again);
    }
    if (t > 0) playOn(chunks);
    freeTerList(chunks);
}

// --- entities ------------------------------------------------------------------------

constexpr size_t entFileRecord = 32; // modelIndex, scale, position, moveVect
constexpr int placedMax = 8;         // enough to set down entities of every kind

// Loaded entities are set down on a generated world. It already holds every chunk that
// placing an entity of chunk (0, 0) can add, so it is built once and never changes.
ArrayList* spawnWorld;

// A loaded entity is kept in the chunk that holds it; the file gives positions from the
// centre of chunk (0, 0). Back in that frame a position agrees with the file's up to the
// rounding of the chunk centre.
bool sameAsRecord(veskEntity* ent, const unsigned char* rec) {
    float want[7];
    int32_t model;
    memcpy(&model, rec, 4);
    memcpy(want, rec + 4, 28);
    veskGravity* g = ent->gravMem;
    float cx, cz;
    terToWorldNew(g->chunkCoords[0], g->chunkCoords[1], &cx, &cz, terScale);
    const float at[3] = {g->position[0] + cx, g->position[1], g->position[2] + cz};
    for (int i = 0; i < 3; i++)
        if (std::fabs(at[i] - want[1 + i]) > 1e-5f * (1 + std::fabs(want[1 + i]))) return false;
    int home[2];
    worldToTer(want[1], want[3], &home[0], &home[1], terScale);
    return model == ent->modelIndex && memcmp(&want[0], &ent->scale, 4) == 0 &&
           memcmp(&want[4], g->moveVect, 12) == 0 && home[0] == g->chunkCoords[0] &&
           home[1] == g->chunkCoords[1];
}

void fuzzEntities(const uint8_t* file, size_t len) {
    ArrayList* ents = initArrayList(10, 8);
    std::string name = pathOf("entities");
    int n = loadEntitiesFrom(file, len, name.c_str(), ents);
    require(arrayListGetLength(ents) == (n < 0 ? 0 : n), "entity count");
    for (int i = 0; i < n; i++) {
        veskEntity* ent = arrayListGet<veskEntity>(ents, i);
        require(ent->globalId == i, "entity id");
        require(sameAsRecord(ent, file + 4 + entFileRecord * size_t(i)), "entity differs");
        // Start-up sets every loaded entity down on the world; the generated world holds
        // the surroundings of chunk (0, 0) and its neighbours, so those leave it unchanged.
        if (i < placedMax &&
            terRadius(ent->gravMem->chunkCoords[0], ent->gravMem->chunkCoords[1]) <= 1)
            setveskGravity(ent->gravMem, spawnWorld);
    }
    freeEntList(ents);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    traceOn = 0;
    const char* tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/quarn-savefiles-XXXXXX";
    require(mkdtemp(dir.data()) != nullptr, "cannot make a scratch directory");
    scratch = dir;
    const char* savesDir = getenv("QUARN_FUZZ_SAVES");
    saves = savesDir && *savesDir ? savesDir : scratch;
    spawnWorld = initArrayList(10, 8);
    embedSpawnTer(spawnWorld, 5, 0, 0, terScale, terEdge);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    int kind = data[0] % 3;
    if (kind == 0) fuzzProfiles(data + 1, size - 1, data[0] / 3 % 3);
    if (kind == 1) fuzzWorld(data + 1, size - 1);
    if (kind == 2) fuzzEntities(data + 1, size - 1);
    return 0;
}
