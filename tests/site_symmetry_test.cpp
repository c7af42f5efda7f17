// Site symmetry names and multiplicities against the Wyckoff positions of
// the International Tables.
#include "crystal/site_symmetry.hpp"
#include "tests/support/groups.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using testing_support::valid_group;

using vesk::SITESYM;
using vesk::SpaceGroupInfo;
using vesk::Vec3;


struct Wyckoff {
  Vec3 site;
  int multiplicity;
  const char* name;  // nullptr: any name from the table
};

void expect_wyckoff(const char* symbol, int general, std::initializer_list<Wyckoff> positions) {
  const SpaceGroupInfo g = valid_group(symbol);
  ASSERT_EQ(g.general_multiplicity(), general) << symbol;
  for (const Wyckoff& w : positions) {
    SCOPED_TRACE(std::string(symbol) + " at " + std::to_string(w.site[0]) + ", " + std::to_string(w.site[1]) +
                 ", " + std::to_string(w.site[2]));
    const vesk::SiteSymmetry s = SITESYM(w.site, g);
    EXPECT_EQ(s.multiplicity, w.multiplicity);
    EXPECT_NE(s.name, "ERROR   ");
    EXPECT_EQ(s.name.size(), 8u);
    if (w.name != nullptr) {
      EXPECT_EQ(s.name, w.name);
    }
    // the listed positions are the identity and one per tabulated operator type
    EXPECT_GE(s.positions[49], 1);
    EXPECT_EQ(s.positions[0], 1);
  }
}

TEST(SiteSymmetry, EdgeCases) {
  const SpaceGroupInfo p1bar = valid_group("P -1");
  vesk::SiteSymmetry s = SITESYM({0.1f, 0.2f, 0.3f}, p1bar);
  EXPECT_EQ(s.name, "    1   ");
  EXPECT_EQ(s.entry, 1);
  EXPECT_EQ(s.multiplicity, 2);
  EXPECT_EQ(s.positions[49], 1);

  s = SITESYM({0.0f, 0.0f, 0.0f}, p1bar);
  EXPECT_EQ(s.name, "   -1   ");
  EXPECT_EQ(s.entry, 2);
  EXPECT_EQ(s.multiplicity, 1);
  ASSERT_EQ(s.positions[49], 2);
  EXPECT_EQ(s.positions[1], 2);  // the inverted identity

  // a site given outside the cell is reduced first
  EXPECT_EQ(SITESYM({1.0f, -1.0f, 2.0f}, p1bar).name, "   -1   ");

  const SpaceGroupInfo p6 = valid_group("P 6");
  s = SITESYM({0.0f, 0.0f, 0.37f}, p6);
  EXPECT_EQ(s.name, "    6   ");
  EXPECT_EQ(s.entry, 106);
  EXPECT_EQ(s.multiplicity, 1);
  // a general position in hexagonal axes: only the flag, counted as 0
  s = SITESYM({0.1f, 0.2f, 0.3f}, p6);
  EXPECT_EQ(s.name, "    1   ");
  EXPECT_EQ(s.entry, 1);
  EXPECT_EQ(s.multiplicity, 6);

  EXPECT_EQ(SITESYM({0.0f, 0.0f, 0.0f}, valid_group("P m -3 m")).name, "   M3M  ");

  // 2/m about [1 0 -1]: Wyckoff 3e of R -3 m in rhombohedral axes
  s = SITESYM({0.5f, 0.0f, 0.5f}, valid_group("R -3 m R"));
  EXPECT_EQ(s.name, "2/M(+0-)");
  EXPECT_EQ(s.multiplicity, 3);
}

TEST(SiteSymmetry, OperatorTypeCodes) {
  const SpaceGroupInfo g = valid_group("P 4/m m m");
  const auto types = vesk::OPCODE(g);
  EXPECT_EQ(types[0], 6643);  // identity: 1 + 81 + 6561
  // the four-fold -y, x, z: -1 x 3^3 + 1 x 3^1 + 1 x 3^8
  bool four_fold = false;
  for (int k = 0; k < g.nsym; ++k) four_fold = four_fold || types[k] == 6537;
  EXPECT_TRUE(four_fold);
}

TEST(SiteSymmetry, WyckoffPositionsOfP4mmm) {
  expect_wyckoff("P 4/m m m", 16,
                 {
                     {{0.0f, 0.0f, 0.0f}, 1, "4/MMM001"},   // 1a
                     {{0.0f, 0.0f, 0.5f}, 1, "4/MMM001"},   // 1b
                     {{0.5f, 0.5f, 0.0f}, 1, "4/MMM001"},   // 1c
                     {{0.5f, 0.5f, 0.5f}, 1, "4/MMM001"},   // 1d
                     {{0.0f, 0.5f, 0.5f}, 2, "  MMM   "},   // 2e
                     {{0.0f, 0.5f, 0.0f}, 2, "  MMM   "},   // 2f
                     {{0.0f, 0.0f, 0.3f}, 2, "4MM(001)"},   // 2g
                     {{0.0f, 0.5f, 0.3f}, 4, "MM2(001)"},   // 2i
                     {{0.3f, 0.3f, 0.0f}, 4, "MM2(110)"},   // 4j
                     {{0.3f, 0.0f, 0.0f}, 4, "MM2(100)"},   // 4l
                     {{0.3f, 0.2f, 0.0f}, 8, "  M(001)"},   // 8p
                     {{0.3f, 0.0f, 0.2f}, 8, "  M(010)"},   // 8s
                     {{0.3f, 0.3f, 0.2f}, 8, "  M(+-0)"},   // 8r
                     {{0.1f, 0.2f, 0.3f}, 16, "    1   "},  // 16u
                 });
}

TEST(SiteSymmetry, WyckoffPositionsOfFm3m) {
  expect_wyckoff("F m -3 m", 192,
                 {
                     {{0.0f, 0.0f, 0.0f}, 4, "   M3M  "},       // 4a
                     {{0.5f, 0.5f, 0.5f}, 4, "   M3M  "},       // 4b
                     {{0.25f, 0.25f, 0.25f}, 8, "  -43M  "},    // 8c
                     {{0.0f, 0.25f, 0.25f}, 24, "MMM(100)"},    // 24d
                     {{0.3f, 0.0f, 0.0f}, 24, "4MM(100)"},      // 24e
                     {{0.3f, 0.3f, 0.3f}, 32, " 3M(111)"},      // 32f
                     {{0.3f, 0.25f, 0.25f}, 48, " MM2d100"},    // 48g
                     {{0.0f, 0.3f, 0.3f}, 48, "MM2(011)"},      // 48h
                     {{0.5f, 0.3f, 0.3f}, 48, "MM2(011)"},      // 48i
                     {{0.0f, 0.23f, 0.11f}, 96, "  M(100)"},      // 96j
                     {{0.23f, 0.23f, 0.11f}, 96, "  M(+-0)"},      // 96k
                     {{0.113f, 0.217f, 0.331f}, 192, "    1   "},     // 192l
                 });
}

TEST(SiteSymmetry, WyckoffPositionsOfP63mmc) {
  expect_wyckoff("P 63/m m c", 24,
                 {
                     {{0.0f, 0.0f, 0.0f}, 2, "-3M(100)"},                     // 2a
                     {{0.0f, 0.0f, 0.25f}, 2, "-6M2 100"},                    // 2b
                     {{1.0f / 3, 2.0f / 3, 0.25f}, 2, "-6M2 100"},            // 2c
                     {{1.0f / 3, 2.0f / 3, 0.75f}, 2, "-6M2 100"},            // 2d
                     {{0.0f, 0.0f, 0.1f}, 4, nullptr},                        // 4e
                     {{1.0f / 3, 2.0f / 3, 0.1f}, 4, nullptr},                // 4f
                     {{0.5f, 0.0f, 0.0f}, 6, nullptr},                        // 6g
                     {{0.2f, 0.4f, 0.25f}, 6, nullptr},                       // 6h
                     {{0.2f, 0.0f, 0.0f}, 12, nullptr},                       // 12i
                     {{0.23f, 0.07f, 0.25f}, 12, " M(001) "},                   // 12j
                     {{0.2f, 0.4f, 0.1f}, 12, nullptr},                       // 12k
                     {{0.113f, 0.217f, 0.331f}, 24, "    1   "},                    // 24l
                 });
}

TEST(SiteSymmetry, WyckoffPositionsOfIa3d) {
  expect_wyckoff("I a -3 d", 96,
                 {
                     {{0.0f, 0.0f, 0.0f}, 16, " -3(111)"},           // 16a
                     {{0.125f, 0.125f, 0.125f}, 16, " 32(111)"},     // 16b
                     {{0.125f, 0.0f, 0.25f}, 24, "222(100)"},        // 24c
                     {{0.375f, 0.0f, 0.25f}, 24, " -4(100)"},        // 24d
                     {{0.3f, 0.3f, 0.3f}, 32, "  3(111)"},           // 32e
                     {{0.3f, 0.0f, 0.25f}, 48, "  2(100)"},          // 48f
                     {{0.125f, 0.3f, 0.25f - 0.3f}, 48, "  2(0+-)"}, // 48g
                     {{0.1f, 0.2f, 0.3f}, 96, "    1   "},           // 96h
                 });
}

}  // namespace
