#include "crystal/displacement_ellipsoid.hpp"

#include <algorithm>
#include <cmath>

namespace vesk {

namespace {

Cart3 cross(const Cart3& p, const Cart3& q) {
  return {p[1] * q[2] - p[2] * q[1], p[2] * q[0] - p[0] * q[2], p[0] * q[1] - p[1] * q[0]};
}

double dot(const Cart3& p, const Cart3& q) { return p[0] * q[0] + p[1] * q[1] + p[2] * q[2]; }

double quadratic(const Sym3& m, const Cart3& p, const Cart3& q) {
  double sum = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) sum += p[i] * m[i][j] * q[j];
  return sum;
}

}  // namespace

Sym3 cartesian_u(const Mat3& orthogonal, const std::array<float, 6>& u) {
  std::array<Cart3, 3> axes{};
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) axes[i][k] = at(orthogonal, i + 1, k + 1);
  const double volume = dot(axes[0], cross(axes[1], axes[2]));
  std::array<double, 3> reciprocal{};  // a*, b*, c*
  for (int i = 0; i < 3; ++i) {
    const Cart3 normal = cross(axes[(i + 1) % 3], axes[(i + 2) % 3]);
    reciprocal[i] = std::sqrt(dot(normal, normal)) / std::fabs(volume);
  }
  const int row[6] = {0, 1, 2, 0, 0, 1};
  const int column[6] = {0, 1, 2, 1, 2, 2};
  Sym3 tensor{};  // U_ij with both triangles
  for (int k = 0; k < 6; ++k) {
    tensor[row[k]][column[k]] = u[k];
    tensor[column[k]][row[k]] = u[k];
  }
  Sym3 result{};
  for (int p = 0; p < 3; ++p)
    for (int q = 0; q < 3; ++q) {
      double sum = 0;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) sum += axes[i][p] * reciprocal[i] * tensor[i][j] * reciprocal[j] * axes[j][q];
      result[p][q] = sum;
    }
  return result;
}

DisplacementEllipsoid displacement_ellipsoid(const Sym3& u_cart, double scale) {
  const SymmetricEigen eigen = symmetric_eigen(u_cart);
  DisplacementEllipsoid result;
  result.positive_definite = eigen.values[0] > 0;
  for (int k = 0; k < 3; ++k) {
    result.semi_axes[k] = eigen.values[k] > 0 ? scale * std::sqrt(eigen.values[k]) : 0.0;
    result.axes[k] = eigen.vectors[k];
  }
  return result;
}

ProjectedEllipse projected_outline(const Sym3& u_cart, const Cart3& x_axis, const Cart3& y_axis, double scale) {
  const double sxx = quadratic(u_cart, x_axis, x_axis);
  const double syy = quadratic(u_cart, y_axis, y_axis);
  const double sxy = quadratic(u_cart, x_axis, y_axis);
  const double mean = 0.5 * (sxx + syy);
  const double half_difference = std::hypot(0.5 * (sxx - syy), sxy);
  ProjectedEllipse result;
  result.major = scale * std::sqrt(std::max(mean + half_difference, 0.0));
  result.minor = scale * std::sqrt(std::max(mean - half_difference, 0.0));
  result.angle = 0.5 * std::atan2(2.0 * sxy, sxx - syy);
  return result;
}

double ProjectedEllipse::radius_towards(double dx, double dy) const {
  const double along = dx * std::cos(angle) + dy * std::sin(angle);
  const double across = -dx * std::sin(angle) + dy * std::cos(angle);
  if (minor <= 0) return 0.0;  // a flat outline: nothing to keep clear of
  const double inverse = along * along / (major * major) + across * across / (minor * minor);
  return 1.0 / std::sqrt(inverse);
}

}  // namespace vesk
