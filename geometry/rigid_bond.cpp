#include "geometry/rigid_bond.hpp"

#include <cmath>

namespace vesk {

namespace {

using namespace vec3;

Mat3d inverse(const Mat3d& m) {
  Mat3d r{};
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      // Cofactor of (j, i) over the determinant.
      const int j1 = (j + 1) % 3, j2 = (j + 2) % 3, i1 = (i + 1) % 3, i2 = (i + 2) % 3;
      r[i][j] = (m[j1][i1] * m[j2][i2] - m[j1][i2] * m[j2][i1]) / det;
    }
  return r;
}

Sym3 rotated(const Mat3d& r, const Sym3& u) {
  Sym3 result{};
  for (int p = 0; p < 3; ++p)
    for (int q = 0; q < 3; ++q) {
      double sum = 0;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) sum += r[p][i] * u[i][j] * r[q][j];
      result[p][q] = sum;
    }
  return result;
}

double along(const Sym3& u, const Cart3& n) {
  double sum = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) sum += n[i] * u[i][j] * n[j];
  return sum;
}

Cart3 times(const Sym3& u, const Cart3& n) {
  Cart3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i] += u[i][j] * n[j];
  return r;
}

// z^2 of one atom with its gradients: d z^2 / d b = 2 (I - n n^T) U n / d
// for the far end b, the negative for the near end.
RigidBondMeasure amplitude(const Cart3& n, double distance, const CartesianDisplacement& u, int own) {
  RigidBondMeasure result;
  result.measure.value = along(u.u, n);
  const Cart3 un = times(u.u, n);
  const Cart3 towards_b = scaled(minus(un, scaled(n, dot(n, un))), 2.0 / distance);
  result.measure.gradient = {scaled(towards_b, -1.0), towards_b};
  for (int k = 0; k < 6; ++k) result.du[6 * own + k] = along(u.du[k], n);
  return result;
}

}  // namespace

Mat3d cartesian_rotation(const Mat3& orthogonal, const IntMat3& rotation) {
  Mat3d axes{};  // the axes as columns
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 3; ++i) axes[k][i] = at(orthogonal, i + 1, k + 1);
  const Mat3d back = inverse(axes);
  Mat3d result{};
  for (int p = 0; p < 3; ++p)
    for (int q = 0; q < 3; ++q)
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) result[p][q] += axes[p][i] * rotation[i][j] * back[j][q];
  return result;
}

CartesianDisplacement cartesian_displacement(const Mat3& orthogonal, const std::array<float, 6>& u,
                                             const IntMat3& rotation) {
  const Mat3d r = cartesian_rotation(orthogonal, rotation);
  CartesianDisplacement result;
  result.u = rotated(r, cartesian_u(orthogonal, u));
  for (std::size_t k = 0; k < 6; ++k) {
    std::array<float, 6> unit{};
    unit[k] = 1;
    result.du[k] = rotated(r, cartesian_u(orthogonal, unit));
  }
  return result;
}

CartesianDisplacement cartesian_displacement(const Mat3d& axes, const std::array<float, 6>& u,
                                             const IntMat3& rotation) {
  Mat3 orthogonal{};  // rows the axes
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) at(orthogonal, i + 1, k + 1) = static_cast<float>(axes[k][i]);
  return cartesian_displacement(orthogonal, u, rotation);
}

RigidBondTest rigid_bond_test(const Cart3& a, const CartesianDisplacement& ua, const Cart3& b,
                              const CartesianDisplacement& ub) {
  RigidBondTest result;
  const Cart3 bond = minus(b, a);
  const double distance = length(bond);
  if (distance == 0) {
    for (RigidBondMeasure* m : {&result.msda_a, &result.msda_b, &result.delta}) {
      m->measure.defined = false;
      m->measure.gradient.assign(2, Cart3{});
    }
    return result;
  }
  result.defined = true;
  const Cart3 n = scaled(bond, 1.0 / distance);
  result.msda_a = amplitude(n, distance, ua, 0);
  result.msda_b = amplitude(n, distance, ub, 1);
  result.delta.measure.value = result.msda_a.measure.value - result.msda_b.measure.value;
  result.delta.measure.gradient = {minus(result.msda_a.measure.gradient[0], result.msda_b.measure.gradient[0]),
                                   minus(result.msda_a.measure.gradient[1], result.msda_b.measure.gradient[1])};
  for (int k = 0; k < 12; ++k) result.delta.du[k] = result.msda_a.du[k] - result.msda_b.du[k];
  return result;
}

bool rigid_bond_flagged(double delta, double delta_su) {
  return std::fabs(delta) > 0.001 && std::fabs(delta) > 3 * delta_su;
}

}  // namespace vesk
