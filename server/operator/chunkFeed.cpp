// The live page's terrain: the chunks made or changed since a version the page already
// has, in a compact binary form written a piece at a time as the connection takes it, so
// that even the largest world is served without holding up a tick. All little-endian:
// "QCH1", the version this answer brings the page up to, the faces of a generated chunk
// (their count, then three vertex indices each); then per chunk its coordinates, its
// vertex count and its face count (0xFFFFFFFF: a generated chunk's faces, not repeated),
// its vertices as the world file holds them (x, y, z from the chunk's centre, texture) and
// its faces if any; and an end record whose vertex count is 0xFFFFFFFF.
#include <algorithm>
#include <cstring>

#include "bytes.h"
#include "operator.h"

// A piece scans at most this many chunks, so a feed of a large world with few changes
// costs a tick little however often it is read.
constexpr int chunksPerScan = 4096;
constexpr uint32_t sameFaces = 0xFFFFFFFFu;
constexpr uint32_t endMark = 0xFFFFFFFFu;

// The faces of a chunk generated with terEdge segments a side.
static const std::vector<int32_t>& generatedFaces() {
    std::vector<int32_t>& faces = operatorSide.generatedFaces;
    if (faces.empty()) {
        faces.resize(size_t(numHexFaces(options.terEdge)) * 3);
        genHexFace(options.terEdge, faces.data());
    }
    return faces;
}

static int hasGeneratedFaces(const veskTerrain* ter) {
    const std::vector<int32_t>& standard = generatedFaces();
    return size_t(ter->numFaces) * 3 == standard.size() &&
           memcmp(ter->faces, standard.data(), standard.size() * 4) == 0;
}

static size_t recordLen(const veskTerrain* ter, int generated) {
    return 16 + sizeof(vertTex) * size_t(ter->numVerts) +
           (generated ? 0 : 12 * size_t(ter->numFaces));
}

static void encodeRecord(byteWriter* w, const veskTerrain* ter, int generated) {
    putU32LE(w, uint32_t(ter->chunkCoords[0]));
    putU32LE(w, uint32_t(ter->chunkCoords[1]));
    putU32LE(w, uint32_t(ter->numVerts));
    putU32LE(w, generated ? sameFaces : uint32_t(ter->numFaces));
    putBytes(w, ter->verts, sizeof(vertTex) * size_t(ter->numVerts));
    if (!generated) putBytes(w, ter->faces, 12 * size_t(ter->numFaces));
}

void startChunkFeed(chunkFeed* f, uint32_t since) {
    *f = chunkFeed{};
    f->since = since;
    f->version = world.worldVersion;
    f->generation = world.servingGeneration;
    f->list = world.terList;
    f->chunks = arrayListCursor<veskTerrain>{world.terList, 0};
    const std::vector<int32_t>& faces = generatedFaces();
    byteWriter w = appendTo(&f->carry, 12 + 4 * faces.size());
    putBytes(&w, "QCH1", 4);
    putU32LE(&w, f->version);
    putU32LE(&w, uint32_t(faces.size() / 3));
    for (int32_t i : faces)
        putU32LE(&w, uint32_t(i));
}

// The next chunk newer than `since`, or null at the end of the list (ended) or when a
// scan's worth of chunks was looked at.
static const veskTerrain* nextNewer(chunkFeed* f, int* scanned) {
    while (*scanned < chunksPerScan) {
        const veskTerrain* ter = arrayListNext(&f->chunks);
        if (!ter) { // the end for now
            f->ended = 1;
            return nullptr;
        }
        ++*scanned;
        if (ter->mapVersion > f->since) return ter;
    }
    return nullptr;
}

long chunkFeedRead(chunkFeed* f, unsigned char* out, size_t max) {
    if (f->generation != world.servingGeneration || f->list != world.terList) return -2;
    byteWriter w = makeWriter(out, max);
    int scanned = 0;
    for (;;) {
        // What did not fit last time goes first.
        size_t rest = std::min(max - w.pos, f->carry.size() - f->carryAt);
        putBytes(&w, f->carry.data() + f->carryAt, rest);
        f->carryAt += rest;
        if (f->carryAt < f->carry.size() || w.pos == max) break;
        f->carry.clear();
        f->carryAt = 0;
        if (f->ended == 2) break;
        const veskTerrain* ter = f->ended ? nullptr : nextNewer(f, &scanned);
        if (ter) {
            int generated = hasGeneratedFaces(ter);
            size_t len = recordLen(ter, generated);
            if (hasRoom(&w, len)) {
                encodeRecord(&w, ter, generated);
            } else {
                byteWriter later = appendTo(&f->carry, len);
                encodeRecord(&later, ter, generated);
            }
        } else if (f->ended) {
            byteWriter end = appendTo(&f->carry, 16);
            putU32LE(&end, 0);
            putU32LE(&end, 0);
            putU32LE(&end, endMark);
            putU32LE(&end, 0);
            f->ended = 2; // the end record is all that is left
        } else {
            break; // a scan's worth looked at: more at the next read
        }
    }
    if (w.pos == 0 && f->ended == 2) return -1;
    return long(w.pos);
}
