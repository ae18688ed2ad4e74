// The save files (accounts, entities, logins, world) and their folder: how files are made
// and synced without following links or losing the old ones, the files' records and the
// checks a loaded file must pass, the save of one moment written a slice a tick and
// committed all at once, the saves asked for and their answers, and the folder's lock.
// One record, `saves`, lives as long as the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

#include "files.h"
#include "loop.h"
#include "sessions/sessions.h"
#include "world/world.h"

struct byteWriter;

// A file written through a temporary file beside it.
struct safeFile {
    std::string path;
    std::string tmp;
    FILE* f;
};

enum { profilesFile, entitiesFile, homesFile, worldFile, saveFiles };

struct momentFile {
    std::string path;
    mode_t mode;
    const char* openError; // the trace line when its temporary file cannot be made
    safeFile temp;
    int open;
    size_t written;
};

// A save of one moment under way.
struct saveMoment {
    int active;
    momentFile files[saveFiles];
    std::vector<unsigned char> profiles, entities, homes;       // the whole files
    int chunkCount;                                             // terList's chunks at the moment
    int nextChunk;                                              // the next one to be encoded
    arrayListCursor<veskTerrain> chunks;                        // where it is in terList
    std::unordered_map<int, std::vector<unsigned char>> copies; // chunks changed before their turn
    std::vector<unsigned char> staged; // world bytes encoded, not yet written
    size_t stagedAt;
    int at; // the file being written
};

// Saves since the process started, for the metrics.
struct saveTotals {
    long long saved, failed;
    double lastSeconds; // the last save written, from its start to its end
};

// An operator waiting for a save.
struct saveWaiter {
    saveDone done; // null for a backup on the schedule: nobody waits
    void* context;
    int backup; // the save's files are to be backed up once it has committed
};

struct saveState {
    saveMoment moment;
    char saveFailure[320]; // why the last save failed: "<file>: <reason>"
    saveTotals totals;
    // The save under way: when it started, what it holds, whether an operator asked for it.
    double startMs;
    uint32_t lastAutosave;
    uint32_t lastBackup; // the schedule's
    int accounts, entities, chunks;
    int operatorSave;
    // Operators waiting: for the save under way, and for the next one.
    std::vector<saveWaiter> waitingForThis, waitingForNext;
    // The files saves replaced, let go of a little at a time.
    std::vector<std::string> oldFiles;
    // Damaged files that could not be copied aside: a save must not replace them, or their
    // only copy would be gone. The next load of the same path decides anew.
    std::vector<std::string> unkept;
    std::vector<std::string> setAside; // damaged files set aside since the last Start
    int lockFd = -1;                   // the save folder's, held while the process runs
};
extern saveState saves;

void noteFailure(const std::string& path, const char* why); // into saves.saveFailure

// --- saveFormats.cpp: the records of the files, and their checks ------------------------

// The records of the files, written where the writer is: a profile with the entity index
// it is saved with (516 bytes), an account's homes as the logins file holds them (its name,
// then each home's address and time: 304 bytes), a chunk (chunkRecordLen bytes), an entity
// (32 bytes).
constexpr size_t profRecordLen = 2 * textLen + 4;
constexpr size_t homeRecordLen = textLen + homesKept * 12;
constexpr size_t entFileRecordLen = 32;
static_assert(profRecordLen == 516 && homeRecordLen == 304);
void encodeProfileRecord(byteWriter* w, const veskProfile* pro, int32_t entity);
void encodeHomeRecord(byteWriter* w, const veskProfile* pro);
void encodeChunkRecord(byteWriter* w, const veskTerrain* ter);
void encodeEntityRecord(byteWriter* w, const veskEntity* ent);
// The unit direction a view looks in, and back: an entity's record keeps it.
void viewDirection(const float* rots, float* dir);
void rotsOfView(const float* dir, float* rots);
// Loading, once per Start: 1 when the profiles were read (0 when the file cannot be), the
// number of chunks read, the number of entities read (-1 when the file cannot be read).
int loadProfs(const char* dir, ArrayList* accounts);
int loadWorld(const char* dir, ArrayList* chunkList);
int loadEntityList(const char* dir, ArrayList* entities);
// Loaders from bytes already in memory; `name` names the file in messages.
int loadProfsFrom(const unsigned char* data, size_t len, const char* name, ArrayList* accounts);
int loadWorldFrom(const unsigned char* data, size_t len, const char* name, ArrayList* chunkList);
int loadEntitiesFrom(const unsigned char* data, size_t len, const char* name, ArrayList* entities);
// The checks and reads behind those loaders, which neither print nor write files: a check
// gives "" for sound bytes, or why they are not; a read takes only checked bytes and
// appends what they hold, giving its count.
const char* checkWorldBytes(const unsigned char* data, size_t len);
int readWorldBytes(const unsigned char* data, size_t len, ArrayList* chunkList);
const char* checkEntityBytes(const unsigned char* data, size_t len);
int readEntityBytes(const unsigned char* data, size_t len, ArrayList* entities);
// The logins file: each account's homes, given to the accounts of profList by name; the
// accounts found.
const char* checkHomeBytes(const unsigned char* data, size_t len);
int readHomeBytes(const unsigned char* data, size_t len);
int loadHomes(const char* path);
// The damaged files set aside since forgetFilesSetAside (called at Start): "world (kept
// as res/world.bad.2)" each, for the operator's figures.
const std::vector<std::string>& filesSetAside();
void forgetFilesSetAside();

// --- save.cpp: the save of one moment, and the saves asked for --------------------------

// A save of accounts, entities, logins and world as they are now, written by saveSome
// calls, at most `bytes` a call: 0 while more is to come, 1 when all the files were saved,
// -1 when the save failed (saves.saveFailure says why) and every old file was kept.
// Dropping an unfinished save keeps the old files.
void startSave();
int saveSome(size_t bytes);
int saveUnderWay();
void dropSave();
// The files a save replaced are let go of a part a call: 1 when none is left.
int tidyOldSaves(size_t bytes);
// At Start: a save committed before a stop is completed, and what an interrupted save left
// (temporary files, files a save replaced) is removed, each logged.
void recoverSaveFolder();
int saveGame(); // a whole save now; 1 when it was written (or there is no world to save)
// A save in the autosave's way, at the next tick (after one under way); `done` is called when
// it is written or failed, with the answer for the operator.
void requestSave(saveDone done, void* context);
void forgetSaveWaiter(void* context); // its asker has gone
// Everyone waiting for a save is answered with the result of one that just ended.
void answerSaveWaiters(int saved, const char* text);
// Once a tick: a save under way goes on a slice, or one is started when asked for or due,
// and the old files are let go of a little.
void serveSaves(uint32_t now);

// --- backup.cpp: backups of committed saves in backups/ ---------------------------------

// A save in the autosave's way, as requestSave, whose files are then backed up; the
// answer names the backup's folder.
void requestBackup(saveDone done, void* context);
// The files of the save that just committed into a new folder of backups/; 1 with what
// was made ("backups/2026-12-07T165000Z (4 files, linked)"), or 0 with why not.
int makeBackup(std::string* said);

// --- saveFolder.cpp: the folder -------------------------------------------------------

// Makes the default folder when it is missing, checks that the folder can be written (and
// by its owner alone) and locks it for this process; 0 with the reason when the server
// must not run on it.
int prepareSaveFolder(std::string* why);
// A file the window needs: in the save folder, else where the programs are installed; ""
// when neither has it.
std::string windowFile(const char* name);
