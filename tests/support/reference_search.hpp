// The neighbour search as a plain loop nest: for every atom, its equivalent
// positions generated afresh, every translation of the window around each of
// them, in search order. Slow on purpose; the program's fast search must give
// exactly what this gives.
#pragma once
#include <functional>

#include "crystal/phase.hpp"
#include "geometry/neighbour_search.hpp"

namespace testing_support {

void reference_search(const vesk::PhaseDescription& phase, int i, const vesk::SearchControls& controls,
                      const std::function<void(const vesk::FoundDistance&)>& found);

}  // namespace testing_support
