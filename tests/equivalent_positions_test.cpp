// GENEQ: order and codes of the images, duplicate removal at the cell edge.
#include "crystal/equivalent_positions.hpp"
#include "tests/support/groups.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using testing_support::valid_group;

using vesk::EquivalentPositions;
using vesk::GENEQ;
using vesk::GeneqMode;
using vesk::SpaceGroupInfo;


TEST(EquivalentPositions, OrderCodesAndUnreducedCoordinates) {
  const SpaceGroupInfo g = valid_group("I 41/a");
  EquivalentPositions out;
  GENEQ({0.1f, 0.2f, 0.3f}, g, GeneqMode::Distinct, out);
  ASSERT_EQ(out.size(), 16u);
  // centring outermost, then the inversion, then the operator
  const int codes[16] = {1, 2, 3, 4, -1, -2, -3, -4, 101, 102, 103, 104, -101, -102, -103, -104};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i].code, codes[i]) << i;
  // operator 2 is -y+3/4, x+1/4, z+1/4
  EXPECT_FLOAT_EQ(out[1].x[0], 0.75f - 0.2f);
  EXPECT_FLOAT_EQ(out[1].x[1], 0.25f + 0.1f);
  EXPECT_FLOAT_EQ(out[1].x[2], 0.25f + 0.3f);
  // inverted images keep their sign: -(x, y, z)
  EXPECT_FLOAT_EQ(out[4].x[0], -0.1f);
  // the centred inverted identity: -(x, y, z) + (1/2, 1/2, 1/2)
  EXPECT_FLOAT_EQ(out[12].x[2], 0.5f - 0.3f);
}

TEST(EquivalentPositions, SpecialPositionsAppearOnce) {
  EquivalentPositions out;
  const SpaceGroupInfo p1bar = valid_group("P -1");
  GENEQ({0.0f, 0.0f, 0.0f}, p1bar, GeneqMode::Distinct, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].code, 1);

  // 0.99995 reduces to 0 and meets the image at 0.00005
  GENEQ({0.99995f, 0.5f, 0.5f}, p1bar, GeneqMode::Distinct, out);
  EXPECT_EQ(out.size(), 1u);

  GENEQ({0.1f, 0.2f, 0.3f}, p1bar, GeneqMode::Distinct, out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].code, -1);

  // the comparison mode keeps every candidate and marks those on the first
  GENEQ({0.0f, 0.0f, 0.0f}, p1bar, GeneqMode::Comparison, out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].code, 1);
  EXPECT_EQ(out[1].code, 0);

  // Wyckoff 8a of F d d d (origin choice 2) at 1/8, 1/8, 1/8
  GENEQ({0.125f, 0.125f, 0.125f}, valid_group("F d d d"), GeneqMode::Distinct, out);
  EXPECT_EQ(out.size(), 8u);
}

TEST(EquivalentPositions, LargestGroupFillsTheListExactly) {
  EquivalentPositions out;
  const SpaceGroupInfo g = valid_group("F m -3 m");
  GENEQ({0.01f, 0.02f, 0.03f}, g, GeneqMode::Distinct, out);
  EXPECT_EQ(out.size(), vesk::kMaxEquivalents);
  GENEQ({0.01f, 0.02f, 0.03f}, g, GeneqMode::Comparison, out);
  EXPECT_EQ(out.size(), vesk::kMaxEquivalents);
  // every image lies in the cell after reduction and no two coincide
  GENEQ({0.01f, 0.02f, 0.03f}, g, GeneqMode::Distinct, out);
  for (std::size_t i = 0; i < out.size(); ++i)
    for (std::size_t j = 0; j < i; ++j) {
      const vesk::Vec3 a = vesk::FRAC01(out[i].x), b = vesk::FRAC01(out[j].x);
      EXPECT_FALSE(std::fabs(a[0] - b[0]) < 2e-4f && std::fabs(a[1] - b[1]) < 2e-4f &&
                   std::fabs(a[2] - b[2]) < 2e-4f);
    }
}

TEST(EquivalentPositions, GroupOutsideTheLimitsIsRefused) {
  SpaceGroupInfo g = valid_group("P -1");
  g.nsym = 25;
  EquivalentPositions out;
  EXPECT_THROW(GENEQ({0.1f, 0.2f, 0.3f}, g, GeneqMode::Distinct, out), vesk::Error);
  g.nsym = 1;
  g.ncent = 5;
  EXPECT_THROW(GENEQ({0.1f, 0.2f, 0.3f}, g, GeneqMode::Distinct, out), vesk::Error);
}

}  // namespace
