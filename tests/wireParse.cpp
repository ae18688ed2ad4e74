// Strict decoding of the server's in-game datagrams for the tests, block by block.
#include "wireParse.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "bytes.h"

static bool fail(std::string* why, const std::string& what) {
    if (why) *why = what;
    return false;
}

// Reads n floats; false when one of them is not finite.
static bool finite(byteReader* r, float* v, int n) {
    readFloatsLE(r, v, n);
    return std::all_of(v, v + n, [](float f) { return std::isfinite(f); });
}

static bool readChunk(byteReader* r, chunkRec* c, std::string* why) {
    c->cx = readIntBE(r);
    c->cy = readIntBE(r);
    int32_t v = readIntBE(r);
    int32_t f = readIntBE(r);
    if (r->overread || v < 0 || f < 0 || uint64_t(v) * 16 + uint64_t(f) * 12 > bytesLeft(r))
        return fail(why, "chunk head cut, or counts beyond the datagram");
    c->verts.resize(size_t(v));
    for (auto& vt : c->verts) {
        if (!finite(r, vt.loc, 3)) return fail(why, "vertex not finite");
        vt.texi = readIntLE(r);
    }
    c->faces.resize(size_t(f) * 3);
    for (auto& i : c->faces)
        if ((i = readIntLE(r)) < 0 || i >= v) return fail(why, "face index out of range");
    return true;
}

// The location sub-record, if any, comes first; each at most once.
static bool readEntUpdate(byteReader* r, entUpdate* u, std::string* why) {
    u->id = readIntBE(r);
    int32_t subs = readIntBE(r);
    if (r->overread || subs < 1 || subs > 2) return fail(why, "bad sub-record count");
    for (int32_t s = 0; s < subs; s++) {
        int id = readU8(r);
        bool isLoc = id == 0 && !u->hasLoc && !u->hasRot;
        if (!isLoc && !(id == 1 && !u->hasRot)) return fail(why, "unknown or misplaced sub-record");
        if (isLoc) {
            u->cx = readIntBE(r);
            u->cy = readIntBE(r);
        }
        (isLoc ? u->hasLoc : u->hasRot) = true;
        if (!finite(r, isLoc ? u->pos : u->rots, 3)) return fail(why, "sub-record not finite");
    }
    return !r->overread || fail(why, "entity update cut");
}

static bool readVertMoves(byteReader* r, gameStream* out, std::string* why) {
    int cx = readIntBE(r);
    int cy = readIntBE(r);
    int sub = readU8(r);
    int32_t m = readIntBE(r);
    if (r->overread || sub != 0 || m < 0 || uint64_t(m) * 20 > bytesLeft(r))
        return fail(why, "bad chunk update record");
    for (int32_t k = 0; k < m; k++) {
        vertMove& v = out->moves.emplace_back(vertMove{cx, cy, readIntBE(r)});
        if (v.index < 0 || !finite(r, v.vert.loc, 3)) return fail(why, "bad vertex");
        v.vert.texi = readIntLE(r);
    }
    out->chunkUpdateRecords++;
    return true;
}

// Entity updates, new chunks, vertex updates: each block at most once, in that order.
bool parseGameDatagram(const std::vector<unsigned char>& d, gameStream* out, std::string* why) {
    if (d.size() > 12000 || d.size() < 2) return fail(why, "in-game datagram empty or too long");
    byteReader r = makeReader(d.data(), d.size());
    for (size_t done = 0; bytesLeft(&r) > 0;) {
        int type = readU8(&r);
        size_t rank = std::string_view("\x0a\x05\x09").find(char(type)) + 1;
        int32_t n = readIntBE(&r);
        if (r.overread || n < 1 || rank == 0 || rank <= done)
            return fail(why, "block cut, empty, unknown, repeated or out of order");
        done = rank;
        for (int32_t i = 0; i < n; i++)
            if (!(type == 10  ? readEntUpdate(&r, &out->ents.emplace_back(), why)
                  : type == 5 ? readChunk(&r, &out->chunks.emplace_back(), why)
                              : readVertMoves(&r, out, why)))
                return false;
    }
    return true;
}
