// A value computed from Cartesian points, with its gradient with respect
// to each point's position: what the propagation of standard
// uncertainties carries through the orthogonalisation, the symmetry
// operations and the covariance of coordinates and cell. Lengths in
// Angstrom, angles in radians.
#pragma once
#include <array>
#include <cmath>
#include <vector>

namespace vesk {

using Cart3 = std::array<double, 3>;
using Mat3d = std::array<std::array<double, 3>, 3>;  // [row][column]

struct PointMeasure {
  double value = 0;
  std::vector<Cart3> gradient;   // d value / d point k, one entry per point
  // Not empty where the value has no first derivative because the points
  // lie on a line (an angle of 0 or 180 degrees): the bend has no
  // direction, and the variance is the mean over `gradient` and this, the
  // gradients of two perpendicular bends (zero when the symmetry keeps the
  // line straight).
  std::vector<Cart3> crosswise;
  bool defined = true;           // false: the value has no meaning here (value and gradient 0)
};

// Small vector helpers of the geometry computations.
namespace vec3 {
inline double dot(const Cart3& p, const Cart3& q) { return p[0] * q[0] + p[1] * q[1] + p[2] * q[2]; }
inline Cart3 cross(const Cart3& p, const Cart3& q) {
  return {p[1] * q[2] - p[2] * q[1], p[2] * q[0] - p[0] * q[2], p[0] * q[1] - p[1] * q[0]};
}
inline Cart3 minus(const Cart3& p, const Cart3& q) { return {p[0] - q[0], p[1] - q[1], p[2] - q[2]}; }
inline Cart3 plus(const Cart3& p, const Cart3& q) { return {p[0] + q[0], p[1] + q[1], p[2] + q[2]}; }
inline Cart3 scaled(const Cart3& p, double s) { return {p[0] * s, p[1] * s, p[2] * s}; }
inline double length(const Cart3& p) { return std::sqrt(dot(p, p)); }
// m^T v
inline Cart3 transposed_times(const Mat3d& m, const Cart3& v) {
  Cart3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[j] += m[i][j] * v[i];
  return r;
}
}  // namespace vec3

}  // namespace vesk
