// Symmetry operators typed by hand into a phase, for tests that need a group
// without going through the symbol interpreter.
#pragma once
#include <vector>

#include "crystal/phase.hpp"

namespace testing_support {

// x' = R x + t/12, R typed as its rows.
struct TypedOperator {
  int r[3][3];
  int t[3];
};

inline const TypedOperator kIdentity{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 0, 0}};

// Sets the phase's operators (primitive, one centring vector) and their
// transposed real rotations.
void set_operators(vesk::PhaseDescription& phase, const std::vector<TypedOperator>& ops);

}  // namespace testing_support
