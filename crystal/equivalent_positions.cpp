// GENEQ: the images of a point under every operator, with and without the
// inversion, and every centring vector, in a fixed nesting order so that the
// operator code of each image is predictable.
#include "crystal/equivalent_positions.hpp"

#include <cmath>
#include <string>

#include "recio/error.hpp"

namespace vesk {
namespace {

// Reduced coordinates closer than this count as the same position.
constexpr float kSamePosition = 0.0002f;

bool same_reduced(const Vec3& a, const Vec3& b) {
  for (int i = 0; i < 3; ++i)
    if (std::fabs(a[i] - b[i]) >= kSamePosition) return false;
  return true;
}

}  // namespace

void GENEQ(const Vec3& x, const SpaceGroupInfo& group, GeneqMode mode, EquivalentPositions& out) {
  out.clear();
  if (group.nsym < 0 || group.nsym > static_cast<int>(kMaxOperators) || group.ncent < 0 ||
      group.ncent > static_cast<int>(kMaxCentrings) || group.centric < 0 || group.centric > 1)
    throw Error("Space group with " + std::to_string(group.nsym) + " operators and " + std::to_string(group.ncent) +
                " centring vectors is outside the limits (24 and 4)");
  const bool comparison = mode == GeneqMode::Comparison;
  // reduced copies of the kept positions, for the duplicate test (only the
  // first out.size() are read)
  std::array<Vec3, kMaxEquivalents> reduced;
  for (int c = 1; c <= group.ncent; ++c) {
    for (int s = 0; s <= group.centric; ++s) {
      for (int k = 1; k <= group.nsym; ++k) {
        const SymmetryOperator& op = group.ops[k - 1];
        EquivalentPosition entry;
        for (int i = 1; i <= 3; ++i) {
          float p = static_cast<float>(op.t(i)) / 12.0f;
          for (int j = 1; j <= 3; ++j) p += static_cast<float>(op.r(i, j)) * x[j - 1];
          if (s == 1) p = -p;
          entry.x[i - 1] = p + group.centring[c - 1][i - 1];
        }
        entry.code = (k + 100 * (c - 1)) * (1 - 2 * s);
        const Vec3 here = FRAC01(entry.x);
        const std::size_t n = out.size();
        const std::size_t compared = comparison ? (n > 0 ? 1 : 0) : n;
        for (std::size_t m = 0; m < compared; ++m)
          if (same_reduced(here, reduced[m])) {
            entry.code = 0;
            break;
          }
        if (!comparison && entry.code == 0) continue;
        out.push_back(entry, "list of equivalent positions");
        reduced[n] = here;
      }
    }
  }
}

}  // namespace vesk
