// The move sweep's index of one chunk's faces: which faces may be skipped when out of reach,
// their bounds bucketed into strips along x and z, and the answer to "which faces can a step
// from here touch". One allocation per chunk, made when a walker first sweeps against it.
#include "sweepIndex.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "tolp.h"

// Where a contact can lie. Take the face query (rayFace.cpp) in exact arithmetic, with D the
// start centre's signed distance from the face's plane, and a contact at 0 < s < 1:
// - an edge or corner contact is `radius` away from the centre at s, p + s step;
// - a plane contact with D >= 0 puts the centre at s `radius` in front of the plane, and the
//   touched point is its foot, again `radius` from p + s step;
// - a plane contact with D < 0 is computed from the unsigned distance, as if the start were
//   mirrored to the front, p* = p - 2 D normal: the touched point is `radius` from p* + s step.
// Either way the touched point is also within radius + s|step| of p (for the mirrored start,
// |D| = radius - s (step . normal), so sqrt(D^2 + (s |step along the plane|)^2) is at most
// that). A face can therefore only be touched when its box lies within radius + |step| of p,
// and within radius of the segment from p to p + step, or, for a start behind its plane, of
// the segment from p*. Faces failing this, with a margin for rounding, cannot win.
//
// Why the margin holds for the float query on a well-conditioned face. The query strays from
// exact arithmetic in two places:
// - Edge and corner contacts are roots of a distance equation whose coefficients carry
//   rounding of a few ulp; a computed root therefore satisfies the equation to within about
//   sqrt(ulp) of the distances involved, whatever the triangle's shape, and the touched point
//   stays within a hair of the bound.
// - A plane contact rests on the unit normal and on barycentric pairs obtained through
//   1 / (|v|^2 |u|^2 - (v.u)^2). That Gram determinant is (L h)^2 for the longest edge L and
//   the shortest altitude h; it is formed from terms of size L^4, so as h / L shrinks it
//   loses its digits, and on a sliver the pair and the normal are rounding noise: the query
//   then reports inside contacts at places the sphere never comes near.
// With h >= L / 16 the pair of a point at distance d from f0 is off by about 30 ulp (L / h)^2
// d, under 7e-4 d, and the normal by a few ulp L / h. Following the plane contact through
// (the unsigned start distance, the parameter, the centre at contact and its pair) then puts
// the touched point within 2e-3 (L + radius + 2|step|) + 0.005 of where the exact argument
// does, when edges are at most 32 and coordinates at most 4096 (absolute rounding of a few
// ulp of 4096): below 0.07 + 0.004|step|, inside the margin of 0.25 + 0.1|step|. The smallest
// altitude is also held to 2^-12 so that no product of the query comes near float underflow.
// Everything else (slivers, collinear or coincident corners, very long or tiny faces, faces
// far out, non-finite corners) is asked on every step. Steepness does not enter: the query
// does not depend on the face's orientation.
static constexpr double maxCoord = 4096.0;
static constexpr double maxEdge = 32.0;
static constexpr double minAltitude = 1.0 / 4096.0;
static constexpr double minAltitudePerEdge = 1.0 / 16.0;

static constexpr int numStrips = 32;

// Whether the query on this triangle is well-conditioned enough for the face to be skipped
// when out of reach.
static bool faceSkippable(const float* f0, const float* f1, const float* f2) {
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
           sizeof(faceBounds) * size_t(faces);
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

static void boundFace(sweepIndex* ix, const veskTerrain* ter, int f) {
    faceBounds* b = ix->bounds + f;
    const int32_t* idx = ter->faces + 3 * f;
    const float* c[3] = {ter->verts[idx[0]].loc, ter->verts[idx[1]].loc, ter->verts[idx[2]].loc};
    for (int i = 0; i < 3; i++) {
        b->lo[i] = std::fmin(c[0][i], std::fmin(c[1][i], c[2][i]));
        b->hi[i] = std::fmax(c[0][i], std::fmax(c[1][i], c[2][i]));
        ix->lo[i] = std::fmin(ix->lo[i], b->lo[i]);
        ix->hi[i] = std::fmax(ix->hi[i], b->hi[i]);
    }
    double v[3], u[3];
    for (int i = 0; i < 3; i++) {
        v[i] = double(c[1][i]) - double(c[0][i]);
        u[i] = double(c[2][i]) - double(c[0][i]);
    }
    double n[3] = {v[1] * u[2] - v[2] * u[1], v[2] * u[0] - v[0] * u[2], v[0] * u[1] - v[1] * u[0]};
    double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    double offset = 0.0;
    for (int i = 0; i < 3; i++) {
        b->normal[i] = float(n[i] / len);
        offset += n[i] / len * double(c[0][i]);
    }
    b->offset = float(offset);
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
    ix->bounds = reinterpret_cast<faceBounds*>(ix->stripsZ + numStrips * words);
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
            boundFace(ix, ter, f);
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
        const faceBounds* b = ix->bounds + f;
        for (int s = stripOf(ix, 0, b->lo[0]); s <= stripOf(ix, 0, b->hi[0]); s++)
            setBit(ix->stripsX + s * words, f);
        for (int s = stripOf(ix, 1, b->lo[2]); s <= stripOf(ix, 1, b->hi[2]); s++)
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

// Plain comparisons: std::fmin and std::fmax are calls, and no NaN reaches these.
static float lesser(float a, float b) {
    return a < b ? a : b;
}

static float greater(float a, float b) {
    return a > b ? a : b;
}

// Squared distance from a point to a box: no point inside the box is nearer.
static float boxDist2(const float* p, const float* lo, const float* hi) {
    float sum = 0.0f;
    for (int i = 0; i < 3; i++) {
        float d = greater(greater(lo[i] - p[i], p[i] - hi[i]), 0.0f);
        sum += d * d;
    }
    return sum;
}

// One step's path: the segment from a start along `step`, grown by `side`. Besides the three
// axes, the horizontal direction across the step separates it from boxes beside a slanting
// path.
struct stepPath {
    const float* step;
    float side;
    float across[2];  // x and z of that direction, |step along x-z| long
    float acrossSide; // side times that length
};

// Whether the grown segment from p may meet the face's box (false only when an axis
// separates them: both are convex).
static bool nearPath(const stepPath* path, const float* p, const faceBounds* b) {
    for (int i = 0; i < 3; i++) {
        float q = p[i] + path->step[i];
        if (lesser(p[i], q) - path->side > b->hi[i] || greater(p[i], q) + path->side < b->lo[i])
            return false;
    }
    float centre = 0.0f, extent = 0.0f, at = 0.0f;
    for (int a = 0; a < 2; a++) {
        float axis = path->across[a];
        centre += 0.5f * (b->lo[2 * a] + b->hi[2 * a]) * axis;
        extent += 0.5f * (b->hi[2 * a] - b->lo[2 * a]) * std::fabs(axis);
        at += p[2 * a] * axis;
    }
    return std::fabs(centre - at) <= extent + path->acrossSide;
}

static bool mayTouch(const stepPath* path, const float* p, float reach2, const faceBounds* b) {
    if (nearPath(path, p, b)) return true;
    float d = dotProd(b->normal, p, 3) - b->offset;
    if (!(d < 0.0f) || boxDist2(p, b->lo, b->hi) > reach2) return false;
    float mirrored[3];
    for (int i = 0; i < 3; i++)
        mirrored[i] = p[i] - 2.0f * d * b->normal[i];
    return nearPath(path, mirrored, b);
}

const uint64_t* sweepCandidates(sweepIndex* ix, const float* start, const float* step,
                                float radius) {
    int words = ix->words;
    float length = vectNorm(step, 3);
    float margin = 0.25f + 0.1f * length;
    float reach = radius + length + margin;
    float reach2 = reach * reach;
    if (ix->numBoxed == 0 || boxDist2(start, ix->lo, ix->hi) > reach2) return ix->always;
    stepPath path = {step, radius + margin, {-step[2], step[0]}, 0.0f};
    path.acrossSide = path.side * std::sqrt(step[0] * step[0] + step[2] * step[2]);
    uint64_t* out = ix->answer;
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
            if (!mayTouch(&path, start, reach2, ix->bounds + f)) near &= ~(uint64_t(1) << (f % 64));
        }
        out[w] = near | ix->always[w];
    }
    return out;
}
