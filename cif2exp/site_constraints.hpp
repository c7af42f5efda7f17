// What a site's own symmetry does to its coordinates: the operators that
// leave it in place, the exact special position, and which coordinates
// stay free, are fixed, or follow a free one (x = y, y = 2x, ...).
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

}  // namespace cif2exp
