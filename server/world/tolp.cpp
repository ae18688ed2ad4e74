// Float vector and 4x4 row-major matrix helpers shared by movement, collision and editing.
// Lengths, roots and rotation sines pass through double on purpose: saved positions and
// wire bytes replay bit for bit only if every build rounds at exactly these steps.
#include "tolp.h"

#include <cmath>
#include <cstdlib>

#include "log.h"

void matMatMult(float* mat1, const float* mat2) {
    for (int r = 0; r < 4; r++) {
        // A row of mat1 is still read while its product is formed, so it is replaced only
        // once all four entries are known.
        float row[4];
        for (int c = 0; c < 4; c++) {
            float sum = 0.0f;
            for (int k = 0; k < 4; k++)
                sum += mat1[4 * r + k] * mat2[4 * k + c];
            row[c] = sum;
        }
        for (int c = 0; c < 4; c++)
            mat1[4 * r + c] = row[c];
    }
}

static void identity4(float* mat) {
    for (int i = 0; i < 16; i++)
        mat[i] = (i % 5 == 0) ? 1.0f : 0.0f;
}

// The identity with a rotation by thea in the plane of axes a and b: cos on both
// diagonal entries, sin at (a, b), its negation at (b, a). cos and sin are taken in double
// precision from the float angle and stored as floats.
static void rotMatrix4(float* mat, float thea, int a, int b) {
    float c = float(cos(double(thea)));
    float s = float(sin(double(thea)));
    identity4(mat);
    mat[5 * a] = c;
    mat[4 * a + b] = s;
    mat[4 * b + a] = -s;
    mat[5 * b] = c;
}

void xRotMatrix4(float* mat, float thea) {
    rotMatrix4(mat, thea, 1, 2);
}

void yRotMatrix4(float* mat, float thea) {
    rotMatrix4(mat, thea, 2, 0);
}

void zRotMatrix4(float* mat, float thea) {
    rotMatrix4(mat, thea, 0, 1);
}

void matVectMult(const float* mat, const float* vect, float* newVect) {
    float tmp[4];
    for (int i = 0; i < 4; i++) {
        float sum = 0.0f;
        for (int j = 0; j < 4; j++)
            sum += mat[4 * i + j] * vect[j];
        tmp[i] = sum;
    }
    for (int i = 0; i < 4; i++)
        newVect[i] = tmp[i];
}

void matVect3Mult(const float* mat, const float* vect, float* newVect) {
    float tmp[3];
    for (int i = 0; i < 3; i++)
        tmp[i] = (mat[4 * i] * vect[0] + mat[4 * i + 1] * vect[1]) + mat[4 * i + 2] * vect[2];
    for (int i = 0; i < 3; i++)
        newVect[i] = tmp[i];
}

void vectMultScalar(float* vect, float scalar, int length) {
    for (int i = 0; i < length; i++)
        vect[i] = vect[i] * scalar;
}

float* crossProduct3(const float* v1, const float* v2) {
    float* out = static_cast<float*>(malloc(3 * sizeof(float)));
    crossProd3(v1, v2, out);
    return out;
}

void vectScaleTo(float* vect, float scalar, int length) {
    float factor = scalar / vectNorm(vect, length);
    for (int i = 0; i < length; i++)
        vect[i] = vect[i] * factor;
}

void axisAlignNewer(const float* f0, const float* f1, const float* f2, float* dx, float* dz) {
    float v[3], u[3];
    vectSub(f1, f0, v, 3);
    vectSub(f2, f0, u, 3);
    // Solving the 2x2 system by substitution: pick the first edge with a zero x or z so one
    // slope falls out of a single division, and only resort to elimination otherwise.
    if (v[0] == 0.0f) {
        *dz = v[1] / v[2];
        *dx = (u[1] - u[2] * *dz) / u[0];
    } else if (v[2] == 0.0f) {
        *dx = v[1] / v[0];
        *dz = (u[1] - u[0] * *dx) / u[2];
    } else if (u[0] == 0.0f) {
        *dz = u[1] / u[2];
        *dx = (v[1] - v[2] * *dz) / v[0];
    } else if (u[2] == 0.0f) {
        *dx = u[1] / u[0];
        *dz = (v[1] - v[0] * *dx) / v[2];
    } else {
        float r = v[0] / u[0];
        *dz = (u[1] - v[1] / r) / (u[2] - v[2] / r);
        *dx = (u[1] - u[2] * *dz) / u[0];
    }
}

void quadEq(float a, float b, float c, float* ret) {
    float d = b * b - (4.0f * a) * c;
    double root = pow(double(d), 0.5);
    double den = double(a + a);
    ret[0] = float((double(-b) + root) / den);
    ret[1] = float((double(-b) - root) / den);
}

int lowestPosFloat3(float f0, float f1, float f2) {
    // Written as >= so that NaN reads as negative; strict candidate comparisons let the
    // later index win a tie.
    bool p0 = f0 >= 0.0f, p1 = f1 >= 0.0f, p2 = f2 >= 0.0f;
    if (p0 && p1 && p2) {
        if (f1 > f0) return f2 > f0 ? 0 : 2;
        return f2 > f1 ? 1 : 2;
    }
    if (p0 && p1) return f1 > f0 ? 0 : 1;
    if (p0 && p2) return f2 > f0 ? 0 : 2;
    if (p0) return 0;
    if (p1 && p2) return f2 > f1 ? 1 : 2;
    if (p1) return 1;
    return 2;
}

int vectVectSame(const float* v0, const float* v1, int length) {
    for (int i = 0; i < length; i++)
        if (!(v0[i] == v1[i])) return 0;
    return 1;
}

void sayVect(const char* str, const float* vect, int length) {
    tracef("%s (", str);
    for (int i = 0; i < length; i++)
        tracef("%f, ", double(vect[i]));
    tracef("}\n");
}

void sayMat4(const char* str, const float* mat) {
    tracef("%s {\n", str);
    for (int r = 0; r < 4; r++) {
        tracef("%f, %f, %f, %f", double(mat[4 * r]), double(mat[4 * r + 1]), double(mat[4 * r + 2]),
               double(mat[4 * r + 3]));
        tracef("%s\n", r < 3 ? "}," : "}");
    }
}
