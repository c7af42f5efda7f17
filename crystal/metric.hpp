// The cell's orthogonalisation matrix, 3 x 3 matrix and 3-vector utilities,
// and reduction into the unit cell; the degree trigonometry they rest on
// comes with them from numeric/degrees.hpp. Single precision throughout;
// matrices are held column by column: element (i, j) (from 1) at index
// (i - 1) + 3 (j - 1).
#pragma once
#include <array>

#include "numeric/degrees.hpp"

namespace vesk {

using Vec3 = std::array<float, 3>;
using Mat3 = std::array<float, 9>;

// Fractional coordinates (in cell edges) and Cartesian ones (Angstrom, in
// the orthonormal frame of CELLMATRIX), kept apart where they cross a
// function boundary: the one cannot be handed on for the other. Both are
// Vec3s underneath and take the Vec3 arithmetic.
struct Fractional : Vec3 {};
struct Cartesian : Vec3 {};

inline float& at(Mat3& m, int i, int j) { return m[(i - 1) + 3 * (j - 1)]; }
inline float at(const Mat3& m, int i, int j) { return m[(i - 1) + 3 * (j - 1)]; }

// A from a, b, c and three angles, each given in degrees (above 1.0) or as
// its cosine (1.0 or less). Throws vesk::Error for a degenerate cell (an
// angle of 0 or 180 degrees).
void CELLMATRIX(float a, float b, float c, float alpha, float beta, float gamma,
                Mat3& orthogonal, Mat3& inverse);
float DET3(const Mat3& m);
// Writes the singular-matrix line on the terminal when the determinant is 0.
void MATINV3(const Mat3& m, Mat3& inverse);
void MATMUL3(const Mat3& p, const Mat3& q, Mat3& r);  // r may alias p or q
Vec3 VECMAT3(const Vec3& v, const Mat3& m);            // w(i) = sum_j v(j) M(j, i)
Vec3 MATVEC3(const Mat3& m, const Vec3& v);            // w(i) = sum_j M(i, j) v(j)
float VECNORM(Vec3& v);                                // normalises v when its length is above 0
Vec3 VECADD(const Vec3& u, const Vec3& v);
Vec3 VECSUB(const Vec3& u, const Vec3& v);
Vec3 VECSCALE(const Vec3& v, float s);
Vec3 FRAC01(const Vec3& x);          // into [0, 1), components above 0.9999 become 0
void FRAC01PLAIN(Vec3& x);           // into [0, 1) in place
// The fractional vector x in Angstrom: x A (VECMAT3) with `orthogonal` = A.
Cartesian orthogonalise(const Fractional& x, const Mat3& orthogonal);
float CARTDIST(const Vec3& p, const Vec3& q, const Mat3& orthogonal, const Vec3& t);

}  // namespace vesk
