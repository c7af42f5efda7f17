// Torsion angles of a phase: every chain A-B-C-D of bonded atoms in the
// bond graph (B-C a bond, A bonded to B, D bonded to C, the four at four
// different places), each once. B is the central atom in its own place; a
// chain is found from the lower-numbered atom of its middle bond, and a
// middle bond between two images of one atom from the first of the two
// operations that are inverse to each other.
#pragma once
#include <array>
#include <vector>

#include "crystal/phase.hpp"
#include "crystal/symmetry_operation.hpp"
#include "vortan/bond_graph.hpp"
#include "vortan/geometry_su.hpp"

namespace vesk {

// The run-wide context the geometry of bonded chains needs.
struct GeometryContext {
  const PhaseDescription* phase = nullptr;
  const BondGraph* bonds = nullptr;
  CellFrame frame;
  CellCovariance6 cell{};
  ParameterCovariance covariance;
};

// One atom of a torsion or a hydrogen bond: its image and how the listing
// names it (operator code and lattice translation; code 1 and no
// translation for the central atom).
struct NamedImage {
  ImagePoint point;
  ImageName name;
};

struct TorsionAngle {
  std::array<NamedImage, 4> atoms;
  float degrees = 0;
  float sigma = 0;
};

// The image of `atom` through `op`, named as the neighbour search names it.
NamedImage named_image(const GeometryContext& context, int atom, const SymmetryOperation& op);
// The image a bond of the graph reaches, named as the bond is.
NamedImage bonded_image(const GeometryContext& context, const Bond& bond);

std::vector<TorsionAngle> find_torsions(const GeometryContext& context);

}  // namespace vesk
