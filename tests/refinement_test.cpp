// One least-squares cycle against a second computation: the normal matrix
// summed and inverted here plainly (Gauss-Jordan) from the analytic
// gradients, the covariance N^-1 GooF^2 and the shifts it gives, the
// gradient of the weighted sum of squares against finite differences, and
// cycles that lead a displaced model back to the one that made the data
// (a twin fraction too).
// With them the merging of equivalents, absences and SHELXL's weights.
#include <gtest/gtest.h>

#include <cmath>

#include "lsq/parameters.hpp"
#include "lsq/refinement.hpp"
#include "lsq/reflections.hpp"
#include "lsq/structure_factors.hpp"
#include "tests/support/lsq_models.hpp"

namespace {

using lsq::Miller;
using lsq::Observation;

// Every unique reflection of the model up to sin(theta)/lambda 0.5, with
// Fc^2 of `truth` and a deterministic error of a few s.u.'s as data.
std::vector<Observation> data_of(const lsq::Model& truth, bool noise) {
  const lsq::ParameterMap map = lsq::map_parameters(truth);
  const lsq::StructureFactors sf(truth, map);
  lsq::StructureFactors::Scratch scratch = sf.scratch();
  const std::vector<lsq::Operator> group = truth.group.expanded();
  const lsq::Metric metric = lsq::metric_of(truth.cell);
  std::vector<Observation> out;
  int n = 0;
  for (int h = -9; h <= 9; ++h)
    for (int k = -9; k <= 9; ++k)
      for (int l = -9; l <= 9; ++l) {
        const Miller hkl{h, k, l};
        if (hkl == Miller{0, 0, 0} || lsq::s_squared(metric, hkl) > 0.25 || lsq::systematically_absent(group, hkl) ||
            lsq::representative(group, hkl, truth.group.centric) != hkl)
          continue;
        const double fc2 = sf.fc_squared(hkl, nullptr, scratch);
        const double sigma = 0.02 * fc2 + 2;
        out.push_back({hkl, fc2 + (noise ? sigma * std::sin(1.7 * ++n) * 1.3 : 0), sigma});
      }
  return out;
}

// N = sum w g g^T and b = sum w (Fo^2 - Fc^2) g, summed plainly.
void plain_normal_equations(const lsq::Model& model, const lsq::ParameterMap& map, const std::vector<Observation>& data,
                            std::vector<std::vector<double>>& n, std::vector<double>& b, double& s) {
  const lsq::StructureFactors sf(model, map);
  lsq::StructureFactors::Scratch scratch = sf.scratch();
  const std::size_t p = static_cast<std::size_t>(map.count());
  n.assign(p, std::vector<double>(p, 0.0));
  b.assign(p, 0.0);
  s = 0;
  std::vector<double> g(p);
  for (const Observation& o : data) {
    const double fc2 = sf.fc_squared(o.h, g.data(), scratch);
    const double w = lsq::shelxl_weight(model.weighting, o.intensity, o.sigma, fc2, model.scale);
    s += w * (o.intensity - fc2) * (o.intensity - fc2);
    for (std::size_t i = 0; i < p; ++i) {
      b[i] += w * (o.intensity - fc2) * g[i];
      for (std::size_t j = 0; j < p; ++j) n[i][j] += w * g[i] * g[j];
    }
  }
}

std::vector<std::vector<double>> gauss_jordan_inverse(std::vector<std::vector<double>> a) {
  const std::size_t p = a.size();
  std::vector<std::vector<double>> inverse(p, std::vector<double>(p, 0.0));
  for (std::size_t i = 0; i < p; ++i) inverse[i][i] = 1;
  for (std::size_t c = 0; c < p; ++c) {
    std::size_t pivot = c;
    for (std::size_t r = c + 1; r < p; ++r)
      if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
    std::swap(a[c], a[pivot]);
    std::swap(inverse[c], inverse[pivot]);
    const double d = a[c][c];
    for (std::size_t k = 0; k < p; ++k) {
      a[c][k] /= d;
      inverse[c][k] /= d;
    }
    for (std::size_t r = 0; r < p; ++r) {
      if (r == c) continue;
      const double f = a[r][c];
      for (std::size_t k = 0; k < p; ++k) {
        a[r][k] -= f * a[c][k];
        inverse[r][k] -= f * inverse[c][k];
      }
    }
  }
  return inverse;
}

lsq::Model inversion_twin(double fraction) {
  lsq::Model model = testing_support::acentric_lsq_model();
  model.twin = {{lsq::IntMat3{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, lsq::IntMat3{{{-1, 0, 0}, {0, -1, 0}, {0, 0, -1}}}},
                {fraction},
                {true}};
  return model;
}

TEST(LeastSquaresCycle, CovarianceAndShiftsAsAPlainSumAndInversionGiveThem) {
  for (const lsq::Model& truth :
       {testing_support::centric_lsq_model(), testing_support::acentric_lsq_model(), inversion_twin(0.3)}) {
    const std::vector<Observation> data = data_of(truth, true);
    lsq::Model model = truth;
    model.weighting = {0.03, 0.4};
    // The finite differences below move a riding atom's Uiso with its pivot.
    lsq::ParameterOptions follows;
    follows.riding_u_follows_pivot = true;
    const lsq::ParameterMap map = lsq::map_parameters(model, follows);
    lsq::CycleOptions options;
    options.threads = 2;
    options.block_rows = 7;  // blocks that do not divide the reflections, split between threads
    const lsq::CycleResult cycle = lsq::least_squares_cycle(model, map, data, options);

    std::vector<std::vector<double>> n;
    std::vector<double> b;
    double s = 0;
    plain_normal_equations(model, map, data, n, b, s);
    const std::size_t p = n.size();
    const double goof = std::sqrt(s / static_cast<double>(data.size() - p));
    EXPECT_NEAR(cycle.goof, goof, 1e-10 * goof);
    const std::vector<std::vector<double>> inverse = gauss_jordan_inverse(n);
    for (std::size_t i = 0; i < p; ++i) {
      double shift = 0;
      for (std::size_t j = 0; j < p; ++j) {
        shift += inverse[i][j] * b[j];
        const double expected = inverse[i][j] * goof * goof;
        EXPECT_NEAR(cycle.covariance_at(static_cast<int>(i), static_cast<int>(j)), expected,
                    1e-8 * std::sqrt(inverse[i][i] * inverse[j][j]) * goof * goof);
      }
      EXPECT_NEAR(cycle.shifts[i], shift, 1e-8 * std::sqrt(inverse[i][i]) * goof);
    }

    // The weighted sum of squares, its weights held, falls along each
    // variable as -2 b says.
    for (std::size_t v = 0; v < p; ++v) {
      const double step = map.variables[v].kind == lsq::VariableKind::Atom && map.variables[v].slot <= lsq::kZ ? 1e-6 : 1e-7;
      auto sum_at = [&](double d) {
        std::vector<double> shift(p, 0.0);
        shift[v] = d;
        const lsq::Model moved = lsq::shifted(model, map, shift);
        const lsq::ParameterMap moved_map = lsq::map_parameters(moved, follows);
        const lsq::StructureFactors sf(moved, moved_map), at_start(model, map);
        lsq::StructureFactors::Scratch scratch = sf.scratch(), start_scratch = at_start.scratch();
        double sum = 0;
        for (const Observation& o : data) {
          const double w = lsq::shelxl_weight(model.weighting, o.intensity, o.sigma,
                                              at_start.fc_squared(o.h, nullptr, start_scratch), model.scale);
          const double r = o.intensity - sf.fc_squared(o.h, nullptr, scratch);
          sum += w * r * r;
        }
        return sum;
      };
      EXPECT_NEAR((sum_at(step) - sum_at(-step)) / (2 * step), -2 * b[v], 1e-4 * (std::fabs(b[v]) + 1))
          << lsq::variable_name(model, map.variables[v]);
    }
  }
}

TEST(LeastSquaresCycle, CyclesLeadADisplacedModelBackToTheOneThatMadeTheData) {
  const lsq::Model truth = testing_support::centric_lsq_model();
  const std::vector<Observation> data = data_of(truth, false);
  lsq::Model model = truth;
  model.atoms[1].site[0] += 0.004;
  model.atoms[2].u[1] *= 1.3;
  model.atoms[4].occupancy = 0.64;
  model.scale *= 1.05;
  for (int cycle = 0; cycle < 4; ++cycle) {
    const lsq::ParameterMap map = lsq::map_parameters(model);
    model = lsq::shifted(model, map, lsq::least_squares_cycle(model, map, data).shifts);
  }
  EXPECT_NEAR(model.atoms[1].site[0], truth.atoms[1].site[0], 1e-8);
  EXPECT_NEAR(model.atoms[2].u[1], truth.atoms[2].u[1], 1e-8);
  EXPECT_NEAR(model.atoms[4].occupancy, truth.atoms[4].occupancy, 1e-8);
  EXPECT_NEAR(model.scale, truth.scale, 1e-8);
  EXPECT_NEAR(model.extinction, truth.extinction, 1e-8);
  const lsq::ParameterMap map = lsq::map_parameters(model);
  const lsq::CycleResult last = lsq::least_squares_cycle(model, map, data);
  EXPECT_LT(last.r1_all, 1e-8);
  for (double shift : last.shifts) EXPECT_LT(std::fabs(shift), 1e-8);

  // A twin fraction, found again from data of an inversion twin (more
  // cycles: the riding hydrogen atoms' Uiso, held within a cycle, follow
  // C1's between cycles).
  const lsq::Model twin = inversion_twin(0.3);
  const std::vector<Observation> twinned = data_of(twin, false);
  lsq::Model start = inversion_twin(0.1);
  start.atoms[0].site[2] += 0.002;
  for (int cycle = 0; cycle < 7; ++cycle) {
    const lsq::ParameterMap m = lsq::map_parameters(start);
    start = lsq::shifted(start, m, lsq::least_squares_cycle(start, m, twinned).shifts);
  }
  EXPECT_NEAR(start.twin.fractions[0], 0.3, 1e-8);
  EXPECT_NEAR(start.atoms[0].site[2], twin.atoms[0].site[2], 1e-8);
}

// A rigid hexagon turned and moved off its place, in C 2/c and in the
// polar C 2: the cycles bring every ring atom back (in C 2 up to a slide
// along b that holds the weighted centroid, the ring's atoms counted).
TEST(LeastSquaresCycle, CyclesLeadADisplacedRigidGroupBack) {
  for (const bool centric : {true, false}) {
    lsq::Model truth = testing_support::rigid_lsq_model(true);
    truth.group.centric = centric;
    const std::vector<Observation> data = data_of(truth, false);
    lsq::ParameterMap map = lsq::map_parameters(truth);
    std::vector<double> away(static_cast<std::size_t>(map.count()), 0.0);
    for (int v = 0; v < map.count(); ++v)
      if (map.variables[static_cast<std::size_t>(v)].kind == lsq::VariableKind::Rigid) away[static_cast<std::size_t>(v)] = 0.004;
    lsq::Model model = lsq::shifted(truth, map, away);
    // Along b: the atoms' y weighted by occupancy times f0(0), the ring's
    // among them, riding atoms left out.
    auto centroid = [&](const lsq::Model& m) {
      const lsq::ParameterMap ties = lsq::map_parameters(m);
      double sum = 0;
      for (std::size_t a = 0; a < m.atoms.size(); ++a)
        if (m.atoms[a].riding_pivot < 0)
          sum += m.atoms[a].occupancy * ties.site_order[a] * m.types[static_cast<std::size_t>(m.atoms[a].type)].f0(0) * m.atoms[a].site[1];
      return sum;
    };
    const double start = centroid(model);
    for (int cycle = 0; cycle < 10; ++cycle) {
      map = lsq::map_parameters(model);
      model = lsq::shifted(model, map, lsq::least_squares_cycle(model, map, data).shifts);
    }
    // In C 2 the whole structure may slide along b, its centroid held: y
    // is compared from the first ring atom's.
    const std::vector<int>& ring = truth.rigid_groups[0].atoms;
    for (int a : ring) {
      const lsq::Vec3& ours = model.atoms[static_cast<std::size_t>(a)].site;
      const lsq::Vec3& made = truth.atoms[static_cast<std::size_t>(a)].site;
      const double slide = centric ? 0 : model.atoms[static_cast<std::size_t>(ring[0])].site[1] - truth.atoms[static_cast<std::size_t>(ring[0])].site[1];
      EXPECT_NEAR(ours[0], made[0], 1e-8) << centric;
      EXPECT_NEAR(ours[1] - slide, made[1], 1e-8) << centric;
      EXPECT_NEAR(ours[2], made[2], 1e-8) << centric;
    }
    if (!centric) {
      // Held by each cycle's linear shifts; the finite turns move it by
      // their squares (0.02 with the translations alone in the origin row).
      EXPECT_NEAR(centroid(model), start, 1e-5);
    }
  }
}

TEST(LeastSquaresCycle, TheOriginOfAPolarGroupIsHeldAtTheWeightedCentroid) {
  // P 21 (the acentric model's atoms under its twofold screw axis alone):
  // the structure moved along b as a whole gives the same data.
  lsq::Model model = testing_support::acentric_lsq_model();
  model.group.operators.resize(1);
  lsq::Operator screw;
  screw.rotation = {{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}};
  screw.translation = {0, 0.5, 0};
  model.group.operators.push_back(screw);
  const std::vector<lsq::Vec3> directions = lsq::floating_origin_directions(model.group);
  ASSERT_EQ(directions.size(), 1u);
  EXPECT_NEAR(std::fabs(directions[0][1]), 1.0, 1e-12);
  const std::vector<Observation> data = data_of(model, true);
  const lsq::ParameterMap map = lsq::map_parameters(model);
  const lsq::CycleResult cycle = lsq::least_squares_cycle(model, map, data);
  // The centroid weighted by occupancy times f0(0) does not move; each y
  // keeps an s.u. like that of its x (not that of a free origin).
  double centroid = 0, total = 0;
  std::vector<double> weight(static_cast<std::size_t>(map.count()), 0.0);
  for (int v = 0; v < map.count(); ++v) {
    const lsq::Variable& variable = map.variables[static_cast<std::size_t>(v)];
    if (variable.kind != lsq::VariableKind::Atom || variable.slot != lsq::kY) continue;
    const lsq::Atom& atom = model.atoms[static_cast<std::size_t>(variable.atom)];
    weight[static_cast<std::size_t>(v)] = atom.occupancy * model.types[static_cast<std::size_t>(atom.type)].f0(0);
    total += weight[static_cast<std::size_t>(v)];
  }
  double y_variance = 0, x_variance = 0;
  for (int i = 0; i < map.count(); ++i) {
    for (int j = 0; j < map.count(); ++j)
      centroid += weight[static_cast<std::size_t>(i)] * weight[static_cast<std::size_t>(j)] * cycle.covariance_at(i, j);
    const lsq::Variable& variable = map.variables[static_cast<std::size_t>(i)];
    if (variable.kind == lsq::VariableKind::Atom && variable.atom == 1) {
      if (variable.slot == lsq::kX) x_variance = cycle.covariance_at(i, i);
      if (variable.slot == lsq::kY) y_variance = cycle.covariance_at(i, i);
    }
  }
  EXPECT_LT(std::sqrt(centroid) / total, 1e-3 * std::sqrt(y_variance));
  EXPECT_LT(y_variance, 10 * x_variance);
  EXPECT_TRUE(lsq::floating_origin_directions(testing_support::acentric_lsq_model().group).empty());
  model.group.operators.resize(1);  // P 1
  EXPECT_EQ(lsq::floating_origin_directions(model.group).size(), 3u);
}

TEST(LeastSquaresCycle, SingularNormalMatrixNamesTheUndeterminedVariable) {
  lsq::Model model = testing_support::centric_lsq_model();
  model.atoms[4].occupancy = 0;  // O2 scatters nothing: its coordinates are not determined
  const lsq::ParameterMap map = lsq::map_parameters(model);
  try {
    lsq::least_squares_cycle(model, map, data_of(testing_support::centric_lsq_model(), false));
    FAIL() << "no error";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("O2 x"), std::string::npos) << e.what();
  }
}

TEST(Reflections, MergedAsSHELXLMergesThem) {
  // Strong: weights I/s^2; the spread's s.u. (sum |I - <I>| / (n sqrt(n - 1)))
  // when it exceeds [sum 1/s^2]^-1/2.
  const Observation strong = lsq::merged_observation(std::vector<Observation>{{{1, 0, 0}, 100, 5}, {{1, 0, 0}, 110, 5}, {{1, 0, 0}, 90, 10}});
  const double mean = (100 * 4.0 + 110 * 4.4 + 90 * 0.9) / 9.3;
  EXPECT_NEAR(strong.intensity, mean, 1e-12);
  EXPECT_NEAR(strong.sigma, (std::fabs(100 - mean) + std::fabs(110 - mean) + std::fabs(90 - mean)) / (3 * std::sqrt(2.0)), 1e-12);
  // Weak (I < 3s): weights 3/s; agreeing equivalents keep [sum 1/s^2]^-1/2.
  const Observation weak = lsq::merged_observation(std::vector<Observation>{{{1, 0, 0}, 2.0, 2}, {{1, 0, 0}, 2.2, 4}});
  EXPECT_NEAR(weak.intensity, (2.0 * 1.5 + 2.2 * 0.75) / 2.25, 1e-12);
  EXPECT_NEAR(weak.sigma, 1 / std::sqrt(0.25 + 0.0625), 1e-12);
}

TEST(Reflections, AbsencesLimitsOmissionsAndFriedelOpposites) {
  lsq::Model model = testing_support::acentric_lsq_model();  // P 21 21 21: h00, 0k0, 00l odd absent
  std::vector<Observation> raw = {
      {{3, 0, 0}, 5, 1},  {{2, 0, 0}, 50, 1}, {{0, 0, 5}, 5, 1},   {{1, 2, 3}, 40, 2}, {{-1, -2, 3}, 44, 2},
      {{-1, -2, -3}, 30, 2}, {{1, 2, -3}, 32, 2}, {{2, 3, 1}, 20, 1}, {{9, 9, 9}, 3, 1}, {{4, 1, 1}, 7, 1}};
  lsq::ReflectionSelection selection;
  selection.d_min = 0.8;              // 9 9 9 is beyond
  selection.omitted = {{-4, 1, -1}};  // an equivalent of 4 1 1
  const lsq::PreparedReflections kept = lsq::prepare_reflections(raw, model, selection);
  EXPECT_EQ(kept.read, 10);
  EXPECT_EQ(kept.absent, 2);
  EXPECT_EQ(kept.outside, 1);
  EXPECT_EQ(kept.omitted, 1);
  // 2 0 0, then 1 2 3 with its equivalent -1 -2 3, its Friedel opposites
  // -1 -2 -3 and 1 2 -3 apart, and 2 3 1: four unique reflections, three with the opposites merged.
  ASSERT_EQ(kept.observations.size(), 4u);
  EXPECT_EQ(kept.friedel_merged, 3);
  selection.merge_friedel = true;
  EXPECT_EQ(lsq::prepare_reflections(raw, model, selection).observations.size(), 3u);
}

TEST(Weights, SHELXLSchemeOnTheAbsoluteScale) {
  // Fo^2 400 and s 20 on a scale of 2: 100 and 5 absolute; Fc^2 = 4 x 90.
  const double p = (100 + 2 * 90) / 3.0;
  const double absolute = 1 / (25 + 0.05 * 0.05 * p * p + 0.7 * p);
  EXPECT_NEAR(lsq::shelxl_weight({0.05, 0.7}, 400, 20, 360, 2), absolute / 16, 1e-15);
  EXPECT_NEAR(lsq::shelxl_weight({0.05, 0.7}, -30, 20, 360, 2), 1 / (16 * (25 + 0.0025 * 3600 + 0.7 * 60.0)), 1e-15);
}

}  // namespace
