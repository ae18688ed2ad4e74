// Swept-sphere contact queries: where along a ray a sphere first touches a triangle,
// a segment or a point, and which feature it touches. Pure functions, no allocation.
#pragma once

float newerCircRayFaceScalar(const float* rPoint, const float* rVect, float radius, const float* f0,
                             const float* f1, const float* f2, float* retBarys, int* retType);
float newerCircRaySegScalar(const float* s0, const float* s1, const float* r0, const float* rv,
                            float radius, float* edgeScalar, int* retType);
float newCircRayPointScalar(const float* cPoint, const float* rPoint, const float* rVect,
                            float radius);
