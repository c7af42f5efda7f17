// Covalent radii of the elements and the search radii cif2exp derives
// from them for vortan's atom types.
#pragma once
#include <string_view>

namespace cif2exp {

// Covalent radius in Angstrom of an element symbol ("C", "Fe"; "D" counts
// as hydrogen); 0 when the table has none (elements past curium).
float covalent_radius(std::string_view element);

// vortan lists a distance when it is below the sum of the two atoms' bond
// radii and computes angles between neighbours closer than the sum of the
// angle radii. Bonds are usually taken up to the sum of the covalent radii
// plus 0.4 A; the angle radius adds 0.2 A per atom to reach that, the bond
// radius 0.5 A per atom so that close contacts up to the sum plus 1.0 A are
// listed beside the bonds.
constexpr float kAngleRadiusTolerance = 0.2f;
constexpr float kBondRadiusTolerance = 0.5f;

}  // namespace cif2exp
