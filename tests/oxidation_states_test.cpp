#include "geometry/oxidation_states.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "tests/support/inorganic_structures.hpp"

using namespace vesk;

namespace {

// The cations of a test structure as the assignment sees them: each
// state's sum over the bonded anions at their table states, from the
// table's first entry for the pair (NaN without one).
std::vector<CationChoice> cations_of(const testing_support::TestStructure& s, double& fixed_charge) {
  const BondValenceTable& table = bundled_bond_valence_table();
  std::vector<CationChoice> cations;
  fixed_charge = 0;
  for (std::size_t i = 0; i < s.atoms.size(); ++i) {
    const testing_support::TestAtom& atom = s.atoms[i];
    const double weight = atom.occupancy * testing_support::multiplicity(s, i);
    if (atom.oxidation_state < 0) {
      fixed_charge += weight * *anion_state(table, atom.element);
      continue;
    }
    CationChoice choice{atom.element, weight, {}, {}};
    for (int q : candidate_oxidation_states(table, atom.element)) {
      if (q <= 0) continue;
      double sum = 0;
      for (const testing_support::TestNeighbour& n : testing_support::bonded_neighbours(s, i)) {
        const testing_support::TestAtom& anion = s.atoms[n.atom];
        const BondValenceParameter* p =
            find_bond_valence_parameter(table, atom.element, q, anion.element, *anion_state(table, anion.element));
        sum += p ? anion.occupancy * std::exp((p->r0 - n.distance) / p->b) : std::nan("");
      }
      choice.states.push_back(q);
      choice.sums.push_back(sum);
    }
    cations.push_back(choice);
  }
  return cations;
}

}  // namespace

TEST(OxidationStates, ChargedTypeSymbols) {
  auto charge = [](const char* s) { return parse_type_symbol(s)->charge; };
  EXPECT_EQ(parse_type_symbol("Fe+3")->element, "Fe");
  EXPECT_EQ(charge("Fe+3"), 3);
  EXPECT_EQ(charge("Fe3+"), 3);
  EXPECT_EQ(charge("O-2"), -2);
  EXPECT_EQ(charge("O2-"), -2);
  EXPECT_EQ(charge("Na+"), 1);
  EXPECT_EQ(charge("Cl-"), -1);
  EXPECT_EQ(parse_type_symbol("fe+2")->element, "Fe");
  EXPECT_FALSE(charge("Fe"));
  EXPECT_FALSE(charge("Si1"));
  EXPECT_EQ(parse_type_symbol("Si1")->element, "Si");
  EXPECT_FALSE(parse_type_symbol(""));
  EXPECT_FALSE(parse_type_symbol("3Fe"));
  EXPECT_FALSE(parse_type_symbol("Fe+3+"));
  EXPECT_FALSE(parse_type_symbol("Fe+x"));
  EXPECT_FALSE(parse_type_symbol("Fe2+3"));
  // Read strictly, within the oxidation states OXID takes: no guess at what was meant.
  for (const char* bad : {"Mn3.5+", "Mn3+a", "Mn33+", "Mn300+", "Mn+9", "O-10", "Fe++"}) {
    EXPECT_FALSE(parse_type_symbol(bad)) << bad;
    EXPECT_FALSE(type_symbol_charge_fault(bad).empty()) << bad;
  }
  for (const char* good : {"Mn8+", "O-8", "Mn0+", "Fe", "OW", "SI4+", "Cl1a"}) EXPECT_EQ(type_symbol_charge_fault(good), "") << good;
}

TEST(OxidationStates, CandidatesComeFromTheTable) {
  const BondValenceTable& table = bundled_bond_valence_table();
  std::vector<int> o = candidate_oxidation_states(table, "O");
  EXPECT_NE(std::find(o.begin(), o.end(), -2), o.end());
  std::vector<int> fe = candidate_oxidation_states(table, "Fe");
  for (int q : {2, 3}) EXPECT_NE(std::find(fe.begin(), fe.end(), q), fe.end()) << q;
  EXPECT_EQ(std::find(fe.begin(), fe.end(), 9), fe.end());
  EXPECT_TRUE(candidate_oxidation_states(table, "Xx").empty());
}

TEST(OxidationStates, AnionsByTheirTableStatesAndElectronegativity) {
  const BondValenceTable& table = bundled_bond_valence_table();
  const std::pair<const char*, int> anions[] = {{"O", -2}, {"N", -3}, {"F", -1}, {"Cl", -1}, {"S", -2},
                                                {"Se", -2}, {"P", -3}, {"C", -4}, {"H", -1}, {"I", -1}};
  for (const auto& [element, state] : anions) EXPECT_EQ(anion_state(table, element), state) << element;
  EXPECT_FALSE(anion_state(table, "Fe"));
  EXPECT_FALSE(anion_state(table, "Si"));
  // Pauling's order: F 3.98 > O 3.44 > Cl 3.16 > N 3.04 > Br > I > S > C > H > P; metals below all.
  const char* const order[] = {"F", "O", "Cl", "N", "Br", "I", "S", "C", "H", "P"};
  for (std::size_t k = 0; k + 1 < std::size(order); ++k)
    EXPECT_GT(electronegativity_rank(order[k]), electronegativity_rank(order[k + 1])) << order[k];
  EXPECT_EQ(electronegativity_rank("Si"), 0);
  EXPECT_EQ(electronegativity_rank("Fe"), 0);
  EXPECT_GT(electronegativity_rank("Te"), 0);
}

TEST(OxidationStates, CationsTakeTheirBestFittingBalancedStates) {
  for (const testing_support::TestStructure& s : {testing_support::quartz(), testing_support::spinel()}) {
    double fixed = 0;
    const std::vector<CationChoice> cations = cations_of(s, fixed);
    const CationStates result = assign_cation_states(cations, fixed, true);
    std::size_t c = 0;
    for (const testing_support::TestAtom& atom : s.atoms) {
      if (atom.oxidation_state <= 0) continue;
      EXPECT_EQ(result.states[c++], atom.oxidation_state) << s.name << " " << atom.label;
    }
    EXPECT_FALSE(result.per_site);
    EXPECT_NEAR(result.charge, 0, 1e-9) << s.name;
  }

  // Fe3O4-like: the spinel's sites all iron, bond lengths chosen so that
  // Fe(II) on the tetrahedral and Fe(III) on the octahedral site have exact
  // sums. One iron state for both fits best as Fe(III) but leaves a
  // charge; each site its own best state balances it.
  const BondValenceTable& table = bundled_bond_valence_table();
  const BondValenceParameter* fe2 = find_bond_valence_parameter(table, "Fe", 2, "O", -2);
  const BondValenceParameter* fe3 = find_bond_valence_parameter(table, "Fe", 3, "O", -2);
  ASSERT_TRUE(fe2 && fe3);
  const double tetrahedral = fe2->r0 - fe2->b * std::log(0.5), octahedral = fe3->r0 - fe3->b * std::log(0.5);
  auto sums = [&](int bonds, double distance) {
    CationChoice c{"Fe", 0, {2, 3}, {}};
    for (const BondValenceParameter* p : {fe2, fe3}) c.sums.push_back(bonds * std::exp((p->r0 - distance) / p->b));
    return c;
  };
  std::vector<CationChoice> iron = {sums(4, tetrahedral), sums(6, octahedral)};
  iron[0].weight = 8;
  iron[1].weight = 16;
  const CationStates mixed = assign_cation_states(iron, 32 * -2, true);
  EXPECT_EQ(mixed.states, (std::vector<int>{2, 3}));
  EXPECT_TRUE(mixed.per_site);
  EXPECT_NEAR(mixed.charge, 0, 1e-9);
  // Without the balance asked for (a phase with molecules), each element's best fit.
  const CationStates unbalanced = assign_cation_states(iron, 32 * -2, false);
  EXPECT_EQ(unbalanced.states[0], unbalanced.states[1]);
  EXPECT_FALSE(unbalanced.per_site);
  // A charge no state can balance is left as it is, and said.
  const CationStates short_of_anions = assign_cation_states(iron, 100 * -2, true);
  EXPECT_EQ(short_of_anions.states[0], short_of_anions.states[1]);
  EXPECT_LT(short_of_anions.charge, -1);

  // The single changes towards balance: two Fe sites fitting Fe(III) a
  // little better, in a cell whose anions ask for Fe(II) on one of them.
  std::vector<CationChoice> nearly = {{"Fe", 1, {2, 3}, {2.7, 2.7}}, {"Fe", 1, {2, 3}, {2.6, 2.6}}};
  const CationStates repaired = assign_cation_states(nearly, -5, true);
  EXPECT_EQ(repaired.states, (std::vector<int>{3, 2}));  // the site that fits Fe(II) better gives way
  EXPECT_NEAR(repaired.charge, 0, 1e-9);

  // A state without a finite sum is never taken; none at all gives 0.
  const CationStates none = assign_cation_states(std::vector<CationChoice>{{"Xx", 1, {}, {}}}, 0, false);
  EXPECT_EQ(none.states, (std::vector<int>{0}));
  const CationStates partial = assign_cation_states(
      std::vector<CationChoice>{{"Fe", 1, {2, 3}, {std::nan(""), 3.1}}}, -3, true);
  EXPECT_EQ(partial.states, (std::vector<int>{3}));
}
