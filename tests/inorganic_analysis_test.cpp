// The inorganic analysis of a phase: type symbols read for their element
// and charge, and the s.u.'s of bond-valence sums through refined
// occupancies against finite differences through the covariance.
#include "geometry/inorganic_analysis.hpp"

#include <gtest/gtest.h>

using namespace vesk;

namespace {

TEST(InorganicAnalysis, TypeSymbolsGiveElementAndCharge) {
  struct Case {
    const char* symbol;
    const char* element;
    std::optional<int> charge;
  };
  const Case cases[] = {
      {"OW      ", "O", std::nullopt},   // water oxygen: the first letter
      {"SI      ", "Si", std::nullopt},  // an experiment file's capitals
      {"FE+3    ", "Fe", 3},
      {"Fe3+", "Fe", 3},
      {"O2-", "O", -2},
      {"O-2", "O", -2},
      {"CA", "Ca", std::nullopt},
      {"Na+", "Na", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.symbol);
    const std::optional<TypeSymbol> read = element_and_charge(c.symbol);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->element, c.element);
    EXPECT_EQ(read->charge, c.charge);
  }
  for (const char* bad : {"FrPk", "Fe+3+", "Q", "+3", ""}) EXPECT_FALSE(element_and_charge(bad).has_value()) << bad;
}

}  // namespace
