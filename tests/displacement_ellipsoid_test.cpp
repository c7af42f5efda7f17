// Displacement ellipsoids against closed forms written here: the shadow of
// an axis-aligned ellipsoid from its support function, an isotropic tensor
// in oblique cells, and the eigenvalues of a matrix known by hand.
#include "crystal/displacement_ellipsoid.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "crystal/symmetric_eigen.hpp"

namespace vesk {
namespace {

constexpr double kPi = 3.14159265358979323846;

// An angle of an ellipse's axis is defined modulo pi.
double axis_difference(double a, double b) { return std::remainder(a - b, kPi); }

TEST(ProjectedOutline, SemiAxesAndOrientationOfATiltedEllipsoid) {
  // RMS displacements 0.20, 0.10, 0.15 A along x, y, z; semi-axes at 50%.
  const double rms[3] = {0.20, 0.10, 0.15};
  Sym3 u{};
  for (int i = 0; i < 3; ++i) u[i][i] = rms[i] * rms[i];
  const double A = kFiftyPercentScale * rms[0], B = kFiftyPercentScale * rms[1], C = kFiftyPercentScale * rms[2];
  for (double theta : {0.0, 0.4, 1.1, kPi / 2}) {
    for (double phi : {0.0, 0.3, -1.2}) {
      // Line of sight (sin t, 0, cos t); the screen turned by phi about it.
      const Cart3 x0{std::cos(theta), 0, -std::sin(theta)};
      const Cart3 y0{0, 1, 0};
      const Cart3 x{std::cos(phi) * x0[0] + std::sin(phi) * y0[0], std::sin(phi), std::cos(phi) * x0[2]};
      const Cart3 y{-std::sin(phi) * x0[0], std::cos(phi), -std::sin(phi) * x0[2]};
      const ProjectedEllipse e = projected_outline(u, x, y, kFiftyPercentScale);
      // The shadow's half-width along a screen direction is the support
      // function sqrt(sum A_i^2 u_i^2); along x0 and y0 these are the axes.
      const double along_x0 = std::sqrt(A * A * std::cos(theta) * std::cos(theta) +
                                        C * C * std::sin(theta) * std::sin(theta));
      const double major = std::max(along_x0, B);
      const double minor = std::min(along_x0, B);
      EXPECT_NEAR(e.major, major, 1e-12) << theta << " " << phi;
      EXPECT_NEAR(e.minor, minor, 1e-12) << theta << " " << phi;
      const double major_angle = (along_x0 >= B ? 0.0 : kPi / 2) - phi;
      EXPECT_NEAR(axis_difference(e.angle, major_angle), 0.0, 1e-9) << theta << " " << phi;
      EXPECT_NEAR(e.radius_towards(std::cos(e.angle), std::sin(e.angle)), major, 1e-12);
      EXPECT_NEAR(e.radius_towards(-std::sin(e.angle), std::cos(e.angle)), minor, 1e-12);
    }
  }
}

// An isotropic U written as the Uij of a cell: U_ij = U cos(angle between
// the reciprocal axes i and j). Its Cartesian tensor is U times unity.
TEST(CartesianU, IsotropicTensorsOfObliqueCellsAreIsotropic) {
  const double deg = kPi / 180;
  struct Cell { float a, b, c, alpha, beta, gamma; };
  for (const Cell cell : {Cell{10.443f, 7.572f, 5.824f, 90, 120.95f, 90}, Cell{5.1f, 6.2f, 7.3f, 81.2f, 95.7f, 102.3f}}) {
    Mat3 orthogonal{}, inverse{};
    CELLMATRIX(cell.a, cell.b, cell.c, cell.alpha, cell.beta, cell.gamma, orthogonal, inverse);
    const double ca = std::cos(cell.alpha * deg), cb = std::cos(cell.beta * deg), cg = std::cos(cell.gamma * deg);
    const double sa = std::sin(cell.alpha * deg), sb = std::sin(cell.beta * deg), sg = std::sin(cell.gamma * deg);
    const double cos_alpha_star = (cb * cg - ca) / (sb * sg);
    const double cos_beta_star = (ca * cg - cb) / (sa * sg);
    const double cos_gamma_star = (ca * cb - cg) / (sa * sb);
    const float uiso = 0.025f;
    const std::array<float, 6> u{uiso, uiso, uiso, static_cast<float>(uiso * cos_gamma_star),
                                 static_cast<float>(uiso * cos_beta_star), static_cast<float>(uiso * cos_alpha_star)};
    const Sym3 cartesian = cartesian_u(orthogonal, u);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) EXPECT_NEAR(cartesian[i][j], i == j ? uiso : 0.0, 2e-7) << i << j;
  }
}

TEST(DisplacementEllipsoid, PrincipalAxesAndTheNonPositiveDefiniteCase) {
  // [[2,1,0],[1,2,0],[0,0,5]]: eigenvalues 1, 3, 5 along (1,-1,0), (1,1,0), z.
  const Sym3 m{{{2, 1, 0}, {1, 2, 0}, {0, 0, 5}}};
  const SymmetricEigen eigen = symmetric_eigen(m);
  EXPECT_NEAR(eigen.values[0], 1, 1e-12);
  EXPECT_NEAR(eigen.values[1], 3, 1e-12);
  EXPECT_NEAR(eigen.values[2], 5, 1e-12);
  EXPECT_NEAR(std::fabs(eigen.vectors[0][0] - eigen.vectors[0][1]), std::sqrt(2.0), 1e-12);
  EXPECT_NEAR(std::fabs(eigen.vectors[2][2]), 1, 1e-12);

  const Sym3 u{{{0.02, 0.01, 0}, {0.01, 0.02, 0}, {0, 0, 0.05}}};
  const DisplacementEllipsoid good = displacement_ellipsoid(u, kFiftyPercentScale);
  EXPECT_TRUE(good.positive_definite);
  EXPECT_NEAR(good.semi_axes[0], kFiftyPercentScale * 0.1, 1e-12);
  EXPECT_NEAR(good.semi_axes[2], kFiftyPercentScale * std::sqrt(0.05), 1e-12);
  // U12 larger than U11 and U22: one negative eigenvalue.
  const Sym3 bad{{{0.02, 0.03, 0}, {0.03, 0.02, 0}, {0, 0, 0.05}}};
  EXPECT_FALSE(displacement_ellipsoid(bad, kFiftyPercentScale).positive_definite);
}

}  // namespace
}  // namespace vesk
