// Vector and 4x4 row-major matrix operations on floats. Where a step goes through
// double precision (lengths, roots, rotation sines) that rounding is part of the result.
#pragma once

#include <cmath>

void matMatMult(float* mat1, const float* mat2);
void xRotMatrix4(float* mat, float thea);
void yRotMatrix4(float* mat, float thea);
void zRotMatrix4(float* mat, float thea);
void matVectMult(const float* mat, const float* vect, float* newVect);
void matVect3Mult(const float* mat, const float* vect, float* newVect);

// The small vector operations are inline: the contact queries call them many times for each
// face of every sweep, and a call costs more than the arithmetic.
inline void vectAdd(const float* v1, const float* v2, float* vSet, int length) {
    for (int i = 0; i < length; i++)
        vSet[i] = v1[i] + v2[i];
}

inline void vectSub(const float* v1, const float* v2, float* vSet, int length) {
    for (int i = 0; i < length; i++)
        vSet[i] = v1[i] - v2[i];
}

void vectMultScalar(float* vect, float scalar, int length);

inline float dotProd(const float* vect1, const float* vect2, int length) {
    float sum = 0.0f;
    for (int i = 0; i < length; i++)
        sum += vect1[i] * vect2[i];
    return sum;
}

inline float vectNorm(const float* vec, int length) {
    float sum = 0.0f;
    for (int i = 0; i < length; i++)
        sum += vec[i] * vec[i];
    // The length is the double-precision power 0.5 of the float sum, rounded to float.
    // sqrt gives that same float for every float input (checked exhaustively over all of
    // them; the double results differ in the last bit now and then, the floats never),
    // at a fraction of the cost. quadEq keeps pow: it goes on computing in double.
    return float(std::sqrt(double(sum)));
}

inline void vectNormalize(float* vec, int length) {
    float norm = vectNorm(vec, length);
    // A zero vector stays zero instead of turning into NaNs that would spread into positions.
    if (norm == 0.0f) return;
    for (int i = 0; i < length; i++)
        vec[i] = vec[i] / norm;
}

inline int finite3(const float* v) {
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

inline void crossProd3(const float* v1, const float* v2, float* vSet) {
    vSet[0] = v1[1] * v2[2] - v1[2] * v2[1];
    vSet[1] = v1[2] * v2[0] - v1[0] * v2[2];
    vSet[2] = v1[0] * v2[1] - v1[1] * v2[0];
}

float* crossProduct3(const float* v1, const float* v2); // caller frees
void vectScaleTo(float* vect, float scalar, int length);

void axisAlignNewer(const float* f0, const float* f1, const float* f2, float* dx, float* dz);
void quadEq(float a, float b, float c, float* ret);
int lowestPosFloat3(float f0, float f1, float f2);
int vectVectSame(const float* v0, const float* v1, int length);

void sayVect(const char* str, const float* vect, int length);
void sayMat4(const char* str, const float* mat);
