#include "recio/fixed_text.hpp"

#include <gtest/gtest.h>

using namespace recio;

TEST(FixedText, PadsCutsAndComparesAsBlankPadded) {
  EXPECT_EQ(pad("AB", 4), "AB  ");
  EXPECT_EQ(pad("ABCDE", 3), "ABC");
  EXPECT_TRUE(equal_padded("AB", "AB   "));
  EXPECT_LT(compare_padded("      DESCR ", "     VERSION"), 0);
  EXPECT_LT(compare_padded("ZZZZZZZZZZZZ", "~~~~~~~~~~~~"), 0);
  EXPECT_EQ(trim_right("X1  "), "X1");
  EXPECT_EQ(trim_right("   "), "");
  EXPECT_EQ(index_of("TEST.EXP", ".EXP"), 5u);
  EXPECT_EQ(index_of("TEST", ".EXP"), 0u);
  EXPECT_EQ(trimmed_length("   ", 1), 1u);
}
