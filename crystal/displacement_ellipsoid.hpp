// Atomic displacement ellipsoids: the U tensor of an atom in Cartesian
// Angstrom^2, its principal axes, and the outline of the ellipsoid seen
// along a direction (a parallel projection).
#pragma once
#include <array>

#include "crystal/metric.hpp"
#include "crystal/symmetric_eigen.hpp"

namespace vesk {

using Cart3 = std::array<double, 3>;

// Principal semi-axes of the 50% probability ellipsoid in units of the
// root-mean-square displacement: Burnett & Johnson (1996), ORTEP-III,
// Oak Ridge National Laboratory Report ORNL-6895, table of probability
// scale factors for the trivariate normal distribution.
constexpr double kFiftyPercentScale = 1.5382;

// U11, U22, U33, U12, U13, U23 as a phase holds them, referred to the
// direct axes scaled by the reciprocal lengths (the Uij of a CIF), into
// Cartesian Angstrom^2: U_cart = A N U N A^T with A the axes as columns
// and N = diag(a*, b*, c*) (Grosse-Kunstleve & Adams (2002), J. Appl.
// Cryst. 35, 477). `orthogonal` holds the axes as its rows (CELLMATRIX).
Sym3 cartesian_u(const Mat3& orthogonal, const std::array<float, 6>& u);

// The principal axes at `scale` (semi-axis k = scale sqrt(lambda_k) along
// axes[k]); not positive definite when the smallest eigenvalue is not
// above zero, and then the semi-axes mean nothing.
struct DisplacementEllipsoid {
  bool positive_definite = false;
  std::array<double, 3> semi_axes{};
  std::array<Cart3, 3> axes{};
};
DisplacementEllipsoid displacement_ellipsoid(const Sym3& u_cart, double scale);

// The outline of the ellipsoid x^T U^-1 x = scale^2 projected along the
// normal of the screen plane spanned by the unit vectors `x_axis` and
// `y_axis`: the ellipse of the 2 x 2 block of U in that plane (the shadow
// of a Gaussian's ellipsoid is the ellipsoid of its marginal).
struct ProjectedEllipse {
  double major = 0;   // semi-axes, Angstrom
  double minor = 0;
  double angle = 0;   // of the major axis from x_axis towards y_axis, radians
  // The distance from the centre to the outline in the screen direction
  // (dx, dy) of unit length.
  double radius_towards(double dx, double dy) const;
};
ProjectedEllipse projected_outline(const Sym3& u_cart, const Cart3& x_axis, const Cart3& y_axis, double scale);

}  // namespace vesk
