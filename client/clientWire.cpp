// The client's builders and readers of datagrams. Every field from the server is read
// through the bounds-checked reader; counts are checked against the bytes present before
// anything is made for them, and every float must be finite.
#include "clientWire.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr size_t vertLen = sizeof(wireVert);
constexpr size_t faceLen = 3 * 4;
constexpr size_t vertMoveLen = 4 + vertLen; // index, vertex
constexpr size_t chunkUpdateHeadLen = 13;   // cx, cy, sub-record kind, count

int fail(const char** why, const char* what) {
    if (why) *why = what;
    return 0;
}

// Reads n floats; 0 when one of them is not finite.
int readFinite(byteReader* r, float* v, int n) {
    readFloatsLE(r, v, n);
    return std::all_of(v, v + n, [](float f) { return std::isfinite(f); });
}

int readChunk(byteReader* r, chunkRec* c, const char** why) {
    c->cx = readIntBE(r);
    c->cy = readIntBE(r);
    int32_t v = readIntBE(r);
    int32_t f = readIntBE(r);
    if (r->overread || v < 0 || f < 0 ||
        uint64_t(v) * vertLen + uint64_t(f) * faceLen > bytesLeft(r))
        return fail(why, "chunk head cut, or counts beyond the datagram");
    c->verts.resize(size_t(v));
    for (wireVert& vt : c->verts) {
        if (!readFinite(r, vt.loc, 3)) return fail(why, "vertex not finite");
        vt.texi = readIntLE(r);
    }
    c->faces.resize(size_t(f) * 3);
    for (int32_t& i : c->faces)
        if ((i = readIntLE(r)) < 0 || i >= v) return fail(why, "face index out of range");
    return 1;
}

// The location sub-record, if any, comes first; each at most once.
int readEntUpdate(byteReader* r, entUpdate* u, const char** why) {
    u->id = readIntBE(r);
    int32_t subs = readIntBE(r);
    if (r->overread || subs < 1 || subs > 2) return fail(why, "bad sub-record count");
    for (int32_t s = 0; s < subs; s++) {
        int id = readU8(r);
        bool isLoc = id == soEntLoc && !u->hasLoc && !u->hasRot;
        if (!isLoc && !(id == soEntRot && !u->hasRot))
            return fail(why, "unknown or misplaced sub-record");
        if (isLoc) {
            u->cx = readIntBE(r);
            u->cy = readIntBE(r);
        }
        (isLoc ? u->hasLoc : u->hasRot) = true;
        if (!readFinite(r, isLoc ? u->pos : u->rots, 3)) return fail(why, "sub-record not finite");
    }
    return !r->overread || fail(why, "entity update cut");
}

int readVertMoves(byteReader* r, gameStream* out, const char** why) {
    int32_t cx = readIntBE(r);
    int32_t cy = readIntBE(r);
    int sub = readU8(r);
    int32_t m = readIntBE(r);
    if (r->overread || sub != soTerVertMove || m < 0 || uint64_t(m) * vertMoveLen > bytesLeft(r))
        return fail(why, "bad chunk update record");
    for (int32_t k = 0; k < m; k++) {
        vertMove& v = out->moves.emplace_back(vertMove{cx, cy, readIntBE(r), {}});
        if (v.index < 0 || !readFinite(r, v.vert.loc, 3)) return fail(why, "bad vertex");
        v.vert.texi = readIntLE(r);
    }
    out->chunkUpdateRecords++;
    return 1;
}

// A block's place in the in-game datagram (1, 2, 3), or 0 for a type that leads none.
int blockRank(int type) {
    return type == soEntUpdate ? 1 : type == soInitTer ? 2 : type == soTerUpdate ? 3 : 0;
}

// The least bytes a record of a block's type can take: a count beyond them is refused.
size_t leastRecordLen(int type) {
    return type == soEntUpdate ? 8 + 13 : type == soInitTer ? chunkHeadLen : chunkUpdateHeadLen;
}

int readBlock(byteReader* r, int type, int32_t n, gameStream* out, const char** why) {
    for (int32_t i = 0; i < n; i++) {
        int ok = type == soEntUpdate ? readEntUpdate(r, &out->ents.emplace_back(), why)
                 : type == soInitTer ? readChunk(r, &out->chunks.emplace_back(), why)
                                     : readVertMoves(r, out, why);
        if (!ok) return 0;
    }
    return 1;
}

void putTextField(byteWriter* w, std::string_view text) {
    unsigned char* p = writeRoom(w, textLen);
    if (!p) return;
    memset(p, 0, textLen);
    memcpy(p, text.data(), std::min(text.size(), size_t(textLen)));
}

int fitted(const byteWriter* w) {
    return !w->overflow;
}

} // namespace

void clearStream(gameStream* s) {
    s->ents.clear();
    s->chunks.clear();
    s->moves.clear();
    s->entities.clear();
    s->chunkUpdateRecords = 0;
}

int readLogGood(const unsigned char* d, size_t len, logGoodMsg* out, const char** why) {
    if (len != size_t(logGoodLen)) return fail(why, "login answer of the wrong length");
    byteReader r = makeReader(d, len);
    if (readU8(&r) != soLogGood) return fail(why, "not a login answer");
    memcpy(out->key, readBytes(&r, keyLen), keyLen);
    out->entity = readIntBE(&r);
    if (!readFinite(&r, &out->terScale, 1)) return fail(why, "terrain scale not finite");
    return 1;
}

int readTerBatch(const unsigned char* d, size_t len, gameStream* out, const char** why) {
    if (len > size_t(bufSize)) return fail(why, "terrain batch too long");
    byteReader r = makeReader(d, len);
    int type = readU8(&r);
    int32_t n = readIntBE(&r);
    if (r.overread || type != soInitTer || n < 0 || uint64_t(n) * chunkHeadLen > bytesLeft(&r))
        return fail(why, "terrain batch head cut, or count beyond the datagram");
    for (int32_t i = 0; i < n; i++)
        if (!readChunk(&r, &out->chunks.emplace_back(), why)) return 0;
    return bytesLeft(&r) == 0 || fail(why, "bytes after the last chunk");
}

int readEntBatch(const unsigned char* d, size_t len, gameStream* out, const char** why) {
    if (len < 1 || len > size_t(bufSize) || d[0] != soInitEnt || (len - 1) % entRecordLen != 0)
        return fail(why, "entity batch of the wrong length");
    byteReader r = makeReader(d + 1, len - 1);
    while (bytesLeft(&r) > 0) {
        entRecord& e = out->entities.emplace_back();
        e.id = readIntBE(&r);
        e.model = readIntBE(&r);
        int finite = readFinite(&r, &e.scale, 1);
        finite = readFinite(&r, e.pos, 3) && finite;
        finite = readFinite(&r, e.rots, 3) && finite;
        e.cx = readIntBE(&r);
        e.cy = readIntBE(&r);
        if (!finite) return fail(why, "entity record not finite");
    }
    return 1;
}

int readGameDatagram(const unsigned char* d, size_t len, gameStream* out, const char** why) {
    if (len > size_t(bufSize) || len < 2) return fail(why, "in-game datagram empty or too long");
    byteReader r = makeReader(d, len);
    for (int done = 0; bytesLeft(&r) > 0;) {
        int type = readU8(&r);
        int rank = blockRank(type);
        int32_t n = readIntBE(&r);
        if (r.overread || n < 1 || rank <= done)
            return fail(why, "block cut, empty, unknown, repeated or out of order");
        if (uint64_t(n) * leastRecordLen(type) > bytesLeft(&r))
            return fail(why, "block count beyond the datagram");
        done = rank;
        if (!readBlock(&r, type, n, out, why)) return 0;
    }
    return 1;
}

int readDisconnect(const unsigned char* d, size_t len, const unsigned char* key) {
    return len == size_t(sessionHeadLen) && d[0] == soDisconnect && memcmp(d + 1, key, keyLen) == 0;
}

int isBare(const unsigned char* d, size_t len, int type) {
    return len == 1 && d[0] == type;
}

int putWakeup(byteWriter* w) {
    putU8(w, coWakeup);
    return fitted(w);
}

int putNewAccount(byteWriter* w, std::string_view name, std::string_view pass) {
    putU8(w, coNewAccount);
    putTextField(w, name);
    putTextField(w, pass);
    return fitted(w);
}

int putLogin(byteWriter* w, std::string_view name, std::string_view pass, int32_t radius) {
    putU8(w, coLogin);
    putTextField(w, name);
    putTextField(w, pass);
    putIntBE(w, radius);
    return fitted(w);
}

int putSessionHead(byteWriter* w, int type, const unsigned char* key) {
    putU8(w, type);
    putBytes(w, key, keyLen);
    return fitted(w);
}

int putKeyListHead(byteWriter* w, int32_t count) {
    putU8(w, cosKey);
    putIntBE(w, count);
    return fitted(w);
}

int putKeyEntry(byteWriter* w, int32_t slot, int action) {
    putIntBE(w, slot);
    putU8(w, action);
    return fitted(w);
}

int putKeyList(byteWriter* w, const keyChange* changes, int n) {
    putKeyListHead(w, n);
    for (int i = 0; i < n; i++)
        putKeyEntry(w, changes[i].slot, changes[i].action);
    return fitted(w);
}

int putMouse(byteWriter* w, const float* eye, const float* ray, int button) {
    putU8(w, cosMouse);
    putFloatsLE(w, eye, 3);
    putFloatsLE(w, ray, 3);
    putU8(w, button);
    return fitted(w);
}

int putViewAngles(byteWriter* w, const float* rots) {
    putU8(w, cosSetRots);
    putFloatsLE(w, rots, 3);
    return fitted(w);
}
