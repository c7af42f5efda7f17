#include "tests/support/typed_operators.hpp"

namespace testing_support {

void set_operators(vesk::PhaseDescription& phase, const std::vector<TypedOperator>& ops) {
  phase.group.nsym = static_cast<int>(ops.size());
  phase.group.ncent = 1;
  for (std::size_t n = 0; n < ops.size(); ++n) {
    for (int i = 1; i <= 3; ++i)
      for (int j = 1; j <= 3; ++j) {
        phase.group.ops[n].v[static_cast<std::size_t>((i - 1) + 3 * (j - 1))] = ops[n].r[i - 1][j - 1];
        vesk::at(phase.rotation_t[n], i, j) = static_cast<float>(ops[n].r[j - 1][i - 1]);
      }
    for (int i = 0; i < 3; ++i) phase.group.ops[n].v[static_cast<std::size_t>(9 + i)] = ops[n].t[i];
  }
}

}  // namespace testing_support
