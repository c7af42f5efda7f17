// The covariance a distance or an angle is propagated through, put together
// per central atom, and the derivatives of a distance propagated through it.
#pragma once
#include <array>

namespace vesk {

// Rows 1-6 the cell, 7-9 the central atom, 10-12 the first neighbour, 13-15
// the second (angles only). The cell-by-atom blocks stay 0.
struct WorkCovariance {
  std::array<float, 225> c{};
  std::array<int, 15> positions{};  // covariance positions, 0 = not refined
  float& at(int r, int s) { return c[(r - 1) * 15 + (s - 1)]; }
  float at(int r, int s) const { return c[(r - 1) * 15 + (s - 1)]; }
};

// d(d)/d(a, b, c, cos alpha, cos beta, cos gamma), then d(d)/d(central x, y, z),
// then d(d)/d(x, y, z of the neighbour's own atom) through its operator.
using DistanceDerivatives = std::array<double, 12>;

}  // namespace vesk
