// Restraints as observations: each row's residual against the distance
// computed from the metric tensor (d^2 = dx G dx), and its gradient by every
// variable against central finite differences of the model moved along it
// (a riding atom, shared coordinates, free variables included); the
// rigid-bond restraint against Cartesian displacement tensors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "lsq/parameters.hpp"
#include "lsq/restraints.hpp"
#include "recio/error.hpp"
#include "tests/support/lsq_models.hpp"

namespace {

double metric_distance(const lsq::Model& model, const lsq::ParameterMap& map, int a, int b) {
  const lsq::Metric metric = lsq::metric_of(model.cell);
  double d2 = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      d2 += (map.sites[a][i] - map.sites[b][i]) * metric.direct[i][j] * (map.sites[a][j] - map.sites[b][j]);
  return std::sqrt(d2);
}

TEST(Restraints, ResidualsAndGradientsMeetTheMetricAndFiniteDifferences) {
  lsq::Model model = testing_support::disordered_lsq_model();
  // Fe1 O1 C1 H1(rides on C1) O2 O3 O3' C2(at O3)
  model.restraints = {
      {lsq::RestraintKind::Distance, {1, 2, 3, 1}, {}, {}, 1.43, 0.02, "DFIX"},
      {lsq::RestraintKind::EqualDistances, {1, 2, 5, 1, 7, 2}, {}, {}, 0, 0.02, "SADI"},
      {lsq::RestraintKind::FreeVariableSum, {}, {0, 1}, {1.0, 2.0}, 0.7, 0.01, "SUMP"},
  };
  const lsq::ParameterMap map = lsq::map_parameters(model);
  const std::vector<lsq::RestraintRow> rows = lsq::restraint_rows(model, map);
  ASSERT_EQ(rows.size(), 2u + 3u + 1u);

  // Residuals: target - value; SADI's against the mean of its distances,
  // weighted by the inverse variance of d_i - mean, n / ((n - 1) s^2).
  const double d12 = metric_distance(model, map, 1, 2), d31 = metric_distance(model, map, 3, 1);
  const double d51 = metric_distance(model, map, 5, 1), d72 = metric_distance(model, map, 7, 2);
  const double mean = (d12 + d51 + d72) / 3;
  const double expected[] = {1.43 - d12, 1.43 - d31, mean - d12, mean - d51, mean - d72, 0.7 - (0.64 + 2 * 0.031)};
  const double equal_weight[] = {1, 1, 1.5, 1.5, 1.5, 1};  // three distances
  for (std::size_t k = 0; k < rows.size(); ++k) {
    EXPECT_NEAR(rows[k].residual, expected[k], 1e-12) << "row " << k;
    EXPECT_DOUBLE_EQ(rows[k].weight, equal_weight[k] / (model.restraints[static_cast<std::size_t>(rows[k].restraint)].sigma *
                                                        model.restraints[static_cast<std::size_t>(rows[k].restraint)].sigma));
  }
  // Equal distances hold every pair equal: their rows' sum of w r^2 is the
  // sum over the pairs of (d_i - d_j)^2 / ((n - 1) s^2).
  const double pairs = (d12 - d51) * (d12 - d51) + (d12 - d72) * (d12 - d72) + (d51 - d72) * (d51 - d72);
  double held = 0;
  for (std::size_t k = 2; k < 5; ++k) held += rows[k].weight * rows[k].residual * rows[k].residual;
  EXPECT_NEAR(held, pairs / (2 * 0.02 * 0.02), 1e-9 * held);

  // Gradients of the value (target - residual) by central differences.
  for (int v = 0; v < map.count(); ++v) {
    const double step = 1e-6;
    std::vector<double> shift(static_cast<std::size_t>(map.count()), 0.0);
    auto residuals_at = [&](double d) {
      shift[static_cast<std::size_t>(v)] = d;
      const lsq::Model moved = lsq::shifted(model, map, shift);
      return lsq::restraint_rows(moved, lsq::map_parameters(moved));
    };
    const std::vector<lsq::RestraintRow> plus = residuals_at(step), minus = residuals_at(-step);
    for (std::size_t k = 0; k < rows.size(); ++k)
      EXPECT_NEAR(rows[k].gradient[static_cast<std::size_t>(v)], -(plus[k].residual - minus[k].residual) / (2 * step),
                  1e-6)
          << "row " << k << ", " << lsq::variable_name(model, map.variables[static_cast<std::size_t>(v)]);
  }
  // The riding H1 moves with C1: its DFIX row has C1's coordinates only.
  for (int v = 0; v < map.count(); ++v)
    if (map.variables[static_cast<std::size_t>(v)].atom == 3) ADD_FAILURE() << "H1 has variables of its own";
}

// The Cartesian displacement tensor A U* A^T with U*_ij = U_ij a*_i a*_j,
// the matrices written out (Uiso times the unit matrix for an isotropic atom).
lsq::Mat3 cartesian_u(const lsq::Model& model, const lsq::Atom& atom) {
  lsq::Mat3 cart{};
  if (!atom.anisotropic) {
    for (int i = 0; i < 3; ++i) cart[i][i] = atom.uiso;
    return cart;
  }
  const lsq::Metric m = lsq::metric_of(model.cell);
  const double u[3][3] = {{atom.u[0], atom.u[3], atom.u[4]}, {atom.u[3], atom.u[1], atom.u[5]}, {atom.u[4], atom.u[5], atom.u[2]}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k)
        for (int l = 0; l < 3; ++l)
          cart[i][j] += m.orthogonal[i][k] * u[k][l] * m.reciprocal[k] * m.reciprocal[l] * m.orthogonal[j][l];
  return cart;
}

// The unit Cartesian vector from atom b to atom a.
lsq::Vec3 unit_join(const lsq::Metric& metric, const lsq::ParameterMap& map, int a, int b) {
  lsq::Vec3 n{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) n[i] += metric.orthogonal[i][j] * (map.sites[a][j] - map.sites[b][j]);
  const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  for (double& c : n) c /= length;
  return n;
}

// Mean-square displacement along a unit Cartesian vector: n^T U_cart n.
double msd_along(const lsq::Model& model, const lsq::Atom& atom, const lsq::Vec3& n) {
  if (!atom.anisotropic) return atom.uiso;
  const lsq::Mat3 cart = cartesian_u(model, atom);
  double z = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) z += n[i] * cart[i][j] * n[j];
  return z;
}

TEST(Restraints, RigidBondAgainstCartesianTensorsAndFiniteDifferences) {
  lsq::Model model = testing_support::disordered_lsq_model();
  // O1-C1 both anisotropic, C1-O2 (isotropic O2), O3'-O1 (O3' with O3's Uij).
  model.restraints = {{lsq::RestraintKind::RigidBond, {1, 2, 2, 4, 6, 1}, {}, {}, 0, 0.01, "DELU"}};
  const lsq::ParameterMap map = lsq::map_parameters(model);
  const std::vector<lsq::RestraintRow> rows = lsq::restraint_rows(model, map);
  ASSERT_EQ(rows.size(), 3u);
  const lsq::Metric metric = lsq::metric_of(model.cell);
  const int pairs[3][2] = {{1, 2}, {2, 4}, {6, 1}};
  for (int k = 0; k < 3; ++k) {
    const int a = pairs[k][0], b = pairs[k][1];
    const lsq::Vec3 n = unit_join(metric, map, a, b);
    EXPECT_NEAR(rows[k].residual,
                -(msd_along(model, model.atoms[a], n) - msd_along(model, model.atoms[b], n)), 1e-12) << "pair " << k;
    EXPECT_DOUBLE_EQ(rows[k].weight, 1e4);
  }
  // By the displacement parameters (positions held, as the restraint's
  // derivatives neglect them): central differences.
  for (int v = 0; v < map.count(); ++v) {
    const lsq::Variable& variable = map.variables[static_cast<std::size_t>(v)];
    const bool displacement = variable.kind == lsq::VariableKind::Atom && variable.slot >= lsq::kUiso;
    std::vector<double> shift(static_cast<std::size_t>(map.count()), 0.0);
    auto at = [&](double d) {
      shift[static_cast<std::size_t>(v)] = d;
      const lsq::Model moved = lsq::shifted(model, map, shift);
      return lsq::restraint_rows(moved, lsq::map_parameters(moved));
    };
    const std::vector<lsq::RestraintRow> plus = at(1e-5), minus = at(-1e-5);
    for (std::size_t k = 0; k < rows.size(); ++k) {
      const double numeric = -(plus[k].residual - minus[k].residual) / 2e-5;
      if (displacement)
        EXPECT_NEAR(rows[k].gradient[static_cast<std::size_t>(v)], numeric, 1e-8)
            << "pair " << k << ", " << lsq::variable_name(model, variable);
      else
        EXPECT_EQ(rows[k].gradient[static_cast<std::size_t>(v)], 0.0) << lsq::variable_name(model, variable);
    }
  }
}

// The derivatives of every row by every variable against central
// differences; `positions`: whether the rows follow the coordinates (else
// their derivatives by coordinates are 0 by design).
void expect_finite_differences(const lsq::Model& model, bool positions) {
  const lsq::ParameterMap map = lsq::map_parameters(model);
  const std::vector<lsq::RestraintRow> rows = lsq::restraint_rows(model, map);
  for (int v = 0; v < map.count(); ++v) {
    const lsq::Variable& variable = map.variables[static_cast<std::size_t>(v)];
    const bool site = variable.kind == lsq::VariableKind::Atom && variable.slot <= lsq::kZ;
    std::vector<double> shift(static_cast<std::size_t>(map.count()), 0.0);
    auto at = [&](double d) {
      shift[static_cast<std::size_t>(v)] = d;
      const lsq::Model moved = lsq::shifted(model, map, shift);
      return lsq::restraint_rows(moved, lsq::map_parameters(moved));
    };
    const std::vector<lsq::RestraintRow> plus = at(1e-6), minus = at(-1e-6);
    ASSERT_EQ(plus.size(), rows.size());
    for (std::size_t k = 0; k < rows.size(); ++k) {
      const double numeric = -(plus[k].residual - minus[k].residual) / 2e-6;
      const double analytic = rows[k].gradient[static_cast<std::size_t>(v)];
      if (site && !positions)
        EXPECT_EQ(analytic, 0.0) << "row " << k << ", " << lsq::variable_name(model, variable);
      else
        EXPECT_NEAR(analytic, numeric, 1e-6 * std::max(1.0, std::fabs(numeric)))
            << "row " << k << ", " << lsq::variable_name(model, variable);
    }
  }
}

// RIGU-, SIMU- and ISOR-like rows against Cartesian tensors written out,
// and FLAT-like volumes against the cell volume times the determinant of
// fractional differences; every derivative against finite differences.
TEST(Restraints, DisplacementAndPlanarityRestraintsMeetTensorsVolumesAndFiniteDifferences) {
  lsq::Model model = testing_support::disordered_lsq_model();
  // Fe1 O1 C1 H1(rides on C1) O2(isotropic) O3 O3'(O3's Uij) C2(at O3)
  model.atoms[2].u = {0.031, 0.022, 0.027, -0.004, 0.006, 0.002};
  model.atoms[5].u = {0.045, 0.019, 0.033, 0.008, -0.005, 0.011};
  const lsq::Metric metric = lsq::metric_of(model.cell);
  auto restraint = [](lsq::RestraintKind kind, std::vector<int> atoms, double sigma, std::vector<double> sigmas = {}) {
    lsq::Restraint r{kind, std::move(atoms), {}, {}, 0, sigma, "R"};
    r.sigmas = std::move(sigmas);
    return r;
  };
  static constexpr int kComponents[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};

  {  // RigidBody: per pair, along the join as DELU, and the three rows'
     // squares sum to |(U_a - U_b) n|^2 whatever the axes across it.
    model.restraints = {restraint(lsq::RestraintKind::RigidBody, {1, 2, 2, 4, 5, 1}, 0.004)};
    const lsq::ParameterMap map = lsq::map_parameters(model);
    const std::vector<lsq::RestraintRow> rows = lsq::restraint_rows(model, map);
    ASSERT_EQ(rows.size(), 9u);
    const int pairs[3][2] = {{1, 2}, {2, 4}, {5, 1}};
    for (int k = 0; k < 3; ++k) {
      const int a = pairs[k][0], b = pairs[k][1];
      const lsq::Vec3 n = unit_join(metric, map, a, b);
      const lsq::Mat3 ua = cartesian_u(model, model.atoms[a]), ub = cartesian_u(model, model.atoms[b]);
      double expected = 0;
      for (int i = 0; i < 3; ++i) {
        double row = 0;
        for (int j = 0; j < 3; ++j) row += (ua[i][j] - ub[i][j]) * n[j];
        expected += row * row;
      }
      double sum = 0;
      for (int r = 0; r < 3; ++r) sum += rows[3 * k + r].residual * rows[3 * k + r].residual;
      EXPECT_NEAR(sum, expected, 1e-15) << "pair " << k;
      EXPECT_NEAR(rows[3 * k].residual, -(msd_along(model, model.atoms[a], n) - msd_along(model, model.atoms[b], n)), 1e-12);
      // s grows with the join and the motion: s d sqrt(q^2 + Ueq_a + Ueq_b) / q, q = 0.5 A.
      const double d = metric_distance(model, map, a, b);
      const double ueq = (ua[0][0] + ua[1][1] + ua[2][2] + ub[0][0] + ub[1][1] + ub[2][2]) / 3;
      const double s = 0.004 * d * std::sqrt(0.25 + ueq) / 0.5;
      for (int r = 0; r < 3; ++r) EXPECT_NEAR(rows[3 * k + r].weight, 1 / (s * s), 1e-9 / (s * s)) << "pair " << k;
    }
    expect_finite_differences(model, false);
  }
  {  // SimilarU: six Cartesian differences for two anisotropic atoms, one
     // of Ueq against Uiso otherwise, each pair with its own s.u.
    model.restraints = {restraint(lsq::RestraintKind::SimilarU, {1, 2, 5, 4}, 0.04, {0.04, 0.08})};
    const lsq::ParameterMap map = lsq::map_parameters(model);
    const std::vector<lsq::RestraintRow> rows = lsq::restraint_rows(model, map);
    ASSERT_EQ(rows.size(), 7u);
    const lsq::Mat3 u1 = cartesian_u(model, model.atoms[1]), u2 = cartesian_u(model, model.atoms[2]);
    const lsq::Mat3 u5 = cartesian_u(model, model.atoms[5]);
    for (int k = 0; k < 6; ++k) {
      const int i = kComponents[k][0], j = kComponents[k][1];
      EXPECT_NEAR(rows[k].residual, -(u1[i][j] - u2[i][j]), 1e-12) << "component " << k;
      EXPECT_DOUBLE_EQ(rows[k].weight, 1 / (0.04 * 0.04));
    }
    EXPECT_NEAR(rows[6].residual, -((u5[0][0] + u5[1][1] + u5[2][2]) / 3 - model.atoms[4].uiso), 1e-12);
    EXPECT_DOUBLE_EQ(rows[6].weight, 1 / (0.08 * 0.08));
    expect_finite_differences(model, false);
  }
  {  // IsotropicU: Uii - Ueq and Uij of each anisotropic atom; an
     // isotropic one gives none.
    model.restraints = {restraint(lsq::RestraintKind::IsotropicU, {2, 4, 5}, 0.1, {0.1, 0.2, 0.2})};
    const lsq::ParameterMap map = lsq::map_parameters(model);
    const std::vector<lsq::RestraintRow> rows = lsq::restraint_rows(model, map);
    ASSERT_EQ(rows.size(), 12u);
    for (int atom : {2, 5}) {
      const lsq::Mat3 u = cartesian_u(model, model.atoms[static_cast<std::size_t>(atom)]);
      const double ueq = (u[0][0] + u[1][1] + u[2][2]) / 3;
      const std::size_t first = atom == 2 ? 0 : 6;
      for (int k = 0; k < 6; ++k) {
        const int i = kComponents[k][0], j = kComponents[k][1];
        EXPECT_NEAR(rows[first + k].residual, -(u[i][j] - (i == j ? ueq : 0)), 1e-12) << "atom " << atom << " " << k;
        EXPECT_DOUBLE_EQ(rows[first + k].weight, atom == 2 ? 100.0 : 25.0);
      }
    }
    expect_finite_differences(model, false);
  }
  {  // Planar: the first three atoms with each further one; the riding H1
     // moves with C1, the special-position Fe1 along its axis only.
    model.restraints = {restraint(lsq::RestraintKind::Planar, {0, 1, 2, 3, 4, 5}, 0.1)};
    const lsq::ParameterMap map = lsq::map_parameters(model);
    const std::vector<lsq::RestraintRow> rows = lsq::restraint_rows(model, map);
    ASSERT_EQ(rows.size(), 3u);
    for (int k = 0; k < 3; ++k) {
      double f[3][3];
      for (int r = 0; r < 3; ++r)
        for (int i = 0; i < 3; ++i) f[r][i] = map.sites[r == 2 ? 3 + k : r + 1][i] - map.sites[0][i];
      const double det = f[0][0] * (f[1][1] * f[2][2] - f[1][2] * f[2][1]) - f[0][1] * (f[1][0] * f[2][2] - f[1][2] * f[2][0]) +
                         f[0][2] * (f[1][0] * f[2][1] - f[1][1] * f[2][0]);
      EXPECT_NEAR(rows[k].residual, -metric.volume * det, 1e-10) << "fourth atom " << 3 + k;
      EXPECT_DOUBLE_EQ(rows[k].weight, 100.0);
    }
    expect_finite_differences(model, true);
  }
  model.restraints = {restraint(lsq::RestraintKind::Planar, {0, 1, 2}, 0.1)};
  EXPECT_THROW(lsq::restraint_rows(model, lsq::map_parameters(model)), vesk::Error);
}

TEST(Restraints, AtomsAtOnePlaceMissingAtomsAndNegativeDisplacementsAreRefused) {
  lsq::Model model = testing_support::disordered_lsq_model();
  const lsq::ParameterMap map = lsq::map_parameters(model);
  const struct {
    lsq::RestraintKind kind;
    std::vector<int> atoms;
    const char* says;
  } cases[] = {{lsq::RestraintKind::Distance, {5, 7}, "stand at one place"},
               {lsq::RestraintKind::Distance, {1, 12}, "outside the model"},
               {lsq::RestraintKind::RigidBody, {1, 4}, "negative mean-square displacement"}};  // O2: Uiso -0.5
  model.atoms[4].uiso = -0.5;
  for (const auto& c : cases) {
    model.restraints = {{c.kind, c.atoms, {}, {}, 1.5, 0.02, "R (line 9)"}};
    try {
      lsq::restraint_rows(model, map);
      ADD_FAILURE() << "accepted";
    } catch (const vesk::Error& e) {
      EXPECT_NE(std::string(e.what()).find("R (line 9): "), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
    }
  }
}

}  // namespace
