// Fc^2 and its analytic gradient against central finite differences of the
// model moved along each least-squares variable, in a centric group with a
// centring and an atom on a twofold axis, and in an acentric one with
// anomalous scattering; riding atoms, refined occupancies, the scale and
// extinction included, and occupancies and Uiso that follow free
// variables, shared coordinates and Uij, twinned crystals with their
// fractions, rigid groups moved as a whole (translated and turned, or only
// turned about their first atom). Also |F|^2 against a direct sum over every
// operator of the expanded group (over every domain's indices for a twin).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include "lsq/parameters.hpp"
#include "lsq/structure_factors.hpp"
#include "tests/support/lsq_models.hpp"

namespace {

using lsq::Miller;

// |F|^2 summed plainly over every operator of the expanded group.
double direct_f_squared(const lsq::Model& m, const lsq::ParameterMap& map, const lsq::Miller& h) {
  const lsq::Metric metric = lsq::metric_of(m.cell);
  const double s2 = lsq::s_squared(metric, h);
  std::complex<double> f;
  const double pi = std::numbers::pi;
  for (std::size_t n = 0; n < m.atoms.size(); ++n) {
    const lsq::Atom& a = m.atoms[n];
    double uiso = a.uiso;
    if (a.u_pivot >= 0) {
      const lsq::Atom& pivot = m.atoms[static_cast<std::size_t>(a.u_pivot)];
      uiso = a.u_factor * (pivot.anisotropic ? lsq::u_equivalent(metric, pivot.u) : pivot.uiso);
    }
    const lsq::ScatteringFactor& t = m.types[static_cast<std::size_t>(a.type)];
    const std::complex<double> form(t.f0(s2) + t.f_prime, t.f_double_prime);
    for (const lsq::Operator& o : m.group.expanded()) {
      double hr[3] = {}, phase = 0;
      for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 3; ++i) hr[j] += h[static_cast<std::size_t>(i)] * o.rotation[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
        phase += hr[j] * map.sites[n][static_cast<std::size_t>(j)] + h[static_cast<std::size_t>(j)] * o.translation[static_cast<std::size_t>(j)];
      }
      double t_factor = std::exp(-8 * pi * pi * uiso * s2);
      if (a.anisotropic) {
        static constexpr int pairs[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
        double e = 0;
        for (int k = 0; k < 6; ++k) {
          const int i = pairs[k][0], j = pairs[k][1];
          e += (i == j ? 1 : 2) * hr[i] * hr[j] * metric.reciprocal[static_cast<std::size_t>(i)] *
               metric.reciprocal[static_cast<std::size_t>(j)] * a.u[static_cast<std::size_t>(k)];
        }
        t_factor = std::exp(-2 * pi * pi * e);
      }
      f += a.occupancy * form * t_factor * std::polar(1.0, 2 * pi * phase);
    }
  }
  return std::norm(f);
}

void check_gradients(const lsq::Model& model, const std::vector<lsq::Miller>& reflections) {
  lsq::ParameterOptions options;
  options.riding_u_follows_pivot = true;  // the finite differences move the riding Uiso with its pivot
  const lsq::ParameterMap map = lsq::map_parameters(model, options);
  const lsq::StructureFactors sf(model, map);
  lsq::StructureFactors::Scratch scratch = sf.scratch();
  std::vector<double> gradient(static_cast<std::size_t>(map.count()));
  for (const lsq::Miller& h : reflections) {
    const double fc2 = sf.fc_squared(h, gradient.data(), scratch);
    // Without extinction, the same |F|^2 as the plain sum over the group;
    // a twin's the fraction-weighted sum over its domains' indices.
    if (model.extinction == 0) {
      double expected = model.scale * model.scale * direct_f_squared(model, map, h);
      if (!model.twin.domains.empty()) {
        double first = 1;
        for (double f : model.twin.fractions) first -= f;
        expected = 0;
        for (std::size_t k = 0; k < model.twin.domains.size(); ++k) {
          Miller hk{};
          for (std::size_t i = 0; i < 3; ++i)
            for (std::size_t j = 0; j < 3; ++j) hk[i] += model.twin.domains[k][i][j] * h[j];
          expected += (k == 0 ? first : model.twin.fractions[k - 1]) * model.scale * model.scale * direct_f_squared(model, map, hk);
        }
      }
      EXPECT_NEAR(fc2, expected, 1e-9 * fc2) << h[0] << " " << h[1] << " " << h[2];
    }
    double largest = 0;
    for (double g : gradient) largest = std::max(largest, std::fabs(g));
    for (int v = 0; v < map.count(); ++v) {
      const lsq::Variable& variable = map.variables[static_cast<std::size_t>(v)];
      const double step = variable.kind == lsq::VariableKind::Atom && variable.slot <= lsq::kZ ? 1e-6 : 1e-7;
      std::vector<double> shift(static_cast<std::size_t>(map.count()), 0.0);
      auto at = [&](double d) {
        shift[static_cast<std::size_t>(v)] = d;
        const lsq::Model moved = lsq::shifted(model, map, shift);
        const lsq::ParameterMap moved_map = lsq::map_parameters(moved, options);
        const lsq::StructureFactors moved_sf(moved, moved_map);
        lsq::StructureFactors::Scratch s = moved_sf.scratch();
        return moved_sf.fc_squared(h, nullptr, s);
      };
      const double numeric = (at(step) - at(-step)) / (2 * step);
      EXPECT_NEAR(gradient[static_cast<std::size_t>(v)], numeric, 2e-6 * largest + 1e-9)
          << lsq::variable_name(model, variable) << " at " << h[0] << " " << h[1] << " " << h[2];
    }
  }
}

TEST(StructureFactors, CentricGradientsMeetFiniteDifferences) {
  const lsq::Model model = testing_support::centric_lsq_model();
  check_gradients(model, {{1, 1, 0}, {2, 0, -3}, {3, 1, 4}, {-5, 3, 2}, {0, 2, 5}, {7, -1, -6}, {4, 4, 9}});
  // The metal on the axis: x and z fixed, y free; U12 = U23 = 0.
  const lsq::ParameterMap map = lsq::map_parameters(model);
  EXPECT_EQ(map.site_order[0], 2);
  int metal = 0;
  for (const lsq::Variable& v : map.variables) metal += v.atom == 0 ? 1 : 0;
  EXPECT_EQ(metal, 1 + 4);
}

TEST(StructureFactors, AcentricGradientsMeetFiniteDifferencesAndFriedelOppositesDiffer) {
  lsq::Model model = testing_support::acentric_lsq_model();
  check_gradients(model, {{1, 2, 3}, {-1, -2, -3}, {2, 1, 1}, {3, -2, 5}, {0, 3, 1}, {4, 1, -2}});
  model.extinction = 0.3;
  model.extinction_refined = true;
  check_gradients(model, {{1, 1, 2}, {2, 3, -4}});
  const lsq::ParameterMap map = lsq::map_parameters(model);
  const lsq::StructureFactors sf(model, map);
  lsq::StructureFactors::Scratch scratch = sf.scratch();
  const double plus = sf.fc_squared({1, 2, 3}, nullptr, scratch), minus = sf.fc_squared({-1, -2, -3}, nullptr, scratch);
  EXPECT_GT(std::fabs(plus - minus), 1e-3 * plus);
}

TEST(StructureFactors, TwinnedCrystalsSumTheirDomainsAndTheFractionsAreVariables) {
  // An inversion twin; four domains (a twofold about a + b, the inversion
  // and their product) with one fraction held; each with extinction too.
  const lsq::IntMat3 one{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, inversion{{{-1, 0, 0}, {0, -1, 0}, {0, 0, -1}}};
  const lsq::IntMat3 swap{{{0, 1, 0}, {1, 0, 0}, {0, 0, -1}}}, swap_inverted{{{0, -1, 0}, {-1, 0, 0}, {0, 0, 1}}};
  const struct {
    lsq::Twin twin;
    double extinction;
  } cases[] = {
      {{{one, inversion}, {0.3}, {true}}, 0},
      {{{one, inversion}, {0.3}, {true}}, 0.4},
      {{{one, swap, inversion, swap_inverted}, {0.2, 0.15, 0.1}, {true, false, true}}, 0},
      {{{one, swap, inversion, swap_inverted}, {0.2, 0.15, 0.1}, {true, false, true}}, 0.4},
  };
  for (const auto& c : cases) {
    lsq::Model model = testing_support::acentric_lsq_model();
    model.twin = c.twin;
    model.extinction = c.extinction;
    model.extinction_refined = c.extinction > 0;
    check_gradients(model, {{1, 2, 3}, {-1, -2, -3}, {2, 1, 1}, {3, -2, 5}, {0, 3, 1}, {4, 1, -2}});
    const lsq::ParameterMap map = lsq::map_parameters(model);
    int fractions = 0;
    for (const lsq::Variable& v : map.variables) fractions += v.kind == lsq::VariableKind::TwinFraction ? 1 : 0;
    EXPECT_EQ(fractions, c.twin.domains.size() == 2 ? 1 : 2);
  }
}

TEST(StructureFactors, FreeVariablesAndSharedParametersMeetFiniteDifferences) {
  const lsq::Model model = testing_support::disordered_lsq_model();
  check_gradients(model, {{1, 1, 0}, {2, 0, -3}, {3, 1, 4}, {-5, 3, 2}});
  // Two free variables, no variables of O3' U or C2's coordinates.
  const lsq::ParameterMap map = lsq::map_parameters(model);
  int free = 0, shared = 0;
  for (const lsq::Variable& v : map.variables) {
    free += v.kind == lsq::VariableKind::Free ? 1 : 0;
    shared += (v.atom == 6 && v.slot >= lsq::kU11) || (v.atom == 7 && v.slot <= lsq::kZ) ? 1 : 0;
  }
  EXPECT_EQ(free, 2);
  EXPECT_EQ(shared, 0);
}

// The ring's six variables (three when it only turns) against central
// differences of the whole rigid motion (a finite rotation, apart from the
// linear terms), which keeps every distance within the ring and, when the
// group only turns, its first atom in place.
TEST(StructureFactors, RigidGroupsMeetFiniteDifferencesOfTheirWholeMotion) {
  for (const bool translated : {true, false}) {
    SCOPED_TRACE(translated ? "translated" : "turned only");
    const lsq::Model model = testing_support::rigid_lsq_model(translated);
    check_gradients(model, {{1, 1, 0}, {2, 0, -3}, {3, 1, 4}, {-5, 3, 2}, {7, -1, -6}});
    const lsq::ParameterMap map = lsq::map_parameters(model);
    const std::vector<int>& ring = model.rigid_groups[0].atoms;
    int rigid = 0, own = 0;
    for (const lsq::Variable& v : map.variables) {
      rigid += v.kind == lsq::VariableKind::Rigid ? 1 : 0;
      own += v.kind == lsq::VariableKind::Atom && v.slot <= lsq::kZ && std::find(ring.begin(), ring.end(), v.atom) != ring.end() ? 1 : 0;
    }
    EXPECT_EQ(rigid, translated ? 6 : 3);
    EXPECT_EQ(own, 0);
    EXPECT_EQ(map.begin_of(ring[0], lsq::kY) == map.end_of(ring[0], lsq::kY), !translated);
    std::vector<double> shifts(static_cast<std::size_t>(map.count()), 0.0);
    for (int v = 0; v < map.count(); ++v)
      if (map.variables[static_cast<std::size_t>(v)].kind == lsq::VariableKind::Rigid)
        shifts[static_cast<std::size_t>(v)] = 0.05 + 0.1 * map.variables[static_cast<std::size_t>(v)].component;  // 0.35-0.55 rad
    const lsq::Model moved = lsq::shifted(model, map, shifts);
    const lsq::Metric metric = lsq::metric_of(model.cell);
    auto distance = [&](const lsq::Model& m, int a, int b) {
      double d2 = 0;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
          d2 += (m.atoms[static_cast<std::size_t>(a)].site[i] - m.atoms[static_cast<std::size_t>(b)].site[i]) * metric.direct[i][j] *
                (m.atoms[static_cast<std::size_t>(a)].site[j] - m.atoms[static_cast<std::size_t>(b)].site[j]);
      return std::sqrt(d2);
    };
    for (std::size_t a = 0; a < ring.size(); ++a) {
      EXPECT_NEAR(distance(model, ring[a], ring[(a + 1) % 6]), 1.39, 1e-12);
      for (std::size_t b = a + 1; b < ring.size(); ++b)
        EXPECT_NEAR(distance(moved, ring[a], ring[b]), distance(model, ring[a], ring[b]), 1e-12);
    }
    if (!translated) {
      EXPECT_EQ(moved.atoms[static_cast<std::size_t>(ring[0])].site, model.atoms[static_cast<std::size_t>(ring[0])].site);
    }
  }
}

}  // namespace
