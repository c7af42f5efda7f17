// Least-squares planes with unit weights through three or more points
// (Schomaker, Waser, Marsh & Bergman, Acta Cryst. 12 (1959) 600): the
// normal is the eigenvector of the smallest eigenvalue of the scatter
// matrix S = sum_i (p_i - c)(p_i - c)^T about the centroid c, and the sum
// of the squared deviations is that eigenvalue.
//
// Sign of the normal: seen from its tip, the defining points taken in the
// order given run clockwise (n . sum_i (p_i - c) x (p_i+1 - c) < 0, the
// last point followed by the first). For a ring in ring order this is the
// mean-plane normal of Cremer & Pople (geometry/puckering.hpp), so the
// deviations here and their z_j have one sign. Points whose order turns
// neither way (the sum is 0) get the normal whose largest component is
// positive.
//
// Gradients come from first-order eigenvector perturbation: dn = -sum_k
// (v_k^T dS n) / (l_k - l_0) v_k over the other two eigenpairs (l_k, v_k).
#pragma once
#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "geometry/point_measure.hpp"

namespace vesk {

struct LeastSquaresPlane {
  bool defined = false;               // false: fewer than 3 points, or no unique normal (points on a line)
  std::vector<Cart3> points;          // the defining points, as given
  Cart3 centroid{};
  Cart3 normal{};                     // unit vector
  std::array<double, 3> moments{};    // eigenvalues of S, ascending: moments[0] is the sum of squared deviations
  std::array<Cart3, 3> axes{};        // their unit eigenvectors; axes[0] is the normal
};

LeastSquaresPlane least_squares_plane(std::span<const Cart3> points);

// d normal / d point i: element [a][b] is the derivative of component a of
// the normal by coordinate b of point i.
Mat3d normal_derivative(const LeastSquaresPlane& plane, std::size_t i);

// Signed deviation of defining point i from the plane; the gradient has
// one entry per defining point. Three points lie in their plane: 0 exactly,
// with a zero gradient.
PointMeasure plane_deviation(const LeastSquaresPlane& plane, std::size_t i);
// Signed deviation of any other point q; the gradient has one entry per
// defining point and then one for q.
PointMeasure plane_deviation(const LeastSquaresPlane& plane, const Cart3& q);

// Root-mean-square deviation of the defining points, sqrt(l_0 / k). It has
// no derivative where it vanishes: a plane that is flat to rounding (three
// points, or points held in a plane by symmetry) gets 0 exactly and a zero
// gradient.
PointMeasure plane_rms_deviation(const LeastSquaresPlane& plane);

// The angle between two planes, 0 to 90 degrees (in radians here): the
// acute angle between their normals, whatever their signs. The gradient has
// the points of `a`, then those of `b`; a point the two planes share enters
// twice, and the propagation adds its two derivatives. Planes parallel to
// rounding (two rings related by an inversion centre) get 0 exactly with a
// zero gradient, the angle having no derivative there.
PointMeasure plane_angle(const LeastSquaresPlane& a, const LeastSquaresPlane& b);

// The distance between the centroids of two planes' points; the gradient
// has the points of `a`, then those of `b`.
PointMeasure centroid_distance(const LeastSquaresPlane& a, const LeastSquaresPlane& b);

}  // namespace vesk
