// The rings of a bond graph that runs on without end: a framework, the
// linkers of a coordination polymer joined into a net through the cell
// edges, or a structure too large to complete molecule by molecule.
//
// A ring here is a shortest-path ring (Franzblau, Phys. Rev. B 44 (1991)
// 4925): a closed path of at most `max_size` bonds in which no two atoms
// are joined by a path of the net shorter than the shorter way round the
// ring. In a molecule these are the rings a chemist names (benzene's, each
// of naphthalene's two, not its ten-membered rim); in a net they need no
// molecule to be defined. Images are followed through the bonds'
// operations; each ring is given once among its symmetry images, placed so
// that its lowest-numbered atom is at its own place, in ring order from
// there towards the lower of its two ring neighbours.
#pragma once
#include <cstddef>
#include <vector>

#include "crystal/phase.hpp"
#include "crystal/symmetry_operation.hpp"
#include "geometry/bond_graph.hpp"

namespace vesk {

struct NetImage {
  int atom = 0;                  // from 1
  SymmetryOperation op;          // from the atom's own place
};

struct NetRings {
  std::vector<std::vector<NetImage>> rings;
  // The search stopped: more than `most_rings` rings, or more than
  // `most_steps` steps of it (images visited); `rings` is then incomplete.
  bool limit_met = false;
};

NetRings net_rings(const PhaseDescription& phase, const BondGraph& bonds, std::size_t max_size,
                   std::size_t most_rings, std::size_t most_steps);

}  // namespace vesk
