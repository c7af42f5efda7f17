// The ties a special position puts on an atom's parameters: the operators
// that leave the site in place fix some coordinates and Uij, and make
// others follow a free one (x = y, y = 2x, U22 = U11, U12 = U11 / 2, ...).
// The free parameters are chosen in the order x, y, z and U11, U22, U33,
// U12, U13, U23, as refinement programs choose them.
#pragma once
#include <array>
#include <vector>

#include "lsq/model.hpp"

namespace lsq {

struct SiteTies {
  Vec3 site{};     // on the special position exactly
  int order = 1;   // operators (identity included) that leave the site in place
  // coordinate i moves by coordinates[i][j] per unit move of free coordinate j
  std::array<std::array<double, 3>, 3> coordinates{};
  std::array<bool, 3> free_coordinate{};
  // U_k moves by u[k][l] per unit move of free U_l (U11 U22 U33 U12 U13 U23)
  std::array<std::array<double, 6>, 6> u{};
  std::array<bool, 6> free_u{};
};

// `group`: every operator of the space group (SpaceGroup::expanded). An
// operator leaves the site in place when it moves it by less than
// `tolerance` Angstrom (modulo whole cells).
SiteTies site_ties(const Vec3& x, const std::vector<Operator>& group, const Metric& metric, double tolerance);

}  // namespace lsq
