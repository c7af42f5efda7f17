// Torsion angles of a phase: every chain A-B-C-D of bonded atoms in the
// bond graph (B-C a bond, A bonded to B, D bonded to C, the four at four
// different places), each once. B is the central atom in its own place; a
// chain is found from the lower-numbered atom of its middle bond, and a
// middle bond between two images of one atom from the first of the two
// operations that are inverse to each other.
#pragma once
#include <array>
#include <functional>
#include <vector>

#include "crystal/phase.hpp"
#include "crystal/symmetry_operation.hpp"
#include "geometry/bond_graph.hpp"
#include "geometry/coordinate_blocks.hpp"
#include "geometry/measure.hpp"

namespace vesk {

// The run-wide context the geometry of bonded chains needs.
struct GeometryContext {
  const PhaseDescription* phase = nullptr;
  const BondGraph* bonds = nullptr;
  CellFrame frame;
  CellCovariance6 cell{};
  ParameterCovariance covariance;              // of the refined coordinates; empty: none
  OwnBlocks* own_blocks = nullptr;             // each atom's own block, shared with the distances
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
  std::size_t a_bond = 0;    // A and C: these bonds of B in the graph
  std::size_t c_bond = 0;
  float degrees = 0;
  float sigma = 0;
};

// The image a bond of the graph reaches, named as the bond is.
NamedImage bonded_image(const GeometryContext& context, const Bond& bond);

// The covariance of the coordinates of two images' atoms (rows the first),
// and an atom's own block.
CoordinateBlock pair_block(const GeometryContext& context, const NamedImage& rows, const NamedImage& columns);
const CoordinateBlock& own_block(const GeometryContext& context, const NamedImage& image);

// Control word TORS: every chain, none with a hydrogen atom (H or D) at any
// of its four places, or no torsion angles at all. Without the word
// (Default) every chain is computed and listed, and the publication CIF
// holds those without hydrogen, as papers publish them; ALL puts the others
// there too.
enum class TorsionChoice { Default, All, NoHydrogen, None };

// Calls `found` for every torsion angle, in the order of the listing,
// leaving out every chain with an atom marked in `left_out` ([atom], from 1;
// empty: none) and every chain with an atom marked in `not_middle` at B or C.
void for_each_torsion(const GeometryContext& context, const std::vector<bool>& left_out,
                      const std::function<void(const TorsionAngle&)>& found,
                      const std::vector<bool>& not_middle = {});

}  // namespace vesk
