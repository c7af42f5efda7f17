// A space group read from a symbol that a test expects to be valid.
#pragma once
#include "crystal/spacegroup.hpp"

namespace testing_support {

// SGINTERP without a listing; a failure is a test failure naming the symbol.
vesk::SpaceGroupInfo valid_group(const char* symbol);

}  // namespace testing_support
