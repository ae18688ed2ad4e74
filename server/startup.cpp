// Start and Stop of the server: the UDP endpoint, building the world and the account and
// entity lists on Start, saving them on Stop, at exit and every few minutes, and releasing
// them after a Stop whose save succeeded. The work of one serving tick.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sodium.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "veskServer.h"

int servPort = 2300;
int mysocket = -1;
socklen_t addrlen = 0;
sockaddr_in remaddr = {};

ArrayList* profList = nullptr;
ArrayList* terList = nullptr;
ArrayList* entList = nullptr;

const char* dirProf = "res/profiles";
const char* dirWorld = "res/world";
const char* dirEntity = "res/entities";
static std::string resDir = "res";
int spawnR = 11;
int terEdge = 5;
float terScale = 10.0f;
int servOn = 0;

int autosaveSeconds = 300;
static uint32_t lastAutosave = 0;

void setResDir(const char* dir) {
    static std::string prof, world, entities;
    resDir = dir;
    prof = resPath("profiles");
    world = resPath("world");
    entities = resPath("entities");
    dirProf = prof.c_str();
    dirWorld = world.c_str();
    dirEntity = entities.c_str();
}

std::string resPath(const char* name) {
    return resDir + "/" + name;
}

int initServ() {
    addrlen = 16;
    sockaddr_in myaddr = {};
    myaddr.sin_family = AF_INET;
    myaddr.sin_addr.s_addr = htonl(INADDR_ANY);
    myaddr.sin_port = htons(uint16_t(servPort));

    mysocket = socket(AF_INET, SOCK_DGRAM, 0);
    tracef("mysocket: %d\n", mysocket);
    int bound =
        mysocket >= 0 && bind(mysocket, reinterpret_cast<sockaddr*>(&myaddr), sizeof myaddr) == 0;
    int err = errno;
    tracef("mysocket: %d\n", mysocket);
    if (!bound) {
        // Serving without the port would only look like running.
        tracef("initServ: cannot open UDP port %d: %s\n", servPort, strerror(err));
        textBoxAddf(tb, "Server: Start failed, UDP port %d: %s", servPort, strerror(err));
        if (mysocket >= 0) close(mysocket);
        mysocket = -1;
        return 0;
    }
    // Room for a tick's bursts of many handshakes, or of a flood, so that the queue does not
    // fill between two reads: beyond the system's cap where the server may set it.
    int rcvbuf = 8 << 20;
    if (setsockopt(mysocket, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0)
        setsockopt(mysocket, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    openReceive(mysocket);
    int flags = fcntl(mysocket, F_GETFL);
    fcntl(mysocket, F_SETFL, flags | O_NONBLOCK);
    return 1;
}

static void claimEntities();

// Chunks come first: entities are placed on them.
void initGame() {
    servOn = 1;
    terList = initArrayList(10, 8);
    int chunks = loadWorld(dirWorld, terList);
    tracef("Load World: %d\n", chunks);
    if (chunks == 0) embedSpawnTer(terList, spawnR, 0, 0, terScale, terEdge);

    profList = initArrayList(10, 8);
    loadProfs(dirProf, profList);
    loadHomes(resPath("logins").c_str());

    entList = initArrayList(10, 8);
    int ents = loadEntityList(dirEntity, entList);
    tracef("entsLoaded: %d\n", ents);
    textBoxAddInt(tb, "entsLoaded (", ents);
    for (int i = 0; i < ents; i++)
        setveskGravity(arrayListGet<veskEntity>(entList, i)->gravMem, terList);
    if (ents == -1) {
        const float start[3] = {5.0f, 1.0f, 5.0f};
        veskEntity* first = addDefaultEntity(entList, 1, start);
        setveskGravity(first->gravMem, terList);
    }
    claimEntities();
}

// Each account names its own entity: one that exists, and that no account before it in the
// list names. Any other index (from a folder whose entity file was lost, or never written)
// becomes none, and the account gets a new entity at its next login.
static void claimEntities() {
    int count = entityCount(entList);
    std::vector<char> claimed(size_t(count), 0);
    for (veskProfile* pro : arrayListItems<veskProfile>(profList)) {
        if (pro->entity < 0 || pro->entity >= count || claimed[size_t(pro->entity)])
            pro->entity = -1;
        else
            claimed[size_t(pro->entity)] = 1;
    }
}

static int savedAccounts = 0, savedEntities = 0, savedChunks = 0; // of the save under way
static saveTotals totals = {};
static double saveStartMs = 0;
uint32_t servingGeneration = 0;

const saveTotals& savesSoFar() {
    return totals;
}

// Counts a save that ended: 1 written, else failed.
static void countSave(int written) {
    totals.saved += written;
    totals.failed += !written;
    if (written) totals.lastSeconds = (steadyMs() - saveStartMs) / 1000;
}

static void startGameSave() {
    saveStartMs = steadyMs();
    savedAccounts = arrayListGetLength(profList);
    savedEntities = entityCount(entList);
    savedChunks = chunkCount(terList);
    startSave(dirProf, dirEntity, dirWorld);
}

int saveGame() {
    if (!profList || !terList || !entList) return 1;
    tracef("profList: %p\n", static_cast<void*>(profList));
    startGameSave();
    int saved = saveSome(SIZE_MAX) == 1;
    countSave(saved);
    return saved;
}

void releaseGame() {
    closeControl();
    if (mysocket >= 0) {
        eventUnwatch(mysocket);
        close(mysocket);
    }
    mysocket = -1;
    freeArrayListPointer(profList);
    freeTerList(terList);
    freeEntList(entList);
    profList = terList = entList = nullptr;
    servingGeneration++;
    resetAccounts();
    resetReceive();
    resetLimits();
    resetLogLimits();
    writeAccessListsNow(); // a change made just before the Stop is not lost
    resetAccessLists();
    freeTickChanges();
    servOn = 0;
}

int startServer() {
    textBoxAddStr(tb, "Server: Starting");
    // Session keys and password salts come from the system's secure generator.
    if (sodium_init() < 0) {
        textBoxAddStr(tb, "Server: Start failed, no secure random source");
        return 0;
    }
    if (!initServ()) return 0;
    resetLimits(); // a new secret for the table of addresses
    forgetFilesSetAside();
    recoverSaveFolder();
    loadAccessLists();
    initGame();
    openControl();
    // Datagrams are read as they come, so that the socket's queue never fills between ticks.
    eventWatch(
        mysocket, POLLIN, [](int, short, void*) { readWaitingDatagrams(); }, nullptr);
    lastAutosave = getTicks();
    startStatus();
    notifyReady();
    announceWarnings();
    return 1;
}

// Operators waiting for a save: those a save under way will answer, and those for whom
// the next one starts.
struct saveWaiter {
    saveDone done;
    void* context;
};
static std::vector<saveWaiter> waitingForThis;
static std::vector<saveWaiter> waitingForNext;

void requestSave(saveDone done, void* context) {
    waitingForNext.push_back(saveWaiter{done, context});
}

void forgetSaveWaiter(void* context) {
    auto asked = [context](const saveWaiter& w) { return w.context == context; };
    std::erase_if(waitingForThis, asked);
    std::erase_if(waitingForNext, asked);
}

// Answers everyone who waits for the save that just ended (a whole one answers them all).
static void answerWaiters(std::vector<saveWaiter>* waiting, int saved, const char* text) {
    std::vector<saveWaiter> now;
    now.swap(*waiting);
    for (const saveWaiter& w : now)
        w.done(w.context, saved, text);
}

// The last status line and a whole save, which supersedes an autosave under way; a save
// tried again after a failed one says nothing more before it.
static int saveAtStop(int first = 1) {
    if (first) {
        flushLogSummaries();
        logStatus();
        textBoxAddStr(tb, "Server: Stopping + Saving");
        notifyStopping();
    }
    dropSave();
    int saved = saveGame();
    char text[400];
    if (saved)
        snprintf(text, sizeof text, "saved: %d accounts, %d entities, %d chunks", savedAccounts,
                 savedEntities, savedChunks);
    else
        snprintf(text, sizeof text, "error: the save failed (%s)", saveFailure);
    answerWaiters(&waitingForThis, saved, text);
    answerWaiters(&waitingForNext, saved, text);
    return saved;
}

// What is in memory is the only copy of every change since the last save: a Stop whose
// save fails keeps serving, and the next Stop tries again.
int stopServer() {
    if (!saveAtStop()) {
        textBoxAddf(tb, "Server: Save failed (%s), still serving", saveFailure);
        return 0;
    }
    releaseGame();
    return 1;
}

int stopOrKeepServing(int first) {
    if (!saveAtStop(first)) {
        if (first)
            textBoxAddf(tb,
                        "Server: Save failed (%s) at the stop, still serving; trying again every "
                        "%d s (a second signal stops without saving)",
                        saveFailure, stopRetrySeconds);
        else
            textBoxAddf(tb, "Server: Save failed again (%s), still serving", saveFailure);
        return 0;
    }
    tidyOldSaves(SIZE_MAX); // nothing else runs now
    releaseGame();
    return 1;
}

void stopWithoutSaving() {
    textBoxAddStr(tb, "Server: Stopped without saving at a second signal; what changed since the "
                      "last save is lost");
    dropSave();
    releaseGame();
}

int quitServer() {
    if (!servOn) return 1;
    int saved = saveAtStop();
    if (!saved) textBoxAddf(tb, "Server: Save failed (%s) at quit", saveFailure);
    tidyOldSaves(SIZE_MAX); // nothing else runs now
    releaseGame();
    return saved;
}

// A save writes this much a tick (a world of 3,000 chunks takes ten ticks), and the files it
// replaced are let go of at this pace.
constexpr size_t autosaveSliceBytes = 1 << 20;
constexpr size_t oldFileSliceBytes = 2 << 20;

static int operatorSave = 0; // the save under way was asked for by an operator
static void serveTickWork();

// Goes on with a save under way; reports it when it is over.
static void saveSlice() {
    int done = saveSome(autosaveSliceBytes);
    if (done == 0) return;
    countSave(done == 1);
    const char* kind = operatorSave ? "Save" : "Autosave";
    char text[400];
    if (done == 1) {
        snprintf(text, sizeof text, "%s: %d accounts, %d entities, %d chunks, %u ms", kind,
                 savedAccounts, savedEntities, savedChunks, getTicks() - lastAutosave);
        textBoxAddStr(tb, text);
    } else {
        snprintf(text, sizeof text, "%s: failed (%s)", kind, saveFailure);
        if (operatorSave)
            textBoxAddStr(tb, text);
        else
            textBoxAddf(tb, "%s, trying again in %d s", text, autosaveSeconds);
    }
    answerWaiters(&waitingForThis, done == 1, text);
}

// Everything a tick does counts in its time: the game tick (receiving, moving, sending),
// the save's slice, the housekeeping, and what the event step served since the last tick.
void serveTick() {
    double t0 = steadyMs();
    serveTickWork();
    countTick(steadyMs() - t0 + takeEventWorkMs());
}

static void serveTickWork() {
    gameTic();
    uint32_t now = getTicks();
    serveControl(now);
    serveAccessLists();
    tidyOldSaves(oldFileSliceBytes);
    if (saveUnderWay()) {
        saveSlice();
    } else if (!waitingForNext.empty() ||
               (autosaveSeconds > 0 && now - lastAutosave >= uint32_t(autosaveSeconds) * 1000u)) {
        operatorSave = !waitingForNext.empty();
        waitingForThis.swap(waitingForNext);
        lastAutosave = now;
        startGameSave();
        saveSlice();
    }
}
