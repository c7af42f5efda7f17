#include "geometry/bond_valence.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "geometry/bond_valence_parameters.hpp"
#include "recio/error.hpp"
#include "tests/support/inorganic_structures.hpp"

using namespace vesk;

namespace {

// Central differences of f over every coordinate of every point.
template <class F>
void expect_gradient(const F& f, std::vector<Point3d> points, const std::vector<Point3d>& gradient, double tolerance) {
  ASSERT_EQ(gradient.size(), points.size());
  const double h = 1e-6;
  for (std::size_t k = 0; k < points.size(); ++k)
    for (int j = 0; j < 3; ++j) {
      double keep = points[k][j];
      points[k][j] = keep + h;
      double up = f(points);
      points[k][j] = keep - h;
      double down = f(points);
      points[k][j] = keep;
      EXPECT_NEAR(gradient[k][j], (up - down) / (2 * h), tolerance) << "point " << k << " coordinate " << j;
    }
}

std::vector<Point3d> jittered_octahedron(std::mt19937& random, double r) {
  std::uniform_real_distribution<double> jitter(-0.15, 0.15);
  std::vector<Point3d> p = {{0, 0, 0}, {r, 0, 0}, {-r, 0, 0}, {0, r, 0}, {0, -r, 0}, {0, 0, r}, {0, 0, -r}};
  for (Point3d& q : p)
    for (double& x : q) x += jitter(random) + 3.0;  // away from the origin
  return p;
}

}  // namespace

TEST(BondValenceTable, BundledTableParsesAndServesByTheStatedRule) {
  const BondValenceTable& table = bundled_bond_valence_table();
  EXPECT_GT(table.entries.size(), 1500u);
  // Brese & O'Keeffe's reference keeps its apostrophe inside the quotes.
  ASSERT_TRUE(table.references.count("b"));
  EXPECT_EQ(table.references.at("b").substr(0, 18), "Brese and O'Keeffe");
  // Entries as the file lists them (geometry/bvparm2013.cif, lines "Si 4 O -2",
  // "Al 3 O -2", "Mg 2 O -2"): the first listed serves.
  const BondValenceParameter* si = find_bond_valence_parameter(table, "Si", 4, "O", -2);
  ASSERT_TRUE(si);
  EXPECT_DOUBLE_EQ(si->r0, 1.624);
  EXPECT_DOUBLE_EQ(si->b, 0.37);
  EXPECT_EQ(si->reference, "b");
  const BondValenceParameter* al = find_bond_valence_parameter(table, "AL", 3, "o", -2);
  ASSERT_TRUE(al);
  EXPECT_DOUBLE_EQ(al->r0, 1.620);
  EXPECT_EQ(al->reference, "e");
  const BondValenceParameter* mg = find_bond_valence_parameter(table, "Mg", 2, "O", -2);
  ASSERT_TRUE(mg);
  EXPECT_DOUBLE_EQ(mg->r0, 1.693);
  EXPECT_EQ(mg->reference, "a");
  // "Ag 9 Br -1 2.22 0.37 b": no Ag(I)-Br entry, the unstated state serves.
  const BondValenceParameter* ag = find_bond_valence_parameter(table, "Ag", 1, "Br", -1);
  ASSERT_TRUE(ag);
  EXPECT_EQ(ag->cation_state, 9);
  EXPECT_DOUBLE_EQ(ag->r0, 2.22);
  // A reference asked for serves when the table has it for the pair.
  EXPECT_EQ(find_bond_valence_parameter(table, "Al", 3, "O", -2, "o")->r0, 1.644);
  EXPECT_EQ(find_bond_valence_parameter(table, "Al", 3, "O", -2, "zz"), al);
  EXPECT_FALSE(find_bond_valence_parameter(table, "Si", 4, "Xx", -2));
  EXPECT_FALSE(find_bond_valence_parameter(table, "Si", 4, "O", -1));
}

TEST(BondValenceTable, ParserReadsLoopsQuotesTextFieldsAndRefusesBadRows) {
  std::string text =
      "data_test\n_audit_update_record\n;a text field\nloop_ with a word\n;\n"
      "loop_\n_valence_ref_id\n_valence_ref_reference\n"
      "a 'Doe and O'Neil (2000)'  # a comment\nb \"two words\"\n"
      "loop_\n_valence_param_atom_1\n_valence_param_atom_1_valence\n_valence_param_atom_2\n"
      "_valence_param_atom_2_valence\n_valence_param_Ro\n_valence_param_B\n_valence_param_ref_id\n"
      "_valence_param_details\n"
      "Xa 2 Yb -2 1.50 0.37 a ?\r\nXa 2 Yb -2 1.60 0.40 b 'second, less reliable'\n";
  BondValenceTable table = parse_bond_valence_table(text);
  ASSERT_EQ(table.entries.size(), 2u);
  EXPECT_EQ(table.references.at("a"), "Doe and O'Neil (2000)");
  EXPECT_EQ(table.references.at("b"), "two words");
  EXPECT_EQ(table.entries[1].details, "second, less reliable");
  EXPECT_DOUBLE_EQ(find_bond_valence_parameter(table, "Xa", 2, "Yb", -2)->r0, 1.50);

  std::string bad_state = text;
  bad_state.replace(bad_state.find("Xa 2 Yb -2 1.50"), 15, "Xa two Yb -2 1.50");
  EXPECT_THROW(parse_bond_valence_table(bad_state), Error);
  std::string bad_length = text;
  bad_length.replace(bad_length.find("1.60"), 4, "-1.6");
  EXPECT_THROW(parse_bond_valence_table(bad_length), Error);
  std::string short_row = text.substr(0, text.size() - 1) + " extra\n";
  EXPECT_THROW(parse_bond_valence_table(short_row), Error);
  EXPECT_THROW(parse_bond_valence_table("data_empty\n_cell_length_a 5\n"), Error);
}

TEST(BondValence, SumDeviationAndTheirGradientsAgainstFiniteDifferences) {
  std::mt19937 random(28);
  std::vector<Point3d> points = jittered_octahedron(random, 1.95);
  std::vector<ValenceParameters> bonds = {{1.759, 0.37}, {1.759, 0.37}, {1.759, 0.37},
                                          {1.759, 0.37}, {1.70, 0.40},  {1.759, 0.37}};
  PointMeasure sum = bond_valence_sum(points, bonds);
  double expected = 0.0;
  for (std::size_t k = 0; k < bonds.size(); ++k) {
    Point3d d = points[k + 1] - points[0];
    expected += std::exp((bonds[k].r0 - std::sqrt(dot(d, d))) / bonds[k].b);
  }
  EXPECT_NEAR(sum.value, expected, 1e-12);
  EXPECT_DOUBLE_EQ(bond_valence(1.759, {1.759, 0.37}), 1.0);
  EXPECT_NEAR(bond_valence_derivative(2.0, {1.759, 0.37}),
              (bond_valence(2.0 + 1e-6, {1.759, 0.37}) - bond_valence(2.0 - 1e-6, {1.759, 0.37})) / 2e-6, 1e-8);
  expect_gradient([&](const std::vector<Point3d>& p) { return bond_valence_sum(p, bonds).value; }, points, sum.gradient, 1e-7);
  PointMeasure deviation = valence_deviation(points, bonds, 3);
  EXPECT_NEAR(deviation.value, sum.value - 3.0, 1e-12);
  EXPECT_NEAR(valence_deviation(points, bonds, -3).value, deviation.value, 1e-12);
  EXPECT_THROW(bond_valence_sum(points, std::span(bonds).first(5)), Error);
}

TEST(BondValence, GlobalInstabilityIndexGradientOverSharedPoints) {
  // Two cations sharing two anion points, and the anions' own sums: the
  // GII's gradient collects every site's contribution at each common point.
  std::mt19937 random(7);
  std::vector<Point3d> all = jittered_octahedron(random, 1.9);  // 0: cation A, 1..6 its ligands
  all.push_back({all[1][0] + 1.9, all[1][1] + 0.2, all[1][2] - 0.1});  // 7: cation B
  ValenceParameters p{1.759, 0.37};
  auto gii_of = [&](const std::vector<Point3d>& q) {
    std::vector<SiteDeviation> sites;
    auto site = [&](std::vector<std::size_t> index, int state, double weight) {
      std::vector<Point3d> points;
      for (std::size_t i : index) points.push_back(q[i]);
      std::vector<ValenceParameters> bonds(points.size() - 1, p);
      sites.push_back({valence_deviation(points, bonds, state), index, weight});
    };
    site({0, 1, 2, 3, 4, 5, 6}, 3, 4.0);
    site({7, 1, 2}, 3, 2.0);
    site({1, 0, 7}, -2, 6.0);
    site({3, 0}, -2, 3.0);
    return global_instability_index(sites, q.size());
  };
  PointMeasure gii = gii_of(all);
  EXPECT_GT(gii.value, 0.05);
  expect_gradient([&](const std::vector<Point3d>& q) { return gii_of(q).value; }, all, gii.gradient, 1e-6);

  std::vector<SiteDeviation> exact = {{{0.0, {Point3d{}}, {}, true}, {0}, 1.0}};
  EXPECT_EQ(global_instability_index(exact, 1).value, 0.0);
  std::vector<SiteDeviation> beyond = {{{0.5, {Point3d{}}, {}, true}, {3}, 1.0}};
  EXPECT_THROW(global_instability_index(beyond, 2), Error);
  std::vector<SiteDeviation> weightless = {{{0.5, {Point3d{}}, {}, true}, {0}, 0.0}};
  EXPECT_THROW(global_instability_index(weightless, 1), Error);
}

// Si in quartz, Mg in spinel and the anions by the table's first entries;
// Al in spinel with Allmann's parameters (ref. o): the table's first Al-O
// entry (ref. e, R0 1.620) gives it only about 2.6.
TEST(BondValence, QuartzAndSpinelNearTheirFormalValences) {
  using namespace testing_support;
  const BondValenceTable& table = bundled_bond_valence_table();
  for (const TestStructure& s : {quartz(), spinel()})
    for (std::size_t i = 0; i < s.atoms.size(); ++i) {
      const char* reference = s.atoms[i].element == "Al" ? "o" : "";
      std::vector<Point3d> points = {position(s, i)};
      std::vector<ValenceParameters> bonds;
      for (const TestNeighbour& n : bonded_neighbours(s, i)) {
        const TestAtom& a = s.atoms[i];
        const TestAtom& b = s.atoms[n.atom];
        const TestAtom& cation = a.oxidation_state > 0 ? a : b;
        const TestAtom& anion = a.oxidation_state > 0 ? b : a;
        const BondValenceParameter* p =
            find_bond_valence_parameter(table, cation.element, cation.oxidation_state, anion.element, anion.oxidation_state, reference);
        ASSERT_TRUE(p);
        points.push_back(n.position);
        bonds.push_back({p->r0, p->b});
      }
      PointMeasure deviation = valence_deviation(points, bonds, s.atoms[i].oxidation_state);
      EXPECT_LT(std::abs(deviation.value), 0.25) << s.name << " " << s.atoms[i].label;
    }
}
