// Strict decoding of server datagrams for the tests.
#include "wireParse.h"

#include <cmath>

#include "bytes.h"

namespace {

bool fail(std::string* why, const std::string& what) {
    if (why) *why = what;
    return false;
}

bool finite(const float* v, int n) {
    for (int i = 0; i < n; i++)
        if (!std::isfinite(v[i])) return false;
    return true;
}

bool readChunk(byteReader* r, chunkRec* c, std::string* why) {
    c->cx = readIntBE(r);
    c->cy = readIntBE(r);
    int32_t v = readIntBE(r), f = readIntBE(r);
    if (r->overread) return fail(why, "chunk head cut");
    if (v < 0 || f < 0 || uint64_t(v) * 16 + uint64_t(f) * 12 > bytesLeft(r))
        return fail(why, "chunk counts beyond the datagram");
    c->verts.resize(size_t(v));
    for (auto& vt : c->verts) {
        readFloatsLE(r, vt.loc, 3);
        vt.texi = readIntLE(r);
        if (!finite(vt.loc, 3)) return fail(why, "vertex not finite");
    }
    c->faces.resize(size_t(f) * 3);
    for (auto& i : c->faces) {
        i = readIntLE(r);
        if (i < 0 || i >= v) return fail(why, "face index out of range");
    }
    return true;
}

} // namespace

bool parseBulkTerrain(const std::vector<unsigned char>& d, std::vector<chunkRec>* out,
                      std::string* why) {
    if (d.size() > 12000) return fail(why, "datagram over 12000 bytes");
    byteReader r = makeReader(d.data(), d.size());
    if (readU8(&r) != 5) return fail(why, "not a terrain batch");
    int32_t n = readIntBE(&r);
    if (r.overread || n < 0) return fail(why, "bad chunk count");
    for (int32_t i = 0; i < n; i++) {
        chunkRec c;
        if (!readChunk(&r, &c, why)) return false;
        out->push_back(std::move(c));
    }
    return bytesLeft(&r) == 0 || fail(why, "bytes after the last chunk");
}

bool parseBulkEnts(const std::vector<unsigned char>& d, std::vector<entRec>* out,
                   std::string* why) {
    if (d.size() > 12000) return fail(why, "datagram over 12000 bytes");
    if (d.empty() || d[0] != 6) return fail(why, "not an entity batch");
    if ((d.size() - 1) % 44 != 0) return fail(why, "not a whole number of entity records");
    byteReader r = makeReader(d.data() + 1, d.size() - 1);
    while (bytesLeft(&r) > 0) {
        entRec e;
        e.id = readIntBE(&r);
        e.model = readIntBE(&r);
        e.scale = readFloatLE(&r);
        readFloatsLE(&r, e.pos, 3);
        readFloatsLE(&r, e.rots, 3);
        e.cx = readIntBE(&r);
        e.cy = readIntBE(&r);
        if (!finite(e.pos, 3) || !finite(e.rots, 3)) return fail(why, "entity not finite");
        out->push_back(e);
    }
    return true;
}

bool parseGameDatagram(const std::vector<unsigned char>& d, gameStream* out, std::string* why) {
    if (d.size() > 12000) return fail(why, "datagram over 12000 bytes");
    if (d.size() < 2) return fail(why, "empty in-game datagram");
    byteReader r = makeReader(d.data(), d.size());
    int order = 0; // blocks come as entity updates, new chunks, vertex updates
    while (bytesLeft(&r) > 0) {
        int type = readU8(&r);
        int32_t n = readIntBE(&r);
        if (r.overread) return fail(why, "block head cut");
        if (n < 1) return fail(why, "empty or negative block");
        int rank = type == 10 ? 1 : type == 5 ? 2 : type == 9 ? 3 : 0;
        if (rank == 0) return fail(why, "unknown block type " + std::to_string(type));
        if (rank <= order) return fail(why, "blocks out of order or repeated");
        order = rank;
        out->blockTypes.push_back(type);
        for (int32_t i = 0; i < n; i++) {
            if (type == 10) {
                entUpdate u;
                size_t start = r.pos;
                u.id = readIntBE(&r);
                int32_t subs = readIntBE(&r);
                if (r.overread || subs < 1 || subs > 2) return fail(why, "bad sub-record count");
                for (int32_t s = 0; s < subs; s++) {
                    int id = readU8(&r);
                    if (id == 0 && !u.hasLoc && !u.hasRot) {
                        u.hasLoc = true;
                        u.cx = readIntBE(&r);
                        u.cy = readIntBE(&r);
                        readFloatsLE(&r, u.pos, 3);
                        if (!finite(u.pos, 3)) return fail(why, "position not finite");
                    } else if (id == 1 && !u.hasRot) {
                        u.hasRot = true;
                        readFloatsLE(&r, u.rots, 3);
                        if (!finite(u.rots, 3)) return fail(why, "rotation not finite");
                    } else {
                        return fail(why, "bad or misplaced sub-record");
                    }
                }
                if (r.overread) return fail(why, "entity update cut");
                u.bytes = int(r.pos - start);
                out->ents.push_back(u);
            } else if (type == 5) {
                chunkRec c;
                if (!readChunk(&r, &c, why)) return false;
                out->chunks.push_back(std::move(c));
            } else {
                int cx = readIntBE(&r), cy = readIntBE(&r);
                int sub = readU8(&r);
                int32_t m = readIntBE(&r);
                if (r.overread || sub != 0 || m < 0 || uint64_t(m) * 20 > bytesLeft(&r))
                    return fail(why, "bad chunk update record");
                for (int32_t k = 0; k < m; k++) {
                    vertMove v;
                    v.cx = cx;
                    v.cy = cy;
                    v.index = readIntBE(&r);
                    readFloatsLE(&r, v.vert.loc, 3);
                    v.vert.texi = readIntLE(&r);
                    if (v.index < 0 || !finite(v.vert.loc, 3)) return fail(why, "bad vertex");
                    out->moves.push_back(v);
                }
                out->chunkUpdateRecords++;
            }
        }
        if (r.overread) return fail(why, "block cut");
    }
    return true;
}
