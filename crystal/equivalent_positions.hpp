// Symmetry-equivalent positions of a point, each named by its operator code:
// operator number + 100 (centring number - 1), negative after the inversion.
#pragma once
#include <array>

#include "crystal/bounded_list.hpp"
#include "crystal/limits.hpp"
#include "crystal/metric.hpp"
#include "crystal/spacegroup.hpp"

namespace vesk {

struct EquivalentPosition {
  Vec3 x{};      // not reduced into the cell
  int code = 0;  // 0 marks a position equal to the compared one
};

using EquivalentPositions = BoundedList<EquivalentPosition, kMaxEquivalents>;

enum class GeneqMode {
  Distinct,    // duplicates removed against every earlier position
  Comparison,  // every candidate kept; those equal to the first get code 0
};

void GENEQ(const Vec3& x, const SpaceGroupInfo& group, GeneqMode mode, EquivalentPositions& out);

}  // namespace vesk
