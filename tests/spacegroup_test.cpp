// Symbol interpretation: operator order of worked examples, the listing
// layout, the diagnostics, and robustness against arbitrary symbols.
#include "crystal/spacegroup.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "recio/units.hpp"
#include "support/run_program.hpp"

namespace {

using vesk::SGINTERP;
using vesk::SpaceGroupInfo;
using vesk::SymmetryOperator;

SpaceGroupInfo interpret(const std::string& symbol) {
  SpaceGroupInfo g;
  SGINTERP(symbol, -1, g);
  return g;
}

// An operator typed as its images, e.g. {{-1,0,0},{0,1,0},{0,0,-1}} with
// translations in twelfths.
struct Typed {
  std::array<std::array<int, 3>, 3> rows;
  std::array<int, 3> twelfths;
};

void expect_operators(const SpaceGroupInfo& g, const std::vector<Typed>& expected) {
  ASSERT_EQ(g.nsym, static_cast<int>(expected.size()));
  for (int k = 0; k < g.nsym; ++k) {
    SCOPED_TRACE("operator " + std::to_string(k + 1));
    for (int i = 1; i <= 3; ++i) {
      for (int j = 1; j <= 3; ++j) EXPECT_EQ(g.ops[k].r(i, j), expected[k].rows[i - 1][j - 1]);
      EXPECT_EQ(g.ops[k].t(i), expected[k].twelfths[i - 1]);
    }
  }
}

constexpr std::array<int, 3> X{1, 0, 0}, Y{0, 1, 0}, Z{0, 0, 1}, mX{-1, 0, 0}, mY{0, -1, 0}, mZ{0, 0, -1};
constexpr std::array<int, 3> XmY{1, -1, 0}, YmX{-1, 1, 0};

TEST(SpaceGroupSymbols, WorkedExamplesInGenerationOrder) {
  SpaceGroupInfo g = interpret("P -1");
  expect_operators(g, {{{X, Y, Z}, {0, 0, 0}}});
  EXPECT_EQ(g.centric, 1);
  EXPECT_EQ(g.laue, 1);
  EXPECT_EQ(g.general_multiplicity(), 2);

  g = interpret("P 21/c");
  expect_operators(g, {{{X, Y, Z}, {0, 0, 0}}, {{mX, Y, mZ}, {0, 6, 6}}});
  EXPECT_EQ(g.centric, 1);
  EXPECT_EQ(g.laue, 2);
  EXPECT_EQ(g.unique_axis, 2);
  EXPECT_EQ(g.general_multiplicity(), 4);
  EXPECT_EQ(g.polar, 0);

  const SpaceGroupInfo full = interpret("P 1 21/c 1");
  EXPECT_EQ(full.unique_axis, 2);
  expect_operators(full, {{{X, Y, Z}, {0, 0, 0}}, {{mX, Y, mZ}, {0, 6, 6}}});
  EXPECT_EQ(interpret("P 1 1 21/b").unique_axis, 3);
  EXPECT_EQ(interpret("P 21/b 1 1").unique_axis, 1);

  g = interpret("P n m a");
  expect_operators(g, {{{X, Y, Z}, {0, 0, 0}},
                       {{mX, Y, Z}, {6, 6, 6}},
                       {{X, mY, Z}, {0, 6, 0}},
                       {{mX, mY, Z}, {6, 0, 6}}});
  EXPECT_EQ(g.centric, 1);

  g = interpret("P 21 21 21");
  expect_operators(g, {{{X, Y, Z}, {0, 0, 0}},
                       {{X, mY, mZ}, {6, 6, 0}},
                       {{mX, Y, mZ}, {0, 6, 6}},
                       {{mX, mY, Z}, {6, 0, 6}}});
  EXPECT_EQ(g.centric, 0);
  EXPECT_EQ(g.polar, 0);

  g = interpret("I 41/a");
  expect_operators(g, {{{X, Y, Z}, {0, 0, 0}},
                       {{mY, X, Z}, {9, 3, 3}},
                       {{mX, mY, Z}, {6, 0, 6}},
                       {{Y, mX, Z}, {9, 9, 9}}});
  EXPECT_EQ(g.centric, 1);
  EXPECT_EQ(g.lattice, vesk::kI);

  g = interpret("P 31 2 1");
  expect_operators(g, {{{X, Y, Z}, {0, 0, 0}},
                       {{mY, XmY, Z}, {0, 0, 4}},
                       {{YmX, mX, Z}, {0, 0, 8}},
                       {{Y, X, mZ}, {0, 0, 0}},
                       {{mX, YmX, mZ}, {0, 0, 4}},
                       {{XmY, mY, mZ}, {0, 0, 8}}});
  EXPECT_EQ(g.centric, 0);
  EXPECT_EQ(g.laue, 9);

  g = interpret("F d d d");
  EXPECT_EQ(g.lattice, vesk::kF);
  EXPECT_EQ(g.ncent, 4);
  EXPECT_EQ(g.ops[1].r(1, 1), -1);  // the d-glide normal to x
  EXPECT_EQ(g.ops[1].t(1), 0);
  EXPECT_EQ(g.ops[1].t(2), 3);
  EXPECT_EQ(g.ops[1].t(3), 3);

  g = interpret("R 3");
  EXPECT_EQ(g.lattice, vesk::kR);
  EXPECT_EQ(g.ncent, 3);
  EXPECT_EQ(g.nsym, 3);
  EXPECT_EQ(g.unique_axis, -1);
  EXPECT_FLOAT_EQ(g.centring[1][0], 1.0f / 3.0f);
  EXPECT_FLOAT_EQ(g.centring[1][1], 2.0f / 3.0f);
  EXPECT_FLOAT_EQ(g.centring[2][2], 1.0f / 3.0f);
  EXPECT_EQ(g.polar, 4);
  EXPECT_EQ(interpret("R 3 H").laue, 8);
  EXPECT_EQ(interpret("R 3 m").laue, 9);

  g = interpret("R 3 R");
  EXPECT_EQ(g.lattice, vesk::kP);
  EXPECT_EQ(g.laue, 6);
  EXPECT_EQ(g.unique_axis, 0);
  expect_operators(g, {{{X, Y, Z}, {0, 0, 0}}, {{Z, X, Y}, {0, 0, 0}}, {{Y, Z, X}, {0, 0, 0}}});
  EXPECT_EQ(g.polar, 8);
  EXPECT_EQ(interpret("R 3 m R").laue, 7);
}

TEST(SpaceGroupSymbols, KeysAndOperationFlags) {
  const SpaceGroupInfo g = interpret("P m m m");
  ASSERT_EQ(g.nsym, 4);
  EXPECT_EQ(g.centric, 1);
  // identity 193; every diagonal operator flagged by its sign changes
  for (int k = 0; k < g.nsym; ++k) {
    const SymmetryOperator& op = g.ops[k];
    const int expected_code = 81 * 2 * op.r(1, 1) + 9 * 3 * op.r(2, 2) + 4 * op.r(3, 3);
    EXPECT_EQ(op.matrix_code(), expected_code);
    const int flag = 4 * (op.r(1, 1) < 0) + 2 * (op.r(2, 2) < 0) + (op.r(3, 3) < 0);
    EXPECT_EQ(op.flag(), flag);
  }
  const SpaceGroupInfo pnma = interpret("P n m a");
  EXPECT_EQ(pnma.ops[1].translation_key(), 144 * 6 + 12 * 6 + 6);
  EXPECT_EQ(pnma.ops[0].matrix_code(), 193);

  // Blanks are optional between letters; lower case reads as upper case; a
  // tab separates like a blank.
  const SpaceGroupInfo packed = interpret("pnma");
  EXPECT_EQ(packed.nsym, 4);
  EXPECT_EQ(packed.ops[1].translation_key(), pnma.ops[1].translation_key());
  EXPECT_EQ(interpret("P21/c").nsym, 2);
  EXPECT_EQ(interpret("P\t21/c").nsym, 2);
  EXPECT_EQ(interpret("Pmmm").nsym, 4);

  // a symbol that fills all 20 characters and ends in a digit keeps its last field
  const SpaceGroupInfo last = interpret("P           21 21 21");
  ASSERT_FALSE(last.failed());
  EXPECT_EQ(last.nsym, 4);
  EXPECT_EQ(last.centric, 0);
}

TEST(SpaceGroupSymbols, EveryReachableErrorCode) {
  struct Case {
    const char* symbol;
    int code;
  };
  const Case cases[] = {
      {"", 1},                     // blank symbol
      {"P", 1},                    // no operator field
      {"2 2 2", 2},                // lattice letter missing
      {"M m m m", 2},              // not a lattice letter
      {"R 4", 3},                  // rhombohedral without a three-fold
      {"P -m", 4},                 // minus before a letter
      {"P P", 7},                  // P as a plane
      {"P a m m", 8},              // a-glide normal to a
      {"P b", 9},                  // b-glide normal to b
      {"P m m c", 10},             // c-glide normal to c
      {"P d d d", 11},             // d-glide in P
      {"P m 4 m", 12},             // four-fold outside field 2
      {"P m 6 m", 13},             // six-fold outside field 2
      {"P 6 3 2", 15},             // six-fold with cubic three-folds: no finite group
      {"P 6 3 3", 15},
      {"P 4m m m", 16},            // letter among the rotation codes
      {"P 2/1", 17},               // no plane after "/"
      {"P 2/", 17},
      {"P -2", 19},                // 2bar
      {"P4mm", 20},                // read as P, 4m, m
      {"P 4 m", 20},
      {"P -4 3 d", 21},            // only I -4 3 d
      {"A 4/m m m", 23},           // A-centred tetragonal
      {"B 4 2 2", 23},
      {"P 6 2 3", 25},             // three-fold in field 4 of a hexagonal group
      {"P 2/n 21/m 2/a", 18},      // full symbol: location rules read first codes only
      {"A 4", 23},                 // A-centred tetragonal, one field
      {"C 3", 5},                  // centring that the axes do not allow
      {"I 6/m m m", 5},
      {"F 3 2 1", 5},
      {"A 2 3", 5},
      {"C m -3 m", 5},
      {"C 41/a", 18},              // the product check finds the conflict
      {"P 4 -1 21", 18},
      {"P 21/c *", 29},            // illegal character
      {"P 5", 0},                  // unreadable field
      {"P /m", 0},
      {"P H", 0},
      {"P .", 0},
      {"P -5", 0},
  };
  for (const Case& c : cases) {
    const SpaceGroupInfo g = interpret(c.symbol);
    EXPECT_TRUE(g.failed()) << c.symbol;
    EXPECT_EQ(g.error, c.code) << "\"" << c.symbol << "\"";
  }
  // after an error no operators are handed out
  EXPECT_EQ(interpret("P 21/c *").nsym, 0);
  // the interpretation after a translation conflict keeps its operators
  EXPECT_GT(interpret("P 2/n 21/m 2/a").nsym, 0);
  EXPECT_EQ(std::string(vesk::sgerror_message(18)), "A translation conflict between operators");
}

// Products of every pair of the full operator set stay in the set.
bool closed_group(const SpaceGroupInfo& g) {
  using Seitz = std::tuple<std::array<int, 9>, std::array<int, 3>>;
  std::vector<Seitz> all;
  std::set<Seitz> set;
  for (int c = 0; c < g.ncent; ++c)
    for (int s = 0; s <= g.centric; ++s)
      for (int k = 0; k < g.nsym; ++k) {
        Seitz e;
        for (int i = 0; i < 3; ++i) {
          for (int j = 0; j < 3; ++j) std::get<0>(e)[3 * i + j] = (s ? -1 : 1) * g.ops[k].r(i + 1, j + 1);
          const int cent = static_cast<int>(g.centring[c][i] * 12.0f + 0.5f);
          std::get<1>(e)[i] = (((s ? -1 : 1) * g.ops[k].t(i + 1) + cent) % 12 + 12) % 12;
        }
        if (set.insert(e).second) all.push_back(e);
      }
  for (const Seitz& a : all)
    for (const Seitz& b : all) {
      Seitz p{};
      for (int i = 0; i < 3; ++i) {
        int t = std::get<1>(a)[i];
        for (int k = 0; k < 3; ++k) t += std::get<0>(a)[3 * i + k] * std::get<1>(b)[k];
        std::get<1>(p)[i] = (t % 12 + 12) % 12;
        for (int j = 0; j < 3; ++j)
          for (int k = 0; k < 3; ++k)
            std::get<0>(p)[3 * i + j] += std::get<0>(a)[3 * i + k] * std::get<0>(b)[3 * k + j];
      }
      if (!set.count(p)) return false;
    }
  return true;
}

TEST(SpaceGroupSymbols, ArbitrarySymbolsNeverCrash) {
  std::mt19937 random(20261207);
  const std::string alphabet = "PABCFIRMNDHpabcfirmndh123456-/. \t*x0";
  int interpreted = 0, not_groups = 0;
  std::string first_not_group;
  for (int n = 0; n < 20000; ++n) {
    std::string symbol(random() % 21, ' ');
    for (char& ch : symbol)
      ch = (random() % 16 == 0) ? static_cast<char>(random() % 256) : alphabet[random() % alphabet.size()];
    const SpaceGroupInfo g = interpret(symbol);
    if (g.failed()) {
      EXPECT_EQ(g.nsym == 0, g.error != 18) << symbol;
      continue;
    }
    ++interpreted;
    ASSERT_GE(g.nsym, 1) << symbol;
    ASSERT_LE(g.nsym, 24) << symbol;
    ASSERT_GE(g.ncent, 1) << symbol;
    ASSERT_LE(g.ncent, 4) << symbol;
    ASSERT_GE(g.laue, 1) << symbol;
    ASSERT_LE(g.laue, 14) << symbol;
    EXPECT_EQ(g.ops[0].matrix_code(), 193) << symbol;
    if (!closed_group(g)) {
      ++not_groups;
      std::printf("not a group: \"%s\"\n", symbol.c_str());
      if (first_not_group.empty()) first_not_group = symbol;
    }
  }
  // symbols made of plausible fields, so that many are accepted
  const char* const lattices[] = {"P", "A", "B", "C", "I", "F", "R"};
  const char* const fields[] = {"1",  "-1", "2",   "21",  "3",   "31",  "32",   "-3",  "4",    "41",   "42",  "43",
                                "-4", "6",  "61",  "62",  "63",  "64",  "65",   "-6",  "m",    "a",    "b",   "c",
                                "n",  "d",  "2/m", "2/c", "21/c", "21/a", "21/n", "4/m", "42/n", "41/a", "6/m", "63/m",
                                "R",  "H"};
  for (int n = 0; n < 20000; ++n) {
    std::string symbol = lattices[random() % 7];
    const int count = 1 + random() % 3;
    for (int f = 0; f < count; ++f) symbol += std::string(" ") + fields[random() % std::size(fields)];
    const SpaceGroupInfo g = interpret(symbol);
    if (g.failed()) continue;
    ++interpreted;
    if (!closed_group(g)) {
      ++not_groups;
      std::printf("not a group: \"%s\"\n", symbol.c_str());
      if (first_not_group.empty()) first_not_group = symbol;
    }
  }
  EXPECT_GT(interpreted, 1000);
  EXPECT_EQ(not_groups, 0) << "first: \"" << first_not_group << "\"";
}

// The listing of step 10, written to a file unit and read back.
std::vector<std::string> listing_of(const std::string& symbol) {
  testing_support::TempFolder folder;
  const auto file = folder / "sg.lst";
  constexpr int unit = 21;
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::Unknown;
  EXPECT_EQ(recio::open(unit, file.string(), spec), 0);
  SpaceGroupInfo g;
  SGINTERP(symbol, unit, g);
  recio::close(unit);
  std::istringstream text(testing_support::read_file(file));
  std::vector<std::string> lines;
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

void expect_listing(const std::string& symbol, const std::vector<std::string>& expected) {
  SCOPED_TRACE(symbol);
  const std::vector<std::string> got = listing_of(symbol);
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], expected[i]) << "line " << i + 1;
}

TEST(SpaceGroupListing, DescriptionAndEquivalentPositions) {
  expect_listing("P -1", {
                             "",
                             " Space group P -1                ",
                             " The lattice is centric   primitive triclinic     Laue symmetry 1bar  ",
                             "  Multiplicity of a general site is   2",
                             "  The symmetry of the point 0,0,0 contains 1bar",
                             "",
                             " The equivalent positions are:",
                             "",
                             " ( 1)    X      Y      Z  ",
                             "",
                         });
  expect_listing("P 21/c", {
                               "",
                               " Space group P 21/c              ",
                               " The lattice is centric   primitive monoclinic    Laue symmetry 2/m   ",
                               "  Multiplicity of a general site is   4",
                               "  The unique axis is b",
                               "  The symmetry of the point 0,0,0 contains 1bar",
                               "",
                               " The equivalent positions are:",
                               "",
                               " ( 1)    X      Y      Z   ( 2)    -X  1/2+Y  1/2-Z ",
                               "",
                           });
  expect_listing("P n m a", {
                                "",
                                " Space group P n m a             ",
                                " The lattice is centric   primitive orthorhombic  Laue symmetry mmm   ",
                                "  Multiplicity of a general site is   8",
                                "  The symmetry of the point 0,0,0 contains 1bar",
                                "",
                                " The equivalent positions are:",
                                "",
                                " ( 1)    X      Y      Z   ( 2) 1/2-X  1/2+Y  1/2+Z ",
                                " ( 3)    X   1/2-Y     Z   ( 4) 1/2-X     -Y  1/2+Z ",
                                "",
                            });
  expect_listing("P 31 2 1",
                 {
                     "",
                     " Space group P 31 2 1            ",
                     " The lattice is acentric   primitive trigonal      Laue symmetry 3barm1",
                     "  Multiplicity of a general site is   6",
                     "",
                     " The equivalent positions are:",
                     "",
                     " ( 1)    X      Y      Z   ( 2)    -Y     X-Y 1/3+Z  ( 3)    Y-X    -X  2/3+Z ",
                     " ( 4)    Y      X      -Z  ( 5)    -X     Y-X 1/3-Z  ( 6)    X-Y    -Y  2/3-Z ",
                     "",
                 });
  expect_listing("I 41/a", {
                               "",
                               " Space group I 41/a              ",
                               " The lattice is centric  I-centered tetragonal    Laue symmetry 4/m   ",
                               "  Multiplicity of a general site is  16",
                               "  The symmetry of the point 0,0,0 contains 1bar",
                               "",
                               " The equivalent positions are:",
                               "",
                               " ( 1)    X      Y      Z   ( 2) 3/4-Y  1/4+X  1/4+Z ",
                               " ( 3) 1/2-X     -Y  1/2+Z  ( 4) 3/4+Y  3/4-X  3/4+Z ",
                               "",
                           });
  expect_listing("F d d d", {
                                "",
                                " Space group F d d d             ",
                                " The lattice is centric  F-centered orthorhombic  Laue symmetry mmm   ",
                                "  Multiplicity of a general site is  32",
                                "  The symmetry of the point 0,0,0 contains 1bar",
                                "",
                                " The equivalent positions are:",
                                "",
                                " ( 1)    X      Y      Z   ( 2)    -X  1/4+Y  1/4+Z ",
                                " ( 3) 1/4+X     -Y  1/4+Z  ( 4) 3/4-X  1/4-Y  1/2+Z ",
                                "",
                            });
  expect_listing("R 3", {
                            "",
                            " Space group R 3                 ",
                            " The lattice is acentric  R-centered trigonal      Laue symmetry 3bar  ",
                            "  Multiplicity of a general site is   9",
                            "  The location of the origin is arbitrary in z  ",
                            "",
                            " The equivalent positions are:",
                            "",
                            " ( 1)    X      Y      Z   ( 2)    -Y     X-Y    Z   ( 3)    Y-X    -X     Z  ",
                            "",
                        });
  expect_listing("R 3 R", {
                              "",
                              " Space group R 3 R               ",
                              " The lattice is acentric   primitive trigonal      Laue symmetry 3bar  ",
                              "  Multiplicity of a general site is   3",
                              "  The location of the origin is arbitrary in 111",
                              "",
                              " The equivalent positions are:",
                              "",
                              " ( 1)    X      Y      Z   ( 2)    Z      X      Y   ( 3)    Y      Z      X  ",
                              "",
                          });
}

TEST(SpaceGroupListing, DiagnosticsAndConflicts) {
  expect_listing("P 21/c *", {
                                 " ****** Error processing symbol P 21/c *            ",
                                 " Illegal character in the space group symbol     ",
                             });
  expect_listing("P 5", {
                            " ****** Error processing symbol P 5                 ",
                            " Either a 5-axis anywhere or a 3-axis in field   ",
                        });
  // the conflict lines come first, then the description, then the error:
  // the n-glide of field 2 disagrees with the two-fold x, -y+1/2, -z
  const std::vector<std::string> lines = listing_of("P 2/n 21/m 2/a");
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0], " Operator  2 generates Matrix  3 which has a translation conflict with matrix  2");
  EXPECT_EQ(lines[1], "  Matrix  3 is  -1  0  0   0  1  0   0  0  1 0.00 0.50 0.50    78.0");
  EXPECT_EQ(lines[2], "  Matrix  2 is   1  0  0   0 -1  0   0  0 -1 0.00 0.50 0.00    72.0");
  EXPECT_EQ(lines[lines.size() - 2], " ****** Error processing symbol P 2/n 21/m 2/a      ");
  EXPECT_EQ(lines.back(), " A translation conflict between operators        ");
}

}  // namespace
