// Fuzz target for the receive dispatcher and the game tick that follows it: datagrams from
// one client against a small world with an account in every session stage.
//
// Input: one options byte, then up to eight records separated by "QDGM". A record's first
// byte picks an account (0-6, anything else none) whose current session key is written
// over bytes 1-16 of the datagram, which is the rest of the record. Options byte: bits 0-1
// how far the clock jumps before the last tick, bits 2-3 the accounts' failure counts,
// bit 4 a tick after every datagram, bits 5-7 further ticks 50 ms apart.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "testUtil.h"
#include "server.h"

namespace {

constexpr int numAccounts = 7; // one per stage, and a second player in the game
constexpr int maxDatagrams = 8;
constexpr unsigned char separator[4] = {'Q', 'D', 'G', 'M'};
constexpr uint32_t startTime = 100000;

loopback lb;
// Placing the walkers is most of the cost of a world, so it is built once and every input
// gets a deep copy of it.
ArrayList *modelTers, *modelEnts, *modelProfs;

template <typename T> T* copyOf(const T* from, size_t n = 1) {
    T* to = static_cast<T*>(calloc(n, sizeof(T)));
    memcpy(to, from, n * sizeof(T));
    return to;
}

// Account `index` in stage `stage`, steering entity `index`.
void addAccount(int index, int stage) {
    veskProfile* pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
    snprintf(reinterpret_cast<char*>(pro->username), textLen, "player%d", index);
    hashPassword(pro->password, reinterpret_cast<const unsigned char*>("pw"));
    pro->stage = stage;
    pro->confirmed = 1;
    pro->entity = index;
    pro->terRadius = 3;
    pro->profAddr = lb.clientAddr;
    pro->addrLen = sizeof lb.clientAddr;
    pro->lastRecv = startTime;
    pro->lastSent = startTime;
    for (int k = 0; k < keyLen; k++)
        pro->key[k] = uint8_t(0x40 + 16 * index + k);
    arrayListAddEndPointer(sessions.profList, pro);
}

void buildModelWorld() {
    useFakeClock(startTime);
    freshLists(4);
    for (int i = 0; i < numAccounts - 1; i++)
        newPlayerEntity();
    const float start[3] = {-3.0f, 1.0f, 2.0f};
    setveskGravity(addDefaultEntity(world.entList, 1, start)->gravMem, world.terList);
    // The new walkers land before any input arrives, so that the input walks them.
    for (int tick = 0; tick < 20; tick++)
        gameTic();
    for (int stage = psNotConn; stage <= psGame; stage++)
        addAccount(stage, stage);
    addAccount(numAccounts - 1, psGame);
    modelTers = world.terList;
    modelEnts = world.entList;
    modelProfs = sessions.profList;
    world.terList = world.entList = sessions.profList = nullptr;
}

void copyModelWorld(int failCount) {
    world.terList = initArrayList(10, 8);
    for (int i = 0; i < arrayListGetLength(modelTers); i++) {
        veskTerrain* ter = copyOf(arrayListGet<veskTerrain>(modelTers, i));
        ter->verts = copyOf(ter->verts, size_t(ter->maxVerts));
        ter->faces = copyOf(ter->faces, 3 * size_t(ter->maxFaces));
        ter->movedVerts = initArrayList(10, 4);
        ter->sweep = nullptr; // the copy builds its own index
        appendChunk(world.terList, ter);
    }
    world.entList = initArrayList(10, 8);
    for (int i = 0; i < arrayListGetLength(modelEnts); i++) {
        veskEntity* ent = copyOf(arrayListGet<veskEntity>(modelEnts, i));
        ent->gravMem = copyOf(ent->gravMem);
        fillTerArray(ent->gravMem, world.terList);
        arrayListAddEndPointer(world.entList, ent);
    }
    sessions.profList = initArrayList(10, 8);
    for (int i = 0; i < arrayListGetLength(modelProfs); i++) {
        veskProfile* pro = copyOf(arrayListGet<veskProfile>(modelProfs, i));
        pro->failCount = failCount;
        arrayListAddEndPointer(sessions.profList, pro);
    }
}

void deliver(const uint8_t* record, size_t len) {
    if (len == 0) return;
    int account = record[0];
    size_t n = len - 1 < size_t(bufSize) ? len - 1 : size_t(bufSize);
    // As the receive step keeps a datagram: a 0 after it, and at least 18 bytes.
    static unsigned char held[bufSize + 18];
    memcpy(held, record + 1, n);
    memset(held + n, 0, 18);
    if (account < numAccounts && n >= size_t(sessionHeadLen))
        memcpy(held + 1, arrayListGet<veskProfile>(sessions.profList, account)->key, keyLen);
    ticlyIn(held, int(n), &lb.clientAddr, sizeof lb.clientAddr);
}

const uint8_t* findSeparator(const uint8_t* from, const uint8_t* end) {
    return std::search(from, end, separator, separator + sizeof separator);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    trace.on = 0;
    openLoopback(&lb);
    buildModelWorld();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const uint32_t clockSteps[4] = {0, 999, 1001, 4500};
    int options = data[0];
    useFakeClock(startTime);
    copyModelWorld((options >> 2) & 3);
    const uint8_t* end = data + size;
    const uint8_t* at = data + 1;
    for (int i = 0; i < maxDatagrams && at < end; i++) {
        const uint8_t* stop = findSeparator(at, end);
        deliver(at, size_t(stop - at));
        if (options & 0x10) gameTic();
        if (stop == end) break;
        at = stop + sizeof separator;
    }
    for (int i = 0; i < options >> 5; i++) {
        gameTic();
        fakeNow += 50;
    }
    fakeNow += clockSteps[options & 3];
    gameTic();
    clientDrain(&lb, 0);
    // The server's own reset between inputs; the loopback endpoint serves them all.
    int endpoint = traffic.mysocket;
    traffic.mysocket = -1;
    resetServer();
    traffic.mysocket = endpoint;
    return 0;
}
