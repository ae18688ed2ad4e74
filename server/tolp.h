// Vector and 4x4 row-major matrix operations on floats. Where a step goes through
// double precision (lengths, roots, rotation sines) that rounding is part of the result.
#pragma once

void matMatMult(float* mat1, const float* mat2);
void xRotMatrix4(float* mat, float thea);
void yRotMatrix4(float* mat, float thea);
void zRotMatrix4(float* mat, float thea);
void matVectMult(const float* mat, const float* vect, float* newVect);
void matVect3Mult(const float* mat, const float* vect, float* newVect);

void vectAdd(const float* v1, const float* v2, float* vSet, int length);
void vectSub(const float* v1, const float* v2, float* vSet, int length);
void vectMultScalar(float* vect, float scalar, int length);
float dotProd(const float* vect1, const float* vect2, int length);
float vectNorm(const float* vec, int length);
void vectNormalize(float* vec, int length);
void crossProd3(const float* v1, const float* v2, float* vSet);
float* crossProduct3(const float* v1, const float* v2); // caller frees
void vectScaleTo(float* vect, float scalar, int length);

void axisAlignNewer(const float* f0, const float* f1, const float* f2, float* dx, float* dz);
void quadEq(float a, float b, float c, float* ret);
int lowestPosFloat3(float f0, float f1, float f2);
int vectVectSame(const float* v0, const float* v1, int length);

void sayVect(const char* str, const float* vect, int length);
void sayMat4(const char* str, const float* mat);
