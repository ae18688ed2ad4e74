// The move sweep's index of one chunk's faces: which faces may be skipped when out of reach,
// their boxes bucketed into strips along x and z, and the answer to "which faces can a step
// from here reach". One allocation per chunk, made when a walker first sweeps against it.
#include "sweepIndex.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

// Why a well-conditioned face beyond reach cannot win the sweep. In exact arithmetic every
// contact the face query reports at 0 < s < 1 touches the triangle within radius + s|step|
// of the start centre (gravMove.cpp). The float query strays from that in two places:
// - Edge and corner contacts are roots of a distance equation whose coefficients carry
//   rounding of a few ulp; a computed root therefore satisfies the equation to within
//   about sqrt(ulp) of the distances involved, whatever the triangle's shape, and the touched
//   point stays within a hair of the bound.
// - A plane contact rests on the unit normal and on barycentric pairs obtained through
//   1 / (|v|^2 |u|^2 - (v.u)^2). That Gram determinant is (L h)^2 for the longest edge L and
//   the shortest altitude h; it is formed from terms of size L^4, so as h / L shrinks it
//   loses its digits, and on a sliver the pair and the normal are rounding noise: the query
//   then reports inside contacts at places the sphere never comes near.
// With h >= L / 16 the pair of a point at distance d from f0 is off by about 30 ulp (L / h)^2
// d, under 7e-4 d, and the normal by a few ulp L / h. Following the plane contact through
// (the unsigned start distance, the parameter, the centre at contact and its pair) then puts
// the touched point within radius + s|step| + 2e-3 (L + radius + 2|step|) + 0.005 of the
// start when edges are at most 32 and coordinates at most 4096 (absolute rounding of a few
// ulp of 4096). That is below 0.07 + 0.004|step|, inside the sweep's margin of
// 0.25 + 0.1|step|. The smallest altitude is also held to 2^-12 so that no product of the
// query comes near float underflow. Everything else (slivers, collinear or coincident
// corners, very long or tiny faces, faces far out, non-finite corners) is asked on every
// step. Steepness does not enter: the query does not depend on the face's orientation.
static constexpr double maxCoord = 4096.0;
static constexpr double maxEdge = 32.0;
static constexpr double minAltitude = 1.0 / 4096.0;
static constexpr double minAltitudePerEdge = 1.0 / 16.0;

static constexpr int numStrips = 16;

bool faceSkippable(const float* f0, const float* f1, const float* f2) {
    const float* c[3] = {f0, f1, f2};
    for (const float* p : c)
        for (int i = 0; i < 3; i++)
            if (!(std::fabs(double(p[i])) <= maxCoord)) return false; // NaN fails as well
    double v[3], u[3], w[3];
    for (int i = 0; i < 3; i++) {
        v[i] = double(f1[i]) - double(f0[i]);
        u[i] = double(f2[i]) - double(f0[i]);
        w[i] = double(f2[i]) - double(f1[i]);
    }
    const double* edges[3] = {v, u, w};
    double longest2 = 0.0;
    for (const double* e : edges)
        longest2 = std::fmax(longest2, e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
    if (!(longest2 <= maxEdge * maxEdge) || longest2 == 0.0) return false;
    double n[3] = {v[1] * u[2] - v[2] * u[1], v[2] * u[0] - v[0] * u[2], v[0] * u[1] - v[1] * u[0]};
    // Twice the area over the longest edge: the altitude onto it, the shortest of the three.
    double longest = std::sqrt(longest2);
    double altitude = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]) / longest;
    return altitude >= minAltitude && altitude >= minAltitudePerEdge * longest;
}

static size_t roundUp8(size_t n) {
    return (n + 7) & ~size_t(7);
}

static size_t bytesFor(int words, int faces) {
    return roundUp8(sizeof(sweepIndex)) + sizeof(uint64_t) * size_t(words) * (2 + 2 * numStrips) +
           sizeof(float) * 6 * size_t(faces);
}

// The strip holding coordinate x along axis a (0: x, 1: z). Monotonic in x, so a box and a
// range that overlap share a strip; coordinates beyond either end fall in the end strips.
static int stripOf(const sweepIndex* ix, int a, float x) {
    float t = (x - ix->origin[a]) * ix->perUnit[a];
    if (!(t > 0.0f)) return 0;
    if (t >= float(numStrips)) return numStrips - 1;
    return int(t);
}

static void setBit(uint64_t* set, int f) {
    set[f / 64] |= uint64_t(1) << (f % 64);
}

static bool hasBit(const uint64_t* set, int f) {
    return (set[f / 64] >> (f % 64) & 1) != 0;
}

// Squared distance from a point to a box: no point inside the box is nearer.
static float boxDist2(const float* p, const float* mn, const float* mx) {
    float sum = 0.0f;
    for (int i = 0; i < 3; i++) {
        float d = p[i] < mn[i] ? mn[i] - p[i] : p[i] > mx[i] ? p[i] - mx[i] : 0.0f;
        sum += d * d;
    }
    return sum;
}

static void boxFace(sweepIndex* ix, const veskTerrain* ter, int f) {
    float* box = ix->boxes + 6 * f;
    const int32_t* idx = ter->faces + 3 * f;
    for (int i = 0; i < 3; i++) {
        box[i] = box[3 + i] = ter->verts[idx[0]].loc[i];
        for (int c = 1; c < 3; c++) {
            float x = ter->verts[idx[c]].loc[i];
            box[i] = std::fmin(box[i], x);
            box[3 + i] = std::fmax(box[3 + i], x);
        }
        ix->lo[i] = std::fmin(ix->lo[i], box[i]);
        ix->hi[i] = std::fmax(ix->hi[i], box[3 + i]);
    }
    ix->numBoxed++;
}

static void build(sweepIndex* ix, const veskTerrain* ter) {
    ix->shapeVersion = ter->shapeVersion;
    ix->verts = ter->verts;
    ix->faces = ter->faces;
    ix->numVerts = ter->numVerts;
    ix->numFaces = ter->numFaces;
    int faces = ter->numFaces > 0 ? ter->numFaces : 0;
    int words = (faces + 63) / 64;
    ix->words = words;
    ix->always =
        reinterpret_cast<uint64_t*>(reinterpret_cast<char*>(ix) + roundUp8(sizeof(sweepIndex)));
    ix->answer = ix->always + words;
    ix->stripsX = ix->answer + words;
    ix->stripsZ = ix->stripsX + numStrips * words;
    ix->boxes = reinterpret_cast<float*>(ix->stripsZ + numStrips * words);
    memset(ix->always, 0, sizeof(uint64_t) * size_t(words) * (2 + 2 * numStrips));

    ix->numBoxed = 0;
    for (int i = 0; i < 3; i++) {
        ix->lo[i] = INFINITY;
        ix->hi[i] = -INFINITY;
    }
    for (int f = 0; f < faces; f++) {
        const int32_t* idx = ter->faces + 3 * f;
        bool inRange = true;
        for (int c = 0; c < 3; c++)
            inRange = inRange && idx[c] >= 0 && idx[c] < ter->numVerts;
        if (inRange &&
            faceSkippable(ter->verts[idx[0]].loc, ter->verts[idx[1]].loc, ter->verts[idx[2]].loc))
            boxFace(ix, ter, f);
        else
            setBit(ix->always, f);
    }

    for (int a = 0; a < 2; a++) {
        int i = 2 * a; // x, then z
        float width = (ix->hi[i] - ix->lo[i]) / float(numStrips);
        ix->origin[a] = ix->lo[i];
        ix->perUnit[a] = width > 0.0f ? 1.0f / width : 1.0f;
    }
    for (int f = 0; f < faces; f++) {
        if (hasBit(ix->always, f)) continue;
        const float* box = ix->boxes + 6 * f;
        for (int s = stripOf(ix, 0, box[0]); s <= stripOf(ix, 0, box[3]); s++)
            setBit(ix->stripsX + s * words, f);
        for (int s = stripOf(ix, 1, box[2]); s <= stripOf(ix, 1, box[5]); s++)
            setBit(ix->stripsZ + s * words, f);
    }
}

sweepIndex* sweepIndexOf(veskTerrain* ter) {
    sweepIndex* ix = ter->sweep;
    if (ix && ix->shapeVersion == ter->shapeVersion && ix->verts == ter->verts &&
        ix->faces == ter->faces && ix->numVerts == ter->numVerts && ix->numFaces == ter->numFaces)
        return ix;
    int faces = ter->numFaces > 0 ? ter->numFaces : 0;
    size_t need = bytesFor((faces + 63) / 64, faces);
    if (!ix || ix->blockBytes < need) {
        ix = static_cast<sweepIndex*>(realloc(ix, need));
        ix->blockBytes = need;
        ter->sweep = ix;
    }
    build(ix, ter);
    return ix;
}

const uint64_t* sweepCandidates(sweepIndex* ix, const float* start, float reach) {
    int words = ix->words;
    uint64_t* out = ix->answer;
    float reach2 = reach * reach;
    if (ix->numBoxed == 0 || boxDist2(start, ix->lo, ix->hi) > reach2) {
        memcpy(out, ix->always, sizeof(uint64_t) * size_t(words));
        return out;
    }
    int x0 = stripOf(ix, 0, start[0] - reach), x1 = stripOf(ix, 0, start[0] + reach);
    int z0 = stripOf(ix, 1, start[2] - reach), z1 = stripOf(ix, 1, start[2] + reach);
    for (int w = 0; w < words; w++) {
        uint64_t inX = 0, inZ = 0;
        for (int s = x0; s <= x1; s++)
            inX |= ix->stripsX[s * words + w];
        for (int s = z0; s <= z1; s++)
            inZ |= ix->stripsZ[s * words + w];
        uint64_t near = inX & inZ;
        for (uint64_t bits = near; bits; bits &= bits - 1) {
            int f = 64 * w + std::countr_zero(bits);
            const float* box = ix->boxes + 6 * f;
            if (boxDist2(start, box, box + 3) > reach2) near &= ~(uint64_t(1) << (f % 64));
        }
        out[w] = near | ix->always[w];
    }
    return out;
}
