// Hexagonal terrain chunks: generation of flat chunks (vertex and triangle order),
// chunk and world coordinates, hex distance, and filling an area of the world list.
// The double-to-float rounding steps of the coordinate conversions are deliberate:
// vertex positions travel bit for bit to clients and into the world file.
#include "veskTerrain.h"

#include <cstdlib>

int worldRadius = 128;

const int chunkArrayCoords[14] = {0, 0, -1, 1, 0, 1, 1, 0, 1, -1, 0, -1, -1, 0};

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

// --- finding chunks by their coordinates ----------------------------------------------
// Every chunk change of an entity looks up 37 chunks and every brush many more, so a
// scan of the whole list would grow with the world. An index by coordinates answers in
// constant time. Chunks are only ever appended to a chunk list, so an index catches up
// with the tail of its list on each look-up; a list's index is dropped when it is freed.

// A chunk of the index and its position in the list.
struct indexSlot {
    veskTerrain* ter; // null: a free slot
    int position;
};

struct coordIndex {
    ArrayList* list; // the chunk list indexed, null when the entry is free
    arrayListTail tail;
    int listed;    // chunks of the list gone through
    uint32_t mask; // capacity less one, capacity a power of two
    uint32_t count;
    indexSlot* slots;
};

static coordIndex indexes[4];
static int nextEvicted = 0;

uint32_t coordHash(int x, int y) {
    uint32_t h = uint32_t(x) * 0x9E3779B1u ^ uint32_t(y) * 0x85EBCA77u;
    return h ^ (h >> 15);
}

static indexSlot* findSlot(coordIndex* ix, int x, int y) {
    for (uint32_t i = coordHash(x, y) & ix->mask;; i = (i + 1) & ix->mask) {
        veskTerrain* t = ix->slots[i].ter;
        if (!t || (t->chunkCoords[0] == x && t->chunkCoords[1] == y)) return &ix->slots[i];
    }
}

static void indexChunk(coordIndex* ix, indexSlot chunk) {
    if (2 * (ix->count + 1) > ix->mask + 1) {
        coordIndex bigger = *ix;
        bigger.mask = 2 * ix->mask + 1;
        bigger.count = 0;
        bigger.slots = static_cast<indexSlot*>(calloc(bigger.mask + 1, sizeof(indexSlot)));
        for (uint32_t i = 0; i <= ix->mask; i++)
            if (ix->slots[i].ter) indexChunk(&bigger, ix->slots[i]);
        free(ix->slots);
        *ix = bigger;
    }
    indexSlot* slot = findSlot(ix, chunk.ter->chunkCoords[0], chunk.ter->chunkCoords[1]);
    if (slot->ter) return; // the first chunk with these coordinates is the one found
    *slot = chunk;
    ix->count++;
}

static void forgetIndex(coordIndex* ix) {
    free(ix->slots);
    *ix = coordIndex{};
}

static coordIndex* indexOf(ArrayList* list) {
    coordIndex* ix = nullptr;
    for (coordIndex& candidate : indexes)
        if (candidate.list == list) ix = &candidate;
    if (!ix) {
        ix = &indexes[nextEvicted];
        nextEvicted = (nextEvicted + 1) % 4;
        forgetIndex(ix);
        ix->list = list;
        ix->mask = 63;
        ix->slots = static_cast<indexSlot*>(calloc(64, sizeof(indexSlot)));
    }
    auto visit = [](void* ter, void* index) {
        coordIndex* into = static_cast<coordIndex*>(index);
        static_cast<veskTerrain*>(ter)->listIndex = into->listed;
        indexChunk(into, indexSlot{static_cast<veskTerrain*>(ter), into->listed++});
    };
    arrayListFollow(list, &ix->tail, visit, ix);
    return ix;
}

void freeTerList(ArrayList* list) {
    for (coordIndex& ix : indexes)
        if (ix.list == list) forgetIndex(&ix);
    int n = arrayListGetLength(list);
    for (int i = 0; i < n; i++)
        freeTerrain(arrayListGet<veskTerrain>(list, i));
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
    if (terRadius(coX, coY) > worldRadius) return;
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
    indexSlot* slot = findSlot(indexOf(terList), inCoords[0], inCoords[1]);
    if (position) *position = slot->position;
    return slot->ter;
}

uint32_t worldVersion = 0;

void appendChunk(ArrayList* terList, veskTerrain* ter) {
    ter->listIndex = -1; // until the list's index takes it in
    ter->mapVersion = ++worldVersion;
    arrayListAddEndPointer(terList, ter);
}

int chunkCount(ArrayList* terList) {
    return terList ? indexOf(terList)->listed : 0;
}
