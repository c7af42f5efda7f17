// The rigid-bond test (Hirshfeld, Acta Cryst. A32 (1976) 239): for a bond
// A-B the mean-square displacement amplitudes of the two atoms along the
// bond, z^2 = n^T U n with n the unit vector from A to B and U each atom's
// Cartesian displacement tensor, and their difference Delta = z^2(A) -
// z^2(B), which vanishes for two atoms that vibrate as a rigid pair.
//
// U comes from the Uij as a phase stores them through cartesian_u
// (crystal/displacement_ellipsoid.hpp). The positions and U must be in one
// frame: that of `orthogonal` (CELLMATRIX: a along x, c in the xz plane),
// or of the `axes` given, whichever frame the positions were placed in.
// The dependence of U on the cell constants is left out: the cell's s.u.'s
// move z^2 by parts in 10^4, far below the Uij's.
#pragma once
#include <array>

#include "crystal/displacement_ellipsoid.hpp"
#include "crystal/metric.hpp"
#include "crystal/symmetry_operation.hpp"
#include "geometry/point_measure.hpp"

namespace vesk {

// The Cartesian U of an atom's image and its derivative by each stored
// U11, U22, U33, U12, U13, U23 of the atom (U is linear in them).
struct CartesianDisplacement {
  Sym3 u{};
  std::array<Sym3, 6> du{};
};

// The rotation of an image in the Cartesian frame, M R M^-1 with M the
// axes as columns and R the operation's rotation on fractional
// coordinates. An image's U is that rotation applied on both sides.
Mat3d cartesian_rotation(const Mat3& orthogonal, const IntMat3& rotation);

CartesianDisplacement cartesian_displacement(const Mat3& orthogonal, const std::array<float, 6>& u,
                                             const IntMat3& rotation = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}});
// The same in the frame X = axes x (the axes as columns, in double
// precision, as a propagation's cell frame holds them), for positions
// placed in that frame.
CartesianDisplacement cartesian_displacement(const Mat3d& axes, const std::array<float, 6>& u,
                                             const IntMat3& rotation = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}});

// A displacement measure: a value with its gradient by the positions of A
// and B (in that order) and by the six stored Uij of A, then of B.
struct RigidBondMeasure {
  PointMeasure measure;
  std::array<double, 12> du{};
};

struct RigidBondTest {
  RigidBondMeasure msda_a;   // z^2 of A along A-B, Angstrom^2
  RigidBondMeasure msda_b;   // z^2 of B
  RigidBondMeasure delta;    // z^2(A) - z^2(B)
  bool defined = false;      // false when A and B coincide
};

RigidBondTest rigid_bond_test(const Cart3& a, const CartesianDisplacement& ua, const Cart3& b,
                              const CartesianDisplacement& ub);

// Hirshfeld's postulate questioned: |Delta| above 0.001 Angstrom^2 and
// above three standard uncertainties.
bool rigid_bond_flagged(double delta, double delta_su);

}  // namespace vesk
