// Hexagonal terrain chunks: the chunk and vertex records, flat chunk generation,
// chunk/world coordinate conversion, hex distance and filling an area with chunks.
#pragma once

#include <cstdint>

#include "veskArrayList.h"

struct vertTex {
    float loc[3]; // relative to the chunk's centre; loc[1] is the height
    int32_t texi; // painted texture index
};
static_assert(sizeof(vertTex) == 16, "vertTex is copied whole to the wire and the world file");

struct sweepIndex;

struct veskTerrain {
    int32_t numVerts;
    int32_t numFaces;
    int32_t maxVerts;
    int32_t maxFaces;
    int32_t chunkCoords[2];
    vertTex* verts;
    int32_t* faces;        // three vertex indices per triangle
    ArrayList* movedVerts; // int list of vertices changed this tick
    // Whoever changes a vertex position or a face of an existing chunk adds 1, so that the
    // move sweep's index of its faces is rebuilt (a new chunk starts with no index).
    uint32_t shapeVersion;
    sweepIndex* sweep;   // built on the first sweep against the chunk, freed with it
    int32_t listIndex;   // its place in the chunk list (chunks never move)
    uint32_t mapVersion; // worldVersion when it was made or last changed
};

// Appends a chunk to a chunk list, with its version and its place in the list; the only way
// a chunk joins a list, so that the list's index knows every chunk.
void appendChunk(ArrayList* terList, veskTerrain* ter);
// The chunks of a list, and the chunk at a place in it (null beyond the end), in constant time.
int chunkCount(ArrayList* terList);
veskTerrain* chunkAt(ArrayList* terList, int position);

constexpr float bufferMult = 1.5f;

// Seven (dx, dy) offsets: the chunk itself, then its six neighbours.
inline constexpr int chunkArrayCoords[14] = {0, 0, -1, 1, 0, 1, 1, 0, 1, -1, 0, -1, -1, 0};

veskTerrain* initTerrain(int edge, int x, int y, float scale);
void freeTerrain(veskTerrain* ter);
int numHexVerts(int radius);
int numHexFaces(int radius);
vertTex* genHexVerts(int radius, float scale, vertTex* verts);
int* genHexFace(int radius, int* faces);
void terToWorld(int tx, int ty, float* wx, float* wy, float scale);
void terToWorldNew(int tx, int ty, float* wx, float* wy, float scale);
void worldToTer(float wx, float wz, int* terX, int* terZ, float scale);
// Hex distance of the axial offset (x, y): max(|x|, |y|, |x + y|). Inline: the streaming
// asks it for every entity and chunk of every client on every tick.
inline int terRadius(int x, int y) {
    if (x > 0) {
        x = -x;
        y = -y;
    }
    if (y < 0) return -x - y;
    return -x > y ? -x : y;
}
void embedSpawnTer(ArrayList* terList, int radius, int coX, int coY, float scale, int edge);
void checkAndSpawn(ArrayList* terList, int coX, int coY, float scale, int edge);
veskTerrain* coordsToTer(const int* inCoords, ArrayList* terList);
// The same, with the chunk's position in the list.
veskTerrain* coordsToTerAt(const int* inCoords, ArrayList* terList, int* position);
// A well-mixed hash of chunk coordinates, for tables keyed by chunk.
uint32_t coordHash(int x, int y);
// The two coordinates in one key, for tables of chunks by coordinates.
inline uint64_t coordKey(int x, int y) {
    return uint64_t(uint32_t(x)) << 32 | uint32_t(y);
}

// Releases every chunk of a chunk list with its arrays, then the list.
void freeTerList(ArrayList* terList);
