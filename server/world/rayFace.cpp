// Swept-sphere contact against a triangle, a segment and a point. The face query falls
// back on edges, and edges on their end points.
#include "rayFace.h"

#include "tolp.h"

// Of the two roots only non-negative ones count (NaN never does). When the sphere starts
// overlapping, one root is negative and the other is the moment it leaves, which is kept.
static float chooseRoot(const float* roots) {
    bool ok0 = roots[0] >= 0.0f, ok1 = roots[1] >= 0.0f;
    if (ok0 && ok1) return roots[1] < roots[0] ? roots[1] : roots[0];
    if (ok0) return roots[0];
    if (ok1) return roots[1];
    return -1.0f;
}

float newCircRayPointScalar(const float* cPoint, const float* rPoint, const float* rVect,
                            float radius) {
    float dv[3];
    vectSub(rPoint, cPoint, dv, 3);
    float a = dotProd(rVect, rVect, 3);
    float b = 2.0f * dotProd(rVect, dv, 3);
    float c = dotProd(dv, dv, 3) - radius * radius;
    float roots[2];
    quadEq(a, b, c, roots);
    return chooseRoot(roots);
}

float newerCircRaySegScalar(const float* s0, const float* s1, const float* r0, const float* rv,
                            float radius, float* edgeScalar, int* retType) {
    float sv[3];
    vectSub(s1, s0, sv, 3);
    float svMag = vectNorm(sv, 3);
    for (int i = 0; i < 3; i++)
        sv[i] = sv[i] / svMag;

    float rRel[3];
    vectSub(r0, s0, rRel, 3);

    // Components at right angles to the line (negated; only their squares and products
    // matter), so the quadratic below is the distance from the line, not from s0.
    float x[3], y[3];
    float rvAlong = dotProd(rv, sv, 3);
    float relAlong = dotProd(rRel, sv, 3);
    for (int i = 0; i < 3; i++) {
        x[i] = rvAlong * sv[i] - rv[i];
        y[i] = relAlong * sv[i] - rRel[i];
    }

    float roots[2];
    quadEq(dotProd(x, x, 3), 2.0f * dotProd(x, y, 3), dotProd(y, y, 3) - radius * radius, roots);
    float s = chooseRoot(roots);
    if (s == -1.0f) return -1.0f;

    float tempPoint[3];
    for (int i = 0; i < 3; i++)
        tempPoint[i] = rRel[i] + s * rv[i];
    float t = dotProd(sv, tempPoint, 3) / svMag;
    *edgeScalar = t;

    if (t >= 0.0f && t <= 1.0f) {
        *retType = 0;
        return s;
    }
    // The line is touched beyond an end, so the real first contact, if any, is the end point.
    if (t < 0.0f) {
        *retType = 1;
        *edgeScalar = 0.0f;
        return newCircRayPointScalar(s0, r0, rv, radius);
    }
    *retType = 2;
    *edgeScalar = 1.0f;
    return newCircRayPointScalar(s1, r0, rv, radius);
}

// Which edge of the face a segment query was asked about, to translate its answer.
enum faceEdge { edge01, edge02, edge12 };

struct segHit {
    float scalar;
    float edgeScalar;
    int type; // -1 while the segment query has not classified anything
};

static segHit askEdge(faceEdge e, const float* f0, const float* f1, const float* f2,
                      const float* rPoint, const float* rVect, float radius) {
    segHit h = {-1.0f, 0.0f, -1};
    const float* s0 = e == edge12 ? f1 : f0;
    const float* s1 = e == edge01 ? f1 : f2;
    h.scalar = newerCircRaySegScalar(s0, s1, rPoint, rVect, radius, &h.edgeScalar, &h.type);
    return h;
}

// A triangle's edge vectors from f0 and the dot products that give barycentric pairs.
struct faceFrame {
    const float* f0;
    float v[3], u[3];
    float dot00, dot01, dot11, invDenom;
};

static faceFrame frameOf(const float* f0, const float* f1, const float* f2) {
    faceFrame fr;
    fr.f0 = f0;
    vectSub(f1, f0, fr.v, 3);
    vectSub(f2, f0, fr.u, 3);
    fr.dot00 = dotProd(fr.v, fr.v, 3);
    fr.dot01 = dotProd(fr.v, fr.u, 3);
    fr.dot11 = dotProd(fr.u, fr.u, 3);
    fr.invDenom = 1.0f / (fr.dot00 * fr.dot11 - fr.dot01 * fr.dot01);
    return fr;
}

// The pair of the projection of p onto the face's plane.
static void baryPair(const faceFrame* fr, const float* p, float* barys) {
    float v2[3];
    vectSub(p, fr->f0, v2, 3);
    float dot02 = dotProd(fr->v, v2, 3);
    float dot12 = dotProd(fr->u, v2, 3);
    barys[0] = (fr->dot11 * dot02 - fr->dot01 * dot12) * fr->invDenom;
    barys[1] = (fr->dot00 * dot12 - fr->dot01 * dot02) * fr->invDenom;
}

float newerCircRayFaceScalar(const float* rPoint, const float* rVect, float radius, const float* f0,
                             const float* f1, const float* f2, float* retBarys, int* retType) {
    faceFrame fr = frameOf(f0, f1, f2);
    const float* v = fr.v;
    const float* u = fr.u;
    baryPair(&fr, rPoint, retBarys);
    float b0 = retBarys[0], b1 = retBarys[1];

    // Unsigned on purpose: a centre behind the face is treated as if in front of it.
    float offset[3];
    for (int i = 0; i < 3; i++)
        offset[i] = f0[i] + b0 * v[i] + b1 * u[i] - rPoint[i];
    float distFromFace = vectNorm(offset, 3) - radius;

    float normal[3];
    crossProd3(v, u, normal);
    vectNormalize(normal, 3);
    float ratio = dotProd(rVect, normal, 3);
    float rayScalar = -distFromFace / ratio;

    float temp1[3];
    for (int i = 0; i < 3; i++)
        temp1[i] = rPoint[i] + rayScalar * rVect[i];
    baryPair(&fr, temp1, retBarys);
    b0 = retBarys[0];
    b1 = retBarys[1];
    float b2 = 1.0f - b0 - b1;

    if (b0 >= 0.0f && b1 >= 0.0f && b2 >= 0.0f) {
        *retType = 0;
        return rayScalar;
    }

    // Outside the face: ask the edges that face the contact point. Plain < 0 tests keep an
    // undefined pair out of every branch but the last.
    faceEdge edgeA, edgeB = edge01;
    bool hasB = false;
    if (b0 < 0.0f) {
        edgeA = edge02;
        if (b1 < 0.0f) {
            edgeB = edge01;
            hasB = true;
        } else if (b2 < 0.0f) {
            edgeB = edge12;
            hasB = true;
        }
    } else if (b1 < 0.0f) {
        edgeA = edge01;
        if (b2 < 0.0f) {
            edgeB = edge12;
            hasB = true;
        }
    } else {
        edgeA = edge12;
    }

    segHit hit = askEdge(edgeA, f0, f1, f2, rPoint, rVect, radius);
    faceEdge edge = edgeA;
    if (hasB) {
        segHit hitB = askEdge(edgeB, f0, f1, f2, rPoint, rVect, radius);
        bool aHit = hit.scalar != -1.0f, bHit = hitB.scalar != -1.0f;
        if ((bHit && !aHit) || (bHit && aHit && hitB.scalar < hit.scalar)) {
            hit = hitB;
            edge = edgeB;
        }
    }

    float t = hit.edgeScalar;
    switch (hit.type) {
    case 0:
        if (edge == edge01) {
            *retType = 1;
            retBarys[0] = t;
            retBarys[1] = 0.0f;
        } else if (edge == edge02) {
            *retType = 2;
            retBarys[0] = 0.0f;
            retBarys[1] = t;
        } else {
            *retType = 3;
            retBarys[0] = 1.0f - t;
            retBarys[1] = t;
        }
        break;
    case 1:
        *retType = edge == edge12 ? 5 : 4;
        break;
    case 2:
        *retType = edge == edge01 ? 5 : 6;
        break;
    default:
        break;
    }
    return hit.scalar;
}
