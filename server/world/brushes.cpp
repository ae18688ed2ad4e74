// Terrain editing: the pick of the face under a client's view ray, the normal, smoothing and
// texture brushes, and the breadth-first vertex walk that moves every border copy of a point
// (its twins in the neighbouring chunks) together, so that chunks stay seamless.
#include "brushes.h"
#include "world.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>

#include "rayFace.h"
#include "tolp.h"
#include "options.h"
#include "veskTrace.h"

static constexpr float brushRadius = 8.0f;
static constexpr float texiRadius = 4.0f;
static constexpr int texiReach = 2; // hex distance of the chunks the texture brush scans
static constexpr double twinTolerance = 0.001;
static constexpr float faceNormalLength = 0.5f;

// The corners of face f, or null when f or one of its corners is out of range: chunks read
// from a world file are taken as they come.
static const int32_t* brushFace(const veskTerrain* ter, int f) {
    if (!ter || f < 0 || f >= ter->numFaces) return nullptr;
    const int32_t* c = ter->faces + 3 * f;
    for (int k = 0; k < 3; k++)
        if (c[k] < 0 || c[k] >= ter->numVerts) return nullptr;
    return c;
}

// When `vert` is a corner of face f (< numFaces): its other two corners, in face order. The
// walk scans every face for every copy it processes, so the corner test comes first.
static int faceOthers(const veskTerrain* ter, int f, int vert, int* others) {
    const int32_t* c = ter->faces + 3 * f;
    int at = c[0] == vert ? 0 : c[1] == vert ? 1 : c[2] == vert ? 2 : -1;
    if (at < 0) return 0;
    others[0] = c[at == 0 ? 1 : 0];
    others[1] = c[at == 2 ? 1 : 2];
    for (int k = 0; k < 2; k++)
        if (others[k] < 0 || others[k] >= ter->numVerts) return 0;
    return 1;
}

// The chunk at `coords` + (dx, dy), or null. Coordinates from a world file may sit at the
// ends of the int range, where the sum would overflow.
static veskTerrain* chunkNear(const int* coords, int dx, int dy) {
    long long x = (long long)coords[0] + dx, y = (long long)coords[1] + dy;
    if (!world.terList || x < INT_MIN || x > INT_MAX || y < INT_MIN || y > INT_MAX) return nullptr;
    const int c[2] = {int(x), int(y)};
    return coordsToTer(c, world.terList);
}

// Centre (x, z) of chunk a seen from the centre of chunk b: added to a position of chunk a,
// it gives that position in chunk b's frame.
static void centreOffset(const int* a, const int* b, float* off) {
    terToWorldNew(a[0] - b[0], a[1] - b[1], &off[0], &off[1], options.terScale);
}

// 3-D distance of the hit point from p, where `off` is the centreOffset of the hit point's
// chunk from p's chunk.
static float distFrom(const float* loc, const float* off, const float* p) {
    float delta[3] = {loc[0] - p[0] + off[0], loc[1] - p[1], loc[2] - p[2] + off[1]};
    return vectNorm(delta, 3);
}

static float hitDist(const brushWalk* walk, const veskTerrain* ter, int vert) {
    float off[2];
    centreOffset(walk->chunkCoords, ter->chunkCoords, off);
    return distFrom(walk->loc, off, ter->verts[vert].loc);
}

static int vertEdge(const veskTerrain* ter, int vert) {
    const float* p = ter->verts[vert].loc;
    return isOnEdge(p[0], p[2], int(options.terScale));
}

// Neighbour slot sharing a border code: every code has a first one, corners (even codes) a
// second one; corner 2k lies between slots k + 1 and k, with slot 0 standing for slot 6.
static int edgeSlot(int edge, int second) {
    if (!second) return edge / 2 + 1;
    return edge / 2 == 0 ? 6 : edge / 2;
}

static veskTerrain* edgeChunk(const veskTerrain* ter, int edge, int second) {
    int slot = edgeSlot(edge, second);
    return chunkNear(ter->chunkCoords, chunkArrayCoords[2 * slot], chunkArrayCoords[2 * slot + 1]);
}

// Heights count too: a copy left behind by an earlier edit is no twin.
// `off` is the centreOffset of nb from ter.
static int isTwin(const veskTerrain* ter, int vert, const veskTerrain* nb, int j,
                  const float* off) {
    const float* a = ter->verts[vert].loc;
    const float* b = nb->verts[j].loc;
    double dx = double(b[0]) + double(off[0]) - double(a[0]);
    double dy = double(b[1]) - double(a[1]);
    double dz = double(b[2]) + double(off[1]) - double(a[2]);
    return std::sqrt(dx * dx + dy * dy + dz * dz) < twinTolerance;
}

static int findTwin(const veskTerrain* ter, int vert, const veskTerrain* nb) {
    float off[2];
    centreOffset(nb->chunkCoords, ter->chunkCoords, off);
    for (int j = 0; j < nb->numVerts; j++)
        if (isTwin(ter, vert, nb, j, off)) return j;
    return -1;
}

// Looks at every copy of the offered point in neighbour `nb`: 1 when one is known already
// (in todo, or in doneEdges too when `checkDone`), else lists them all in doneEdges.
static int twinKnown(ArrayList* todo, ArrayList* doneEdge, const veskTerrain* ter, int vert,
                     const veskTerrain* nb, int checkDone) {
    if (!nb) return 0;
    float off[2];
    centreOffset(nb->chunkCoords, ter->chunkCoords, off);
    for (int j = 0; j < nb->numVerts; j++) {
        if (!isTwin(ter, vert, nb, j, off)) continue;
        const int cand[3] = {j, nb->chunkCoords[0], nb->chunkCoords[1]};
        if (arrayListContain(todo, cand) || (checkDone && arrayListContain(doneEdge, cand)))
            return 1;
        arrayListAddEnd(doneEdge, cand);
    }
    return 0;
}

// Admission of vertex inVert[0] of `inTer`, the chunk named by the reference.
static int admit(ArrayList* todo, ArrayList* doneEdge, const int* inVert,
                 const veskTerrain* inTer) {
    if (arrayListContain(todo, inVert) || arrayListContain(doneEdge, inVert)) return 0;
    int edge = vertEdge(inTer, inVert[0]);
    if (edge >= 0) {
        // The second neighbour's copies are checked against todo alone: a point with a copy
        // in doneEdges has every copy there, this one too, which was turned away above.
        if (twinKnown(todo, doneEdge, inTer, inVert[0], edgeChunk(inTer, edge, 0), 1) ||
            (edge % 2 == 0 &&
             twinKnown(todo, doneEdge, inTer, inVert[0], edgeChunk(inTer, edge, 1), 0))) {
            arrayListAddEnd(doneEdge, inVert);
            return 0;
        }
    }
    arrayListAddUnique(todo, inVert);
    return 1;
}

int addTerVertUnique(ArrayList* todo, ArrayList* doneEdge, const int* inVert) {
    const veskTerrain* inTer = chunkNear(inVert + 1, 0, 0);
    if (!inTer || inVert[0] < 0 || inVert[0] >= inTer->numVerts) return 0;
    return admit(todo, doneEdge, inVert, inTer);
}

int brushNormVert(brushWalk* walk, veskTerrain* ter, int vert) {
    if (!(hitDist(walk, ter, vert) < walk->radius)) return 0;
    const int ref[3] = {vert, ter->chunkCoords[0], ter->chunkCoords[1]};
    return admit(walk->todo, walk->doneEdges, ref, ter);
}

static void offerAround(brushWalk* walk, veskTerrain* ter, int vert) {
    int others[2];
    for (int f = 0; f < ter->numFaces; f++) {
        if (!faceOthers(ter, f, vert, others)) continue;
        brushNormVert(walk, ter, others[0]);
        brushNormVert(walk, ter, others[1]);
    }
}

void brushWalkStart(brushWalk* walk, const float* loc, int faceIndex, const int* chunkCoords,
                    float radius) {
    walk->todo = initArrayList(10, 12);
    walk->doneEdges = initArrayList(10, 12);
    walk->doneVert = 0;
    memcpy(walk->loc, loc, sizeof walk->loc);
    memcpy(walk->chunkCoords, chunkCoords, sizeof walk->chunkCoords);
    walk->radius = radius;
    // The seeds bypass the radius and the twin look-up: the picked face is always edited.
    const int32_t* c = brushFace(chunkNear(chunkCoords, 0, 0), faceIndex);
    for (int k = 0; c && k < 3; k++) {
        const int ref[3] = {c[k], chunkCoords[0], chunkCoords[1]};
        arrayListAddUnique(walk->todo, ref);
    }
}

void brushWalkEnd(brushWalk* walk) {
    freeArrayList(walk->todo);
    freeArrayList(walk->doneEdges);
    walk->todo = walk->doneEdges = nullptr;
}

int brushWalkNext(brushWalk* walk, brushPoint* pt) {
    for (;;) {
        // Copied out: the element stays put while the list grows, but a copy is simpler.
        const int* ref = static_cast<const int*>(arrayListDataPointer(walk->todo, walk->doneVert));
        if (!ref) return 0;
        pt->doneVert = walk->doneVert++;
        memcpy(pt->ref, ref, sizeof pt->ref);
        pt->ter = chunkNear(pt->ref + 1, 0, 0);
        if (!pt->ter || pt->ref[0] < 0 || pt->ref[0] >= pt->ter->numVerts) continue;
        pt->edge = vertEdge(pt->ter, pt->ref[0]);
        pt->numTwins = 0;
        offerAround(walk, pt->ter, pt->ref[0]);
        int twinSlots = pt->edge < 0 ? 0 : pt->edge % 2 == 0 ? 2 : 1;
        for (int second = 0; second < twinSlots; second++) {
            veskTerrain* nb = edgeChunk(pt->ter, pt->edge, second);
            int j = nb ? findTwin(pt->ter, pt->ref[0], nb) : -1;
            if (j < 0) continue;
            offerAround(walk, nb, j);
            int t = pt->numTwins++;
            pt->twinTer[t] = nb;
            pt->twinVert[t] = j;
            centreOffset(nb->chunkCoords, pt->ter->chunkCoords, pt->twinShift[t]);
        }
        return 1;
    }
}

void brushPlace(brushPoint* pt, const float* newLoc, const float* twinY) {
    // Border copies keep x and z exactly, or their twins would no longer match them.
    int ok = newLoc && (pt->edge == -1 ? finite3(newLoc) : std::isfinite(newLoc[1]));
    for (int t = 0; ok && t < pt->numTwins; t++)
        ok = std::isfinite(twinY[t]);
    if (ok) {
        chunkWillChange(pt->ter);
        for (int t = 0; t < pt->numTwins; t++)
            chunkWillChange(pt->twinTer[t]);
        float* p = pt->ter->verts[pt->ref[0]].loc;
        if (pt->edge == -1)
            memcpy(p, newLoc, 3 * sizeof(float));
        else
            p[1] = newLoc[1];
        pt->ter->shapeVersion++;
        for (int t = 0; t < pt->numTwins; t++) {
            pt->twinTer[t]->verts[pt->twinVert[t]].loc[1] = twinY[t];
            pt->twinTer[t]->shapeVersion++;
        }
    }
    noteMovedVert(pt->ter, pt->ref[0], 1);
    for (int t = 0; t < pt->numTwins; t++)
        noteMovedVert(pt->twinTer[t], pt->twinVert[t], 1);
}

float sigmoid2(float x) {
    float e = x - 4.0f;
    return float(1.0 / (pow(2.0, double(e)) + 1.0));
}

int brushNormChunk(const veskTerrain* ter, int vert, float* normSum) {
    int count = 0, others[2];
    for (int f = 0; f < ter->numFaces; f++) {
        if (!faceOthers(ter, f, vert, others)) continue;
        const int32_t* c = ter->faces + 3 * f;
        float v[3], u[3], normal[3];
        vectSub(ter->verts[c[1]].loc, ter->verts[c[0]].loc, v, 3);
        vectSub(ter->verts[c[2]].loc, ter->verts[c[0]].loc, u, 3);
        crossProd3(v, u, normal);
        vectScaleTo(normal, faceNormalLength, 3);
        vectAdd(normSum, normal, normSum, 3);
        count++;
    }
    return count;
}

void brushNormalInOut(const float* loc, int faceIndex, const int* chunkCoords, float radius,
                      int push) {
    brushWalk walk;
    brushWalkStart(&walk, loc, faceIndex, chunkCoords, radius);
    brushPoint pt;
    while (brushWalkNext(&walk, &pt)) {
        // Each normal is taken from the positions as they are now: vertices processed
        // earlier in this walk have already moved.
        float normSum[3] = {0, 0, 0};
        int normNums = brushNormChunk(pt.ter, pt.ref[0], normSum);
        for (int t = 0; t < pt.numTwins; t++)
            normNums += brushNormChunk(pt.twinTer[t], pt.twinVert[t], normSum);
        if (normNums == 0) { // a vertex of no face has no normal to move along
            brushPlace(&pt, nullptr, nullptr);
            continue;
        }
        float scalar = sigmoid2(hitDist(&walk, pt.ter, pt.ref[0]));
        vectMultScalar(normSum, scalar / float(normNums), 3);
        if (!push) vectMultScalar(normSum, -1.0f, 3); // the other button digs
        float newLoc[3], twinY[2];
        vectAdd(pt.ter->verts[pt.ref[0]].loc, normSum, newLoc, 3);
        for (int t = 0; t < pt.numTwins; t++)
            twinY[t] = pt.twinTer[t]->verts[pt.twinVert[t]].loc[1] + normSum[1];
        brushPlace(&pt, newLoc, twinY);
    }
    brushWalkEnd(&walk);
}

// Adds the other corners of the faces of `ter` around `vert`, moved by `shift` into the
// processed copy's frame; a corner is counted once per face it shares with the vertex.
static int smoothSum(const veskTerrain* ter, int vert, const float* shift, float* adjAvg) {
    int count = 0, others[2];
    for (int f = 0; f < ter->numFaces; f++) {
        if (!faceOthers(ter, f, vert, others)) continue;
        for (int k = 0; k < 2; k++) {
            const float* p = ter->verts[others[k]].loc;
            float q[3] = {p[0] + shift[0], p[1], p[2] + shift[1]};
            vectAdd(adjAvg, q, adjAvg, 3);
            count++;
        }
    }
    return count;
}

void brushSmooth(const float* loc, int faceIndex, const int* chunkCoords, float radius) {
    tracef("\nbrushSmooth (face: %d) (chunkCoords %d, %d)\n", faceIndex, chunkCoords[0],
           chunkCoords[1]);
    brushWalk walk;
    brushWalkStart(&walk, loc, faceIndex, chunkCoords, radius);
    brushPoint pt;
    while (brushWalkNext(&walk, &pt)) {
        tracef("doneVert: %d (todoVert %d, %d, %d)\n", pt.doneVert, pt.ref[0], pt.ref[1],
               pt.ref[2]);
        const float noShift[2] = {0, 0};
        float adjAvg[3] = {0, 0, 0};
        int numAdj = smoothSum(pt.ter, pt.ref[0], noShift, adjAvg);
        for (int t = 0; t < pt.numTwins; t++)
            numAdj += smoothSum(pt.twinTer[t], pt.twinVert[t], pt.twinShift[t], adjAvg);
        if (numAdj == 0) {
            brushPlace(&pt, nullptr, nullptr);
            continue;
        }
        // In place and in walk order: later means see the vertices already smoothed.
        const float* p = pt.ter->verts[pt.ref[0]].loc;
        float newLoc[3], twinY[2];
        for (int k = 0; k < 3; k++) {
            adjAvg[k] = adjAvg[k] / float(numAdj);
            newLoc[k] = (p[k] + adjAvg[k]) / 2.0f;
        }
        for (int t = 0; t < pt.numTwins; t++)
            twinY[t] = (pt.twinTer[t]->verts[pt.twinVert[t]].loc[1] + adjAvg[1]) / 2.0f;
        brushPlace(&pt, newLoc, twinY);
    }
    brushWalkEnd(&walk);
}

void brushTexi(const float* loc, const int* chunkCoords, int texi) {
    // No walk and no twins: every copy of a border point lies at the same place, so each
    // copy in reach is painted in its own chunk. The chunks in reach are looked up, not
    // searched for: a large world costs a stroke nothing more.
    for (int dx = -texiReach; dx <= texiReach; dx++)
        for (int dy = -texiReach; dy <= texiReach; dy++) {
            if (terRadius(dx, dy) > texiReach) continue;
            const int at[2] = {chunkCoords[0] - dx, chunkCoords[1] - dy};
            veskTerrain* ter = coordsToTer(at, world.terList);
            if (!ter) continue;
            float off[2];
            terToWorldNew(dx, dy, &off[0], &off[1], options.terScale);
            for (int j = 0; j < ter->numVerts; j++) {
                if (!(distFrom(loc, off, ter->verts[j].loc) < texiRadius)) continue;
                chunkWillChange(ter);
                ter->verts[j].texi = texi;
                // Listed again even when already listed or already painted: every entry
                // is streamed.
                noteMovedVert(ter, j, 0);
            }
        }
}

void terEditNew(float* loc, float* vec, veskGravity* gravMem, int push, int editType) {
    // The dispatcher's rescaling turns a zero ray into NaNs; such a ray, a zero one or a
    // broken eye point picks nothing.
    if (!loc || !vec || !gravMem || !finite3(loc) || !finite3(vec)) return;
    if (vec[0] == 0.0f && vec[1] == 0.0f && vec[2] == 0.0f) return;

    int lowFace = -1, lowChunk = -1;
    float lowScale = FLT_MAX, lowBarys[2] = {0, 0};
    for (int c = 0; c < 7; c++) {
        const veskTerrain* ter = gravMem->terArray[c];
        if (!ter) continue;
        float wx, wy;
        terToWorldNew(chunkArrayCoords[2 * c], chunkArrayCoords[2 * c + 1], &wx, &wy,
                      options.terScale);
        const float relPos[3] = {loc[0] - wx, loc[1], loc[2] - wy};
        for (int f = 0; f < ter->numFaces; f++) {
            // By index alone: the entity's face number is skipped in all seven chunks.
            if (f == gravMem->faceIndex) continue;
            const int32_t* fc = brushFace(ter, f);
            if (!fc) continue;
            float barys[2];
            int retType = -1;
            float scale = newerCircRayFaceScalar(relPos, vec, float(world.physics.detectRadius),
                                                 ter->verts[fc[0]].loc, ter->verts[fc[1]].loc,
                                                 ter->verts[fc[2]].loc, barys, &retType);
            // Strict: on a tie the face found first keeps the hit.
            if (scale > 0.0f && scale < lowScale) {
                lowScale = scale;
                lowFace = f;
                lowChunk = c;
                lowBarys[0] = barys[0];
                lowBarys[1] = barys[1];
            }
        }
    }
    if (lowFace == -1) return;
    tracef("lowFace: %d (lowChunk: %d)\n", lowFace, lowChunk);

    // The hit point is in the frame of the hit chunk, which becomes the brush chunk.
    const veskTerrain* ter = gravMem->terArray[lowChunk];
    const int32_t* fc = ter->faces + 3 * lowFace;
    const float* v0 = ter->verts[fc[0]].loc;
    float v[3], u[3], point[3];
    vectSub(ter->verts[fc[1]].loc, v0, v, 3);
    vectSub(ter->verts[fc[2]].loc, v0, u, 3);
    vectMultScalar(v, lowBarys[0], 3);
    vectMultScalar(u, lowBarys[1], 3);
    vectAdd(v0, v, point, 3);
    vectAdd(point, u, point, 3);
    sayVect("point", point, 3);
    // A corner contact keeps whatever pair the plane test left, which may be undefined.
    if (!finite3(point)) return;

    const int coords[2] = {ter->chunkCoords[0], ter->chunkCoords[1]};
    if (editType == 0)
        brushNormalInOut(point, lowFace, coords, brushRadius, push);
    else if (editType >= 1 && editType <= 4)
        brushTexi(point, coords, editType - 1);
    else if (editType == 5)
        brushSmooth(point, lowFace, coords, brushRadius);
}
