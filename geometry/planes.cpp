#include "geometry/planes.hpp"

#include <algorithm>
#include <cmath>

#include "crystal/symmetric_eigen.hpp"

namespace vesk {

namespace {

using namespace vec3;

// Below this, a length is rounding: the coordinates carry about 16
// digits, and a centroid far from the origin loses some of them.
double rounding_length(std::span<const Cart3> points) {
  double largest = 1;
  for (const Cart3& p : points)
    for (double x : p) largest = std::max(largest, std::fabs(x));
  return 1e-10 * largest;
}

// dn^T y for each defining point: the gradient of n . y with y held fixed.
Cart3 normal_gradient_along(const LeastSquaresPlane& plane, std::size_t i, const Cart3& y) {
  return transposed_times(normal_derivative(plane, i), y);
}

}  // namespace

LeastSquaresPlane least_squares_plane(std::span<const Cart3> points) {
  LeastSquaresPlane plane;
  plane.points.assign(points.begin(), points.end());
  const std::size_t k = points.size();
  if (k < 3) return plane;
  for (const Cart3& p : points) plane.centroid = plus(plane.centroid, p);
  plane.centroid = scaled(plane.centroid, 1.0 / static_cast<double>(k));
  Sym3 scatter{};
  for (const Cart3& p : points) {
    const Cart3 r = minus(p, plane.centroid);
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) scatter[a][b] += r[a] * r[b];
  }
  const SymmetricEigen eigen = symmetric_eigen(scatter);
  plane.moments = eigen.values;
  for (int m = 0; m < 3; ++m) plane.axes[m] = eigen.vectors[m];
  // A normal needs the two in-plane moments apart from the smallest one;
  // on a line (or at one point) the normal is any direction across it.
  const double spread = std::max(eigen.values[2], 0.0);
  if (spread == 0 || eigen.values[1] - eigen.values[0] <= 1e-12 * spread) return plane;
  plane.defined = true;

  Cart3 turn{};
  for (std::size_t i = 0; i < k; ++i)
    turn = plus(turn, cross(minus(points[i], plane.centroid), minus(points[(i + 1) % k], plane.centroid)));
  double sense = -dot(plane.axes[0], turn);
  if (std::fabs(sense) <= 1e-12 * spread) {
    std::size_t largest = 0;
    for (std::size_t a = 1; a < 3; ++a)
      if (std::fabs(plane.axes[0][a]) > std::fabs(plane.axes[0][largest])) largest = a;
    sense = plane.axes[0][largest];
  }
  if (sense < 0) plane.axes[0] = scaled(plane.axes[0], -1.0);
  plane.normal = plane.axes[0];
  return plane;
}

Mat3d normal_derivative(const LeastSquaresPlane& plane, std::size_t i) {
  Mat3d d{};
  if (!plane.defined) return d;
  const Cart3& n = plane.normal;
  const Cart3 r = minus(plane.points[i], plane.centroid);
  const double rn = dot(r, n);
  // The centroid's own shift drops out: sum_j (p_j - c) = 0.
  for (int m = 1; m < 3; ++m) {
    const Cart3& v = plane.axes[m];
    const double gap = plane.moments[m] - plane.moments[0];
    const double vr = dot(v, r);
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) d[a][b] -= v[a] * (rn * v[b] + vr * n[b]) / gap;
  }
  return d;
}

PointMeasure plane_deviation(const LeastSquaresPlane& plane, const Cart3& q) {
  const std::size_t k = plane.points.size();
  PointMeasure result;
  result.gradient.assign(k + 1, Cart3{});
  if (!plane.defined) {
    result.defined = false;
    return result;
  }
  const Cart3 r = minus(q, plane.centroid);
  result.value = dot(plane.normal, r);
  if (std::fabs(result.value) <= rounding_length(plane.points)) result.value = 0;
  for (std::size_t j = 0; j < k; ++j)
    result.gradient[j] = minus(normal_gradient_along(plane, j, r), scaled(plane.normal, 1.0 / static_cast<double>(k)));
  result.gradient[k] = plane.normal;
  return result;
}

PointMeasure plane_deviation(const LeastSquaresPlane& plane, std::size_t i) {
  const std::size_t k = plane.points.size();
  if (plane.defined && k == 3) {  // three points lie in their plane
    PointMeasure result;
    result.gradient.assign(k, Cart3{});
    return result;
  }
  // As an outside point, its own place then folded into the plane's.
  PointMeasure result = plane_deviation(plane, plane.points[i]);
  result.gradient[i] = plus(result.gradient[i], result.gradient[k]);
  result.gradient.pop_back();
  return result;
}

PointMeasure plane_rms_deviation(const LeastSquaresPlane& plane) {
  const std::size_t k = plane.points.size();
  PointMeasure result;
  result.gradient.assign(k, Cart3{});
  if (!plane.defined) {
    result.defined = false;
    return result;
  }
  // From the deviations rather than from l_0, whose rounding is that of
  // the squares of the coordinates.
  double sum = 0;
  std::vector<double> deviations(k);
  for (std::size_t j = 0; j < k; ++j) {
    deviations[j] = dot(plane.normal, minus(plane.points[j], plane.centroid));
    sum += deviations[j] * deviations[j];
  }
  const double rms = std::sqrt(sum / static_cast<double>(k));
  if (k == 3 || rms <= rounding_length(plane.points)) return result;
  result.value = rms;
  // d l_0 = n^T dS n = 2 sum_j d_j (n . dp_j); the normal's own change drops out.
  for (std::size_t j = 0; j < k; ++j)
    result.gradient[j] = scaled(plane.normal, deviations[j] / (static_cast<double>(k) * rms));
  return result;
}

PointMeasure plane_angle(const LeastSquaresPlane& a, const LeastSquaresPlane& b) {
  const std::size_t ka = a.points.size();
  const std::size_t kb = b.points.size();
  PointMeasure result;
  result.gradient.assign(ka + kb, Cart3{});
  if (!a.defined || !b.defined) {
    result.defined = false;
    return result;
  }
  const double c = dot(a.normal, b.normal);
  const double sign = c < 0 ? -1.0 : 1.0;
  const Cart3 m = scaled(b.normal, sign);  // b's normal on a's side
  const double sine = length(cross(a.normal, m));
  if (sine <= 1e-10) return result;
  result.value = std::atan2(sine, dot(a.normal, m));
  // d theta = -(dn_a . m + n_a . dm) / sin theta; each dn lies across its normal.
  const Cart3 along_a = scaled(m, -1.0 / sine);
  const Cart3 along_b = scaled(a.normal, -sign / sine);
  for (std::size_t j = 0; j < ka; ++j) result.gradient[j] = normal_gradient_along(a, j, along_a);
  for (std::size_t j = 0; j < kb; ++j) result.gradient[ka + j] = normal_gradient_along(b, j, along_b);
  return result;
}

PointMeasure centroid_distance(const LeastSquaresPlane& a, const LeastSquaresPlane& b) {
  PointMeasure m;
  const Cart3 between = vec3::minus(b.centroid, a.centroid);
  m.value = vec3::length(between);
  const Cart3 unit = m.value > 0 ? vec3::scaled(between, 1 / m.value) : Cart3{};
  for (std::size_t i = 0; i < a.points.size(); ++i)
    m.gradient.push_back(vec3::scaled(unit, -1.0 / static_cast<double>(a.points.size())));
  for (std::size_t i = 0; i < b.points.size(); ++i)
    m.gradient.push_back(vec3::scaled(unit, 1.0 / static_cast<double>(b.points.size())));
  return m;
}

}  // namespace vesk
