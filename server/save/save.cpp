// The save of one moment, written a slice a tick and committed all at once, and the saves
// asked for: the autosave when due, an operator's, and the whole save of a Stop.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bytes.h"
#include "save.h"

saveState saves;

void noteFailure(const std::string& path, const char* why) {
    snprintf(saves.saveFailure, sizeof saves.saveFailure, "%s: %s", path.c_str(), why);
}

static void copyBeforeChange(veskTerrain* ter);

// 1 when the temporary file is open, 0 when it cannot be created, -1 when the real file
// must not be replaced.
static int beginSave(safeFile* s, const char* path, mode_t mode) {
    s->path = path;
    s->tmp = s->path + ".tmp";
    if (std::find(saves.unkept.begin(), saves.unkept.end(), s->path) != saves.unkept.end()) {
        tracef("save of %s skipped: its damaged contents were not kept aside; the previous "
               "file is kept\n",
               path);
        noteFailure(s->path, "its damaged contents were not kept aside");
        return -1;
    }
    s->f = createFile(s->tmp.c_str(), mode);
    if (!s->f) noteFailure(s->tmp, strerror(errno));
    return s->f != nullptr;
}

// --- the save ---------------------------------------------------------------------------
// A save is one moment: the accounts, entities and logins are copied into memory in the
// tick it starts (a few kilobytes a player), the world is not. Its chunks are written from
// the live world a slice a tick; a chunk that a brush is about to change before its turn is
// copied first (the world's beforeChange hook), so that what is written is the chunk as it
// was at the moment, and chunks made after the moment are not part of it. The files are
// written to temporary files and synced; then a commit record naming them is written and
// synced, the files are renamed, and the record is removed, so that a crash leaves the old
// files or, once the record is there, a commit the next Start completes. A Stop or a quit
// writes the whole save at once. Nothing from the moment's accounts or entities can dangle:
// retired entities are left out and the accounts' indices follow.

namespace {

void copyOfMoment() {
    int profCount = arrayListGetLength(sessions.profList);
    int entCount = entityCount(world.entList);
    // Retired entities, and those of accounts not confirmed (which are not saved), are left
    // out; every other keeps its order, and the accounts' indices follow it.
    std::vector<int32_t> newIndex(size_t(entCount), -1);
    std::vector<char> leftOut(size_t(entCount), 0);
    for (const veskProfile* pro : pendingAccounts())
        if (pro->entity > 0 && pro->entity < entCount) leftOut[size_t(pro->entity)] = 1;
    int kept = 0;
    for (int i = 0; i < entCount; i++)
        if (!entityAt(world.entList, i)->retired && !leftOut[size_t(i)])
            newIndex[size_t(i)] = kept++;
    saves.moment.entities.clear();
    byteWriter w = appendTo(&saves.moment.entities, 4 + entFileRecordLen * size_t(kept));
    putIntLE(&w, kept);
    for (int i = 0; i < entCount; i++)
        if (newIndex[size_t(i)] >= 0) encodeEntityRecord(&w, entityAt(world.entList, i));
    saves.moment.profiles.clear();
    w = appendTo(&saves.moment.profiles, 4 + profRecordLen * size_t(profCount));
    putIntLE(&w, profCount);
    for (const veskProfile* pro : arrayListItems<veskProfile>(sessions.profList)) {
        int32_t e = pro->entity >= 0 && pro->entity < entCount ? newIndex[size_t(pro->entity)] : -1;
        encodeProfileRecord(&w, pro, e);
    }
    // The homes of the accounts that logged in.
    int homed = 0;
    for (const veskProfile* pro : arrayListItems<veskProfile>(sessions.profList))
        homed += pro->homes[0].when != 0;
    saves.moment.homes.clear();
    w = appendTo(&saves.moment.homes, 4 + homeRecordLen * size_t(homed));
    putIntLE(&w, homed);
    for (const veskProfile* pro : arrayListItems<veskProfile>(sessions.profList))
        if (pro->homes[0].when != 0) encodeHomeRecord(&w, pro);
}

// World bytes for the next write: the count first, then chunk records, from their copy
// if a brush changed them since the moment.
void stageWorld(size_t want) {
    saves.moment.staged.erase(saves.moment.staged.begin(),
                              saves.moment.staged.begin() + long(saves.moment.stagedAt));
    saves.moment.stagedAt = 0;
    if (saves.moment.files[worldFile].written == 0 && saves.moment.staged.empty() &&
        saves.moment.nextChunk == 0) {
        byteWriter count = appendTo(&saves.moment.staged, 4);
        putIntLE(&count, saves.moment.chunkCount);
    }
    while (saves.moment.staged.size() < want && saves.moment.nextChunk < saves.moment.chunkCount) {
        const veskTerrain* ter = arrayListNext(&saves.moment.chunks);
        auto copy = saves.moment.copies.find(saves.moment.nextChunk);
        if (copy != saves.moment.copies.end()) {
            saves.moment.staged.insert(saves.moment.staged.end(), copy->second.begin(),
                                       copy->second.end());
            saves.moment.copies.erase(copy);
        } else {
            byteWriter w = appendTo(&saves.moment.staged, size_t(chunkRecordLen(ter)));
            encodeChunkRecord(&w, ter);
        }
        saves.moment.nextChunk++;
    }
}

const std::vector<unsigned char>& fileBytes(int i) {
    return i == profilesFile ? saves.moment.profiles
           : i == homesFile  ? saves.moment.homes
                             : saves.moment.entities;
}

size_t fileLength(int i) {
    return fileBytes(i).size();
}

// Writes up to `budget` bytes of the file being written; the bytes written.
size_t writeSome(momentFile* f, size_t budget) {
    const unsigned char* data;
    size_t n;
    if (saves.moment.at == worldFile) {
        stageWorld(budget);
        data = saves.moment.staged.data();
        n = std::min(budget, saves.moment.staged.size());
        saves.moment.stagedAt = n;
    } else {
        const std::vector<unsigned char>& bytes = fileBytes(saves.moment.at);
        data = bytes.data() + f->written;
        n = std::min(budget, bytes.size() - f->written);
    }
    // The slice before has had a tick to reach the disk: synced now, it and the room it
    // took cost little, and the sync at the end finds almost nothing left to do.
    if (f->written > 0 && fdatasync(fileno(f->temp.f)) != 0) return SIZE_MAX;
    if (n > 0 && fwrite(data, 1, n, f->temp.f) != n) return SIZE_MAX;
    if (fflush(f->temp.f) != 0) return SIZE_MAX;
    // Handed to the disk at once, so that the sync at the end finds little left to do.
    sync_file_range(fileno(f->temp.f), off64_t(f->written), off64_t(n), SYNC_FILE_RANGE_WRITE);
    f->written += n;
    return n;
}

int fileDone(int i) {
    if (i != worldFile) return saves.moment.files[i].written == fileLength(i);
    return saves.moment.nextChunk == saves.moment.chunkCount &&
           saves.moment.stagedAt == saves.moment.staged.size();
}

// Whatever a save under way wrote: its temporary files go (those renamed are gone).
void removeTemps() {
    for (momentFile& f : saves.moment.files) {
        if (f.open) fclose(f.temp.f);
        if (!f.temp.tmp.empty()) remove(f.temp.tmp.c_str());
        f.open = 0;
        f.temp = safeFile{};
    }
}

// The file a save replaces is kept under another name and let go of a little at a time
// (tidyOldSaves): freeing a large file at once holds the system up for tens of ms.

std::string oldName(const std::string& path) {
    return path + ".old";
}

void keepAside(const std::string& path) {
    std::string old = oldName(path);
    if (std::find(saves.oldFiles.begin(), saves.oldFiles.end(), old) != saves.oldFiles.end()) {
        unlink(old.c_str()); // a save so soon after the last: let go of it at once
        std::erase(saves.oldFiles, old);
    }
    if (link(path.c_str(), old.c_str()) == 0) saves.oldFiles.push_back(old);
}

// A whole temporary file to the disk; 1, or 0 with saveFailure.
int syncTemp(momentFile* f) {
    int err = 0;
    if (ferror(f->temp.f) || fflush(f->temp.f) != 0 || fsync(fileno(f->temp.f)) != 0)
        err = errno ? errno : EIO;
    if (!err) return 1;
    noteFailure(f->path, strerror(err));
    return 0;
}

// Renames the temporary files a commit record names over their files, then removes the
// record: 1 when a commit was completed, 0 when there was none, -1 when a rename failed
// (the record stays, for the next try). `said` gets a log entry's text.
int completeCommit(std::string* said);

// The commit record of a save: the files whose temporary files are whole and synced, a name
// a line. While it exists, the save is committed: a Start that finds it renames what is left
// of those temporary files over their files, so that the files are of one moment, all new
// or (without the record) all old.
constexpr const char* commitName = "commit";
constexpr const char* commitHead = "quarn save commit 1";

int writeCommitRecord() {
    std::string text = std::string(commitHead) + "\n";
    for (const momentFile& f : saves.moment.files)
        text += f.path.substr(f.path.find_last_of('/') + 1) + "\n";
    std::string path = resPath(commitName);
    std::string tmp = path + ".tmp";
    FILE* f = createFile(tmp.c_str(), privateMode);
    int err = f ? 0 : errno;
    if (f && (fwrite(text.data(), 1, text.size(), f) != text.size() || fflush(f) != 0 ||
              fsync(fileno(f)) != 0))
        err = errno ? errno : EIO;
    if (f && fclose(f) != 0 && !err) err = errno;
    if (!err && rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (!err) {
        syncFolderOf(path);
        return 1;
    }
    unlink(tmp.c_str());
    noteFailure(path, strerror(err));
    return 0;
}

// All written and synced: committed, then renamed. 1, or 0 with saveFailure (and then the
// old files are all kept).
int renameAll() {
    for (momentFile& f : saves.moment.files) {
        int closed = fclose(f.temp.f) == 0;
        f.open = 0;
        if (!closed) {
            noteFailure(f.path, strerror(errno));
            return 0;
        }
    }
    if (!writeCommitRecord()) return 0;
    for (momentFile& f : saves.moment.files)
        keepAside(f.path);
    return completeCommit(nullptr) == 1;
}

int completeCommit(std::string* said) {
    std::string path = resPath(commitName);
    std::vector<unsigned char> data;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return 0;
    if (!S_ISREG(st.st_mode) || !readWholeFile(path.c_str(), &data)) {
        noteFailure(path, "not a commit record the server wrote");
        return -1;
    }
    std::string text(data.begin(), data.end());
    if (!text.starts_with(std::string(commitHead) + "\n")) {
        noteFailure(path, "not a commit record the server wrote");
        return -1;
    }
    std::string renamed;
    for (size_t at = text.find('\n') + 1; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string name = text.substr(at, end - at);
        at = end + 1;
        if (name != "profiles" && name != "entities" && name != "logins" && name != "world")
            continue; // no other file of the folder is ever renamed for a commit
        std::string file = resPath(name.c_str());
        std::string tmp = file + ".tmp";
        if (lstat(tmp.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue; // renamed already
        if (rename(tmp.c_str(), file.c_str()) != 0) {
            noteFailure(file, strerror(errno));
            return -1;
        }
        renamed += (renamed.empty() ? "" : ", ") + name;
    }
    syncFolderOf(path);
    unlink(path.c_str());
    syncFolderOf(path);
    if (said)
        *said = "Server: completed the save that was committed before it stopped" +
                (renamed.empty() ? std::string() : " (" + renamed + " renamed)");
    return 1;
}

} // namespace

void startSave() {
    dropSave();
    saves.moment.active = 1;
    saves.moment.files[profilesFile] =
        momentFile{resPath("profiles"), privateMode, "S Prof: error opening file", {}, 0, 0};
    saves.moment.files[entitiesFile] =
        momentFile{resPath("entities"), publicMode, "S Ents: error opening file", {}, 0, 0};
    // Where the players come from is theirs: only the server's user may read it.
    saves.moment.files[homesFile] =
        momentFile{resPath("logins"), privateMode, "S Logins: error opening file", {}, 0, 0};
    saves.moment.files[worldFile] =
        momentFile{resPath("world"), publicMode, "S Chunk: error opening file", {}, 0, 0};
    copyOfMoment();
    world.beforeChange = copyBeforeChange;
    saves.moment.chunkCount = chunkCount(world.terList);
    saves.moment.nextChunk = 0;
    saves.moment.chunks = arrayListCursor<veskTerrain>{world.terList, 0};
    saves.moment.at = 0;
}

int saveUnderWay() {
    return saves.moment.active;
}

void recoverSaveFolder() {
    std::string said;
    int committed = completeCommit(&said);
    if (committed == 1) textBoxAddStr(logging.box, said.c_str());
    if (committed < 0)
        textBoxAddf(logging.box,
                    "Server: a save committed before the last stop could not be completed (%s); "
                    "its files are left as they are",
                    saves.saveFailure);
    for (const char* name : {"profiles", "world", "entities", "logins", "bans", "allow", "commit"})
        for (const char* ending : {".tmp", ".old"}) {
            std::string path = resPath(name) + ending;
            struct stat st;
            // Only files: anything else there is not ours to remove.
            if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            if (committed < 0 && *ending == '.' && ending[1] == 't') continue;
            if (unlink(path.c_str()) != 0) continue;
            if (ending[1] == 't')
                textBoxAddf(logging.box, "Server: removed %s, left by a save that did not finish",
                            path.c_str());
            else
                textBoxAddf(logging.box,
                            "Server: removed %s, a file a save replaced that was still being let "
                            "go of when the server stopped",
                            path.c_str());
        }
}

int tidyOldSaves(size_t bytes) {
    while (!saves.oldFiles.empty()) {
        const std::string& old = saves.oldFiles.front();
        struct stat st;
        int fd = open(old.c_str(), O_WRONLY | O_CLOEXEC);
        // A file with another name (a backup's hard link) keeps its bytes: it is only unlinked.
        if (fd >= 0 && fstat(fd, &st) == 0 && st.st_nlink == 1 && size_t(st.st_size) > bytes) {
            int cut = ftruncate(fd, st.st_size - off_t(bytes));
            close(fd);
            if (cut == 0) return 0;
        } else if (fd >= 0) {
            close(fd);
        }
        unlink(old.c_str());
        saves.oldFiles.erase(saves.oldFiles.begin());
        if (bytes != SIZE_MAX) return saves.oldFiles.empty();
    }
    return 1;
}

void dropSave() {
    removeTemps();
    saves.moment.active = 0;
    world.beforeChange = nullptr;
    saves.moment.copies.clear();
    saves.moment.staged.clear();
    saves.moment.stagedAt = 0;
    // The copies of a large moment are kept for the next one: fresh memory costs more to
    // touch than the copy itself.
}

// Set as the world's hook while a save is under way.
static void copyBeforeChange(veskTerrain* ter) {
    int i = ter->listIndex; // beyond the moment's chunks: made after it
    if (!saves.moment.active || i < saves.moment.nextChunk || i >= saves.moment.chunkCount) return;
    if (saves.moment.copies.count(i)) return; // copied as it was at the moment already
    std::vector<unsigned char>& copy = saves.moment.copies[i];
    copy.clear();
    byteWriter w = appendTo(&copy, size_t(chunkRecordLen(ter)));
    encodeChunkRecord(&w, ter);
}

int saveSome(size_t bytes) {
    if (!saves.moment.active) return 1;
    // A commit a failed rename left is completed before new temporary files take its names.
    if (saves.moment.at == 0 && !saves.moment.files[0].open && completeCommit(nullptr) < 0) {
        dropSave();
        return -1;
    }
    for (size_t budget = bytes; saves.moment.at < saveFiles;) {
        momentFile* f = &saves.moment.files[saves.moment.at];
        if (!f->open) {
            // Each file's writing is traced as it starts, as a whole save's always was.
            if (saves.moment.at == profilesFile) traceLine("saveProfs()");
            if (saves.moment.at == worldFile) traceLine("saveChunks()");
            if (saves.moment.at == profilesFile || saves.moment.at == worldFile)
                tracef("total: %d\n", saves.moment.at == worldFile
                                          ? saves.moment.chunkCount
                                          : int(saves.moment.profiles.size() / profRecordLen));
            int began = beginSave(&f->temp, f->path.c_str(), f->mode);
            if (began <= 0) {
                if (began == 0) traceLine(f->openError);
                dropSave();
                return -1;
            }
            f->open = 1;
        }
        if (fileDone(saves.moment.at)) {
            // Synced as soon as it is whole, each file in a call of its own unless the
            // whole save is written at once: a sync costs a few ms.
            if (!syncTemp(f)) {
                dropSave();
                return -1;
            }
            saves.moment.at++;
            if (bytes != SIZE_MAX) return 0;
            continue;
        }
        if (budget == 0) return 0;
        size_t n = writeSome(f, budget);
        if (n == SIZE_MAX) {
            noteFailure(f->temp.tmp, strerror(errno));
            dropSave();
            return -1;
        }
        budget -= n;
    }
    int saved = renameAll();
    dropSave();
    return saved ? 1 : -1;
}

// --- the saves asked for ---------------------------------------------------------------

// A save writes this much a tick (a world of 3,000 chunks takes ten ticks), and the files it
// replaced are let go of at this pace.
constexpr size_t autosaveSliceBytes = 1 << 20;
constexpr size_t oldFileSliceBytes = 2 << 20;

// Counts a save that ended: 1 written, else failed.
static void countSave(int written) {
    saves.totals.saved += written;
    saves.totals.failed += !written;
    if (written) saves.totals.lastSeconds = (steadyMs() - saves.startMs) / 1000;
}

static void startGameSave() {
    saves.startMs = steadyMs();
    saves.accounts = arrayListGetLength(sessions.profList);
    saves.entities = entityCount(world.entList);
    saves.chunks = chunkCount(world.terList);
    startSave();
}

int saveGame() {
    if (!sessions.profList || !world.terList || !world.entList) return 1;
    tracef("profList: %p\n", static_cast<void*>(sessions.profList));
    startGameSave();
    int saved = saveSome(SIZE_MAX) == 1;
    countSave(saved);
    return saved;
}

void requestSave(saveDone done, void* context) {
    saves.waitingForNext.push_back(saveWaiter{done, context, 0});
}

void forgetSaveWaiter(void* context) {
    auto asked = [context](const saveWaiter& w) { return w.context == context; };
    std::erase_if(saves.waitingForThis, asked);
    std::erase_if(saves.waitingForNext, asked);
}

// Those who asked for a backup have one made of the save that committed, one for them all.
static void answerWaiters(std::vector<saveWaiter>* waiting, int saved, const char* text) {
    std::vector<saveWaiter> now;
    now.swap(*waiting);
    int backedUp = -1;
    std::string backupText;
    for (const saveWaiter& w : now) {
        if (w.backup && saved && backedUp < 0) {
            std::string said;
            backedUp = makeBackup(&said);
            backupText = backedUp ? "backup in " + said + "; " + text
                                  : "error: the backup failed (" + said + ")";
            if (!backedUp) textBoxAddf(logging.box, "Backup: failed (%s)", said.c_str());
        }
        if (!w.done) continue;
        if (w.backup && saved)
            w.done(w.context, backedUp, backupText.c_str());
        else
            w.done(w.context, saved, text);
    }
}

void answerSaveWaiters(int saved, const char* text) {
    answerWaiters(&saves.waitingForThis, saved, text);
    answerWaiters(&saves.waitingForNext, saved, text);
}

// Goes on with a save under way; reports it when it is over.
static void saveSlice() {
    int done = saveSome(autosaveSliceBytes);
    if (done == 0) return;
    countSave(done == 1);
    const char* kind = saves.operatorSave ? "Save" : "Autosave";
    char text[400];
    if (done == 1) {
        snprintf(text, sizeof text, "%s: %d accounts, %d entities, %d chunks, %u ms", kind,
                 saves.accounts, saves.entities, saves.chunks, getTicks() - saves.lastAutosave);
        textBoxAddStr(logging.box, text);
    } else {
        snprintf(text, sizeof text, "%s: failed (%s)", kind, saves.saveFailure);
        if (saves.operatorSave)
            textBoxAddStr(logging.box, text);
        else
            textBoxAddf(logging.box, "%s, trying again in %d s", text, options.autosaveSeconds);
    }
    answerWaiters(&saves.waitingForThis, done == 1, text);
}

void serveSaves(uint32_t now) {
    tidyOldSaves(oldFileSliceBytes);
    if (options.backupEveryHours > 0 &&
        now - saves.lastBackup >= uint32_t(options.backupEveryHours) * 3600000u) {
        saves.lastBackup = now;
        requestBackup(nullptr, nullptr);
    }
    if (saveUnderWay()) {
        saveSlice();
    } else if (!saves.waitingForNext.empty() ||
               (options.autosaveSeconds > 0 &&
                now - saves.lastAutosave >= uint32_t(options.autosaveSeconds) * 1000u)) {
        saves.operatorSave = std::any_of(saves.waitingForNext.begin(), saves.waitingForNext.end(),
                                         [](const saveWaiter& w) { return w.done != nullptr; });
        saves.waitingForThis.swap(saves.waitingForNext);
        saves.lastAutosave = now;
        startGameSave();
        saveSlice();
    }
}
