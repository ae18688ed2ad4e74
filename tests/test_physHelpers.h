// Helpers shared by the movement physics tests: worlds (flat, or roughened with seamless
// chunk borders), the per-tick driving sequence of a ground walker, and its invariants.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "tolp.h"
#include "veskGravity.h"
#include "veskTerrain.h"

// The spawn world of radius 11 around chunk (0, 0), flat.
inline ArrayList* physFlatWorld() {
    ArrayList* world = initArrayList(10, 8);
    embedSpawnTer(world, 11, 0, 0, 10.0f, 5);
    return world;
}

// Gives chunks [from, end) heights uniform in [-amp, amp] that depend on the world position
// alone, so the copies of a border vertex in neighbouring chunks always agree.
inline int physRoughen(ArrayList* world, int from, uint64_t seed, float amp) {
    int n = arrayListGetLength(world);
    for (int i = from; i < n; i++) {
        veskTerrain* ter = arrayListGet<veskTerrain>(world, i);
        float cx, cz;
        terToWorldNew(ter->chunkCoords[0], ter->chunkCoords[1], &cx, &cz, 10.0f);
        for (int v = 0; v < ter->numVerts; v++) {
            float* loc = ter->verts[v].loc;
            uint64_t h = seed ^ (uint64_t(std::lround(cx + loc[0])) * 0x9e3779b97f4a7c15ull) ^
                         uint64_t(std::lround((cz + loc[2]) / 1.7320508f)) * 0xbf58476d1ce4e5b9ull;
            h = (h ^ (h >> 31)) * 0x94d049bb133111ebull;
            loc[1] = amp * (float((h ^ (h >> 29)) >> 40) / 8388608.0f - 1.0f);
        }
    }
    return n;
}

// tempVect and jumping as the game tick sets them from held keys.
inline void physInput(veskGravity* g, int fwd, int strafe, int jump) {
    g->tempVect[0] = float(strafe), g->tempVect[1] = 0.0f, g->tempVect[2] = float(fwd);
    g->jumping = jump;
    if (fwd == 0 && strafe == 0) return;
    float mat[16] = {};
    yRotMatrix4(mat, g->rots[1]);
    matVect3Mult(mat, g->tempVect, g->tempVect);
    vectNormalize(g->tempVect, 3);
}

// One tick of a ground walker: velocity update, then the move when there is speed.
inline void physTick(veskGravity* g, ArrayList* world) {
    g->locChanged = 0;
    makeMoveVect(g);
    g->midMoveSpeed = g->curMoveSpeed;
    if (g->midMoveSpeed == 0.0f) return;
    float before[3] = {g->position[0], g->position[1], g->position[2]};
    gravMoveStart(g, world);
    g->locChanged = char(!vectVectSame(before, g->position, 3));
}

// Foot point of the contact plus `lift` along the face's unit normal, in double.
inline void physRestPoint(const veskGravity* g, double* out, double lift = 0.51) {
    const int32_t* idx = g->terArray[0]->faces + 3 * g->faceIndex;
    const float* f[3];
    for (int k = 0; k < 3; k++)
        f[k] = g->terArray[0]->verts[idx[k]].loc;
    double v[3], u[3];
    for (int i = 0; i < 3; i++)
        v[i] = double(f[1][i]) - f[0][i], u[i] = double(f[2][i]) - f[0][i];
    double n[3] = {v[1] * u[2] - v[2] * u[1], v[2] * u[0] - v[0] * u[2], v[0] * u[1] - v[1] * u[0]};
    double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    for (int i = 0; i < 3; i++)
        out[i] = f[0][i] + g->barys[0] * v[i] + g->barys[1] * u[i] + lift * n[i] / len;
}

// Rests the entity on a face of its chunk with the given contact, at the resting height.
inline void physRestOn(veskGravity* g, ArrayList* world, int face, int code, float b0, float b1) {
    fillTerArray(g, world);
    g->faceIndex = face, g->typeIndex = code, g->barys[0] = b0, g->barys[1] = b1;
    double p[3];
    physRestPoint(g, p);
    for (int i = 0; i < 3; i++)
        g->position[i] = float(p[i]);
}

// Empty when the record keeps every movement invariant, else what is wrong.
inline std::string physFault(const veskGravity* g) {
    const float* fields[] = {g->position, g->moveVect, g->barys, &g->curMoveSpeed};
    for (int k = 0; k < 4; k++)
        for (int i = 0; i < (k == 3 ? 4 : k == 2 ? 2 : 3); i++)
            if (!std::isfinite(fields[k][i])) return "non-finite field";
    for (int k = 0; k < 7; k++) {
        const veskTerrain* t = g->terArray[k];
        if (!t || t->chunkCoords[0] != g->chunkCoords[0] + chunkArrayCoords[2 * k] ||
            t->chunkCoords[1] != g->chunkCoords[1] + chunkArrayCoords[2 * k + 1])
            return "slot " + std::to_string(k) + " names the wrong chunk";
    }
    int code = g->typeIndex;
    if (code == 7) return g->faceIndex == -1 ? "" : "airborne on a face";
    if (code < 0 || code > 7 || g->faceIndex < 0 || g->faceIndex >= g->terArray[0]->numFaces)
        return "bad contact";
    // Weights of f0, f1, f2; each contact pins one or two of them to 0.
    double w[3] = {1.0 - g->barys[0] - g->barys[1], g->barys[0], g->barys[1]}, rest[3];
    const int zero0[7] = {-1, 2, 1, 0, 1, 0, 0}, zero1[7] = {-1, -1, -1, -1, 2, 2, 1};
    bool ok = w[0] >= -1e-4 && w[1] >= -1e-4 && w[2] >= -1e-4;
    for (int z : {zero0[code], zero1[code]})
        ok = ok && (z < 0 || std::fabs(w[z]) <= 1e-4);
    if (!ok) return "code " + std::to_string(code) + " with weights off it";
    physRestPoint(g, rest);
    for (int i = 0; i < 3; i++)
        if (std::fabs(rest[i] - g->position[i]) > 1e-4) return "position off its rest point";
    return "";
}
