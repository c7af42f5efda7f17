// The refinement instructions cif2exp reads: parameter codes, riding atoms
// and their pivots, continuation lines and remarks, the two forms of SFAC,
// DISP, HKLF's scale and matrix; what it does not rebuild named once each;
// records that do not read named by their line. And the HKLF 4 reflections
// with Fortran's reading of a field without a decimal point.
#include <gtest/gtest.h>

#include "cif2exp/reflection_data.hpp"
#include "cif2exp/res_instructions.hpp"
#include "recio/error.hpp"

namespace {

using cif2exp::read_res_instructions;
using cif2exp::ResInstructions;

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
  text.insert(text.find("FVAR"), "DFIX 1.54 C1 C2\nSADI C1 C2 C1 H1A\nDFIX 1.54 C1 H1A\nPART 1\n");
  text.insert(text.find("HKLF"), "C3 1 0.1 0.2 0.3 21.0 0.04\nAFIX 66\nPART 0\nRESI 1 CCF3\n");
  const ResInstructions res = read_res_instructions(text, "t.res");
  ASSERT_EQ(res.unsupported.size(), 6u);
  EXPECT_EQ(res.unsupported[0].what, "DFIX");
  EXPECT_EQ(res.unsupported[0].line, 17);
  EXPECT_EQ(res.unsupported[0].count, 2);
  EXPECT_EQ(res.unsupported[1].what, "SADI");
  EXPECT_EQ(res.unsupported[2].what, "PART 1");
  EXPECT_EQ(res.unsupported[3].what, "free variables");
  EXPECT_EQ(res.unsupported[4].what, "AFIX 66");
  EXPECT_EQ(res.unsupported[5].what, "RESI");  // an instruction, though an atom's second word is a number too
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
