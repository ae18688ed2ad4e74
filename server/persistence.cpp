// The three save files: accounts, world and entities, little-endian with no header.
// A save goes to temporary files beside the real ones, is flushed and synced, and only
// then renamed over them, so an interrupted save leaves the old files whole. A load reads
// the whole file and checks every count against the bytes present before it creates
// anything; a file that does not add up is kept aside as "<file>.bad" and not loaded
// (and, when that copy cannot be made, never saved over).
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "bytes.h"
#include "veskServer.h"

constexpr size_t profRecordLen = 2 * textLen + 4;
// A name and its homes: each an IPv4 address (4 bytes, network order) and a time (8 bytes).
constexpr size_t homeRecordLen = textLen + homesKept * 12;
static_assert(homeRecordLen == 304);
// modelIndex, scale, position and moveVect: 4 + 4 + 12 + 12 bytes.
constexpr size_t entFileRecordLen = 32;

// --- saving ----------------------------------------------------------------------------

// Writes through a temporary file; 1 when the real file now holds the new contents.
struct safeFile {
    std::string path;
    std::string tmp;
    FILE* f;
};

// Damaged files that could not be copied aside: a save must not replace them, or their
// only copy would be gone. The next load of the same path decides anew.
static std::vector<std::string> unkept;

static void markUnkept(const char* path, int on) {
    std::erase(unkept, std::string(path));
    if (on) unkept.push_back(path);
}

// Accounts hold password hashes, and logins where players come from: only the server's own
// user may read them, whatever the umask. The world and the entities are written with the
// umask's leave (0644 under the usual 022; 0600 under a hardened service's 0077).
constexpr mode_t privateMode = 0600;
constexpr mode_t publicMode = 0644;

int createNewFile(const char* path, mode_t mode) {
    // A name in the save folder is never followed elsewhere, and never taken over.
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 && mode == privateMode && fchmod(fd, mode) != 0) {
        int err = errno;
        close(fd);
        unlink(path);
        errno = err;
        return -1;
    }
    return fd;
}

// A temporary file made afresh: whatever had its name (left by a crash, or planted) goes
// first; unlink removes a link itself, never what it points at.
static FILE* createFile(const char* path, mode_t mode) {
    if (unlink(path) != 0 && errno != ENOENT) return nullptr;
    int fd = createNewFile(path, mode);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, "wb");
    if (!f) close(fd);
    return f;
}

char saveFailure[320] = "";

static void noteFailure(const std::string& path, const char* why) {
    snprintf(saveFailure, sizeof saveFailure, "%s: %s", path.c_str(), why);
}

// 1 when the temporary file is open, 0 when it cannot be created, -1 when the real file
// must not be replaced.
static int beginSave(safeFile* s, const char* path, mode_t mode) {
    s->path = path;
    s->tmp = s->path + ".tmp";
    if (std::find(unkept.begin(), unkept.end(), s->path) != unkept.end()) {
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

// Flushes, syncs, closes and renames the temporary file over the real one; 1 when the
// real file now holds the new contents, else 0 with the temporary file removed.
static int finishSave(safeFile* s) {
    int err = 0;
    if (ferror(s->f) || fflush(s->f) != 0 || fsync(fileno(s->f)) != 0) err = errno ? errno : EIO;
    if (fclose(s->f) != 0 && !err) err = errno;
    if (!err && rename(s->tmp.c_str(), s->path.c_str()) != 0) err = errno;
    if (!err) return 1;
    tracef("save of %s failed (%s); the previous file is kept\n", s->path.c_str(), strerror(err));
    noteFailure(s->path, strerror(err));
    remove(s->tmp.c_str());
    return 0;
}

static void syncFolderOf(const std::string& path) {
    // A rename lives in the directory: sync it too, or a power loss could bring the
    // previous file back.
    std::string dir = path.substr(0, path.find_last_of('/') + 1);
    int fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

int saveTextFile(const char* path, const std::string& text) {
    safeFile s;
    if (beginSave(&s, path, privateMode) <= 0) return 0;
    fwrite(text.data(), 1, text.size(), s.f);
    if (!finishSave(&s)) return 0;
    syncFolderOf(s.path);
    return 1;
}

// --- the bytes of the files ------------------------------------------------------------

void encodeProfileRecord(byteWriter* w, const veskProfile* pro, int32_t entity) {
    putBytes(w, pro->username, textLen);
    putBytes(w, pro->password, textLen);
    putIntLE(w, entity);
}

void encodeHomeRecord(byteWriter* w, const veskProfile* pro) {
    putBytes(w, pro->username, textLen);
    for (const loginHome& h : pro->homes) {
        putBytes(w, &h.addr, 4);
        putInt64LE(w, h.when);
    }
}

void encodeChunkRecord(byteWriter* w, const veskTerrain* ter) {
    putIntLE(w, ter->numVerts);
    putIntLE(w, ter->numFaces);
    putIntLE(w, ter->chunkCoords[0]);
    putIntLE(w, ter->chunkCoords[1]);
    putBytes(w, ter->verts, sizeof(vertTex) * size_t(ter->numVerts));
    putBytes(w, ter->faces, 12 * size_t(ter->numFaces));
}

// The unit direction of a view turned by rots: forward, pitched about x, then turned about y.
void viewDirection(const float* rots, float* dir) {
    double pitch = rots[0], yaw = rots[1];
    dir[0] = float(std::cos(pitch) * std::sin(yaw));
    dir[1] = float(0.0 - std::sin(pitch)); // +0 when level, never -0
    dir[2] = float(std::cos(pitch) * std::cos(yaw));
}

// The rots whose viewDirection is `dir` (yaw in (-pi, pi], pitch in [-pi/2, pi/2]); a
// zero direction gives none.
void rotsOfView(const float* dir, float* rots) {
    double horizontal = std::hypot(double(dir[0]), double(dir[2]));
    rots[0] = float(std::atan2(-double(dir[1]), horizontal));
    rots[1] = horizontal > 0 ? float(std::atan2(double(dir[0]), double(dir[2]))) : 0.0f;
    rots[2] = 0;
}

// An entity as the file holds it: its model, scale, place relative to the centre of
// chunk (0, 0), and, where a moving entity's record holds the direction of its motion,
// the direction it looks in (it is saved at rest, so its motion has no direction).
void encodeEntityRecord(byteWriter* w, const veskEntity* ent) {
    const veskGravity* g = ent->gravMem;
    float centre[2];
    terToWorldNew(g->chunkCoords[0], g->chunkCoords[1], &centre[0], &centre[1], terScale);
    float place[3] = {g->position[0] + centre[0], g->position[1], g->position[2] + centre[1]};
    float view[3];
    viewDirection(g->rots, view);
    putIntLE(w, ent->modelIndex);
    putFloatsLE(w, &ent->scale, 1);
    putFloatsLE(w, place, 3);
    putFloatsLE(w, view, 3);
}

// --- the save --------------------------------------------------------------------------
// A save is one moment: the accounts and the entities are copied into memory in the tick
// it starts (a few kilobytes a player), the world is not. Its chunks are written from the
// live world a slice a tick; a chunk that a brush is about to change before its turn is
// copied first (chunkWillChange), so that what is written is the chunk as it was at the
// moment, and chunks made after the moment are not part of it. The three files are
// written to temporary files, synced, and only then renamed, all three together; a Stop
// or a quit writes the whole save at once. Nothing from the moment's accounts or entities
// can dangle: retired entities are left out and the accounts' indices follow.

namespace {

enum { profilesFile, entitiesFile, homesFile, worldFile, saveFiles };

struct momentFile {
    std::string path;
    mode_t mode;
    const char* openError; // the trace line when its temporary file cannot be made
    safeFile temp;
    int open;
    size_t written;
};

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

saveMoment moment;

void copyOfMoment() {
    int profCount = arrayListGetLength(profList);
    int entCount = entityCount(entList);
    // Retired entities, and those of accounts not confirmed (which are not saved), are left
    // out; every other keeps its order, and the accounts' indices follow it.
    std::vector<int32_t> newIndex(size_t(entCount), -1);
    std::vector<char> leftOut(size_t(entCount), 0);
    for (const veskProfile* pro : pendingAccounts())
        if (pro->entity > 0 && pro->entity < entCount) leftOut[size_t(pro->entity)] = 1;
    int kept = 0;
    for (int i = 0; i < entCount; i++)
        if (!entityAt(entList, i)->retired && !leftOut[size_t(i)]) newIndex[size_t(i)] = kept++;
    moment.entities.clear();
    byteWriter w = appendTo(&moment.entities, 4 + entFileRecordLen * size_t(kept));
    putIntLE(&w, kept);
    for (int i = 0; i < entCount; i++)
        if (newIndex[size_t(i)] >= 0) encodeEntityRecord(&w, entityAt(entList, i));
    moment.profiles.clear();
    w = appendTo(&moment.profiles, 4 + profRecordLen * size_t(profCount));
    putIntLE(&w, profCount);
    for (const veskProfile* pro : arrayListItems<veskProfile>(profList)) {
        int32_t e = pro->entity >= 0 && pro->entity < entCount ? newIndex[size_t(pro->entity)] : -1;
        encodeProfileRecord(&w, pro, e);
    }
    // The homes of the accounts that logged in.
    int homed = 0;
    for (const veskProfile* pro : arrayListItems<veskProfile>(profList))
        homed += pro->homes[0].when != 0;
    moment.homes.clear();
    w = appendTo(&moment.homes, 4 + homeRecordLen * size_t(homed));
    putIntLE(&w, homed);
    for (const veskProfile* pro : arrayListItems<veskProfile>(profList))
        if (pro->homes[0].when != 0) encodeHomeRecord(&w, pro);
}

// World bytes for the next write: the count first, then chunk records, from their copy
// if a brush changed them since the moment.
void stageWorld(size_t want) {
    moment.staged.erase(moment.staged.begin(), moment.staged.begin() + long(moment.stagedAt));
    moment.stagedAt = 0;
    if (moment.files[worldFile].written == 0 && moment.staged.empty() && moment.nextChunk == 0) {
        byteWriter count = appendTo(&moment.staged, 4);
        putIntLE(&count, moment.chunkCount);
    }
    while (moment.staged.size() < want && moment.nextChunk < moment.chunkCount) {
        const veskTerrain* ter = arrayListNext(&moment.chunks);
        auto copy = moment.copies.find(moment.nextChunk);
        if (copy != moment.copies.end()) {
            moment.staged.insert(moment.staged.end(), copy->second.begin(), copy->second.end());
            moment.copies.erase(copy);
        } else {
            byteWriter w = appendTo(&moment.staged, size_t(chunkRecordLen(ter)));
            encodeChunkRecord(&w, ter);
        }
        moment.nextChunk++;
    }
}

const std::vector<unsigned char>& fileBytes(int i) {
    return i == profilesFile ? moment.profiles : i == homesFile ? moment.homes : moment.entities;
}

size_t fileLength(int i) {
    return fileBytes(i).size();
}

// Writes up to `budget` bytes of the file being written; the bytes written.
size_t writeSome(momentFile* f, size_t budget) {
    const unsigned char* data;
    size_t n;
    if (moment.at == worldFile) {
        stageWorld(budget);
        data = moment.staged.data();
        n = std::min(budget, moment.staged.size());
        moment.stagedAt = n;
    } else {
        const std::vector<unsigned char>& bytes = fileBytes(moment.at);
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
    if (i != worldFile) return moment.files[i].written == fileLength(i);
    return moment.nextChunk == moment.chunkCount && moment.stagedAt == moment.staged.size();
}

// Whatever a save under way wrote: its temporary files go (those renamed are gone).
void removeTemps() {
    for (momentFile& f : moment.files) {
        if (f.open) fclose(f.temp.f);
        if (!f.temp.tmp.empty()) remove(f.temp.tmp.c_str());
        f.open = 0;
        f.temp = safeFile{};
    }
}

// The file a save replaces is kept under another name and let go of a little at a time
// (tidyOldSaves): freeing a large file at once holds the system up for tens of ms.
std::vector<std::string> oldFiles;

std::string oldName(const std::string& path) {
    return path + ".old";
}

void keepAside(const std::string& path) {
    std::string old = oldName(path);
    if (std::find(oldFiles.begin(), oldFiles.end(), old) != oldFiles.end()) {
        unlink(old.c_str()); // a save so soon after the last: let go of it at once
        std::erase(oldFiles, old);
    }
    if (link(path.c_str(), old.c_str()) == 0) oldFiles.push_back(old);
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
    for (const momentFile& f : moment.files)
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
    for (momentFile& f : moment.files) {
        int closed = fclose(f.temp.f) == 0;
        f.open = 0;
        if (!closed) {
            noteFailure(f.path, strerror(errno));
            return 0;
        }
    }
    if (!writeCommitRecord()) return 0;
    for (momentFile& f : moment.files)
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

void startSave(const char* profPath, const char* entPath, const char* worldPath) {
    dropSave();
    moment.active = 1;
    moment.files[profilesFile] =
        momentFile{profPath, privateMode, "S Prof: error opening file", {}, 0, 0};
    moment.files[entitiesFile] =
        momentFile{entPath, publicMode, "S Ents: error opening file", {}, 0, 0};
    // Where the players come from is theirs: only the server's user may read it.
    moment.files[homesFile] =
        momentFile{resPath("logins"), privateMode, "S Logins: error opening file", {}, 0, 0};
    moment.files[worldFile] =
        momentFile{worldPath, publicMode, "S Chunk: error opening file", {}, 0, 0};
    copyOfMoment();
    moment.chunkCount = chunkCount(terList);
    moment.nextChunk = 0;
    moment.chunks = arrayListCursor<veskTerrain>{terList, 0};
    moment.at = 0;
}

int saveUnderWay() {
    return moment.active;
}

void recoverSaveFolder() {
    std::string said;
    int committed = completeCommit(&said);
    if (committed == 1) textBoxAddStr(tb, said.c_str());
    if (committed < 0)
        textBoxAddf(tb,
                    "Server: a save committed before the last stop could not be completed (%s); "
                    "its files are left as they are",
                    saveFailure);
    for (const char* name : {"profiles", "world", "entities", "logins", "bans", "allow", "commit"})
        for (const char* ending : {".tmp", ".old"}) {
            std::string path = resPath(name) + ending;
            struct stat st;
            // Only files: anything else there is not ours to remove.
            if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            if (committed < 0 && *ending == '.' && ending[1] == 't') continue;
            if (unlink(path.c_str()) != 0) continue;
            if (ending[1] == 't')
                textBoxAddf(tb, "Server: removed %s, left by a save that did not finish",
                            path.c_str());
            else
                textBoxAddf(tb,
                            "Server: removed %s, a file a save replaced that was still being let "
                            "go of when the server stopped",
                            path.c_str());
        }
}

int tidyOldSaves(size_t bytes) {
    while (!oldFiles.empty()) {
        const std::string& old = oldFiles.front();
        struct stat st;
        int fd = open(old.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0 && fstat(fd, &st) == 0 && size_t(st.st_size) > bytes) {
            int cut = ftruncate(fd, st.st_size - off_t(bytes));
            close(fd);
            if (cut == 0) return 0;
        } else if (fd >= 0) {
            close(fd);
        }
        unlink(old.c_str());
        oldFiles.erase(oldFiles.begin());
        if (bytes != SIZE_MAX) return oldFiles.empty();
    }
    return 1;
}

void dropSave() {
    removeTemps();
    moment.active = 0;
    moment.copies.clear();
    moment.staged.clear();
    moment.stagedAt = 0;
    // The copies of a large moment are kept for the next one: fresh memory costs more to
    // touch than the copy itself.
}

void chunkWillChange(veskTerrain* ter) {
    ter->mapVersion = ++worldVersion;
    int i = ter->listIndex; // beyond the moment's chunks: made after it
    if (!moment.active || i < moment.nextChunk || i >= moment.chunkCount) return;
    if (moment.copies.count(i)) return; // copied as it was at the moment already
    std::vector<unsigned char>& copy = moment.copies[i];
    copy.clear();
    byteWriter w = appendTo(&copy, size_t(chunkRecordLen(ter)));
    encodeChunkRecord(&w, ter);
}

int saveSome(size_t bytes) {
    if (!moment.active) return 1;
    // A commit a failed rename left is completed before new temporary files take its names.
    if (moment.at == 0 && !moment.files[0].open && completeCommit(nullptr) < 0) {
        dropSave();
        return -1;
    }
    for (size_t budget = bytes; moment.at < saveFiles;) {
        momentFile* f = &moment.files[moment.at];
        if (!f->open) {
            // Each file's writing is traced as it starts, as a whole save's always was.
            if (moment.at == profilesFile) traceLine("saveProfs()");
            if (moment.at == worldFile) traceLine("saveChunks()");
            if (moment.at == profilesFile || moment.at == worldFile)
                tracef("total: %d\n", moment.at == worldFile
                                          ? moment.chunkCount
                                          : int(moment.profiles.size() / profRecordLen));
            int began = beginSave(&f->temp, f->path.c_str(), f->mode);
            if (began <= 0) {
                if (began == 0) traceLine(f->openError);
                dropSave();
                return -1;
            }
            f->open = 1;
        }
        if (fileDone(moment.at)) {
            // Synced as soon as it is whole, each file in a call of its own unless the
            // whole save is written at once: a sync costs a few ms.
            if (!syncTemp(f)) {
                dropSave();
                return -1;
            }
            moment.at++;
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

// --- loading ---------------------------------------------------------------------------

int readWholeFile(const char* path, std::vector<unsigned char>* out) {
    FILE* f = fopen(path, "rb");
    if (!f) return 0;
    unsigned char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        out->insert(out->end(), chunk, chunk + n);
    int ok = !ferror(f);
    fclose(f);
    return ok;
}

// Reports a file that does not add up and copies it aside before a save can replace it;
// when the copy cannot be made whole, saves leave the file alone. The copy may hold
// accounts, so only the server's own user may read it.
static std::vector<std::string> setAside; // since the last Start

const std::vector<std::string>& filesSetAside() {
    return setAside;
}

void forgetFilesSetAside() {
    setAside.clear();
}

// A copy of its own for every damaged file: "<file>.bad", then "<file>.bad.2" and on.
static FILE* badCopy(const char* name, std::string* path) {
    for (int n = 1; n <= 1000; n++) {
        *path = std::string(name) + ".bad" + (n > 1 ? "." + std::to_string(n) : "");
        int fd = createNewFile(path->c_str(), privateMode);
        if (fd < 0 && errno == EEXIST) continue;
        FILE* f = fd < 0 ? nullptr : fdopen(fd, "wb");
        if (fd >= 0 && !f) close(fd);
        return f;
    }
    errno = EEXIST;
    return nullptr;
}

static void rejectFile(const char* name, const unsigned char* data, size_t len, const char* why) {
    std::string bad;
    FILE* f = badCopy(name, &bad);
    int kept = f != nullptr;
    if (f) {
        if (len > 0) kept = fwrite(data, 1, len, f) == len;
        kept = fflush(f) == 0 && fsync(fileno(f)) == 0 && kept;
        kept = fclose(f) == 0 && kept;
    }
    int err = errno;
    if (f && !kept) remove(bad.c_str()); // a partial copy would pass for the whole file
    // An operator's log entry rather than a trace line: it must be seen in quiet running.
    if (kept)
        textBoxAddf(tb, "Corrupt save file %s (%s): not loaded, kept as %s", name, why,
                    bad.c_str());
    else
        textBoxAddf(tb,
                    "Corrupt save file %s (%s): not loaded, cannot be kept as %s (%s), so it "
                    "will not be saved over",
                    name, why, bad.c_str(), strerror(err));
    markUnkept(name, !kept);
    std::string shortName = std::string(name).substr(std::string(name).find_last_of('/') + 1);
    setAside.push_back(kept ? shortName + " (kept as " + bad + ")" : shortName + " (not kept)");
}

// Reads a whole save file and hands its bytes to `load`; `missing` when it cannot be read.
static int loadFile(const char* path, ArrayList* list, const char* openError, int missing,
                    int (*load)(const unsigned char*, size_t, const char*, ArrayList*)) {
    std::vector<unsigned char> data;
    markUnkept(path, 0);
    if (!readWholeFile(path, &data)) {
        traceLine(openError);
        return missing;
    }
    return load(data.data(), data.size(), path, list);
}

static int finite3(const float* v) {
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

int loadProfsFrom(const unsigned char* data, size_t len, const char* name, ArrayList* profList) {
    byteReader r = makeReader(data, len);
    int32_t n = readIntLE(&r);
    if (r.overread || n < 0 || size_t(n) != bytesLeft(&r) / profRecordLen ||
        bytesLeft(&r) % profRecordLen != 0) {
        rejectFile(name, data, len, "size does not match the account count");
        return 0;
    }
    tracef("current: %d\n", arrayListGetLength(profList));
    tracef("total: %d\n", n);
    // The accounts already in the list are overwritten in place, the rest appended.
    arrayListCursor<veskProfile> have{profList, 0};
    for (int i = 0; i < n; i++) {
        veskProfile* pro = arrayListNext(&have);
        if (!pro) {
            pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
            have.block = arrayListAddEndPointerFrom(have.block, pro);
            have.at = have.block->filled;
        }
        memcpy(pro->username, readBytes(&r, textLen), textLen);
        memcpy(pro->password, readBytes(&r, textLen), textLen);
        pro->entity = readIntLE(&r);
        pro->stage = psNotConn;
        pro->curCounter = 0;
        pro->oldCounter = 0;
        pro->failCount = 0;
        pro->confirmed = 1; // saved accounts were confirmed, or come from before confirmation
    }
    forgetAccountIndex(); // names may have been overwritten in place
    return 1;
}

const char* checkHomeBytes(const unsigned char* data, size_t len) {
    byteReader r = makeReader(data, len);
    int32_t n = readIntLE(&r);
    if (r.overread || n < 0 || size_t(n) != bytesLeft(&r) / homeRecordLen ||
        bytesLeft(&r) % homeRecordLen != 0)
        return "size does not match the record count";
    for (int32_t i = 0; i < n; i++) {
        readBytes(&r, textLen);
        for (int h = 0; h < homesKept; h++) {
            readBytes(&r, 4);
            int64_t when;
            memcpy(&when, readBytes(&r, 8), 8);
            if (when < 0) return "a login time before 1970";
        }
    }
    return "";
}

int readHomeBytes(const unsigned char* data, size_t len) {
    byteReader r = makeReader(data, len);
    int32_t n = readIntLE(&r);
    int found = 0;
    for (int32_t i = 0; i < n; i++) {
        const unsigned char* name = readBytes(&r, textLen);
        loginHome homes[homesKept];
        for (loginHome& h : homes) {
            memcpy(&h.addr, readBytes(&r, 4), 4);
            memcpy(&h.when, readBytes(&r, 8), 8);
        }
        unsigned char field[textLen + 1] = {}; // a name that fills its field still ends
        memcpy(field, name, textLen);
        veskProfile* pro = accountNamed(field);
        if (!pro) continue; // an account removed since
        memcpy(pro->homes, homes, sizeof homes);
        found++;
    }
    return found;
}

static int loadHomesFrom(const unsigned char* data, size_t len, const char* name, ArrayList*) {
    const char* why = checkHomeBytes(data, len);
    if (*why) {
        rejectFile(name, data, len, why);
        return 0;
    }
    return readHomeBytes(data, len);
}

int loadHomes(const char* path) {
    return loadFile(path, nullptr, "L Logins: no file", 0, loadHomesFrom);
}

int loadProfs(const char* dir, ArrayList* profList) {
    return loadFile(dir, profList, "L Profs: error opening file", 0, loadProfsFrom);
}

// Chunk coordinates are differenced and summed in int wherever chunks are compared. A
// world walked one chunk a tick never comes near this; only a damaged file goes beyond.
constexpr int32_t maxChunkCoord = 1 << 24;

// Checks one chunk record without creating anything; "" when it is sound.
static const char* checkChunk(byteReader* r) {
    int32_t v = readIntLE(r);
    int32_t f = readIntLE(r);
    int32_t cx = readIntLE(r);
    int32_t cy = readIntLE(r);
    if (r->overread) return "cut inside a chunk head";
    if (v < 0 || f < 0) return "negative vertex or face count";
    if (cx < -maxChunkCoord || cx > maxChunkCoord || cy < -maxChunkCoord || cy > maxChunkCoord)
        return "chunk coordinates out of range";
    if (uint64_t(v) * 16 + uint64_t(f) * 12 > bytesLeft(r)) return "chunk longer than the file";
    for (int32_t i = 0; i < v; i++) {
        float loc[3];
        readFloatsLE(r, loc, 3);
        readIntLE(r);
        if (!finite3(loc)) return "vertex position not a finite number";
    }
    for (int64_t i = 0; i < int64_t(f) * 3; i++) {
        int32_t index = readIntLE(r);
        if (index < 0 || index >= v) return "face index outside the chunk's vertices";
    }
    return "";
}

// With `trace`, each chunk's address goes to the trace as it is created.
static veskTerrain* readChunk(byteReader* r, int trace) {
    veskTerrain* ter = static_cast<veskTerrain*>(calloc(1, sizeof(veskTerrain)));
    ter->movedVerts = initArrayList(10, 4);
    if (trace) tracef("chunk: %p\n", static_cast<void*>(ter));
    ter->numVerts = readIntLE(r);
    ter->numFaces = readIntLE(r);
    ter->chunkCoords[0] = readIntLE(r);
    ter->chunkCoords[1] = readIntLE(r);
    ter->maxVerts = ter->numVerts;
    ter->maxFaces = ter->numFaces;
    ter->verts = static_cast<vertTex*>(calloc(size_t(ter->numVerts) + 1, sizeof(vertTex)));
    ter->faces = static_cast<int32_t*>(calloc(size_t(ter->numFaces) * 3 + 1, sizeof(int32_t)));
    memcpy(ter->verts, readBytes(r, sizeof(vertTex) * size_t(ter->numVerts)),
           sizeof(vertTex) * size_t(ter->numVerts));
    memcpy(ter->faces, readBytes(r, 12 * size_t(ter->numFaces)), 12 * size_t(ter->numFaces));
    return ter;
}

const char* checkWorldBytes(const unsigned char* data, size_t len) {
    byteReader r = makeReader(data, len);
    int32_t t = readIntLE(&r);
    if (r.overread) return "cut inside the chunk count";
    if (t < 0 || uint64_t(t) * chunkHeadLen > bytesLeft(&r))
        return "chunk count larger than the file";
    // Every record must add up, coordinates must be unique, and the records must end
    // exactly where the file does.
    std::vector<uint64_t> seen;
    for (int32_t i = 0; i < t; i++) {
        size_t at = r.pos;
        const char* why = checkChunk(&r);
        if (*why) return why;
        int32_t cx, cy;
        memcpy(&cx, data + at + 8, 4);
        memcpy(&cy, data + at + 12, 4);
        seen.push_back(uint64_t(uint32_t(cx)) << 32 | uint32_t(cy));
    }
    if (bytesLeft(&r) != 0) return "bytes after the last chunk";
    std::sort(seen.begin(), seen.end());
    if (std::adjacent_find(seen.begin(), seen.end()) != seen.end())
        return "two chunks with the same coordinates";
    return "";
}

static int appendChunks(const unsigned char* data, size_t len, ArrayList* chunkList, int trace) {
    byteReader r = makeReader(data, len);
    int32_t t = readIntLE(&r);
    for (int32_t i = 0; i < t; i++)
        appendChunk(chunkList, readChunk(&r, trace));
    return t;
}

int readWorldBytes(const unsigned char* data, size_t len, ArrayList* chunkList) {
    return appendChunks(data, len, chunkList, 0);
}

int loadWorldFrom(const unsigned char* data, size_t len, const char* name, ArrayList* chunkList) {
    const char* why = checkWorldBytes(data, len);
    if (*why) {
        rejectFile(name, data, len, why);
        return 0;
    }
    byteReader r = makeReader(data, len);
    tracef("numChunks: %d\n", readIntLE(&r));
    return appendChunks(data, len, chunkList, 1);
}

int loadWorld(const char* dir, ArrayList* chunkList) {
    return loadFile(dir, chunkList, "L World: error opening file", 0, loadWorldFrom);
}

// Farther out than this an entity file is taken as damaged (about 66,000 chunks).
constexpr float maxEntityReach = 1e6f;

const char* checkEntityBytes(const unsigned char* data, size_t len) {
    byteReader r = makeReader(data, len);
    int32_t n = readIntLE(&r);
    if (r.overread || n < 0 || size_t(n) != bytesLeft(&r) / entFileRecordLen ||
        bytesLeft(&r) % entFileRecordLen != 0)
        return "size does not match the entity count";
    for (int32_t i = 0; i < n; i++) {
        float v[7];
        readIntLE(&r);
        readFloatsLE(&r, v, 7);
        if (!finite3(v) || !finite3(v + 3) || !std::isfinite(v[6]))
            return "scale, position or motion not a finite number";
        if (std::fabs(v[1]) > maxEntityReach || std::fabs(v[2]) > maxEntityReach ||
            std::fabs(v[3]) > maxEntityReach)
            return "position out of range";
    }
    return "";
}

int readEntityBytes(const unsigned char* data, size_t len, ArrayList* entList) {
    byteReader r = makeReader(data, len);
    int32_t n = readIntLE(&r);
    for (int32_t i = 0; i < n; i++) {
        int32_t model = readIntLE(&r);
        float scale = readFloatLE(&r);
        float position[3], moveVect[3];
        readFloatsLE(&r, position, 3);
        readFloatsLE(&r, moveVect, 3);
        // The first entity is the world's default free mover; every other is a player's
        // walker. Each starts at rest, looking where it looked.
        veskEntity* ent = addDefaultEntity(entList, entityCount(entList) == 0, position);
        ent->modelIndex = model;
        ent->scale = scale;
        memcpy(ent->gravMem->moveVect, moveVect, sizeof moveVect);
        rotsOfView(moveVect, ent->gravMem->rots);
        // Positions are given from the centre of chunk (0, 0). One beyond that chunk is
        // taken into the chunk that holds it: left where it was, the entity would cross a
        // chunk a tick towards it, growing the world all the way.
        veskGravity* g = ent->gravMem;
        worldToTer(g->position[0], g->position[2], &g->chunkCoords[0], &g->chunkCoords[1],
                   terScale);
        float cx, cz;
        terToWorldNew(g->chunkCoords[0], g->chunkCoords[1], &cx, &cz, terScale);
        g->position[0] -= cx;
        g->position[2] -= cz;
        g->chunkCoordsOld[0] = g->chunkCoords[0];
        g->chunkCoordsOld[1] = g->chunkCoords[1];
    }
    return n;
}

int loadEntitiesFrom(const unsigned char* data, size_t len, const char* name, ArrayList* entList) {
    const char* why = checkEntityBytes(data, len);
    if (*why) {
        rejectFile(name, data, len, why);
        return -1;
    }
    return readEntityBytes(data, len, entList);
}

int loadEntityList(const char* dir, ArrayList* entList) {
    return loadFile(dir, entList, "L Ents: error opening file", -1, loadEntitiesFrom);
}
