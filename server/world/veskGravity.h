// Movement state of an entity and the ground-walker physics: neighbourhood of seven
// chunks, velocity update, swept move with landing and sliding, face and chunk crossing,
// and initial placement on the terrain.
#pragma once

#include "veskArrayList.h"
#include "veskTerrain.h"

struct veskGravity {
    float position[3]; // relative to the centre of chunk chunkCoords
    float rots[3];     // radians: [0] pitch about x, [1] heading about y
    char locChanged;
    char rotChanged;
    int chunkCoordsOld[2]; // chunk last streamed to clients
    int chunkCoords[2];
    int faceIndex; // face of terArray[0] the entity rests on, -1 airborne
    int typeIndex; // contact code: 0 face, 1-3 edges, 4-6 vertices, 7 airborne
    float barys[2];
    float tempVect[3]; // this tick's request
    float moveVect[3]; // unit direction of the velocity
    float maxMoveSpeed;
    float curMoveSpeed;
    float addMoveSpeed;
    float midMoveSpeed; // distance still to travel this tick
    int jumping;
    veskTerrain* terArray[7]; // own chunk, then neighbours in chunkArrayCoords order
};

// The physics' tuning, kept with the world (world.physics).
struct gravityTuning {
    float veskGravTerrainScale; // 10
    int veskGravTerrainEdge;    // 5
    int debug;                  // 1: a move step that recurses too deep ends the process
    int maxRec;                 // 10
    int counter0;               // the steps of the move under way
    // Nonzero: the sweep skips faces that this step cannot reach. The movement is the same
    // either way (tests compare the two); with 0 the trace lists every face's contact.
    int gravSweepCull;
    int detectRadius; // of the pick sphere, converted to float; 0 makes the pick a ray test
};

// Height of a resting entity's centre above its face (the sweep radius is 0.5).
constexpr float indentRadius = 0.51f;

// The side tests of a chunk: the double values they have always used, and a point counts
// as having left slightly before it reaches the exact side.
constexpr double edgeTolerance = double(0.999f);
constexpr double cos60 = 0.5000000000000001;
constexpr double sin60 = 0.8660254037844386;
constexpr double tan60 = 1.7320508075688767;

// Movement state and neighbourhood
void fillTerArray(veskGravity* memObj, ArrayList* ters);
int isOnEdgeNew(float x, float y, int scale);
// 0 when the entity is at the world's border: the chunk it would enter does not exist.
int offChunkCheck(veskGravity* gravMem);
// Moves chunkCoords to neighbour `slot`, spawns the chunks around it and refills terArray;
// 0, with nothing changed, when that neighbour lies beyond the world's border.
int gravEnterChunk(veskGravity* memObj, int slot, ArrayList* terList, float scale, int edge);
// The resting point over weights `barys` of the face (f0, f0 + v, f0 + u): 0.51 above it.
void restOnFace(float* position, const float* f0, const float* v, const float* u,
                const float* barys);
// Re-expresses a point of the own chunk's frame in the frame of neighbour `slot`.
void gravShiftToNeighbour(float* position, int slot, float scale);

// Velocity update
void makeMoveVect(veskGravity* gravObj);
void addMoveVec(veskGravity* gravObj, const float* addVec);
void gravMoveStart(veskGravity* memObj, ArrayList* terList);

// Move step, slide and crossing
void gravMove(veskGravity* memObj, ArrayList* terList);
void groundedNoCollision(veskGravity* memObj, ArrayList* terList);
void handleEdges(int vi0, int vi1, veskGravity* gravMem, float terrainScale, ArrayList* terList);
int isOnEdge(float x, float y, int scale);
int findFaceNextToIndex(int p, int q, veskGravity* gravMem);
void findFaceNextToSimple(const float* vertLoc0, const float* vertLoc1, int* retEdge,
                          veskGravity* gravMem);
void edgeChangeBarys(veskGravity* gravMem, int newEdge);

// Initial placement
void setveskGravity(veskGravity* memObj, ArrayList* ters);
void polyGrounded(veskGravity* memObj, float detectDist, ArrayList* terList);
void newPointFaceDist(const float* unitLoc, const float* f0, const float* f1, const float* f2,
                      float* retDist, int* retType, float* retBarys);
void oneCheck(float scale, const float* unitVec, const float* f0, const float* f1,
              const float* edgeVec, float* retDist, int* retType);
