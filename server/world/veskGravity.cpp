// Movement state of an entity: the seven-chunk neighbourhood and chunk hand-over, the
// per-tick velocity update with gravity and jumping, and the initial placement of a new
// entity on the nearest face, edge or vertex of the terrain.
#include "veskGravity.h"
#include "world.h"

#include <cmath>

#include "tolp.h"
#include "options.h"
#include "veskTrace.h"

static constexpr float littleG = -0.6f;
static constexpr float groundedDetectRadius = 0.55f;

void fillTerArray(veskGravity* memObj, ArrayList* ters) {
    // Chunk coordinates are unique within a list, so the constant-time look-up names the
    // same chunk a scan of the list would. Beyond the world's border a slot is empty.
    for (int k = 0; k < 7; k++) {
        int coords[2] = {memObj->chunkCoords[0] + chunkArrayCoords[2 * k],
                         memObj->chunkCoords[1] + chunkArrayCoords[2 * k + 1]};
        memObj->terArray[k] = coordsToTer(coords, ters);
    }
}

int isOnEdgeNew(float x, float y, int scale) {
    double ax = fabs(double(x)), ay = fabs(double(y)), s = double(scale);
    if (ax >= edgeTolerance * (cos60 * s)) {
        if (ay >= edgeTolerance * (tan60 * (s - ax))) {
            if (x > 0) return y > 0 ? 2 : 3;
            return y > 0 ? 0 : 5;
        }
        return -1;
    }
    if (ay >= edgeTolerance * (sin60 * s)) return y > 0 ? 1 : 4;
    return -1;
}

int gravEnterChunk(veskGravity* memObj, int slot, ArrayList* terList, float scale, int edge) {
    int to[2] = {memObj->chunkCoords[0] + chunkArrayCoords[2 * slot],
                 memObj->chunkCoords[1] + chunkArrayCoords[2 * slot + 1]};
    // Spawning before the refill keeps every slot naming its chunk, however the entity got
    // here (a side, a border edge, a face of a neighbour, or placement), up to the border.
    embedSpawnTer(terList, 4, to[0], to[1], scale, edge);
    if (!coordsToTer(to, terList)) return 0;
    memObj->chunkCoords[0] = to[0];
    memObj->chunkCoords[1] = to[1];
    fillTerArray(memObj, terList);
    return 1;
}

void gravShiftToNeighbour(float* position, int slot, float scale) {
    float wx, wz;
    terToWorldNew(chunkArrayCoords[2 * slot], chunkArrayCoords[2 * slot + 1], &wx, &wz, scale);
    position[0] -= wx;
    position[2] -= wz;
}

int offChunkCheck(veskGravity* gravMem) {
    int side = isOnEdgeNew(gravMem->position[0], gravMem->position[2], int(options.terScale));
    if (side == -1) return 1;
    if (!gravEnterChunk(gravMem, side + 1, world.terList, options.terScale, options.terEdge))
        return 0;
    gravShiftToNeighbour(gravMem->position, side + 1, options.terScale);
    return 1;
}

void addMoveVec(veskGravity* gravObj, const float* addVec) {
    float a[3];
    for (int i = 0; i < 3; i++)
        a[i] = gravObj->curMoveSpeed * gravObj->moveVect[i] + addVec[i];
    gravObj->curMoveSpeed = vectNorm(a, 3);
    if (gravObj->curMoveSpeed != 0.0f)
        for (int i = 0; i < 3; i++)
            gravObj->moveVect[i] = a[i] / gravObj->curMoveSpeed;
}

void makeMoveVect(veskGravity* gravObj) {
    veskGravity* g = gravObj;
    if (g->typeIndex == 7) {
        // In the air only gravity acts: walking keys and the jump key do nothing.
        const float fall[3] = {0.0f, littleG, 0.0f};
        addMoveVec(g, fall);
        return;
    }
    if (g->tempVect[0] == 0.0f && g->tempVect[2] == 0.0f) {
        if (g->curMoveSpeed > g->addMoveSpeed)
            g->curMoveSpeed = g->curMoveSpeed - g->addMoveSpeed;
        else
            g->curMoveSpeed = 0.0f;
    } else {
        float a[3];
        for (int i = 0; i < 3; i++)
            a[i] = g->addMoveSpeed * g->tempVect[i] + g->curMoveSpeed * g->moveVect[i];
        float m = vectNorm(a, 3);
        if (m > g->maxMoveSpeed) {
            if (g->curMoveSpeed <= g->maxMoveSpeed)
                g->curMoveSpeed = g->maxMoveSpeed;
            else if (g->curMoveSpeed - g->maxMoveSpeed > g->addMoveSpeed)
                g->curMoveSpeed = g->curMoveSpeed - g->addMoveSpeed; // still above the cap
            else
                g->curMoveSpeed = g->maxMoveSpeed;
        } else {
            g->curMoveSpeed = m;
        }
        // Input that exactly cancels the velocity leaves no direction: keep the old one.
        if (m != 0.0f)
            for (int i = 0; i < 3; i++)
                g->moveVect[i] = a[i] / m;
    }
    if (g->jumping) {
        const float jump[3] = {0.0f, -littleG * 5.0f, 0.0f};
        addMoveVec(g, jump);
        // faceIndex stays on the face just left so the first sweep passes over it.
        g->typeIndex = 7;
    }
}

void gravMoveStart(veskGravity* memObj, ArrayList* terList) {
    tracef("Grav Move Start; curMoveSpeed: %f\n", double(memObj->curMoveSpeed));
    world.physics.counter0 = 0;
    gravMove(memObj, terList);
}

void oneCheck(float scale, const float* unitVec, const float*, const float*, const float* edgeVec,
              float* retDist, int* retType) {
    float d[3];
    if (scale < 0.0f) {
        *retDist = vectNorm(unitVec, 3);
        *retType = 1;
    } else if (scale > 1.0f) {
        vectSub(edgeVec, unitVec, d, 3);
        *retDist = vectNorm(d, 3);
        *retType = 2;
    } else {
        for (int i = 0; i < 3; i++)
            d[i] = scale * edgeVec[i] - unitVec[i];
        *retDist = vectNorm(d, 3);
        *retType = 0;
    }
}

static void setPair(float* barys, float b0, float b1) {
    barys[0] = b0;
    barys[1] = b1;
}

static void edgeGlitch() {
    tracef("\nnewPointFaceDist() Edge Glitch. *retType == 2\n");
}

void newPointFaceDist(const float* unitLoc, const float* f0, const float* f1, const float* f2,
                      float* retDist, int* retType, float* retBarys) {
    float v[3], u[3], w[3];
    vectSub(f1, f0, v, 3);
    vectSub(f2, f0, u, 3);
    vectSub(unitLoc, f0, w, 3);
    float d00 = dotProd(v, v, 3), d01 = dotProd(v, u, 3), d02 = dotProd(v, w, 3);
    float d11 = dotProd(u, u, 3), d12 = dotProd(u, w, 3);
    float k = 1.0f / (d00 * d11 - d01 * d01);
    float b0 = (d11 * d02 - d01 * d12) * k;
    float b1 = (d00 * d12 - d01 * d02) * k;
    float r = 1.0f - b0 - b1;

    if (b0 >= 0.0f && b1 >= 0.0f && r >= 0.0f) {
        float d[3];
        for (int i = 0; i < 3; i++)
            d[i] = b0 * v[i] + b1 * u[i] - w[i];
        *retDist = vectNorm(d, 3);
        *retType = 0;
        setPair(retBarys, b0, b1);
        return;
    }

    // Edge f1-f2 is measured from f1, so it needs its own point and edge vectors.
    float w12[3], e12[3];
    vectSub(unitLoc, f1, w12, 3);
    vectSub(f2, f1, e12, 3);
    float t12 = dotProd(e12, w12, 3) / dotProd(e12, e12, 3);
    float t01 = d02 / d00, t02 = d12 / d11;
    float dist, dist2;
    int type, type2;
    // The second edge of a corner region: a foot on that segment wins over the corner; one
    // beyond its far end (`glitch`) is reported, and the corner stands.
    auto secondEdge = [&](float t, const float* from, const float* a, const float* b,
                          const float* e, int code, float pb0, float pb1, int glitch) {
        oneCheck(t, from, a, b, e, &dist2, &type2);
        if (type2 == 0) {
            *retType = code;
            setPair(retBarys, pb0, pb1);
            dist = dist2;
        } else if (type2 == glitch) {
            edgeGlitch();
        }
    };

    if (b0 < 0.0f) {
        oneCheck(t02, w, f0, f2, u, &dist, &type);
        if (type == 0) {
            *retType = 2;
            setPair(retBarys, 0.0f, t02);
        } else if (type == 1) {
            *retType = 4;
            setPair(retBarys, 0.0f, 0.0f);
            if (b1 < 0.0f) secondEdge(t01, w, f0, f1, v, 1, t01, 0.0f, 2);
        } else {
            *retType = 6;
            setPair(retBarys, 0.0f, 1.0f);
            if (r < 0.0f) secondEdge(t12, w12, f1, f2, e12, 3, 1.0f - t12, t12, 1);
        }
    } else if (b1 < 0.0f) {
        oneCheck(t01, w, f0, f1, v, &dist, &type);
        if (type == 0) {
            *retType = 1;
            setPair(retBarys, t01, 0.0f);
        } else if (type == 1) {
            *retType = 4;
            setPair(retBarys, 0.0f, 0.0f);
        } else {
            *retType = 5;
            setPair(retBarys, 1.0f, 0.0f);
            if (r < 0.0f) secondEdge(t12, w12, f1, f2, e12, 3, 1.0f - t12, t12, 2);
        }
    } else {
        oneCheck(t12, w12, f1, f2, e12, &dist, &type);
        if (type == 0) {
            *retType = 3;
            setPair(retBarys, 1.0f - t12, t12);
        } else if (type == 1) {
            *retType = 5;
            setPair(retBarys, 1.0f, 0.0f);
        } else {
            *retType = 6;
            setPair(retBarys, 0.0f, 1.0f);
        }
    }
    *retDist = dist;
}

void polyGrounded(veskGravity* memObj, float detectDist, ArrayList* terList) {
    // A record can name a chunk whose surroundings were never generated (a loaded entity
    // at the rim of the world); the search below needs all seven chunks to exist.
    embedSpawnTer(terList, 4, memObj->chunkCoords[0], memObj->chunkCoords[1],
                  world.physics.veskGravTerrainScale, world.physics.veskGravTerrainEdge);
    fillTerArray(memObj, terList);
    memObj->typeIndex = 7;
    memObj->faceIndex = -1;
    float best = detectDist;
    int bestChunk = -1;
    for (int k = 0; k < 7; k++) {
        veskTerrain* ter = memObj->terArray[k];
        if (!ter) continue; // beyond the world's border
        tracef("chunk: %p\n", static_cast<void*>(ter));
        float rel[3] = {memObj->position[0], memObj->position[1], memObj->position[2]};
        gravShiftToNeighbour(rel, k, world.physics.veskGravTerrainScale);
        for (int f = 0; f < ter->numFaces; f++) {
            const int32_t* idx = ter->faces + 3 * f;
            float dist, barys[2];
            int type = -1;
            newPointFaceDist(rel, ter->verts[idx[0]].loc, ter->verts[idx[1]].loc,
                             ter->verts[idx[2]].loc, &dist, &type, barys);
            if (dist < best) {
                best = dist;
                bestChunk = k;
                memObj->faceIndex = f;
                memObj->typeIndex = type;
                memObj->barys[0] = barys[0];
                memObj->barys[1] = barys[1];
            }
        }
    }
    if (memObj->typeIndex != 7 && bestChunk != 0) {
        tracef("BUG: finish polyGrounded");
        // The face belongs to the neighbour, so the entity moves into that chunk's frame.
        gravEnterChunk(memObj, bestChunk, terList, world.physics.veskGravTerrainScale,
                       world.physics.veskGravTerrainEdge);
        gravShiftToNeighbour(memObj->position, bestChunk, world.physics.veskGravTerrainScale);
    }
}

// A grounded entity starts at its resting point over the nearest feature: left where it
// was, or on an edge itself, it would sit inside the ground until it first moved.
void setveskGravity(veskGravity* memObj, ArrayList* ters) {
    polyGrounded(memObj, groundedDetectRadius, ters);
    if (memObj->typeIndex == 7) return;
    veskTerrain* ter = memObj->terArray[0];
    const int32_t* idx = ter->faces + 3 * memObj->faceIndex;
    const float* f0 = ter->verts[idx[0]].loc;
    float v[3], u[3];
    vectSub(ter->verts[idx[1]].loc, f0, v, 3);
    vectSub(ter->verts[idx[2]].loc, f0, u, 3);
    restOnFace(memObj->position, f0, v, u, memObj->barys);
}
