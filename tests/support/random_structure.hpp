// Phases made up for the search tests and the benchmark: a real space-group
// symbol read by SGINTERP, any cell, atoms at random positions.
#pragma once
#include <array>
#include <string_view>

#include "crystal/phase.hpp"

namespace testing_support {

struct RandomPhaseRequest {
  std::string_view symbol = "P 1";
  std::array<float, 6> cell{10, 10, 10, 90, 90, 90};  // a, b, c, alpha, beta, gamma (degrees)
  int atoms = 10;
  int types = 3;
  unsigned seed = 1;
  bool negative_type = false;    // the last type gets bond and angle radius -1
  float coordinate_range = 1.0f;  // coordinates drawn from [-range + 1, range)
};

// Throws vesk::Error when the symbol cannot be read.
vesk::PhaseDescription random_phase(const RandomPhaseRequest& request);

}  // namespace testing_support
