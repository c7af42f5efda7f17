// One least-squares cycle against Fo^2 at the model's parameters, as the
// refinement's last cycle was: SHELXL's weights, the restraints as further
// observations, the full normal matrix,
// its Cholesky factorisation, the shifts it asks for, and the covariance
// N^-1 GooF^2 of every variable, the origin held along polar directions.
// R1, wR2 and the GooF come with it.
#pragma once
#include <span>
#include <vector>

#include "lsq/model.hpp"
#include "lsq/parameters.hpp"
#include "lsq/reflections.hpp"

namespace lsq {

struct CycleOptions {
  int threads = 0;        // for the structure factors; 0: every core
  int block_rows = 256;   // reflections per rank-k update of the normal matrix
};

struct CycleResult {
  int observations = 0;
  int parameters = 0;     // as n - p counts them
  double r1_all = 0;      // sum ||Fo| - |Fc|| / sum |Fo|
  double r1_gt = 0;       // the same over Fo^2 > 2 s(Fo^2)
  int observed_gt = 0;
  double wr2 = 0;         // [sum w (Fo^2 - Fc^2)^2 / sum w Fo^4]^1/2
  double goof = 0;        // [sum w (Fo^2 - Fc^2)^2 / (n - p)]^1/2
  int restraints = 0;     // restraints r: their rows, n (n - 1) / 2 for each set of n equal distances
  double restrained_goof = 0;  // [(sum w (Fo^2 - Fc^2)^2 + sum of the restraints' w r^2) / (n + r - p)]^1/2
  std::vector<double> shifts;       // per variable
  // variables x variables, column-major: N^-1 GooF^2, the restrained GooF
  // where the model says so and has restraints.
  std::vector<double> covariance;
  int largest_shift = -1;           // variable with the largest |shift| / s.u.
  double largest_shift_ratio = 0;
  double covariance_at(int i, int j) const {
    return covariance[static_cast<std::size_t>(j) * shifts.size() + static_cast<std::size_t>(i)];
  }
};

// Throws vesk::Error when there are no more observations than variables,
// or when the normal matrix is singular (naming the first variable the data
// do not determine).
CycleResult least_squares_cycle(const Model& model, const ParameterMap& map, std::span<const Observation> observations,
                                const CycleOptions& options = {});

// The directions along which a space group leaves the origin free (none in
// a centric group, y in P 21, all three in P 1), orthonormal in fractional
// coordinates. The cycle holds the atoms' weighted centroid along them.
std::vector<Vec3> floating_origin_directions(const SpaceGroup& group);

// SHELXL's weight of one observation (Fo^2, s and Fc^2 on the observations'
// scale), its scheme applied on the absolute scale: w = 1 / [s^2 + (aP)^2 +
// bP] with Fo^2, s and P divided by scale^2.
double shelxl_weight(const Weighting& weighting, double fo2, double sigma, double fc2, double scale);

}  // namespace lsq
