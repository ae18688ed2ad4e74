// Fuzz target for the save-file loaders: whatever accounts or world load must encode back
// to the same bytes, a loaded world is then streamed and edited as in the game, and loaded
// entities encode to finite records of the same models.
//
// Input: a selector byte (0 modulo 4: accounts, 1: a world, 2: entities, 3: logins), then
// the file's bytes. The ".bad" copies of rejected files go to a scratch directory under $TMPDIR (or
// /tmp).
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bytes.h"
#include "server.h"

namespace {

std::string scratch;

void require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "fuzz_savefiles: %s\n", what);
    abort();
}

// Each record encoded as a save writes it; the whole must be exactly `file`.
template <typename T, typename F>
void requireRoundTrip(ArrayList* list, const uint8_t* file, size_t len, F encode) {
    std::vector<unsigned char> back(4);
    int32_t n = arrayListGetLength(list);
    memcpy(back.data(), &n, 4);
    for (int i = 0; i < n; i++)
        encode(arrayListGet<T>(list, i), &back);
    require(back.size() == len && memcmp(back.data(), file, len) == 0,
            "the encoded records differ from what was loaded");
}

void fuzzProfiles(const uint8_t* file, size_t len) {
    ArrayList* list = initArrayList(10, 8);
    int32_t n = 0;
    if (loadProfsFrom(file, len, (scratch + "/profiles").c_str(), list)) {
        memcpy(&n, file, 4);
        for (int i = 0; i < n; i++)
            require(arrayListGet<veskProfile>(list, i)->stage == psNotConn, "account is on");
        requireRoundTrip<veskProfile>(list, file, len, [](veskProfile* pro, auto* out) {
            byteWriter w = appendTo(out, 516);
            encodeProfileRecord(&w, pro, pro->entity);
        });
    }
    require(arrayListGetLength(list) == n, "account count");
    freeArrayListPointer(list);
}

void fuzzEntities(const uint8_t* file, size_t len) {
    ArrayList* list = initArrayList(10, 8);
    int n = loadEntitiesFrom(file, len, (scratch + "/entities").c_str(), list);
    require(arrayListGetLength(list) == (n < 0 ? 0 : n), "entity count");
    for (int i = 0; i < n; i++) {
        unsigned char out[32];
        float v[7];
        byteWriter w = makeWriter(out, sizeof out);
        encodeEntityRecord(&w, arrayListGet<veskEntity>(list, i));
        memcpy(v, out + 4, sizeof v);
        for (float f : v)
            require(std::isfinite(f), "an entity encodes to a number that is not finite");
        require(memcmp(out, file + 4 + 32 * size_t(i), 8) == 0, "model or scale changed");
    }
    freeEntList(list);
}

// Start-up without an entity file sets the default free mover down on the loaded world;
// then a client with a wide view is sent all of it, edits the ground under that entity
// with every brush, and is sent the ring of chunks it would see one chunk further on.
// Nothing is listening: the sends fail, as they may on a real network. The server's reset
// then releases it all, the chunks too.
void playOn(ArrayList* chunks) {
    world.terList = chunks;
    world.entList = initArrayList(10, 8);
    sessions.profList = initArrayList(10, 8);
    const float start[3] = {5.0f, 1.0f, 5.0f};
    veskGravity* g = addDefaultEntity(world.entList, 1, start)->gravMem;
    setveskGravity(g, world.terList);
    veskProfile* pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
    pro->terRadius = 16;
    arrayListAddEndPointer(sessions.profList, pro);
    while (pro->curCounter < arrayListGetLength(world.terList))
        initSendTers(pro);
    pro->curCounter = 0;
    sendEnts(pro);
    for (int editType : {0, 5, 2}) { // raise, smooth, paint
        float eye[3] = {g->position[0] + 1.5f, g->position[1] + 4.0f, g->position[2] - 0.5f};
        float ray[3] = {0.0f, -0.6f, 0.1f};
        terEditNew(eye, ray, g, 1, editType);
    }
    g->chunkCoordsOld[0] = g->chunkCoords[0] - 1;
    gatherTickChanges();
    ticlyOutGame(pro);
    forgetTickChanges();
    resetServer(); // the chunks go with the rest
}

void fuzzWorld(const uint8_t* file, size_t len) {
    ArrayList* chunks = initArrayList(10, 8);
    int t = loadWorldFrom(file, len, (scratch + "/world").c_str(), chunks);
    require(arrayListGetLength(chunks) == t, "chunk count");
    if (t > 0) {
        requireRoundTrip<veskTerrain>(chunks, file, len, [](veskTerrain* ter, auto* out) {
            byteWriter w = appendTo(out, size_t(chunkRecordLen(ter)));
            encodeChunkRecord(&w, ter);
        });
        playOn(chunks);
        return;
    }
    freeTerList(chunks);
}

// The logins of accounts named as the file's records are, where such a name can log in:
// each found account holds its record's homes, and the others none.
void fuzzLogins(const uint8_t* file, size_t len) {
    sessions.profList = initArrayList(10, 8);
    const char* why = checkHomeBytes(file, len);
    int32_t n = 0;
    if (!*why) memcpy(&n, file, 4);
    for (int32_t i = 0; i < n && i < 64; i++) {
        veskProfile* pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
        memcpy(pro->username, file + 4 + 304 * size_t(i), textLen - 1); // a name ends
        pro->confirmed = 1;
        arrayListAddEndPointer(sessions.profList, pro);
    }
    int found = *why ? 0 : readHomeBytes(file, len);
    require(found <= n, "more accounts found than records");
    for (int i = 0; i < arrayListGetLength(sessions.profList); i++) {
        const veskProfile* pro = arrayListGet<veskProfile>(sessions.profList, i);
        for (const loginHome& h : pro->homes)
            require(h.when >= 0, "a login time before 1970");
    }
    resetServer();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    trace.on = 0;
    const char* tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/quarn-savefiles-XXXXXX";
    require(mkdtemp(dir.data()) != nullptr, "cannot make a scratch directory");
    scratch = dir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    if (data[0] % 4 == 0)
        fuzzProfiles(data + 1, size - 1);
    else if (data[0] % 4 == 1)
        fuzzWorld(data + 1, size - 1);
    else if (data[0] % 4 == 2)
        fuzzEntities(data + 1, size - 1);
    else
        fuzzLogins(data + 1, size - 1);
    return 0;
}
