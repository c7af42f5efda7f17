// Standard deviations of distances and bond angles, propagated from the cell
// constants (with the ties of the Laue class) and from the least-squares
// covariance of the atom coordinates. The inputs are the phase's 32-bit
// numbers; distances, angles and their derivatives are computed from them in
// double precision, each image placed exactly by its integer operation, so
// that a value the symmetry fixes (an angle of 180 degrees through an
// inversion centre, the angles between images of one atom on a cubic site)
// comes out exact, with derivatives that cancel to a zero variance.
#pragma once
#include <array>
#include <cmath>

#include "crystal/metric.hpp"
#include "crystal/phase.hpp"
#include "crystal/symmetry_operation.hpp"
#include "vortan/work_covariance.hpp"

namespace vesk {

struct NeighbourEntry;

// Covariance of a, b, c, cos(alpha), cos(beta), cos(gamma); (r, s) from 1.
struct CellCovariance {
  std::array<float, 36> m{};
  float& at(int r, int s) { return m[(r - 1) * 6 + (s - 1)]; }
  float at(int r, int s) const { return m[(r - 1) * 6 + (s - 1)]; }
};

// Builds the cell covariance from the phase's sigmas and its Laue class, and
// writes the tied sigmas back into the phase so that the listing shows them.
CellCovariance cell_covariance(PhaseDescription& phase);
void set_cell_block(WorkCovariance& work, const CellCovariance& cell);

// Fractional difference (central minus neighbour) scaled by the cell edges,
// and its length.
struct CellVector {
  float u = 0, v = 0, w = 0, d = 0;
};

// Inline: the neighbour search calls this for every candidate.
inline float squared_length(const PhaseDescription& phase, float u, float v, float w) {
  const float ca = phase.cosines[0], cb = phase.cosines[1], cg = phase.cosines[2];
  return u * u + v * v + w * w + 2 * (v * w * ca + u * w * cb + u * v * cg);
}

inline CellVector cell_vector(const PhaseDescription& phase, const Vec3& from, const Vec3& to) {
  CellVector vec;
  vec.u = phase.abc[0] * (from[0] - to[0]);
  vec.v = phase.abc[1] * (from[1] - to[1]);
  vec.w = phase.abc[2] * (from[2] - to[2]);
  vec.d = std::sqrt(squared_length(phase, vec.u, vec.v, vec.w));
  return vec;
}

// sum over r, s = 1..n of D(r) D(s) C(r, s)
double propagate(const double* derivatives, const WorkCovariance& work, int n);

struct DistanceSigma {
  double distance = 0;       // from the exact image
  Vec3d image{};             // the neighbour, fractional, exact
  float sigma = 0;
  float variance = 0;        // as summed; below -1.0E-6 the caller warns
  DistanceDerivatives derivatives{};
};
// The distance from the central atom at `central` to the image of the atom
// at `atom` through operator code `operator_code` and lattice translation
// `n`, with its standard deviation. The work covariance must hold the
// central atom in rows 7-9 and the neighbour's atom in rows 10-12.
DistanceSigma distance_sigma(const PhaseDescription& phase, const Vec3& central, const Vec3& atom, int operator_code,
                             const LatticeTranslation& n, const WorkCovariance& work);
constexpr float kNegativeVarianceLimit = -1.0E-6f;

struct Angle {
  float degrees = 0;
  float sigma = 0;
  float cosine = 0;
};
// The angle first - central - second, from the exact images the neighbour
// entries hold, as atan2(|u x v|, u . v): exact at 0 and 180 degrees. Its
// variance comes from the angle's own derivatives; where the three atoms lie
// on a line the bend has no direction, and the variance is the mean over two
// perpendicular bends (zero when the symmetry keeps the line straight). The
// work covariance must hold the central atom in rows 7-9, the first
// neighbour's atom in 10-12 and the second's in 13-15.
Angle bond_angle(const PhaseDescription& phase, const Vec3& central, const NeighbourEntry& first,
                 const NeighbourEntry& second, const WorkCovariance& work, float degrees_per_radian);

}  // namespace vesk
