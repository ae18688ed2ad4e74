// Fuzz target for the account and world loaders: whatever loads must save back to the same
// bytes, and a loaded world is then streamed and edited as in the game.
//
// Input: a selector byte (even: accounts, odd: a world), then the file's bytes. Saves and the
// ".bad" copies of rejected files go to a scratch directory under $TMPDIR (or /tmp).
#include <cstdlib>
#include <cstring>
#include <string>

#include "veskServer.h"

namespace {

std::string scratch;

void require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "fuzz_savefiles: %s\n", what);
    abort();
}

// Saves the list with `save` and checks the file holds exactly `file`.
void requireRoundTrip(int (*save)(const char*, ArrayList*), ArrayList* list, const uint8_t* file,
                      size_t len) {
    std::string saved = scratch + "/saved";
    std::vector<unsigned char> back;
    require(save(saved.c_str(), list) == 1, "a loaded list does not save");
    require(readWholeFile(saved.c_str(), &back) == 1, "a save cannot be read back");
    require(back.size() == len && (len == 0 || memcmp(back.data(), file, len) == 0),
            "the save differs from what was loaded");
}

void fuzzProfiles(const uint8_t* file, size_t len) {
    ArrayList* list = initArrayList(10, 8);
    int32_t n = 0;
    if (loadProfsFrom(file, len, (scratch + "/profiles").c_str(), list)) {
        memcpy(&n, file, 4);
        for (int i = 0; i < n; i++)
            require(arrayListGet<veskProfile>(list, i)->stage == psNotConn, "account is on");
        requireRoundTrip(saveProfs, list, file, len);
    }
    require(arrayListGetLength(list) == n, "account count");
    freeArrayListPointer(list);
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
    pro->terRadius = 16;
    arrayListAddEndPointer(profList, pro);
    while (pro->curCounter < arrayListGetLength(terList))
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
    freeArrayListPointer(profList);
    freeEntList(entList);
    profList = entList = terList = nullptr;
    forgetAccountIndex();
}

void fuzzWorld(const uint8_t* file, size_t len) {
    ArrayList* chunks = initArrayList(10, 8);
    int t = loadWorldFrom(file, len, (scratch + "/world").c_str(), chunks);
    require(arrayListGetLength(chunks) == t, "chunk count");
    if (t > 0) {
        requireRoundTrip(saveChunks, chunks, file, len);
        playOn(chunks);
    }
    freeTerList(chunks);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    traceOn = 0;
    const char* tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/quarn-savefiles-XXXXXX";
    require(mkdtemp(dir.data()) != nullptr, "cannot make a scratch directory");
    scratch = dir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    if (data[0] % 2 == 0)
        fuzzProfiles(data + 1, size - 1);
    else
        fuzzWorld(data + 1, size - 1);
    return 0;
}
