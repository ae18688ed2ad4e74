// Start and Stop of the server: the UDP endpoint, the world and the account and entity
// lists built from the save folder on Start, saved on Stop and at exit, and everything a
// Start made released in one place after a Stop whose save succeeded.
#include <cstring>
#include <sodium.h>
#include <vector>

#include "core.h"
#include "operator/operator.h"
#include "save/save.h"
#include "sessions/sessions.h"
#include "world/world.h"

// Each account names its own entity: one that exists, and that no account before it in the
// list names. Any other index (from a folder whose entity file was lost, or never written)
// becomes none, and the account gets a new entity at its next login.
static void claimEntities() {
    int count = entityCount(world.entList);
    std::vector<char> claimed(size_t(count), 0);
    for (veskProfile* pro : arrayListItems<veskProfile>(sessions.profList)) {
        if (pro->entity < 0 || pro->entity >= count || claimed[size_t(pro->entity)])
            pro->entity = -1;
        else
            claimed[size_t(pro->entity)] = 1;
    }
}

// Chunks come first: entities are placed on them.
void initGame() {
    world.servOn = 1;
    world.terList = initArrayList(10, 8);
    int chunks = loadWorld(resPath("world").c_str(), world.terList);
    tracef("Load World: %d\n", chunks);
    if (chunks == 0)
        embedSpawnTer(world.terList, options.spawnR, 0, 0, options.terScale, options.terEdge);

    sessions.profList = initArrayList(10, 8);
    loadProfs(resPath("profiles").c_str(), sessions.profList);
    loadHomes(resPath("logins").c_str());

    world.entList = initArrayList(10, 8);
    int ents = loadEntityList(resPath("entities").c_str(), world.entList);
    tracef("entsLoaded: %d\n", ents);
    textBoxAddInt(logging.box, "entsLoaded (", ents);
    for (veskEntity* ent : arrayListItems<veskEntity>(world.entList))
        setveskGravity(ent->gravMem, world.terList);
    if (ents == -1) {
        const float start[3] = {5.0f, 1.0f, 5.0f};
        veskEntity* first = addDefaultEntity(world.entList, 1, start);
        setveskGravity(first->gravMem, world.terList);
    }
    claimEntities();
    clearMovedVerts(); // what the Start made is sent in the handshakes
}

void resetServer() {
    for (veskProfile* pro : std::vector<veskProfile*>(liveSessions()))
        sendDisconnect(pro); // told before it is forgotten
    closeControl();
    closeServ();
    dropSave();
    writeAccessListsNow(); // a change made just before the Stop is not lost
    resetSessions();
    resetWorld();
    resetLogLimits();
}

int startServer() {
    textBoxAddStr(logging.box, "Server: Starting");
    // Session keys and password salts come from the system's secure generator.
    if (sodium_init() < 0) {
        textBoxAddStr(logging.box, "Server: Start failed, no secure random source");
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
        traffic.mysocket, POLLIN, [](int, short, void*) { readWaitingDatagrams(); }, nullptr);
    saves.lastAutosave = saves.lastBackup = getTicks();
    startStatus();
    notifyReady();
    announceWarnings();
    return 1;
}

// The datagrams already arrived, the last status line and a whole save, which supersedes an
// autosave under way; a save tried again after a failed one says nothing more before it.
static int saveAtStop(int first = 1) {
    if (first) {
        // What has arrived is taken first: a handshake's last acknowledgement confirms its
        // account, which the save then keeps.
        if (traffic.mysocket >= 0) receiveDatagrams();
        confirmSessionsInGame(); // those the tick's hashes did not reach yet
        flushLogSummaries();
        logStatus();
        textBoxAddStr(logging.box, "Server: Stopping + Saving");
        notifyStopping();
    }
    dropSave();
    int saved = saveGame();
    char text[400];
    if (saved)
        snprintf(text, sizeof text, "saved: %d accounts, %d entities, %d chunks", saves.accounts,
                 saves.entities, saves.chunks);
    else
        snprintf(text, sizeof text, "error: the save failed (%s)", saves.saveFailure);
    answerSaveWaiters(saved, text);
    return saved;
}

// What is in memory is the only copy of every change since the last save: a Stop whose
// save fails keeps serving, and the next Stop tries again.
int stopServer() {
    if (!saveAtStop()) {
        textBoxAddf(logging.box, "Server: Save failed (%s), still serving", saves.saveFailure);
        return 0;
    }
    resetServer();
    return 1;
}

int stopOrKeepServing(int first) {
    if (!saveAtStop(first)) {
        if (first)
            textBoxAddf(logging.box,
                        "Server: Save failed (%s) at the stop, still serving; trying again every "
                        "%d s (a second signal stops without saving)",
                        saves.saveFailure, stopRetrySeconds);
        else
            textBoxAddf(logging.box, "Server: Save failed again (%s), still serving",
                        saves.saveFailure);
        return 0;
    }
    if (!first) textBoxAddStr(logging.box, "Server: Saved at last; stopping");
    tidyOldSaves(SIZE_MAX); // nothing else runs now
    resetServer();
    return 1;
}

void stopWithoutSaving() {
    textBoxAddStr(logging.box, "Server: Stopped without saving at a second signal; what changed "
                               "since the last save is lost");
    resetServer();
}

int quitServer() {
    if (!world.servOn) return 1;
    int saved = saveAtStop();
    if (!saved) textBoxAddf(logging.box, "Server: Save failed (%s) at quit", saves.saveFailure);
    tidyOldSaves(SIZE_MAX); // nothing else runs now
    resetServer();
    return saved;
}
