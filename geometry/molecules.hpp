// The atoms a drawing shows: the asymmetric unit completed into whole
// molecules through the bond graph (images of images by composed
// operations), each image once. When the bonds reach an image of an atom
// one lattice translation away from another image of it, the structure is
// a network without end; the drawing then shows the coordination shell of
// each atom of the asymmetric unit instead.
#pragma once
#include <cstddef>
#include <vector>

#include "crystal/phase.hpp"
#include "crystal/symmetry_operation.hpp"
#include "geometry/bond_graph.hpp"

namespace vesk {

// More images than this are not drawn molecule by molecule: the drawing
// would be unreadable and the structure is treated as a network.
constexpr std::size_t kMostDrawnAtoms = 2000;

struct DrawnAtom {
  int atom = 0;              // from 1
  SymmetryOperation op;      // carries the atom's own position to the image
  Vec3d x{};                 // fractional, not reduced
};

struct DrawnBond {
  std::size_t first = 0;     // indices into DrawnStructure::atoms
  std::size_t second = 0;
};

struct DrawnStructure {
  std::vector<DrawnAtom> atoms;
  std::vector<DrawnBond> bonds;
  bool network = false;      // coordination shells instead of molecules
};

// `most_atoms`: past this many images the structure is taken for a network.
// `shells` false: a network is only said to be one, without its coordination
// shells (what the analyses need to know).
DrawnStructure complete_molecules(const PhaseDescription& phase, const BondGraph& bonds,
                                  std::size_t most_atoms = kMostDrawnAtoms, bool shells = true);

}  // namespace vesk
