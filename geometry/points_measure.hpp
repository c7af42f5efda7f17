// A geometric quantity of a few Cartesian points and its gradient: the value
// and d value / d point for every point it was computed from, in the order
// the points were given. The s.u. comes later from that gradient, carried
// through the symmetry operations and the full covariance of the
// coordinates, so correlated points (the ligands of one polyhedron) are
// propagated together rather than added in quadrature.
//
// Double precision here, unlike the single-precision data model: the
// gradients are checked against finite differences, and the sums of many
// small terms (bond-valence sums, the hull volume) need the digits.
#pragma once
#include <array>
#include <cstddef>
#include <vector>

#include "geometry/point_measure.hpp"

namespace vesk {

using Point3d = std::array<double, 3>;  // Cartesian, Angstrom

// The measure of geometry/point_measure.hpp: one type for every quantity
// the propagation takes.

inline Point3d operator-(const Point3d& a, const Point3d& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline Point3d operator+(const Point3d& a, const Point3d& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
inline Point3d operator*(double s, const Point3d& a) { return {s * a[0], s * a[1], s * a[2]}; }
inline double dot(const Point3d& a, const Point3d& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline Point3d cross(const Point3d& a, const Point3d& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline void add_to(Point3d& sum, const Point3d& a, double s = 1.0) {
  sum[0] += s * a[0];
  sum[1] += s * a[1];
  sum[2] += s * a[2];
}

}  // namespace vesk
