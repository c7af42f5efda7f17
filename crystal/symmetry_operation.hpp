// A symmetry operation of a phase's space group in exact integers,
// x' = R x + t / 12, with the lattice translation included in t. The
// neighbour search names such an operation by its operator code and a
// lattice translation; a CIF names it by its place in an operator loop and
// a translation. Torsion angles, hydrogen bonds and drawings carry images
// of images through these operations.
#pragma once
#include <array>
#include <optional>
#include <span>

#include "crystal/equivalent_positions.hpp"
#include "crystal/metric.hpp"
#include "crystal/spacegroup.hpp"

namespace vesk {

using IntMat3 = std::array<std::array<int, 3>, 3>;  // [row][column]
using LatticeTranslation = std::array<int, 3>;
using Vec3d = std::array<double, 3>;

struct SymmetryOperation {
  IntMat3 rotation{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  std::array<int, 3> twelfths{};  // not reduced: whole cells are multiples of 12
  bool operator==(const SymmetryOperation&) const = default;
};

// The operation behind an operator code (operator number + 100 (centring
// number - 1), negative after the inversion) and a lattice translation, as
// the equivalent positions generate it.
SymmetryOperation operation_of(const SpaceGroupInfo& group, int code, const LatticeTranslation& n);

// x -> R^-1 (x - t): the operation that undoes `op`.
SymmetryOperation inverse(const SymmetryOperation& op);

// a after b: x -> a(b(x)).
SymmetryOperation compose(const SymmetryOperation& a, const SymmetryOperation& b);

// The image of a fractional position.
Vec3d image_of(const SymmetryOperation& op, const Vec3d& x);
Vec3d image_of(const SymmetryOperation& op, const Vec3& x);

// True when a and b have the same rotation and translations that differ by
// whole cells; `n` is then a's translation less b's, in cells.
bool same_modulo_lattice(const SymmetryOperation& a, const SymmetryOperation& b, LatticeTranslation& n);

// How the neighbour search names an image of an atom: the first distinct
// equivalent position (in generation order) that reaches `target` modulo
// whole cells, with the lattice translation that brings it there.
struct ImageName {
  int code = 0;
  LatticeTranslation n{};
};
std::optional<ImageName> image_name(const SpaceGroupInfo& group, const Vec3& atom, const Vec3d& target);
// The operator code and lattice translation of an operation of the group
// itself (not of an atom's image); nullopt when it is none of the group's.
std::optional<ImageName> operation_name(const SpaceGroupInfo& group, const SymmetryOperation& op);
// The same among the atom's distinct equivalent positions as GENEQ gives
// them, for a caller that names many images of one atom.
std::optional<ImageName> image_name(std::span<const EquivalentPosition> positions, const Vec3d& target);

}  // namespace vesk
