// Hexagonal terrain chunks: generation of flat chunks (vertex and triangle order),
// chunk and world coordinates, hex distance, and filling an area of the world list.
// The double-to-float rounding steps of the coordinate conversions are deliberate:
// vertex positions travel bit for bit to clients and into the world file.
#include "veskTerrain.h"

#include "options.h"
#include "world.h"

#include <cstdlib>
#include <vector>

int numHexVerts(int radius) {
    return 3 * radius * (radius + 1) + 1;
}

int numHexFaces(int radius) {
    return 6 * radius * radius;
}

veskTerrain* initTerrain(int edge, int x, int y, float scale) {
    veskTerrain* ter = static_cast<veskTerrain*>(calloc(1, sizeof(veskTerrain)));
    ter->numVerts = numHexVerts(edge);
    ter->numFaces = numHexFaces(edge);
    ter->maxVerts = int(float(ter->numVerts) * bufferMult);
    ter->maxFaces = int(float(ter->numFaces) * bufferMult);
    ter->chunkCoords[0] = x;
    ter->chunkCoords[1] = y;
    ter->verts = static_cast<vertTex*>(calloc(size_t(ter->maxVerts), sizeof(vertTex)));
    ter->faces = static_cast<int32_t*>(calloc(size_t(ter->maxFaces) * 3, sizeof(int32_t)));
    genHexVerts(edge, scale, ter->verts);
    genHexFace(edge, ter->faces);
    ter->movedVerts = initArrayList(10, 4);
    return ter;
}

void freeTerrain(veskTerrain* ter) {
    if (!ter) return;
    free(ter->verts);
    free(ter->faces);
    freeArrayList(ter->movedVerts);
    free(ter->sweep);
    free(ter);
}

// --- the chunk list's index ---------------------------------------------------------
// Every chunk change of an entity looks up 37 chunks, every brush many more, and a join
// asks for chunks by their place in the list; walking the list's blocks would grow with
// the world. An index beside the list answers all of these in constant time: the chunks in
// list order, and a table by coordinates. Chunks join a chunk list only through
// appendChunk, which keeps the index; a list's index is dropped when it is freed.

uint32_t coordHash(int x, int y) {
    uint32_t h = uint32_t(x) * 0x9E3779B1u ^ uint32_t(y) * 0x85EBCA77u;
    return h ^ (h >> 15);
}

static void forgetIndex(chunkListIndex* ix) {
    *ix = chunkListIndex{};
}

static void indexChunk(chunkListIndex* ix, veskTerrain* ter) {
    ter->listIndex = int32_t(ix->byPosition.size());
    ix->byPosition.push_back(ter);
    int x = ter->chunkCoords[0], y = ter->chunkCoords[1];
    probeInsert(&ix->byCoords, coordKey(x, y), coordHash(x, y), ter);
}

// The index of a list; made, from the list as it is, the first time it is asked for.
static chunkListIndex* indexOf(ArrayList* list) {
    for (chunkListIndex& candidate : world.indexes)
        if (candidate.list == list) return &candidate;
    chunkListIndex* ix = &world.indexes[world.nextEvicted];
    world.nextEvicted = (world.nextEvicted + 1) % 4;
    forgetIndex(ix);
    ix->list = list;
    probeReset(&ix->byCoords, 32);
    for (veskTerrain* ter : arrayListItems<veskTerrain>(list))
        indexChunk(ix, ter);
    for (ix->last = list; ix->last->next;)
        ix->last = ix->last->next;
    return ix;
}

void freeTerList(ArrayList* list) {
    for (chunkListIndex& ix : world.indexes)
        if (ix.list == list) forgetIndex(&ix);
    for (veskTerrain* ter : arrayListItems<veskTerrain>(list))
        freeTerrain(ter);
    freeArrayList(list);
}

vertTex* genHexVerts(int radius, float scale, vertTex* verts) {
    int n = 0;
    int ex = 0;
    for (int tx = radius; tx >= -radius; tx--) {
        for (int ty = -tx - ex; ty <= ex; ty++) {
            float wx = 0, wy = 0;
            terToWorld(tx, ty, &wx, &wy, scale);
            // The lattice's tx axis runs along z.
            verts[n].loc[0] = wy;
            verts[n].loc[1] = 0;
            verts[n].loc[2] = wx;
            n++;
        }
        if (tx > 0) ex++;
    }
    return verts;
}

int* genHexFace(int radius, int* faces) {
    int top = 0;
    int bot = radius + 1;
    int n = 0;
    auto put = [&](int a, int b, int c) {
        faces[3 * n] = a;
        faces[3 * n + 1] = b;
        faces[3 * n + 2] = c;
        n++;
    };
    for (int y = 0; y < radius; y++) {
        for (int x = 0; x <= 2 * (y + radius); x++) {
            if (x % 2 == 0) {
                put(bot, top, bot + 1);
                bot++;
            } else {
                put(top, top + 1, bot);
                top++;
            }
        }
        top++;
        bot++;
    }
    for (int y = radius - 1; y >= 0; y--) {
        for (int x = 0; x <= 2 * (y + radius); x++) {
            if (x % 2 == 0) {
                put(top, top + 1, bot);
                top++;
            } else {
                put(bot, top, bot + 1);
                bot++;
            }
        }
        top++;
        bot++;
    }
    return faces;
}

void terToWorld(int tx, int ty, float* wx, float* wy, float scale) {
    *wx = float(double(*wx) + double(scale) * (0.8660254037844387 * double(tx)));
    *wy = float(double(*wy) + double(scale) * (0.49999999999999994 * double(tx)));
    *wy = float(double(*wy) + double(scale) * (0.49999999999999994 * double(2 * ty)));
}

void terToWorldNew(int tx, int ty, float* wx, float* wy, float scale) {
    *wx = float(double(scale) * (0.5000000000000001 * double(3 * tx)));
    *wy = float(double(scale) * (0.8660254037844386 * double(tx)));
    *wy = float(double(*wy) + double(scale) * (0.8660254037844386 * double(2 * ty)));
}

void worldToTer(float wx, float wz, int* terX, int* terZ, float scale) {
    int sign = wx < 0 ? -1 : 1;
    float h = scale / 2;
    float v = float(double(scale) * 0.8660254037844387);
    int gx = int(wx / h);
    int gz = int(wz / v);
    float fx = (wx - float(gx) * h) / h;
    float fz = (wz - float(gz) * v) / v;
    if (fz < 0) {
        gz -= 1;
        fz += 1;
    }
    fx = float(sign) * fx;
    int tx = (gx + sign) / 3;
    int m = gz - tx;
    int ty = m > 0 ? (m + 1) / 2 : m / 2;
    if (abs(gx) % 3 == 1) {
        // Two columns of hexagons interlock in this strip; the slanted side decides.
        if (m % 2 == 0 && fx > 1 - fz) {
            if (gx > 0) {
                tx += 1;
            } else {
                tx -= 1;
                ty += 1;
            }
        } else if (m % 2 != 0 && fx > fz) {
            if (gx > 0) {
                tx += 1;
                ty -= 1;
            } else {
                tx -= 1;
            }
        }
    }
    *terX = tx;
    *terZ = ty;
}

void checkAndSpawn(ArrayList* terList, int coX, int coY, float scale, int edge) {
    // The world is bounded, so that no walker can grow it without end.
    if (terRadius(coX, coY) > options.worldRadius) return;
    int coords[2] = {coX, coY};
    if (coordsToTer(coords, terList)) return;
    appendChunk(terList, initTerrain(edge, coX, coY, scale / float(edge)));
}

void embedSpawnTer(ArrayList* terList, int radius, int coX, int coY, float scale, int edge) {
    int ex = 0;
    for (int x = radius - 1; x >= -(radius - 1); x--) {
        for (int y = -x - ex; y <= ex; y++)
            checkAndSpawn(terList, coX + x, coY + y, scale, edge);
        if (x > 0) ex++;
    }
}

veskTerrain* coordsToTer(const int* inCoords, ArrayList* terList) {
    return coordsToTerAt(inCoords, terList, nullptr);
}

veskTerrain* coordsToTerAt(const int* inCoords, ArrayList* terList, int* position) {
    if (!terList) return nullptr;
    int x = inCoords[0], y = inCoords[1];
    veskTerrain** found = probeFind(&indexOf(terList)->byCoords, coordKey(x, y), coordHash(x, y));
    if (position && found) *position = (*found)->listIndex;
    return found ? *found : nullptr;
}

void appendChunk(ArrayList* terList, veskTerrain* ter) {
    chunkListIndex* ix = indexOf(terList);
    ter->mapVersion = ++world.worldVersion;
    ix->last = arrayListAddEndPointerFrom(ix->last, ter);
    indexChunk(ix, ter);
    if (terList == world.terList) world.madeChunks.push_back(ter);
}

int chunkCount(ArrayList* terList) {
    return terList ? int(indexOf(terList)->byPosition.size()) : 0;
}

veskTerrain* chunkAt(ArrayList* terList, int position) {
    if (!terList) return nullptr;
    const std::vector<veskTerrain*>& chunks = indexOf(terList)->byPosition;
    return position >= 0 && size_t(position) < chunks.size() ? chunks[size_t(position)] : nullptr;
}
