// The refinement instructions cif2exp reads: parameter codes, riding atoms
// and their pivots, continuation lines and remarks, the two forms of SFAC,
// DISP, HKLF's scale and matrix; free variables, shared parameters and
// distance restraints; TWIN's domains and BASF, part suffixes (C1^a) in
// restraints and constraints; rigid pentagons and hexagons; what it does not
// rebuild named once each;
// records that do not read named by their line. And the HKLF 4 reflections
// with Fortran's reading of a field without a decimal point.
#include <gtest/gtest.h>

#include "cif2exp/reflection_data.hpp"
#include "cif2exp/res_instructions.hpp"
#include "recio/error.hpp"

namespace {

using cif2exp::read_res_instructions;
using cif2exp::ResInstructions;

// Each text is refused with exactly its message.
template <std::size_t N>
void expect_refused(const std::pair<std::string, std::string> (&refused)[N]) {
  for (const auto& [bad, message] : refused) {
    try {
      read_res_instructions(bad, "t.res");
      ADD_FAILURE() << "no error for " << bad;
    } catch (const vesk::Error& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
}

const char* const kRes =
    "TITL test in P2(1)/c\n"
    "CELL 0.71073 7.1 9.2 11.3 90 104.2 90\n"
    "ZERR 4 0.001 0.001 0.001 0 0.01 0\n"
    "LATT 1\n"
    "SYMM -X, 0.5+Y, 0.5-Z\n"
    "SFAC C H\n"
    "SFAC FE 11.7695 4.7611 7.3573 0.3072 3.5222 15.3535 2.3045 76.8805 1.0369 0.301 0.845 1 1 55.8\n"
    "DISP C 0.0033 0.0016\n"
    "UNIT 24 32 2\n"
    "REM a remark that ends in =\n"
    "L.S. 4\n"
    "   an indented line is a comment\n"
    "WGHT 0.0421 0.3126\n"
    "EXTI 0.0032\n"
    "OMIT 1 0 0\n"
    "OMIT -2 55\n"
    "FVAR 1.2345\n"
    "FE1 3 0.5 0.0 0.5 10.5 0.021 0.019 =\n"
    "   0.025 0.001 -0.003 0.002\n"
    "C1 1 0.2134 0.1123 10.25 11.0 0.031\n"
    "AFIX 137\n"
    "H1A 2 0.2201 0.1501 0.3001 11.0 -1.5\n"
    "H1B 2 0.2302 0.1602 0.3102 11.0 -1.5\n"
    "AFIX 0\n"
    "C2 1 0.3111 0.2222 0.3333 0.75 0.035 ! occupancy refined\n"
    "HKLF 4 2.0 0 1 0 1 0 0 0 0 -1\n"
    "Q1 1 0.1 0.1 0.1 11.0 0.05 1.2\n"
    "END\n";

TEST(ResInstructions, ParametersRidingAtomsAndDataInstructions) {
  const ResInstructions res = read_res_instructions(kRes, "t.res");
  EXPECT_TRUE(res.unsupported.empty());
  EXPECT_DOUBLE_EQ(res.wavelength, 0.71073);
  EXPECT_DOUBLE_EQ(res.cell[4], 104.2);
  EXPECT_EQ(res.latt, 1);
  ASSERT_EQ(res.symm.size(), 1u);
  ASSERT_EQ(res.sfac.size(), 3u);
  EXPECT_TRUE(res.sfac[0].dispersion);
  EXPECT_DOUBLE_EQ(res.sfac[0].f_double_prime, 0.0016);
  EXPECT_FALSE(res.sfac[1].dispersion);
  EXPECT_FALSE(res.sfac[2].tabulated);
  EXPECT_DOUBLE_EQ(res.sfac[2].coefficients[1], 7.3573);  // a2, after a1 b1
  EXPECT_DOUBLE_EQ(res.sfac[2].coefficients[4], 4.7611);  // b1
  EXPECT_DOUBLE_EQ(res.sfac[2].f_prime, 0.301);
  EXPECT_DOUBLE_EQ(res.wght_a, 0.0421);
  EXPECT_TRUE(res.exti);
  EXPECT_EQ(res.omitted, (std::vector<std::array<int, 3>>{{1, 0, 0}}));
  EXPECT_DOUBLE_EQ(res.two_theta_max, 55);
  EXPECT_EQ(res.fvar, std::vector<double>{1.2345});
  EXPECT_EQ(res.hklf, 4);
  EXPECT_DOUBLE_EQ(res.hklf_scale, 2.0);
  EXPECT_DOUBLE_EQ(res.hklf_matrix[1], 1.0);
  EXPECT_DOUBLE_EQ(res.hklf_matrix[8], -1.0);
  EXPECT_EQ(res.rotating_groups, 1);

  // The Q peak after HKLF is no atom; the continuation is FE1's Uij.
  ASSERT_EQ(res.atoms.size(), 5u);
  const cif2exp::ResAtom& fe = res.atoms[0];
  EXPECT_TRUE(fe.anisotropic);
  EXPECT_DOUBLE_EQ(fe.sof, 0.5);
  EXPECT_TRUE(fe.sof_fixed);
  EXPECT_FALSE(fe.x_fixed[0]);
  // SHELXL's U11 U22 U33 U23 U13 U12 in the CIF's order U11 U22 U33 U12 U13 U23.
  EXPECT_EQ(fe.u, (std::array<double, 6>{0.021, 0.019, 0.025, 0.002, -0.003, 0.001}));
  const cif2exp::ResAtom& c1 = res.atoms[1];
  EXPECT_TRUE(c1.x_fixed[2]);
  EXPECT_DOUBLE_EQ(c1.x[2], 0.25);
  EXPECT_EQ(c1.pivot, -1);
  for (int h : {2, 3}) {
    EXPECT_EQ(res.atoms[static_cast<std::size_t>(h)].pivot, 1);
    EXPECT_EQ(res.atoms[static_cast<std::size_t>(h)].u_pivot, 1);  // the last atom before that is no hydrogen
    EXPECT_DOUBLE_EQ(res.atoms[static_cast<std::size_t>(h)].riding_u, 1.5);
  }
  EXPECT_EQ(res.atoms[4].pivot, -1);
  EXPECT_FALSE(res.atoms[4].sof_fixed);
  EXPECT_DOUBLE_EQ(res.atoms[4].sof, 0.75);
}

TEST(ResInstructions, WhatIsNotRebuiltIsNamedOnceWithItsCountAndFirstLine) {
  std::string text = kRes;
  text.insert(text.find("FVAR"), "HFIX 43 C1\nSADI C1 C2 C1 H1A_$1\nHFIX 23 C1\nBASF 0.3\n");
  text.insert(text.find("HKLF"), "C3 1 21.0 0.2 0.3 11.0 0.04\nAFIX 116\nPART 0\nBLOC 1 C1\nDFIX -2.5 C1 C2\nCHIV C1\nSADI\nDANG 2.5 C1_$2 C2\n");
  const ResInstructions res = read_res_instructions(text, "t.res");
  ASSERT_EQ(res.unsupported.size(), 9u);
  EXPECT_EQ(res.unsupported[0].line, 17);
  EXPECT_EQ(res.unsupported[0].count, 2);
  const char* const expected[] = {"HFIX",
                                  "SADI with symmetry images or elements",
                                  "free variables on coordinates or U^ij",
                                  "AFIX 116",
                                  "BLOC",  // an instruction, though an atom's second word is a number too
                                  "DFIX with a negative distance",
                                  "CHIV",
                                  "DANG with symmetry images or elements",
                                  "BASF without TWIN"};
  for (std::size_t k = 0; k < res.unsupported.size(); ++k) EXPECT_EQ(res.unsupported[k].what, expected[k]);
  EXPECT_EQ(res.unsupported[8].line, 20);
  // A SADI without atoms restrains nothing, and says so.
  EXPECT_NE(std::find(res.notes.begin(), res.notes.end(), "SADI (line 36) names no atoms: it restrains nothing"),
            res.notes.end());
}

TEST(ResInstructions, TwinDomainsTheirFractionsAndPartSuffixes) {
  // TWIN R N: R^k for k < N; negative N: R^k for k < |N| / 2, then their
  // opposites; without R the inversion. BASF codes as any parameter.
  using M = std::array<int, 9>;
  const M one{1, 0, 0, 0, 1, 0, 0, 0, 1}, inversion{-1, 0, 0, 0, -1, 0, 0, 0, -1};
  const M r{0, 1, 0, 1, 0, 0, 0, 0, -1}, minus_r{0, -1, 0, -1, 0, 0, 0, 0, 1};
  const M three{0, -1, 0, 1, -1, 0, 0, 0, 1}, three_squared{-1, 1, 0, -1, 0, 0, 0, 0, 1};
  const struct {
    const char* twin;
    std::vector<M> domains;
    std::vector<double> basf;
    std::vector<bool> fixed;
  } cases[] = {
      {"TWIN\nBASF 0.15695\n", {one, inversion}, {0.15695}, {false}},
      {"TWIN -1 0 0 0 -1 0 0 0 -1 2\n", {one, inversion}, {}, {}},
      {"TWIN 0 1 0 1 0 0 0 0 -1\nBASF 10.3\n", {one, r}, {0.3}, {true}},
      {"TWIN 0 1 0 1 0 0 0 0 -1 -4\nBASF 0.2 10.15 0.3\n", {one, r, inversion, minus_r}, {0.2, 0.15, 0.3}, {false, true, false}},
      {"TWIN 0 -1 0 1 -1 0 0 0 1 3\nBASF 0.3 0.2\n", {one, three, three_squared}, {0.3, 0.2}, {false, false}},
  };
  for (const auto& c : cases) {
    const ResInstructions res = read_res_instructions(std::string("CELL 0.71073 7 7 9 90 90 120\n") + c.twin, "t.res");
    EXPECT_TRUE(res.unsupported.empty()) << c.twin;
    EXPECT_EQ(res.twin_domains, c.domains) << c.twin;
    ASSERT_EQ(res.basf.size(), c.basf.size()) << c.twin;
    for (std::size_t k = 0; k < c.basf.size(); ++k) EXPECT_NEAR(res.basf[k], c.basf[k], 1e-12) << c.twin;
    EXPECT_EQ(res.basf_fixed, c.fixed) << c.twin;
  }
  const ResInstructions fractional = read_res_instructions("TWIN 1 0 0 0 1 0 0.5 0 -1\n", "t.res");
  ASSERT_EQ(fractional.unsupported.size(), 1u);
  EXPECT_EQ(fractional.unsupported[0].what, "TWIN with a matrix that is not whole numbers");

  // C1 in two parts under one name: C1^a is PART 1's, C1^b PART 2's, in
  // pairs, ranges and constraints alike; a plain name is the first atom.
  const char* const text =
      "SFAC C\n"
      "SADI C1^a C2^a C1^b C2^b\n"
      "EADP C1^A C1^b\n"
      "SIMU C1^a > C2^b\n"
      "RIGU C1 C0\n"
      "FVAR 1 0.6\n"
      "C0 1 0.1 0.2 0.3 11 0.02\n"
      "PART 1 21\n"
      "C1 1 0.2 0.2 0.3 21 0.02\n"
      "C2 1 0.3 0.2 0.3 21 0.02\n"
      "PART 2 -21\n"
      "C1 1 0.2 0.3 0.3 -21 0.02\n"
      "C2 1 0.3 0.3 0.3 -21 0.02\n"
      "PART 0\n"
      "HKLF 4\n";
  const ResInstructions res = read_res_instructions(text, "t.res");
  EXPECT_TRUE(res.unsupported.empty()) << res.unsupported[0].what;
  const std::vector<int> expected[] = {{1, 2, 3, 4}, {1, 3}, {1, 2, 3, 4}, {1, 0}};
  ASSERT_EQ(res.groups.size(), 4u);
  for (std::size_t g = 0; g < 4; ++g) EXPECT_EQ(res.groups[g].atoms, expected[g]) << res.groups[g].instruction;

  const std::pair<std::string, std::string> refused[] = {
      {"TWIN 1 0 0\n", "t.res, line 1: TWIN needs nothing, or a matrix of nine numbers and the number of domains"},
      {"TWIN -1 0 0 0 -1 0 0 0 -1 -3\n", "t.res, line 1: TWIN: -3 domains: not 2 to 24 (an even number when negative)"},
      {"TWIN -1 0 0 0 -1 0 0 0 -1 1\n", "t.res, line 1: TWIN: 1 domains: not 2 to 24 (an even number when negative)"},
      {"SFAC C\nFVAR 1\nSADI C1^c C1 C1 C1\nC1 1 0.1 0.2 0.3 11 0.02\n", "t.res, line 3: SADI names C1^C, which is no atom of PART 3"},
  };
  expect_refused(refused);
}

// Disorder as the instructions write it: free variables (21 is fv(2),
// -21 is 1 - fv(2), 20.5 half of it, 31 on a Uiso), PART, EADP, EXYZ,
// SUMP, the distance restraints with their numbers, and HKLF 3.
TEST(ResInstructions, FreeVariablesConstraintsAndDistanceRestraints) {
  const char* const text =
      "CELL 0.71073 7.1 9.2 11.3 90 104.2 90\n"
      "SFAC C O\n"
      "EADP O1 o1'\n"
      "EXYZ C1 C1'\n"
      "DFIX 1.43 C1 O1 C1 O1'\n"
      "DANG 2.4 0.05 O1 O1'\n"
      "SADI 0.03 C1 O1 C1' O1'\n"
      "SUMP 1.0 0.001 1.0 2 2.0 3\n"
      "RIGU 0.0001 C1\n"
      "DELU 0.02 C1 O1\n"
      "DELU\n"
      "FVAR 1.1 0.62 0.19 0.03\n"
      "PART 1\n"
      "O1 2 0.1 0.2 0.3 21.0 0.02 0.03 0.04 0.001 0.002 0.003\n"
      "C1 1 0.2 0.3 0.4 20.5 41.0\n"
      "PART 2\n"
      "O1' 2 0.12 0.22 0.32 -21.0 0.02 0.03 0.04 0.001 0.002 0.003\n"
      "C1' 1 0.2 0.3 0.4 -30.5 0.03\n"
      "PART 0\n"
      "HKLF 3\n";
  const ResInstructions res = read_res_instructions(text, "t.res");
  EXPECT_TRUE(res.unsupported.empty()) << res.unsupported[0].what;
  EXPECT_EQ(res.hklf, 3);
  EXPECT_TRUE(res.notes.empty());
  ASSERT_EQ(res.atoms.size(), 4u);
  struct Expected {
    double sof;
    int sof_variable;
    double sof_coefficient;
    int part;
  };
  const Expected expected[] = {{0.62, 0, 1.0, 1}, {0.31, 0, 0.5, 1}, {0.38, 0, -1.0, 2}, {0.5 * (1 - 0.19), 1, -0.5, 2}};
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_NEAR(res.atoms[k].sof, expected[k].sof, 1e-12) << res.atoms[k].label;
    EXPECT_EQ(res.atoms[k].sof_free_variable, expected[k].sof_variable) << res.atoms[k].label;
    EXPECT_DOUBLE_EQ(res.atoms[k].sof_coefficient, expected[k].sof_coefficient) << res.atoms[k].label;
    EXPECT_EQ(res.atoms[k].part, expected[k].part) << res.atoms[k].label;
  }
  EXPECT_EQ(res.atoms[1].uiso_free_variable, 2);
  EXPECT_DOUBLE_EQ(res.atoms[1].uiso, 0.03);
  ASSERT_EQ(res.groups.size(), 8u);
  EXPECT_EQ(res.groups[5].instruction, "RIGU");  // one atom: no pair to restrain
  EXPECT_EQ(res.groups[5].atoms, std::vector<int>{1});
  EXPECT_EQ(res.groups[6].numbers, std::vector<double>{0.02});
  EXPECT_EQ(res.groups[6].atoms, (std::vector<int>{1, 0}));
  EXPECT_EQ(res.groups[7].atoms, (std::vector<int>{0, 1, 2, 3}));  // no atoms named: all
  EXPECT_EQ(res.groups[0].atoms, (std::vector<int>{0, 2}));  // labels in any case
  EXPECT_EQ(res.groups[1].instruction, "EXYZ");
  EXPECT_EQ(res.groups[2].numbers, std::vector<double>{1.43});
  EXPECT_EQ(res.groups[2].atoms, (std::vector<int>{1, 0, 1, 2}));
  EXPECT_EQ(res.groups[3].numbers, (std::vector<double>{2.4, 0.05}));
  EXPECT_EQ(res.groups[4].numbers, std::vector<double>{0.03});
  ASSERT_EQ(res.sumps.size(), 1u);
  EXPECT_EQ(res.sumps[0].free_variables, (std::vector<int>{0, 1}));
  EXPECT_EQ(res.sumps[0].coefficients, (std::vector<double>{1.0, 2.0}));

  const std::pair<std::string, std::string> refused[] = {
      {"SFAC C\nDFIX 1.5 C1\n", "t.res, line 2: DFIX needs pairs of atoms after the distance"},
      {"SFAC C\nSADI C1 C2 C1\n", "t.res, line 2: SADI needs pairs of atoms"},
      {"SFAC C\nFVAR 1\nDFIX 1.5 C1 C2\nC1 1 0.1 0.2 0.3 11 0.02\n", "t.res, line 3: DFIX names C2, which is no atom of the instructions"},
      {"SFAC C\nFVAR 1 0.5\nC1 1 0.1 0.2 0.3 31 0.02\n", "t.res, line 3: atom C1 refers to free variable 3, but FVAR gives 2"},
      // Numbers past any the format holds where it wants a whole one.
      {"PART 2147483648\n", "t.res, line 1: PART 2147483648: a whole number up to 1000000 is needed"},
      {"AFIX 1e30\n", "t.res, line 1: AFIX 1e30: a whole number up to 1000000 is needed"},
      {"SUMP 1 0.01 1 2.5\n", "t.res, line 1: SUMP 1 0.01 1 2.5: a whole number up to 1000000 is needed"},
      {"SFAC C\nFVAR 1\nC1 1 0.1 0.2 0.3 1e30 0.02\n", "t.res, line 3: the parameter code 1e+30 names no free variable there can be"},
  };
  expect_refused(refused);
}

// Restraints on displacement parameters and planarity: ranges "A > B"
// and "A < B" in the order of the atoms, every atom when none is named;
// negative parts, PART with an occupancy its atoms carry, BUMP read over.
TEST(ResInstructions, AtomRangesPartsAndDisplacementRestraints) {
  const char* const text =
      "CELL 0.71073 7.1 9.2 11.3 90 104.2 90\n"
      "SFAC C O\n"
      "SIMU 0.02 0.04 1.8 C1 > C4\n"
      "RIGU C4 < C2 O1\n"
      "ISOR\n"
      "FLAT 0.05 C1 C2 > C4 O1\n"
      "BUMP\n"
      "FVAR 1.1\n"
      "C1 1 0.1 0.2 0.3 11.0 0.02\n"
      "C2 1 0.2 0.2 0.3 11.0 0.02\n"
      "C3 1 0.3 0.2 0.3 11.0 0.02\n"
      "C4 1 0.4 0.2 0.3 11.0 0.02\n"
      "PART -1 10.5\n"
      "O1 2 0.5 0.2 0.3 10.5 0.02\n"
      "PART 0\n"
      "HKLF 4\n";
  const ResInstructions res = read_res_instructions(text, "t.res");
  EXPECT_TRUE(res.unsupported.empty()) << res.unsupported[0].what;
  ASSERT_EQ(res.groups.size(), 4u);
  const std::vector<int> expected[] = {{0, 1, 2, 3}, {3, 2, 1, 4}, {0, 1, 2, 3, 4}, {0, 1, 2, 3, 4}};
  const char* const names[] = {"SIMU", "RIGU", "ISOR", "FLAT"};
  for (std::size_t g = 0; g < 4; ++g) {
    EXPECT_EQ(res.groups[g].instruction, names[g]);
    EXPECT_EQ(res.groups[g].atoms, expected[g]) << names[g];
  }
  EXPECT_EQ(res.groups[0].numbers, (std::vector<double>{0.02, 0.04, 1.8}));
  EXPECT_EQ(res.atoms[4].part, -1);
  EXPECT_DOUBLE_EQ(res.atoms[4].sof, 0.5);
  ASSERT_EQ(res.notes.size(), 1u);
  EXPECT_EQ(res.notes[0].rfind("BUMP (line 7) read over", 0), 0u) << res.notes[0];

  std::string other(text);
  other.replace(other.find("O1 2 0.5 0.2 0.3 10.5"), 20, "O1 2 0.5 0.2 0.3 11.0");
  const ResInstructions mismatched = read_res_instructions(other, "t.res");
  ASSERT_EQ(mismatched.unsupported.size(), 1u);
  EXPECT_EQ(mismatched.unsupported[0].what, "PART with an occupancy its atoms do not carry");

  const std::pair<std::string, std::string> refused[] = {
      {"SFAC C\nFLAT C1 C2 C3\n", "t.res, line 2: FLAT needs at least four atoms"},
      {"SFAC C\nSADI C1 > C4\n", "t.res, line 2: SADI names pairs of atoms, not ranges"},
      {"SFAC C\nSIMU C1 >\n", "t.res, line 2: SIMU: a range needs an atom on each side"},
      {"SFAC C\nFVAR 1\nSIMU C2 > C1\nC1 1 0.1 0.2 0.3 11 0.02\nC2 1 0.2 0.2 0.3 11 0.02\n",
       "t.res, line 3: SIMU range C2 > C1 runs against the order of the atoms"},
  };
  expect_refused(refused);
}

// A rigid hexagon whose atoms go on after a riding hydrogen atom (AFIX 65),
// and a pentagon after it: each group holds its atoms in order, the
// hydrogen rides on the ring atom before it and is in no group.
TEST(ResInstructions, RigidGroupsGoOnAfterTheAtomsBetween) {
  std::string text = kRes;
  text.insert(text.find("HKLF"),
              "AFIX 66\nR1 1 0.1 0.1 0.1 11 0.05\nR2 1 0.2 0.1 0.1 11 0.05\nAFIX 43\nH2 2 0.2 0.2 0.1 11 -1.2\n"
              "AFIX 65\nR3 1 0.3 0.1 0.1 11 0.05\nR4 1 0.3 0.2 0.1 11 0.05\nAFIX 0\nC9 1 0.5 0.5 0.5 11 0.05\n"
              "AFIX 65\nR5 1 0.3 0.3 0.1 11 0.05\nR6 1 0.2 0.3 0.1 11 0.05\n"
              "AFIX 56\nP1 1 0.6 0.1 0.1 11 0.05\nP2 1 0.6 0.2 0.1 11 0.05\nP3 1 0.6 0.3 0.1 11 0.05\n"
              "P4 1 0.6 0.4 0.1 11 0.05\nP5 1 0.6 0.5 0.1 11 0.05\nAFIX 0\n");
  const ResInstructions res = read_res_instructions(text, "t.res");
  EXPECT_TRUE(res.unsupported.empty());
  ASSERT_EQ(res.rigid_groups.size(), 2u);
  auto labels = [&](const cif2exp::ResRigidGroup& g) {
    std::string out;
    for (int a : g.atoms) out += res.atoms[static_cast<std::size_t>(a)].label + " ";
    return out;
  };
  EXPECT_EQ(labels(res.rigid_groups[0]), "R1 R2 R3 R4 R5 R6 ");
  EXPECT_EQ(res.rigid_groups[0].afix, 66);
  EXPECT_EQ(res.rigid_groups[0].line, 26);
  EXPECT_EQ(labels(res.rigid_groups[1]), "P1 P2 P3 P4 P5 ");
  for (const cif2exp::ResAtom& a : res.atoms) {
    const bool ring = a.label[0] == 'R' || a.label[0] == 'P';
    EXPECT_EQ(a.rigid_group >= 0, ring) << a.label;
    EXPECT_EQ(a.pivot, a.label == "H2" ? 6 : a.label[0] == 'H' ? 1 : -1) << a.label;
  }
  // Groups that are not whole, and AFIX m5 without a group to go on with.
  const std::pair<std::string, std::string> refused[] = {
      {"SFAC C\nAFIX 66\nC1 1 0.1 0.1 0.1\nC2 1 0.2 0.1 0.1\nAFIX 0\n",
       "t.res: the rigid group of AFIX 66 (line 2) holds 2 of its 6 atoms"},
      {"SFAC C\nAFIX 56\nC1 1 0.1 0.1 0.1\nAFIX 66\n", "t.res, line 4: the rigid group of AFIX 56 (line 2) holds 1 of its 5 atoms"},
      {"SFAC C\nAFIX 65\nC1 1 0.1 0.1 0.1\n", "t.res, line 2: AFIX 65 goes on with no rigid group AFIX 66"},
      {"SFAC C\nAFIX 56\nC1 1 0.1 0.1 0.1\nAFIX 65\n", "t.res, line 4: AFIX 65 goes on with no rigid group AFIX 66"},
      {"SFAC C\nAFIX 56\nC1 1 0.1 0.1 0.1\nC2 1 0.1 0.1 0.1\nC3 1 0.1 0.1 0.1\nC4 1 0.1 0.1 0.1\n"
       "C5 1 0.1 0.1 0.1\nC6 1 0.1 0.1 0.1\n",
       "t.res, line 8: atom C6 is one more than its rigid group holds"},
  };
  expect_refused(refused);
}

// SAME: the named atoms, a range holding those other than hydrogen, and
// as many atoms other than hydrogen as follow it, hydrogen skipped.
TEST(ResInstructions, SameNamesAtomsAndTakesTheAtomsThatFollow) {
  const std::string head =
      "CELL 0.71073 7.1 9.2 11.3 90 104.2 90\nSFAC C H N\nFVAR 1.1\n"
      "N1 3 0.1 0.2 0.3 11.0 0.02\nH1 2 0.1 0.25 0.3 11.0 -1.2\nC1 1 0.2 0.2 0.3 11.0 0.02\n"
      "C2 1 0.3 0.2 0.3 11.0 0.02\n";
  const std::string tail =
      "N2 3 0.1 0.2 0.6 11.0 0.02\nH2 2 0.1 0.25 0.6 11.0 -1.2\nC3 1 0.2 0.2 0.6 11.0 0.02\n"
      "AFIX 23\nH3A 2 0.2 0.3 0.6 11.0 -1.2\nH3B 2 0.2 0.1 0.6 11.0 -1.2\nAFIX 0\n"
      "C4 1 0.3 0.2 0.6 11.0 0.02\nHKLF 4\n";
  struct Case {
    std::string same;
    std::vector<int> named, following;
    std::vector<double> numbers;
  };
  // Atoms: N1 0, H1 1, C1 2, C2 3, N2 4, H2 5, C3 6, H3A 7, H3B 8, C4 9.
  const Case cases[] = {
      {"SAME N1 > C2", {0, 2, 3}, {4, 6, 9}, {}},
      {"SAME 0.01 0.03 C2 < N1", {3, 2, 0}, {4, 6, 9}, {0.01, 0.03}},
      {"SAME C1 N1", {2, 0}, {4, 6}, {}},
  };
  for (const Case& c : cases) {
    const ResInstructions res = read_res_instructions(head + c.same + "\n" + tail, "t.res");
    EXPECT_TRUE(res.unsupported.empty()) << c.same;
    ASSERT_EQ(res.groups.size(), 1u) << c.same;
    EXPECT_EQ(res.groups[0].instruction, "SAME");
    EXPECT_EQ(res.groups[0].atoms, c.named) << c.same;
    EXPECT_EQ(res.groups[0].following, c.following) << c.same;
    EXPECT_EQ(res.groups[0].numbers, c.numbers) << c.same;
  }
  const std::pair<std::string, std::string> refused[] = {
      {head + "SAME N1 H1 C1\n" + tail, "t.res, line 8: SAME names the hydrogen atom H1"},
      {head + "N2 3 0.1 0.2 0.6 11.0 0.02\nSAME N1 > C2\nC3 1 0.2 0.2 0.6 11.0 0.02\nHKLF 4\n",
       "t.res, line 9: SAME names 3 atoms, but only 1 atoms other than hydrogen follow it"},
  };
  expect_refused(refused);
}

// Residues: RESI class n, RESI n class and RESI 0; an atom of residue n is
// labelled NAME_n (as the CIF labels it); an instruction with a class
// applies to every residue of it, names resolved within each; C1_2 names
// residue 2's, C1_* every residue's; SAME_class makes the residues of the
// class the same as the first one after it, atom by name.
TEST(ResInstructions, ResiduesNameTheirAtomsAndTakeTheirClassesInstructions) {
  const std::string text =
      "CELL 0.71073 7.1 9.2 11.3 90 104.2 90\nSFAC C O H\nFVAR 1.1\n"
      "SADI_CF O1 C1 O1 C2\nSAME_CF O1 > C2\nRIGU_2 C1 C2\nSADI O1_* C9\nEADP C1_1 C1_3\n"
      "C9 1 0.5 0.5 0.5 11.0 0.02\n"                                                        // 0
      "RESI 1 CF\nO1 2 0.1 0.2 0.3 11.0 0.02\nH1 3 0.1 0.3 0.3 11.0 -1.2\nC1 1 0.2 0.2 0.3 11.0 0.02\n"
      "C2 1 0.3 0.2 0.3 11.0 0.02\nRESI 0\n"                                                  // 1-4
      "RESI CF 2\nO1 2 0.1 0.2 0.6 11.0 0.02\nC1 1 0.2 0.2 0.6 11.0 0.02\nC2 1 0.3 0.2 0.6 11.0 0.02\n"  // 5-7
      "RESI 3 XY\nO1 2 0.1 0.7 0.6 11.0 0.02\nC1 1 0.2 0.7 0.6 11.0 0.02\nC2 1 0.3 0.7 0.6 11.0 0.02\n"  // 8-10
      "RESI 0\nHKLF 4\n";
  const ResInstructions res = read_res_instructions(text, "t.res");
  EXPECT_TRUE(res.unsupported.empty()) << res.unsupported[0].what;
  EXPECT_EQ(res.atoms[1].label, "O1_1");
  EXPECT_EQ(res.atoms[1].name, "O1");
  EXPECT_EQ(res.atoms[5].residue, 2);
  EXPECT_EQ(res.atoms[5].residue_class, "CF");
  EXPECT_EQ(res.atoms[0].label, "C9");
  struct Expected {
    const char* instruction;
    std::vector<int> atoms, following;
  };
  const Expected expected[] = {
      {"SADI", {1, 3, 1, 4}, {}},          // residue 1 (class CF)
      {"SADI", {5, 6, 5, 7}, {}},          // residue 2 (class CF); residue 3 is XY
      {"SAME", {1, 3, 4}, {5, 6, 7}},      // residue 1 the reference, hydrogen left out of the range
      {"RIGU", {6, 7}, {}},
      {"SADI", {1, 0, 5, 0, 8, 0}, {}},    // a pair for each residue with an O1
      {"EADP", {3, 9}, {}},
  };
  ASSERT_EQ(res.groups.size(), std::size(expected));
  for (std::size_t g = 0; g < std::size(expected); ++g) {
    EXPECT_EQ(res.groups[g].instruction, expected[g].instruction) << g;
    EXPECT_EQ(res.groups[g].atoms, expected[g].atoms) << g;
    EXPECT_EQ(res.groups[g].following, expected[g].following) << g;
  }
  const std::pair<std::string, std::string> refused[] = {
      {"SFAC C\nSADI_AB C1 C2\nFVAR 1\nRESI 1 CD\nC1 1 0.1 0.2 0.3 11 0.02\n",
       "t.res, line 2: SADI applies to residue AB, which the instructions do not have"},
      {"SFAC C\nFVAR 1\nRESI 1 CD\nC1 1 0.1 0.2 0.3 11 0.02\nDFIX 1.5 C1 C2\n",
       "t.res, line 5: DFIX names C2 in residue 1, which is no atom of the instructions"},
      {"SFAC C\nFVAR 1\nSAME_CD C1 C2\nRESI 1 CD\nC1 1 0.1 0.2 0.3 11 0.02\nC2 1 0.2 0.2 0.3 11 0.02\n"
       "RESI 2 CD\nC1 1 0.1 0.2 0.6 11 0.02\n",
       "t.res, line 3: SAME names C2, which residue 2 does not have"},
      {"SFAC C\nRESI CD\n", "t.res, line 2: RESI needs a residue number"},
  };
  expect_refused(refused);
}

TEST(ResInstructions, RecordsThatDoNotReadAreNamedByTheirLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"CELL 0.71 7.1 9.2 x 90 90 90\n", "t.res, line 1: CELL x is not a number"},
      {"CELL 0.71 7.1 9.2\n", "t.res, line 1: CELL needs the wavelength and six cell constants"},
      {"SFAC C\nC1 1 0.1 0.2\n", "t.res, line 2: atom C1: 2 numbers after the scattering type, not 3 to 6 or 10"},
      {"SFAC C\nC1 4 0.1 0.2 0.3\n", "t.res, line 2: atom C1 has the scattering type 4, but SFAC names 1"},
      {"SFAC C H\nH1 2 0.1 0.2 0.3 11 -1.2\n", "t.res, line 2: atom H1: its Uiso -1.2 refers to no atom before it"},
      {"AFIX 43\n", "t.res, line 1: AFIX 43 follows no atom to ride on"},
      {"LATT 9\n", "t.res, line 1: LATT needs one lattice type from -7 to 7"},
  };
  for (const auto& [text, message] : cases) {
    try {
      read_res_instructions(text, "t.res");
      ADD_FAILURE() << "no error for " << text;
    } catch (const vesk::Error& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
}

TEST(ReflectionData, Hklf4RecordsAsFortranReadsThem) {
  const std::vector<lsq::Observation> data = cif2exp::read_hklf4(
      "\n   1   2  -3  123.45    6.78   1\n  -4   0   5   12345     100\n  10  -2   0 -1.5     0.9\n"
      "   0   0   0    0.00    0.00   0\n   9   9   9  999.00   99.00\n",
      "t.hkl");
  ASSERT_EQ(data.size(), 3u);
  EXPECT_EQ(data[0].h, (lsq::Miller{1, 2, -3}));
  EXPECT_DOUBLE_EQ(data[0].intensity, 123.45);
  EXPECT_DOUBLE_EQ(data[1].intensity, 123.45);  // F8.2 without a point: the last two digits are decimals
  EXPECT_DOUBLE_EQ(data[1].sigma, 1.0);
  EXPECT_DOUBLE_EQ(data[2].intensity, -1.5);
  try {
    cif2exp::read_hklf4("   1   2   3  12.x0    1.00\n", "t.hkl");
    ADD_FAILURE() << "no error";
  } catch (const vesk::Error& e) {
    EXPECT_EQ(std::string(e.what()), "t.hkl, line 1: \"   1   2   3  12.x0    1.00\" is not a reflection (3I4, 2F8.2)");
  }
}

}  // namespace
