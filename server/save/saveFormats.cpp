// The save files' records and the checks a loaded file must pass: every count is checked
// against the bytes present before anything is made from them; a file that does not add up
// is kept aside in a copy of its own ("<file>.bad", "<file>.bad.2", ...) and not loaded (and,
// when no copy can be made, never saved over). Little-endian, with no header.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bytes.h"
#include "save.h"
#include "tolp.h"

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
    terToWorldNew(g->chunkCoords[0], g->chunkCoords[1], &centre[0], &centre[1], options.terScale);
    float place[3] = {g->position[0] + centre[0], g->position[1], g->position[2] + centre[1]};
    float view[3];
    viewDirection(g->rots, view);
    putIntLE(w, ent->modelIndex);
    putFloatsLE(w, &ent->scale, 1);
    putFloatsLE(w, place, 3);
    putFloatsLE(w, view, 3);
}

static void markUnkept(const char* path, int on) {
    std::erase(saves.unkept, std::string(path));
    if (on) saves.unkept.push_back(path);
}

// Reports a file that does not add up and copies it aside before a save can replace it;
// when the copy cannot be made whole, saves leave the file alone. The copy may hold
// accounts, so only the server's own user may read it.

const std::vector<std::string>& filesSetAside() {
    return saves.setAside;
}

void forgetFilesSetAside() {
    saves.setAside.clear();
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
        textBoxAddf(logging.box, "Corrupt save file %s (%s): not loaded, kept as %s", name, why,
                    bad.c_str());
    else
        textBoxAddf(logging.box,
                    "Corrupt save file %s (%s): not loaded, cannot be kept as %s (%s), so it "
                    "will not be saved over",
                    name, why, bad.c_str(), strerror(err));
    markUnkept(name, !kept);
    std::string shortName = std::string(name).substr(std::string(name).find_last_of('/') + 1);
    saves.setAside.push_back(kept ? shortName + " (kept as " + bad + ")"
                                  : shortName + " (not kept)");
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

int loadProfsFrom(const unsigned char* data, size_t len, const char* name, ArrayList* accounts) {
    byteReader r = makeReader(data, len);
    int32_t n = readIntLE(&r);
    if (r.overread || n < 0 || size_t(n) != bytesLeft(&r) / profRecordLen ||
        bytesLeft(&r) % profRecordLen != 0) {
        rejectFile(name, data, len, "size does not match the account count");
        return 0;
    }
    tracef("current: %d\n", arrayListGetLength(accounts));
    tracef("total: %d\n", n);
    // The accounts already in the list are overwritten in place, the rest appended.
    arrayListCursor<veskProfile> have{accounts, 0};
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

int loadProfs(const char* dir, ArrayList* accounts) {
    return loadFile(dir, accounts, "L Profs: error opening file", 0, loadProfsFrom);
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

int readEntityBytes(const unsigned char* data, size_t len, ArrayList* entities) {
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
        veskEntity* ent = addDefaultEntity(entities, entityCount(entities) == 0, position);
        ent->modelIndex = model;
        ent->scale = scale;
        memcpy(ent->gravMem->moveVect, moveVect, sizeof moveVect);
        rotsOfView(moveVect, ent->gravMem->rots);
        // Positions are given from the centre of chunk (0, 0). One beyond that chunk is
        // taken into the chunk that holds it: left where it was, the entity would cross a
        // chunk a tick towards it, growing the world all the way.
        veskGravity* g = ent->gravMem;
        worldToTer(g->position[0], g->position[2], &g->chunkCoords[0], &g->chunkCoords[1],
                   options.terScale);
        float cx, cz;
        terToWorldNew(g->chunkCoords[0], g->chunkCoords[1], &cx, &cz, options.terScale);
        g->position[0] -= cx;
        g->position[2] -= cz;
        g->chunkCoordsOld[0] = g->chunkCoords[0];
        g->chunkCoordsOld[1] = g->chunkCoords[1];
    }
    return n;
}

int loadEntitiesFrom(const unsigned char* data, size_t len, const char* name, ArrayList* entities) {
    const char* why = checkEntityBytes(data, len);
    if (*why) {
        rejectFile(name, data, len, why);
        return -1;
    }
    return readEntityBytes(data, len, entities);
}

int loadEntityList(const char* dir, ArrayList* entities) {
    return loadFile(dir, entities, "L Ents: error opening file", -1, loadEntitiesFrom);
}
