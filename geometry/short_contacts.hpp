// Non-bonded contacts shorter than the sum of the two atoms' van der Waals
// radii less a margin: a referee's question about an atom misplaced, a
// missing bond or a wrong element. The radii are gemmi's table
// (gemmi/elem.hpp, from Mantina et al., J. Phys. Chem. A 113 (2009) 5806
// and Bondi, J. Phys. Chem. 68 (1964) 441, filled in from cctbx).
//
// The contacts looked at are the phase geometry's distances, those within
// the search limit (DMAX): a contact beyond it is not seen. Left out are
// the pairs that are meant to be close: bonded pairs of the bond graph,
// 1-3 pairs (both bonded to one atom, as the ligands of one polyhedron),
// a hydrogen atom and the acceptor of its hydrogen bond, atoms of two
// different disorder groups (alternatives that never meet), the atoms of
// one shared site (occupancies adding up to no more than one), disorder
// alternatives without groups (two partly occupied atoms whose occupancies
// add up to no more than one, an atom of half occupancy or less and its own
// image), an atom of a negative group and the group's other images, every
// contact of a metal atom (its coordination), the pairs a bond-valence sum
// counts, and points that are no atoms (occupancy 0, no element).
#pragma once
#include <set>
#include <tuple>
#include <vector>

#include "crystal/phase.hpp"
#include "geometry/phase_geometry.hpp"

namespace vesk {

// Checks of the contacts: the margin below the radii sum, Angstrom.
// 0.5 A is wide enough for the contacts of well-packed structures and
// mirrors the automatic checks of crystallographic journals.
constexpr double kDefaultContactMargin = 0.5;

struct ShortContact {
  int first = 0, second = 0;     // atoms, from 1; first <= second
  int code = 0;                  // the second's image from the first
  LatticeTranslation n{};
  float d = 0, sigma = 0;        // Angstrom
  double radii = 0;              // the van der Waals sum
  bool overlap = false;          // closer than any bond (geometry/chemical_bonds.hpp): the atoms overlap
};

// Pairs a bond-valence sum counts: the atom, its partner, the partner's
// operator code and lattice translation.
using SummedPairs = std::set<std::tuple<int, int, int, LatticeTranslation>>;

// The shortest such contact of every pair of atoms, in the order of the
// first atom.
std::vector<ShortContact> short_contacts(const PhaseDescription& phase, const PhaseGeometry& geometry,
                                         double margin = kDefaultContactMargin, const SummedPairs& summed = {});

}  // namespace vesk
