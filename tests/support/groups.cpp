#include "tests/support/groups.hpp"

#include <gtest/gtest.h>

namespace testing_support {

vesk::SpaceGroupInfo valid_group(const char* symbol) {
  vesk::SpaceGroupInfo group;
  vesk::SGINTERP(symbol, -1, group);
  EXPECT_FALSE(group.failed()) << symbol;
  return group;
}

}  // namespace testing_support
