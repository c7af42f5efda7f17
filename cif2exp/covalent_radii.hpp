// The search radii cif2exp derives for vortan's atom types from the
// covalent radii of the elements (crystal/covalent_radii.hpp).
#pragma once
#include "crystal/covalent_radii.hpp"

namespace cif2exp {

using vesk::covalent_radius;

// vortan lists a distance when it is below the sum of the two atoms' bond
// radii and computes angles between neighbours closer than the sum of the
// angle radii. Bonds are usually taken up to the sum of the covalent radii
// plus 0.4 A; the angle radius adds 0.2 A per atom to reach that, the bond
// radius 0.5 A per atom so that close contacts up to the sum plus 1.0 A are
// listed beside the bonds.
constexpr float kAngleRadiusTolerance = 0.2f;
constexpr float kBondRadiusTolerance = 0.5f;

}  // namespace cif2exp
