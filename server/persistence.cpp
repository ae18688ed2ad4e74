// The three save files: accounts, world and entities, little-endian with no header.
// A save goes to a temporary file beside the real one, is flushed and synced, and only
// then renamed over it, so an interrupted save leaves the old file whole. A load reads
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
#include <vector>

#include "bytes.h"
#include "veskServer.h"

constexpr size_t profRecordLen = 2 * textLen + 4;
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

// Opens `path` for writing with exactly the permission bits `mode`, also when a file of
// that name is already there with others.
static FILE* createFile(const char* path, mode_t mode) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return nullptr;
    FILE* f = fchmod(fd, mode) == 0 ? fdopen(fd, "wb") : nullptr;
    if (!f) close(fd);
    return f;
}

// Accounts hold password hashes: only the server's own user may read them.
constexpr mode_t privateMode = 0600;
constexpr mode_t publicMode = 0644;

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

static int finishSave(safeFile* s) {
    int err = 0;
    if (ferror(s->f) || fflush(s->f) != 0 || fsync(fileno(s->f)) != 0) err = errno ? errno : EIO;
    if (fclose(s->f) != 0 && !err) err = errno;
    if (!err && rename(s->tmp.c_str(), s->path.c_str()) != 0) err = errno;
    if (err) {
        tracef("save of %s failed (%s); the previous file is kept\n", s->path.c_str(),
               strerror(err));
        noteFailure(s->path, strerror(err));
        remove(s->tmp.c_str());
        return 0;
    }
    // The rename itself lives in the directory: sync it too, or a power loss could
    // bring the previous file back.
    std::string dir = s->path.substr(0, s->path.find_last_of('/') + 1);
    int fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
    return 1;
}

static void writeInt(FILE* f, int32_t v) {
    fwrite(&v, 4, 1, f);
}

void saveProf(veskProfile* pro, FILE* file) {
    fwrite(pro->username, 1, textLen, file);
    fwrite(pro->password, 1, textLen, file);
    writeInt(file, pro->entity);
}

// The count, then every element of a pointer list, through a temporary file.
static int saveList(const char* path, mode_t mode, ArrayList* list, const char* openError,
                    void (*writeOne)(void* element, FILE* file)) {
    safeFile s;
    int began = beginSave(&s, path, mode);
    if (began <= 0) {
        if (began == 0) traceLine(openError);
        return 0;
    }
    int n = arrayListGetLength(list);
    tracef("total: %d\n", n);
    writeInt(s.f, n);
    for (ArrayList* b = list; b; b = b->next)
        for (int i = 0; i < b->filled; i++)
            writeOne(reinterpret_cast<void**>(b->data)[i], s.f);
    return finishSave(&s);
}

int saveProfs(const char* dir, ArrayList* profList) {
    traceLine("saveProfs()");
    return saveList(dir, privateMode, profList, "S Prof: error opening file",
                    [](void* pro, FILE* f) { saveProf(static_cast<veskProfile*>(pro), f); });
}

void saveChunk(veskTerrain* chunk, FILE* file) {
    writeInt(file, chunk->numVerts);
    writeInt(file, chunk->numFaces);
    writeInt(file, chunk->chunkCoords[0]);
    writeInt(file, chunk->chunkCoords[1]);
    fwrite(chunk->verts, sizeof(vertTex), size_t(chunk->numVerts), file);
    fwrite(chunk->faces, 12, size_t(chunk->numFaces), file);
}

int saveChunks(const char* dir, ArrayList* chunkList) {
    traceLine("saveChunks()");
    return saveList(dir, publicMode, chunkList, "S Chunk: error opening file",
                    [](void* chunk, FILE* f) { saveChunk(static_cast<veskTerrain*>(chunk), f); });
}

int saveTextFile(const char* path, const std::string& text) {
    safeFile s;
    if (beginSave(&s, path, privateMode) <= 0) return 0;
    fwrite(text.data(), 1, text.size(), s.f);
    return finishSave(&s);
}

// --- saving a slice a tick -------------------------------------------------------------
// An autosave must not hold up the tick: both files are put into memory within one tick,
// which keeps them consistent with each other, and are then written a slice a tick, each
// slice handed to the disk at once, so that the sync at the end finds little left to do.

struct slicedFile {
    std::string path;
    mode_t mode;
    size_t len;
};

struct slicedSave {
    int files; // 0 when no save is under way
    slicedFile file[2];
    int at;         // the file being written
    size_t written; // of it
    int open;       // whether `temp` is open
    safeFile temp;
};

static slicedSave sliced;
// The files' bytes. Kept from one save to the next: fresh memory for a large world costs
// more to touch the first time than the copy itself.
static std::vector<unsigned char> slicedBytes[2];

static void inMemory(int i, const char* path, mode_t mode, ArrayList* list,
                     size_t (*sizeOf)(void* element), void (*writeOne)(void* element, FILE* f)) {
    size_t len = 4;
    for (ArrayList* b = list; b; b = b->next)
        for (int k = 0; k < b->filled; k++)
            len += sizeOf(reinterpret_cast<void**>(b->data)[k]);
    slicedBytes[i].resize(len);
    sliced.file[i] = slicedFile{path, mode, len};
    FILE* f = fmemopen(slicedBytes[i].data(), len, "w");
    setvbuf(f, nullptr, _IONBF, 0);
    writeInt(f, arrayListGetLength(list));
    for (ArrayList* b = list; b; b = b->next)
        for (int k = 0; k < b->filled; k++)
            writeOne(reinterpret_cast<void**>(b->data)[k], f);
    fclose(f);
}

void startSlicedSave(const char* profPath, ArrayList* profs, const char* worldPath,
                     ArrayList* chunks) {
    dropSlicedSave();
    inMemory(
        0, profPath, privateMode, profs, [](void*) { return profRecordLen; },
        [](void* pro, FILE* f) { saveProf(static_cast<veskProfile*>(pro), f); });
    inMemory(
        1, worldPath, publicMode, chunks,
        [](void* chunk) { return size_t(chunkRecordLen(static_cast<veskTerrain*>(chunk))); },
        [](void* chunk, FILE* f) { saveChunk(static_cast<veskTerrain*>(chunk), f); });
    sliced.files = 2;
}

int slicedSaveUnderWay() {
    return sliced.files > 0;
}

void dropSlicedSave() {
    if (sliced.open) {
        fclose(sliced.temp.f);
        remove(sliced.temp.tmp.c_str());
    }
    sliced = slicedSave{};
}

int saveNextSlice(size_t bytes) {
    if (sliced.files == 0) return 1;
    slicedFile* f = &sliced.file[sliced.at];
    if (!sliced.open && beginSave(&sliced.temp, f->path.c_str(), f->mode) <= 0) {
        dropSlicedSave();
        return -1;
    }
    sliced.open = 1;
    FILE* out = sliced.temp.f;
    // The slices before have had a tick to reach the disk; what is left of them is waited
    // for now, so that the sync at the end finds almost nothing to do.
    sync_file_range(fileno(out), 0, off64_t(sliced.written),
                    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                        SYNC_FILE_RANGE_WAIT_AFTER);
    if (sliced.written == f->len) { // all of it written: the sync and the rename
        sliced.open = 0;
        int saved = finishSave(&sliced.temp);
        sliced.at++;
        sliced.written = 0;
        if (!saved || sliced.at == sliced.files) {
            dropSlicedSave();
            return saved ? 1 : -1;
        }
        return 0;
    }
    size_t n = std::min(bytes, f->len - sliced.written);
    const unsigned char* data = slicedBytes[sliced.at].data() + sliced.written;
    if (fwrite(data, 1, n, out) != n || fflush(out) != 0) {
        noteFailure(sliced.temp.tmp, strerror(errno));
        dropSlicedSave();
        return -1;
    }
    sync_file_range(fileno(out), off64_t(sliced.written), off64_t(n), SYNC_FILE_RANGE_WRITE);
    sliced.written += n;
    return 0;
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
static void rejectFile(const char* name, const unsigned char* data, size_t len, const char* why) {
    std::string bad = std::string(name) + ".bad";
    FILE* f = createFile(bad.c_str(), privateMode);
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
    int have = arrayListGetLength(profList);
    tracef("current: %d\n", have);
    tracef("total: %d\n", n);
    for (int i = 0; i < n; i++) {
        veskProfile* pro;
        if (i < have) {
            pro = arrayListGet<veskProfile>(profList, i);
        } else {
            pro = static_cast<veskProfile*>(calloc(1, sizeof(veskProfile)));
            arrayListAddEndPointer(profList, pro);
        }
        memcpy(pro->username, readBytes(&r, textLen), textLen);
        memcpy(pro->password, readBytes(&r, textLen), textLen);
        pro->entity = readIntLE(&r);
        pro->stage = psNotConn;
        pro->curCounter = 0;
        pro->oldCounter = 0;
        pro->failCount = 0;
    }
    forgetAccountIndex(); // names may have been overwritten in place
    return 1;
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
        arrayListAddEndPointer(chunkList, readChunk(&r, trace));
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
        veskEntity* ent = addDefaultEntity(entList, 0, position);
        ent->modelIndex = model;
        ent->scale = scale;
        memcpy(ent->gravMem->moveVect, moveVect, sizeof moveVect);
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
