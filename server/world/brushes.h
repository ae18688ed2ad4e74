// Terrain editing: the pick of the face under a client's view ray, the normal, smoothing and
// texture brushes, and the vertex walk that the normal and smoothing brushes share.
#pragma once

#include "veskArrayList.h"
#include "veskTerrain.h"

struct veskGravity;

// One mouse action of a client: picks the face under the view ray among the seven chunks
// around the entity and applies the brush of `editType` there.
void terEditNew(float* loc, float* vec, veskGravity* gravMem, int push, int editType);

// One brush application's walk over the vertices around the hit point. A vertex reference
// is three ints: vertex index, chunk x, chunk y. Of the border copies of one terrain point
// only the first one offered enters todo; its twins go to doneEdges and stay out.
struct brushWalk {
    ArrayList* todo;      // references in processing order, breadth first
    ArrayList* doneEdges; // copies turned away because a twin is in todo (may repeat)
    int doneVert;         // position in todo of the next reference to process
    float loc[3];         // hit point, in the frame of chunk chunkCoords
    int chunkCoords[2];
    float radius; // neighbours at this distance or more stay out
};

// A point taken from the walk: the copy the brush changes and the twins that follow it.
struct brushPoint {
    int doneVert; // its position in todo
    int ref[3];
    veskTerrain* ter;
    int edge; // border code of the copy, -1 inside its chunk
    int numTwins;
    veskTerrain* twinTer[2];
    int twinVert[2];
    float twinShift[2][2]; // added to a twin chunk's x and z gives the copy's frame
};

// Creates the lists and seeds them with the three corners of the picked face; a missing
// chunk or face seeds nothing. brushWalkEnd releases the lists.
void brushWalkStart(brushWalk* walk, const float* loc, int faceIndex, const int* chunkCoords,
                    float radius);
void brushWalkEnd(brushWalk* walk);
// Takes the next reference, finds its twins and offers the neighbours of every copy to the
// walk; 0 when the walk is exhausted.
int brushWalkNext(brushWalk* walk, brushPoint* pt);
// Writes the brush's result (newLoc: whole position inside a chunk, only its height on a
// border; twinY: heights of the twins) unless some of it is not finite, and records the
// copy and its twins in their chunks' movedVerts. Null newLoc records without changing.
void brushPlace(brushPoint* pt, const float* newLoc, const float* twinY);
// 1 when the reference was appended to todo, 0 when it or a twin of it is already known.
int addTerVertUnique(ArrayList* todo, ArrayList* doneEdge, const int* inVert);
// Offers vertex `vert` of `ter` to the walk when it lies within the walk's radius of the hit
// point; the result of the offer, or 0 when out of reach.
int brushNormVert(brushWalk* walk, veskTerrain* ter, int vert);

// Falloff of the normal brush: 1 / (2^(x - 4) + 1).
float sigmoid2(float x);
// Adds the normals (scaled to 0.5) of the faces of `ter` around `vert` to normSum; the number
// of faces added.
int brushNormChunk(const veskTerrain* ter, int vert, float* normSum);
// Raises the terrain around the hit point, or lowers it when `push` is 0.
void brushNormalInOut(const float* loc, int faceIndex, const int* chunkCoords, float radius,
                      int push);
void brushSmooth(const float* loc, int faceIndex, const int* chunkCoords, float radius);
void brushTexi(const float* loc, const int* chunkCoords, int texi);
