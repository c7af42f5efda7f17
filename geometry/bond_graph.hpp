// The chemical bonds of a phase: for every central atom, those of the
// neighbours kept for its angles that are bonded to it (geometry/chemical_bonds),
// each with the operation that carries the neighbour's own atom to its image.
// Torsion angles, hydrogen bonds and drawings walk this graph; an image of
// an image is found by composing the operations (crystal/symmetry_operation).
#pragma once
#include <array>
#include <cstddef>
#include <vector>

#include "crystal/metric.hpp"
#include "crystal/symmetry_operation.hpp"

namespace vesk {

struct Bond {
  int atom = 0;               // neighbour atom, from 1
  int code = 0;               // operator code of the image
  LatticeTranslation n{};     // lattice translation of the image
  Vec3 x{};                   // image position, fractional, not reduced
  float d = 0;                // Angstrom
};

struct BondGraph {
  std::vector<std::vector<Bond>> of_atom;  // [central atom - 1], in keeping order

  const std::vector<Bond>& bonds_of(int atom) const { return of_atom[static_cast<std::size_t>(atom - 1)]; }
};

inline void start_bond_graph(BondGraph& graph, std::size_t atoms) {
  graph.of_atom.assign(atoms, {});
}

// The operation that carries the bonded atom from its own place to the image.
inline SymmetryOperation bond_operation(const SpaceGroupInfo& group, const Bond& bond) {
  return operation_of(group, bond.code, bond.n);
}

}  // namespace vesk
