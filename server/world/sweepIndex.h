// The move sweep's index of one chunk's faces: their bounding boxes, bucketed into strips
// along the chunk-local x and z axes, and the faces that are asked on every step because
// their contact query is too ill-conditioned to be skipped by distance.
#pragma once

#include <cstdint>

#include "veskTerrain.h"

// What a step needs of a face to tell whether it can touch it.
struct faceBounds {
    float lo[3]; // box of the three corners
    float hi[3];
    float normal[3]; // unit normal of the face's plane
    float offset;    // normal . f0: the plane is normal . x = offset
};

struct sweepIndex {
    // What the index was built from; any difference makes sweepIndexOf rebuild it.
    uint32_t shapeVersion;
    const vertTex* verts;
    const int32_t* faces;
    int32_t numVerts;
    int32_t numFaces;

    int32_t words;    // 64-bit words of one set of faces
    int32_t numBoxed; // faces that may be skipped when out of reach
    float lo[3];      // bounds of those faces
    float hi[3];
    float origin[2];    // x and z where the first strip starts
    float perUnit[2];   // strips per unit of x and of z
    uint64_t* always;   // faces asked on every step
    uint64_t* stripsX;  // per strip along x, the faces whose box reaches into it
    uint64_t* stripsZ;  // the same along z
    faceBounds* bounds; // per face
    uint64_t* answer;   // the set sweepCandidates returned last
    size_t blockBytes;  // the record and its arrays are one allocation
};

// The chunk's index, built on first use and rebuilt whenever the chunk's shapeVersion, its
// vertex or face arrays or their counts differ from what it was built from.
sweepIndex* sweepIndexOf(veskTerrain* ter);

// The faces a sphere of `radius` moving from `start` (chunk frame) along `step` may touch:
// each face it can come near (see sweepIndex.cpp), and every face that is always asked. A set
// of ix->words words, valid until the next call for this chunk.
const uint64_t* sweepCandidates(sweepIndex* ix, const float* start, const float* step,
                                float radius);
