// The covariance of the cell constants a, b, c, cos(alpha), cos(beta),
// cos(gamma) that every standard uncertainty is propagated through: the
// phase's own sigmas with the ties of its Laue class (a = b from the
// tetragonal classes on, a = b = c in the cubic and rhombohedral ones, one
// angle on rhombohedral axes, fixed angles on hexagonal axes). Cell and atom
// parameters are taken as uncorrelated.
#pragma once
#include <array>

#include "crystal/phase.hpp"
#include "geometry/measure.hpp"

namespace vesk {

// (r, s) from 1, in the order above; single precision, as the phase holds
// the sigmas.
struct CellCovariance {
  std::array<float, 36> m{};
  float& at(int r, int s) { return m[(r - 1) * 6 + (s - 1)]; }
  float at(int r, int s) const { return m[(r - 1) * 6 + (s - 1)]; }
};

// Builds the cell covariance from the phase's sigmas and its Laue class, and
// writes the tied sigmas back into the phase so that the listing shows them.
CellCovariance cell_covariance(PhaseDescription& phase);

// The same for the propagation.
CellCovariance6 in_double(const CellCovariance& cell);

}  // namespace vesk
