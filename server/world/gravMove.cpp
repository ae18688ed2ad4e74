// The move step of a ground walker: the swept sphere against the faces of the seven chunks,
// landing and sliding contacts, free flight with chunk hand-over, the slide within a face,
// and the crossing onto the neighbouring face or chunk.
#include <bit>
#include <cmath>

#include "tolp.h"
#include "world.h"
#include "rayFace.h"
#include "sweepIndex.h"
#include "veskGravity.h"
#include "veskTrace.h"

static constexpr float gravDetectRadius = 0.5f;
static constexpr double cornerBand = double(0.001f);

struct sweepHit {
    float scale; // fraction of the step vector, 1 while nothing was met
    int chunk;
    int face;
    int type;
    float barys[2];
};

// Counts one more recursive step of this entity's move in this tick. Past the bound the
// move simply ends for this tick: one entity's bad footing must never stop the server.
static int anotherStep(const char* breakLine) {
    world.physics.counter0++;
    if (world.physics.counter0 <= world.physics.maxRec) return 1;
    if (world.physics.debug) traceLine(breakLine);
    return 0;
}

static void faceCorners(const veskTerrain* ter, int face, const float** f0, const float** f1,
                        const float** f2) {
    const int32_t* idx = ter->faces + 3 * face;
    *f0 = ter->verts[idx[0]].loc;
    *f1 = ter->verts[idx[1]].loc;
    *f2 = ter->verts[idx[2]].loc;
}

// The point with weights (b0, b1) on the face, lifted to the resting height along the
// face's unit normal.
void restOnFace(float* position, const float* f0, const float* v, const float* u,
                const float* barys) {
    float n[3];
    crossProd3(v, u, n);
    vectNormalize(n, 3);
    for (int i = 0; i < 3; i++)
        position[i] = f0[i] + barys[0] * v[i] + barys[1] * u[i] + indentRadius * n[i];
}

// Asks face f of slot k; a contact at 0 < s below the best so far becomes the best. Asked in
// slot order and, within a slot, by face index, the strict comparison lets a tie keep the
// earlier face.
static void askFace(const veskGravity* g, int k, int f, const float* start, const float* step,
                    sweepHit* best) {
    // By index alone, in every chunk: keeps the face stood on out of the test.
    if (f == g->faceIndex) return;
    const float *f0, *f1, *f2;
    faceCorners(g->terArray[k], f, &f0, &f1, &f2);
    float barys[2];
    int type = -1;
    float s = newerCircRayFaceScalar(start, step, gravDetectRadius, f0, f1, f2, barys, &type);
    if (s >= 0.0f) tracef("(lowFace: %d) (lowChunk: %d) (lowScale: %f)\n", f, k, double(s));
    if (0.0f < s && s < best->scale) {
        best->scale = s;
        best->chunk = k;
        best->face = f;
        best->type = type;
        best->barys[0] = barys[0];
        best->barys[1] = barys[1];
    }
}

// Positions and steps this large are left to the full sweep: the rounding argument behind
// the cull (sweepIndex.cpp) assumes no product of the query comes near overflow.
static bool cullable(const float* position, const float* step) {
    const float limit = 1048576.0f;
    for (int i = 0; i < 3; i++)
        if (!(std::fabs(position[i]) <= limit && std::fabs(step[i]) <= limit)) return false;
    return true;
}

// Earliest contact of the sphere moving along `step` with any face of the neighbourhood
// other than the one it stands on. Ties keep the earlier face (slot, then index).
static void sweepNeighbourhood(veskGravity* g, const float* step, sweepHit* best) {
    best->scale = 1.0f;
    best->chunk = -1;
    best->face = -1;
    best->type = -1;
    // Each chunk's index hands out the faces this step can touch and those whose query is
    // too ill-conditioned to tell (sweepIndex.cpp); any other face cannot report a contact
    // at 0 < s < 1. Asking the rest in the same order with the same strict comparison picks
    // the same face. The trace then lists only the faces asked (world.physics.gravSweepCull = 0
    // lists all).
    bool cull = world.physics.gravSweepCull != 0 && cullable(g->position, step);
    for (int k = 0; k < 7; k++) {
        veskTerrain* ter = g->terArray[k];
        if (!ter) continue; // beyond the world's border
        float start[3] = {g->position[0], g->position[1], g->position[2]};
        gravShiftToNeighbour(start, k, world.physics.veskGravTerrainScale);
        if (!cull) {
            for (int f = 0; f < ter->numFaces; f++)
                askFace(g, k, f, start, step, best);
            continue;
        }
        sweepIndex* ix = sweepIndexOf(ter);
        const uint64_t* faces = sweepCandidates(ix, start, step, gravDetectRadius);
        for (int w = 0; w < ix->words; w++)
            for (uint64_t bits = faces[w]; bits; bits &= bits - 1)
                askFace(g, k, 64 * w + std::countr_zero(bits), start, step, best);
    }
}

// The world's border stops a flight as a wall would: the step is taken back, and only the
// vertical part of the motion goes on, swept again from where the step began.
static void stopAtTheBorder(veskGravity* g, const float* from) {
    for (int i = 0; i < 3; i++)
        g->position[i] = from[i];
    float vertical = g->moveVect[1];
    g->midMoveSpeed *= std::fabs(vertical);
    g->curMoveSpeed *= std::fabs(vertical);
    g->moveVect[0] = 0.0f;
    g->moveVect[2] = 0.0f;
    g->moveVect[1] = vertical < 0.0f ? -1.0f : vertical > 0.0f ? 1.0f : 0.0f;
}

void gravMove(veskGravity* memObj, ArrayList* terList) {
    veskGravity* g = memObj;
    sayVect("gravMove() StartLoc", g->position, 3);
    sayVect("gravMove() MoveVec", g->moveVect, 3);
    tracef("midMoveSpeed: %f\n", double(g->midMoveSpeed));

    float step[3];
    for (int i = 0; i < 3; i++)
        step[i] = g->midMoveSpeed * g->moveVect[i];
    sweepHit hit;
    sweepNeighbourhood(g, step, &hit);

    if (hit.face == -1) {
        if (g->typeIndex != 7) {
            groundedNoCollision(g, terList);
            return;
        }
        g->faceIndex = -1;
        g->typeIndex = 7;
        float from[3] = {g->position[0], g->position[1], g->position[2]};
        for (int i = 0; i < 3; i++)
            g->position[i] += step[i];
        int side =
            isOnEdgeNew(g->position[0], g->position[2], int(world.physics.veskGravTerrainScale));
        if (side == -1) return;
        if (gravEnterChunk(g, side + 1, terList, world.physics.veskGravTerrainScale,
                           world.physics.veskGravTerrainEdge)) {
            gravShiftToNeighbour(g->position, side + 1, world.physics.veskGravTerrainScale);
            return;
        }
        stopAtTheBorder(g, from);
        if (!anotherStep("Recure break 0")) return;
        gravMove(g, terList);
        return;
    }

    tracef("lowFace: %d\n", hit.face);
    const float *v0, *v1, *v2;
    faceCorners(g->terArray[hit.chunk], hit.face, &v0, &v1, &v2);
    sayVect("colFaceV0", v0, 3);
    sayVect("colFaceV1", v1, 3);
    sayVect("colFaceV2", v2, 3);
    float v[3], u[3];
    vectSub(v1, v0, v, 3);
    vectSub(v2, v0, u, 3);

    // The touched face's corners are already in its own chunk's frame, which becomes ours.
    if (hit.chunk != 0)
        gravEnterChunk(g, hit.chunk, terList, world.physics.veskGravTerrainScale,
                       world.physics.veskGravTerrainEdge);

    if (g->typeIndex == 7) {
        // Landing: the whole remaining motion, projected onto the face, goes on from the
        // contact; the distance flown before it is not taken off.
        float d00 = dotProd(v, v, 3), d01 = dotProd(v, u, 3), d11 = dotProd(u, u, 3);
        float inv = 1.0f / (d00 * d11 - d01 * d01);
        float d02 = dotProd(v, step, 3), d12 = dotProd(u, step, 3);
        float a = (d11 * d02 - d01 * d12) * inv;
        float b = (d00 * d12 - d01 * d02) * inv;
        for (int i = 0; i < 3; i++)
            g->moveVect[i] = a * v[i] + b * u[i];
        float ratio = vectNorm(g->moveVect, 3) / g->midMoveSpeed;
        g->midMoveSpeed = g->midMoveSpeed * ratio;
        g->curMoveSpeed = g->curMoveSpeed * ratio;
        vectNormalize(g->moveVect, 3);
    } else {
        g->midMoveSpeed = (1.0f - hit.scale) * g->midMoveSpeed;
        tracef("lowScale: %f\n", double(hit.scale));
        float dx, dz;
        axisAlignNewer(v0, v1, v2, &dx, &dz);
        g->moveVect[1] = g->moveVect[0] * dx + g->moveVect[2] * dz;
        vectNormalize(g->moveVect, 3);
    }

    // A corner contact reports the plane point's weights, which lie outside the face; the
    // entity rests on the corner itself, so its weights are that vertex's.
    if (hit.type == 4) hit.barys[0] = hit.barys[1] = 0.0f;
    if (hit.type == 5) hit.barys[0] = 1.0f, hit.barys[1] = 0.0f;
    if (hit.type == 6) hit.barys[0] = 0.0f, hit.barys[1] = 1.0f;
    sayVect("lowBarys", hit.barys, 2);
    restOnFace(g->position, v0, v, u, hit.barys);
    g->faceIndex = hit.face;
    g->typeIndex = hit.type;
    g->barys[0] = hit.barys[0];
    g->barys[1] = hit.barys[1];

    traceLine("\tGravMove Collision Recure");
    if (!anotherStep("Recure break 0")) return;
    gravMove(g, terList);
}

// Which weight reaches 0 first. A weight counts only while it falls: one that starts at 0
// (on an edge or a vertex) and grows would otherwise give a fraction of -0, which passes
// as non-negative and sends the entity over an edge it is moving away from.
static int exitIndex(int code, const float* delta, const float* q) {
    float c[3];
    for (int i = 0; i < 3; i++)
        c[i] = delta[i] < 0.0f ? q[i] : -1.0f;
    if (code == 0) {
        int j = lowestPosFloat3(c[0], c[1], c[2]);
        return (j == 2 && !(c[2] >= 0.0f)) ? -1 : j;
    }
    // On an edge: its own weight is the one already at 0; a and b are the other two.
    int own = code == 1 ? 1 : code == 2 ? 0 : 2;
    int a = code == 2 ? 1 : 0;
    int b = code == 3 ? 1 : 2;
    if (delta[own] < 0.0f) return own;
    bool okA = c[a] >= 0.0f, okB = c[b] >= 0.0f;
    if (okA && okB) return c[a] > c[b] ? b : a;
    if (okA) return a;
    if (okB) return b;
    return -1;
}

void groundedNoCollision(veskGravity* memObj, ArrayList* terList) {
    veskGravity* g = memObj;
    traceLine("\tnoCollision");
    const float *f0, *f1, *f2;
    faceCorners(g->terArray[0], g->faceIndex, &f0, &f1, &f2);
    float v[3], u[3], p[3], w[3];
    vectSub(f1, f0, v, 3);
    vectSub(f2, f0, u, 3);
    for (int i = 0; i < 3; i++)
        p[i] = g->position[i] + g->midMoveSpeed * g->moveVect[i];
    vectSub(p, f0, w, 3);
    float d00 = dotProd(v, v, 3), d01 = dotProd(v, u, 3), d02 = dotProd(v, w, 3);
    float d11 = dotProd(u, u, 3), d12 = dotProd(u, w, 3);
    float k = 1.0f / (d00 * d11 - d01 * d01);
    float e[3];
    e[0] = (d11 * d02 - d01 * d12) * k;
    e[1] = (d00 * d12 - d01 * d02) * k;
    e[2] = 1.0f - e[0] - e[1];

    if (e[0] >= 0.0f && e[1] >= 0.0f && e[2] >= 0.0f) {
        // Ends on this face; the part of the motion across the face's plane is dropped.
        g->barys[0] = e[0];
        g->barys[1] = e[1];
        g->typeIndex = 0;
        restOnFace(g->position, f0, v, u, g->barys);
        return;
    }

    if (g->typeIndex >= 4 && g->typeIndex <= 6) {
        traceLine("BUG: On Corner, Not Handled.");
        // Taken as a point inside the face with the vertex's exact weights, so the exit is
        // one of the two edges at that vertex.
        int code = g->typeIndex;
        g->barys[0] = code == 5 ? 1.0f : 0.0f;
        g->barys[1] = code == 6 ? 1.0f : 0.0f;
        g->typeIndex = 0;
    }

    float start[3] = {g->barys[0], g->barys[1], 1.0f - g->barys[0] - g->barys[1]};
    float delta[3], q[3];
    for (int i = 0; i < 3; i++) {
        delta[i] = e[i] - start[i];
        q[i] = -start[i] / delta[i];
    }
    int j = exitIndex(g->typeIndex, delta, q);
    if (j < 0) return; // the weights have drifted off the face: no way on this tick

    float s0 = delta[0] * q[j], s1 = delta[1] * q[j];
    g->barys[0] += s0;
    g->barys[1] += s1;
    float t[3];
    for (int i = 0; i < 3; i++)
        t[i] = s0 * v[i] + s1 * u[i];
    float moveDist = vectNorm(t, 3);
    tracef("moveDist: %f\n", double(moveDist));
    g->midMoveSpeed -= moveDist;

    g->typeIndex = j == 0 ? 2 : j == 1 ? 1 : 3;
    const int32_t* idx = g->terArray[0]->faces + 3 * g->faceIndex;
    int vi0 = g->typeIndex == 3 ? idx[1] : idx[0];
    int vi1 = g->typeIndex == 1 ? idx[1] : idx[2];

    // Kept so that a border edge without a face beyond it leaves the entity where it is.
    int oldCoords[2] = {g->chunkCoords[0], g->chunkCoords[1]};
    veskTerrain* oldTers[7];
    for (int i = 0; i < 7; i++)
        oldTers[i] = g->terArray[i];
    int oldFace = g->faceIndex, oldType = g->typeIndex;
    float oldBarys[2] = {g->barys[0], g->barys[1]};

    handleEdges(vi0, vi1, g, world.physics.veskGravTerrainScale, terList);

    if (g->faceIndex == -1) {
        traceLine("faceNextTo returned -1");
        g->chunkCoords[0] = oldCoords[0];
        g->chunkCoords[1] = oldCoords[1];
        for (int i = 0; i < 7; i++)
            g->terArray[i] = oldTers[i];
        g->faceIndex = oldFace;
        g->typeIndex = oldType;
        g->barys[0] = oldBarys[0];
        g->barys[1] = oldBarys[1];
        restOnFace(g->position, f0, v, u, g->barys);
        return;
    }

    const float *g0, *g1, *g2;
    faceCorners(g->terArray[0], g->faceIndex, &g0, &g1, &g2);
    float nv[3], nu[3];
    vectSub(g1, g0, nv, 3);
    vectSub(g2, g0, nu, 3);
    restOnFace(g->position, g0, nv, nu, g->barys);
    float dx, dz;
    axisAlignNewer(g0, g1, g2, &dx, &dz);
    g->moveVect[1] = g->moveVect[0] * dx + g->moveVect[2] * dz;
    vectNormalize(g->moveVect, 3);

    traceLine("Recure2");
    if (!anotherStep("recureBreak 1")) return;
    gravMove(g, terList);
}

int isOnEdge(float x, float y, int scale) {
    double dx = double(x), dy = double(y), ax = fabs(dx), ay = fabs(dy), s = double(scale);
    double slant = edgeTolerance * (tan60 * (s - ax));
    if (dy >= edgeTolerance * (sin60 * s)) {
        if (cos60 * s >= edgeTolerance * ax) {
            if (ay >= slant) return x < 0 ? 2 : 4;
            return 3;
        }
        return -1;
    }
    if (dy <= edgeTolerance * (-sin60 * s)) {
        if (cos60 * s >= edgeTolerance * ax) {
            if (ay >= slant) return x < 0 ? 10 : 8;
            return 9;
        }
        return -1;
    }
    if (ay >= slant) {
        if (ay < cornerBand) return x < 0 ? 0 : 6;
        if (y > 0) return x < 0 ? 1 : 5;
        return x < 0 ? 11 : 7;
    }
    return -1;
}

void handleEdges(int vi0, int vi1, veskGravity* gravMem, float terrainScale, ArrayList* terList) {
    veskGravity* g = gravMem;
    const veskTerrain* ter = g->terArray[0];
    float p0[3], p1[3];
    for (int i = 0; i < 3; i++) {
        p0[i] = ter->verts[vi0].loc[i];
        p1[i] = ter->verts[vi1].loc[i];
    }
    int c0 = isOnEdge(p0[0], p0[2], int(terrainScale));
    int c1 = isOnEdge(p1[0], p1[2], int(terrainScale));
    int e = -1;
    if (c0 == -1 || c1 == -1) {
        e = findFaceNextToIndex(vi0, vi1, g);
    } else {
        // Chunks share no vertices: the face beyond a border edge is found by position.
        int side = (c0 % 2 != 0) ? c0 : c1;
        int slot = side / 2 + 1;
        g->faceIndex = -1;
        // At the world's border there is no face beyond: the walker stays where it is.
        if (gravEnterChunk(g, slot, terList, world.physics.veskGravTerrainScale,
                           world.physics.veskGravTerrainEdge)) {
            gravShiftToNeighbour(p0, slot, terrainScale);
            gravShiftToNeighbour(p1, slot, terrainScale);
            findFaceNextToSimple(p0, p1, &e, g);
        }
    }
    edgeChangeBarys(g, e);
    g->typeIndex = e + 1;
}

int findFaceNextToIndex(int p, int q, veskGravity* gravMem) {
    const veskTerrain* ter = gravMem->terArray[0];
    for (int f = 0; f < ter->numFaces; f++) {
        if (f == gravMem->faceIndex) continue;
        const int32_t* idx = ter->faces + 3 * f;
        int e = -1;
        if (idx[0] == p) {
            if (idx[1] == q)
                e = 0;
            else if (idx[2] == q)
                e = 1;
        } else if (idx[1] == p) {
            if (idx[0] == q)
                e = 0;
            else if (idx[2] == q)
                e = 2;
        } else if (idx[2] == p) {
            if (idx[0] == q)
                e = 1;
            else if (idx[1] == q)
                e = 2;
        }
        if (e != -1) {
            gravMem->faceIndex = f;
            return e;
        }
    }
    return -1;
}

static bool samePlace(const float* a, const float* b) {
    float d[3];
    vectSub(a, b, d, 3);
    return vectNorm(d, 3) < 0.001f;
}

void findFaceNextToSimple(const float* vertLoc0, const float* vertLoc1, int* retEdge,
                          veskGravity* gravMem) {
    const veskTerrain* ter = gravMem->terArray[0];
    for (int f = 0; f < ter->numFaces; f++) {
        const float *fp, *fq, *fr;
        faceCorners(ter, f, &fp, &fq, &fr);
        int e = -1;
        if (samePlace(vertLoc0, fp)) {
            if (samePlace(vertLoc1, fq))
                e = 0;
            else if (samePlace(vertLoc1, fr))
                e = 1;
        } else if (samePlace(vertLoc0, fq)) {
            if (samePlace(vertLoc1, fp))
                e = 0;
            else if (samePlace(vertLoc1, fr))
                e = 2;
        } else if (samePlace(vertLoc0, fr)) {
            if (samePlace(vertLoc1, fp))
                e = 1;
            else if (samePlace(vertLoc1, fq))
                e = 2;
        }
        // No early exit: the last matching face wins.
        if (e != -1) {
            gravMem->faceIndex = f;
            *retEdge = e;
        }
    }
}

void edgeChangeBarys(veskGravity* gravMem, int newEdge) {
    // Faces are all wound the same way, so the shared edge runs the other way round in the
    // new face; these six pairings are the only ones the chunk mesh produces.
    float b0 = gravMem->barys[0], b1 = gravMem->barys[1];
    float m = 1.0f - b0 - b1;
    float* out = gravMem->barys;
    switch (gravMem->typeIndex) {
    case 1:
        if (newEdge == 1) out[0] = 0.0f, out[1] = b0;
        if (newEdge == 2) out[0] = b0, out[1] = m;
        break;
    case 2:
        if (newEdge == 0) out[0] = b1, out[1] = 0.0f;
        if (newEdge == 2) out[0] = m, out[1] = b1;
        break;
    case 3:
        if (newEdge == 0) out[0] = b0, out[1] = 0.0f;
        if (newEdge == 1) out[0] = 0.0f, out[1] = b1;
        break;
    default:
        break;
    }
}
