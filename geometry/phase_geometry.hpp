// The geometry of one phase, computed whole before anything is written:
// every central atom's distances to the images of its neighbours (operator
// code and lattice translation), the bond angles between the neighbours
// kept for them, the bond graph those neighbours form and its molecules,
// the torsion angles along its chains and the hydrogen bonds, each value
// with its standard uncertainty through the one propagation of
// geometry/measure.hpp. Writers read the model; nothing here writes.
//
// The model is kept compact (a 5000-atom phase has some 340000 torsion
// angles): values as the listing prints them (32-bit; bond angles in
// double, for the results file), images by atom, operator code and
// translation, angles and torsion angles by their place in the bond graph.
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "crystal/phase.hpp"
#include "crystal/symmetry_operation.hpp"
#include "geometry/bond_graph.hpp"
#include "geometry/cell_covariance.hpp"
#include "geometry/chemical_bonds.hpp"
#include "geometry/coordinate_blocks.hpp"
#include "geometry/hydrogen_bonds.hpp"
#include "geometry/molecules.hpp"
#include "geometry/neighbour_search.hpp"
#include "geometry/torsions.hpp"

namespace vesk {

// Neighbours kept per central atom for its angles: the 25 nearest within
// the angle limit. Those of them that are chemical bonds make the bond graph
// of torsion angles, hydrogen-bond donors and drawings.
constexpr std::size_t kMaxKeptNeighbours = 25;
// Below this a distance's propagated variance is taken for a covariance
// that is not positive definite (its size is used all the same).
constexpr double kNegativeVarianceLimit = -1.0E-6;

// One distance from a central atom to an image of a neighbour, in search
// order.
struct Contact {
  int atom = 0;                  // neighbour, from 1
  int code = 0;                  // operator code of the image
  LatticeTranslation n{};        // lattice translation of the image
  Vec3 x{};                      // the image as the search placed it (fractional, not reduced)
  float d = 0;                   // Angstrom
  float sigma = 0;
  bool negative_variance = false;  // the variance came out below kNegativeVarianceLimit
  bool kept = false;             // kept for the angles
  bool beyond_kept = false;      // within the angle limit, but not among the nearest 25
};

// An angle in double precision: the results file prints it to 1.0E-4
// degrees, where a 32-bit value can round to the other side.
struct AngleValue {
  double degrees = 0;
  float sigma = 0;
};

// An image named as the listing names it, in little room.
struct CompactImage {
  int atom = 0;                  // from 1
  std::int16_t code = 0;         // operator code
  std::array<std::int16_t, 3> n{};
};

// A torsion angle A-B-C-D: B is `central` in its own place, A and C are its
// bonds a_bond and c_bond in the bond graph, D is named on its own.
struct Torsion {
  int central = 0;               // B, from 1
  std::uint8_t a_bond = 0;
  std::uint8_t c_bond = 0;
  CompactImage d;
  float degrees = 0;
  float sigma = 0;
};

// The four atoms of a torsion angle with their names; B's is code 1 and no
// translation.
struct TorsionAtoms {
  std::array<int, 4> atoms{};
  std::array<ImageName, 4> names{};
};

// What a phase's geometry is computed with.
struct GeometryOptions {
  SearchControls search;
  TorsionChoice torsions = TorsionChoice::Default;
  HbondControls hbonds;
  bool metal_torsions = false;   // also chains with a metal atom at B or C
  std::vector<int> disorder_groups;  // [atom - 1]: 0 none, -n a negative group n; atoms of two groups are never bonded
  bool molecules = false;        // complete the molecules (for a drawing)
};

struct PhaseGeometry {
  int phase = 0;
  GeometryOptions options;       // what the model was computed with
  SearchRefusal refusal;         // refused: nothing below is computed
  bool computed = false;         // false: refused, or a space group that could not be read
  // Every central atom's distances, atom after atom: those of atom i (from
  // 1) from contacts[first_contact[i - 1]] to before [first_contact[i]].
  std::vector<Contact> contacts;
  std::vector<std::uint32_t> first_contact;
  // The angles of atom i, from first_angle[i - 1]: each pair m1 < m2 of its
  // kept neighbours (m1 outer, m2 inner) in search order.
  std::vector<AngleValue> angles;
  std::vector<std::uint32_t> first_angle;
  BondGraph bonds;               // each atom's chemical bonds among its kept neighbours, in search order
  bool disorder = false;         // some atom belongs to a disorder group
  std::deque<Torsion> torsions;  // in the order of the listing
  std::vector<HydrogenBond> hbonds;
  DrawnStructure molecules;      // with GeometryOptions::molecules

  std::span<const Contact> contacts_of(int atom) const;
  std::span<const AngleValue> angles_of(int atom) const;
};

TorsionAtoms torsion_atoms(const PhaseGeometry& geometry, const Torsion& torsion);

// The neighbours of atom i kept for its angles, in search order, as bonds
// (image and distance).
std::vector<Bond> kept_neighbours(const PhaseGeometry& geometry, int atom);

// Calls f(first, second, angle) for every angle of atom i, in the model's
// order: each pair m1 < m2 of its kept neighbours, m1 outer.
template <class F>
void for_each_angle(const PhaseGeometry& geometry, int atom, const std::vector<Bond>& kept, F f) {
  const std::span<const AngleValue> angles = geometry.angles_of(atom);
  std::size_t k = 0;
  for (std::size_t m1 = 0; m1 + 1 < kept.size(); ++m1)
    for (std::size_t m2 = m1 + 1; m2 < kept.size(); ++m2, ++k) f(kept[m1], kept[m2], angles[k]);
}

// The whole geometry of `phase` with the cell covariance `cell` (its ties
// already applied, see cell_covariance) and the covariance of the refined
// coordinates (empty: none). `progress`, when given, is told each central
// atom before its distances are searched. Throws vesk::Error for more than
// 25 kept neighbours' worth of a list or a donor or acceptor list that
// names no element.
PhaseGeometry compute_phase_geometry(const PhaseDescription& phase, const CellCovariance& cell,
                                     const ParameterCovariance& covariance, const GeometryOptions& options,
                                     const std::function<void(int)>& progress = {});

}  // namespace vesk
