// The atoms whose positions the refinement did not refine on their own:
// hydrogen atoms riding on the atom they are bonded to (the CIF's
// _atom_site_calc_flag calc, R in _atom_site_refinement_flags_posn), each
// with its pivot, for the riding lines of NAME.CIFSRC. vortan prints the
// values they enter without an s.u.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "cif2exp/cif_structure.hpp"
#include "cif2exp/conversion.hpp"
#include "cif2exp/group_operators.hpp"

namespace cif2exp {

// (label in NAME.EXP, its pivot's label there) for every riding atom of the
// structure, in the atoms' order. The pivot is _atom_site_calc_attached_atom
// when that names an atom, else the nearest atom (through the group's
// operators and the lattice) that is neither hydrogen nor riding itself.
std::vector<std::pair<std::string, std::string>> riding_pivots(const CifStructure& structure,
                                                               const Conversion& conversion,
                                                               const ResolvedSymmetry& symmetry);

}  // namespace cif2exp
