// The rigid-bond test: gradients by the positions against central
// differences and by the stored Uij against differences of the linear map;
// an image's U through a twofold axis against the rule for the Uij
// themselves; amplitudes along a bond for isotropic and equal tensors.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "geometry/rigid_bond.hpp"
#include "tests/support/point_gradients.hpp"

using namespace vesk;
using namespace vesk::testing;
using namespace vesk::vec3;

namespace {

Mat3 cell(float a, float b, float c, float alpha, float beta, float gamma) {
  Mat3 orthogonal{};
  Mat3 inverse{};
  CELLMATRIX(a, b, c, alpha, beta, gamma, orthogonal, inverse);
  return orthogonal;
}

const IntMat3 kTwofoldAlongB{{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}};

}  // namespace

TEST(RigidBond, GradientsByPositionsAndUij) {
  const Mat3 orthogonal = cell(7.12f, 9.81f, 11.45f, 81.3f, 97.6f, 104.2f);
  const std::array<float, 6> ua{0.031f, 0.024f, 0.045f, 0.004f, -0.007f, 0.002f};
  const std::array<float, 6> ub{0.052f, 0.029f, 0.038f, -0.006f, 0.011f, -0.003f};
  const CartesianDisplacement da = cartesian_displacement(orthogonal, ua);
  const CartesianDisplacement db = cartesian_displacement(orthogonal, ub, kTwofoldAlongB);
  const std::vector<Cart3> ends{{1.2, 3.4, -0.7}, {2.1, 4.3, 0.35}};
  const RigidBondTest test = rigid_bond_test(ends[0], da, ends[1], db);
  ASSERT_TRUE(test.defined);

  const auto value = [&](const std::vector<Cart3>& p, int which) {
    const RigidBondTest t = rigid_bond_test(p[0], da, p[1], db);
    return which == 0 ? t.msda_a.measure.value : which == 1 ? t.msda_b.measure.value : t.delta.measure.value;
  };
  const RigidBondMeasure* measures[] = {&test.msda_a, &test.msda_b, &test.delta};
  for (int which = 0; which < 3; ++which)
    expect_gradient(measures[which]->measure.gradient,
                    numerical_gradient([&](const std::vector<Cart3>& p) { return value(p, which); }, ends), 1e-9,
                    "msda by position");

  // U is linear in the stored Uij: a step of 0.25 (exact in single
  // precision) gives the derivative up to the rounding of the sum.
  for (int atom = 0; atom < 2; ++atom)
    for (int k = 0; k < 6; ++k) {
      std::array<float, 6> up = atom == 0 ? ua : ub;
      up[k] += 0.25f;
      const float step = up[k] - (atom == 0 ? ua : ub)[k];
      const CartesianDisplacement moved_u =
          atom == 0 ? cartesian_displacement(orthogonal, up) : cartesian_displacement(orthogonal, up, kTwofoldAlongB);
      const RigidBondTest t = atom == 0 ? rigid_bond_test(ends[0], moved_u, ends[1], db)
                                        : rigid_bond_test(ends[0], da, ends[1], moved_u);
      for (int which = 0; which < 3; ++which) {
        const double after = which == 0 ? t.msda_a.measure.value : which == 1 ? t.msda_b.measure.value : t.delta.measure.value;
        EXPECT_NEAR((after - measures[which]->measure.value) / step, measures[which]->du[6 * atom + k], 1e-6)
            << "atom " << atom << " U" << k;
      }
      // An atom's Uij move only its own amplitude.
      EXPECT_EQ((atom == 0 ? test.msda_b : test.msda_a).du[6 * atom + k], 0.0);
    }
}

TEST(RigidBond, ImagesAndSimpleTensors) {
  // A twofold axis along b of a monoclinic cell carries U12 and U23 into
  // their negatives and keeps the rest.
  const Mat3 monoclinic = cell(6.5f, 8.25f, 10.75f, 90.0f, 103.5f, 90.0f);
  const std::array<float, 6> u{0.031f, 0.024f, 0.045f, 0.004f, -0.007f, 0.002f};
  const std::array<float, 6> rule{u[0], u[1], u[2], -u[3], u[4], -u[5]};
  const Sym3 image = cartesian_displacement(monoclinic, u, kTwofoldAlongB).u;
  const Sym3 by_rule = cartesian_displacement(monoclinic, rule).u;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(image[i][j], by_rule[i][j], 1e-15);

  // Isotropic U in an orthorhombic cell: z^2 = U along any bond; two
  // atoms alike: Delta = 0 exactly.
  const Mat3 orthorhombic = cell(5.0f, 6.0f, 7.0f, 90.0f, 90.0f, 90.0f);
  const CartesianDisplacement iso = cartesian_displacement(orthorhombic, {0.02f, 0.02f, 0.02f, 0, 0, 0});
  const RigidBondTest t = rigid_bond_test({0, 0, 0}, iso, {0.8, -1.1, 0.3}, iso);
  // The cell matrix is single precision: 6e-8 relative.
  EXPECT_NEAR(t.msda_a.measure.value, static_cast<double>(0.02f), 5e-9);
  EXPECT_EQ(t.delta.measure.value, 0.0);
  for (const Cart3& g : t.delta.measure.gradient) EXPECT_EQ(g, (Cart3{0, 0, 0}));

  // Anisotropic: the amplitude along the axis of U11 in an orthogonal cell.
  const CartesianDisplacement aniso = cartesian_displacement(orthorhombic, {0.05f, 0.01f, 0.02f, 0, 0, 0});
  const RigidBondTest along_a = rigid_bond_test({1, 2, 3}, aniso, {2.5, 2, 3}, iso);
  EXPECT_NEAR(along_a.delta.measure.value, static_cast<double>(0.05f) - static_cast<double>(0.02f), 5e-9);

  // Another frame (b in the xy plane), positions and U placed in it: the
  // same amplitudes.
  const Mat3 triclinic = cell(7.12f, 9.81f, 11.45f, 81.3f, 97.6f, 104.2f);
  const double ca = std::cos(81.3 * std::numbers::pi / 180), cb = std::cos(97.6 * std::numbers::pi / 180);
  const double cg = std::cos(104.2 * std::numbers::pi / 180), sg = std::sin(104.2 * std::numbers::pi / 180);
  const double cx = 11.45 * cb, cy = 11.45 * (ca - cb * cg) / sg;
  const Mat3d axes{{{7.12, 9.81 * cg, cx}, {0, 9.81 * sg, cy}, {0, 0, std::sqrt(11.45 * 11.45 - cx * cx - cy * cy)}}};
  const Vec3d xa{0.1, 0.2, 0.3}, xb{0.25, 0.1, 0.4};
  const auto place = [](const auto& to_cartesian, const Vec3d& x) {
    Cart3 p{};
    for (int k = 0; k < 3; ++k)
      for (int i = 0; i < 3; ++i) p[k] += to_cartesian(k, i) * x[i];
    return p;
  };
  const auto by_rows = [&](int k, int i) { return static_cast<double>(at(triclinic, i + 1, k + 1)); };
  const auto by_columns = [&](int k, int i) { return axes[k][i]; };
  const RigidBondTest here = rigid_bond_test(place(by_rows, xa), cartesian_displacement(triclinic, u),
                                             place(by_rows, xb), cartesian_displacement(triclinic, rule));
  const RigidBondTest there = rigid_bond_test(place(by_columns, xa), cartesian_displacement(axes, u),
                                              place(by_columns, xb), cartesian_displacement(axes, rule));
  EXPECT_NEAR(here.msda_a.measure.value, there.msda_a.measure.value, 1e-8);
  EXPECT_NEAR(here.delta.measure.value, there.delta.measure.value, 1e-8);

  EXPECT_FALSE(rigid_bond_test({1, 1, 1}, iso, {1, 1, 1}, iso).defined);
  EXPECT_TRUE(rigid_bond_flagged(-0.0042, 0.0011));
  EXPECT_FALSE(rigid_bond_flagged(0.0042, 0.0015));   // within three s.u.'s
  EXPECT_FALSE(rigid_bond_flagged(0.0009, 0.0001));   // below 0.001 A^2
}
