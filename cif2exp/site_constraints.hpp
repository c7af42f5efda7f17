// What a site's own symmetry does to its coordinates and its displacement
// parameters: the operators that leave it in place, the exact special
// position, which coordinates stay free, are fixed, or follow a free one
// (x = y, y = 2x, ...), and the same for U11, U22, U33, U12, U13, U23
// (U22 = U11 and U12 = U11/2 on a threefold axis along c, U13 = 0 on a
// twofold axis along b).
//
// A tie is one linear map per parameter set: parameter i moves by
// dependence[i][j] per unit move of free parameter j; a parameter that no
// free one moves is fixed. cif2exp writes it into the covariance file as
// constraint entries (parameter, variable of free j, dependence[i][j]),
// one variable per free parameter.
#pragma once
#include <array>
#include <vector>

#include "cif2exp/group_operators.hpp"

namespace cif2exp {

using Coordinates = std::array<double, 3>;

struct SiteConstraints {
  Coordinates position{};    // on the special position exactly
  int stabiliser_order = 1;  // operators (identity included) that leave the site in place
  // coordinate i moves by dependence[i][j] per unit move of free coordinate j
  std::array<Coordinates, 3> dependence{};
  std::array<bool, 3> free{};
  std::vector<SeitzOperator> stabiliser;  // the operators that leave the site in place

  bool fixed(int i) const {
    for (int j = 0; j < 3; ++j)
      if (free[j] && dependence[i][j] != 0) return false;
    return true;
  }
};

// `x` as printed, `half_place` half the unit of each coordinate's last digit:
// an operator leaves the site in place when it moves it by no more than the
// printing could hide. The free coordinates are chosen from x, y, z in that
// order (x stays free in x, x, x and in x, 2x, z).
// Throws vesk::Error when the operators found do not form a group (the
// coordinates sit ambiguously between special positions).
SiteConstraints constrain_site(const Coordinates& x, const Coordinates& half_place,
                               const std::vector<SeitzOperator>& group);

// U11, U22, U33, U12, U13, U23 as the CIF gives them (on the axes a*, b*,
// c* scaled to unit length).
using Displacements = std::array<double, 6>;

struct DisplacementConstraints {
  std::array<Displacements, 6> dependence{};  // Uk moves by dependence[k][j] per unit of free Uj
  std::array<bool, 6> free{};
  std::vector<std::array<Displacements, 6>> images;  // U -> R U R^T of each stabiliser operator, as 6 x 6

  // The mean of U's images under the site's operators: U on the ties exactly.
  Displacements symmetrised(const Displacements& u) const;
};

// The ties of the site's operators `stabiliser` (fractional rotations) on
// the Uij of a cell with reciprocal lengths a*, b*, c*: invariance of
// U* = N U N (N = diag(a*, b*, c*)) under R U* R^T. The free ones are taken
// from U11, U22, U33, U12, U13, U23 in that order.
DisplacementConstraints constrain_displacements(const std::vector<SeitzOperator>& stabiliser,
                                                const Coordinates& reciprocal_lengths);

}  // namespace cif2exp
