// The point symmetry of a site, named from a table of 151 site symmetries.
#pragma once
#include <array>
#include <string>

#include "crystal/metric.hpp"
#include "crystal/spacegroup.hpp"

namespace vesk {

struct SiteSymmetry {
  int multiplicity = 0;
  int entry = 0;                 // 1..151, 152 when the mask is not in the table
  std::string name;              // 8 characters, "ERROR   " for an unknown mask
  std::array<int, 50> positions{};  // position numbers, count in the fiftieth
};

// operator type code of each operator of the group
std::array<int, kMaxOperators> OPCODE(const SpaceGroupInfo& group);

SiteSymmetry SITESYM(const Vec3& site, const SpaceGroupInfo& group);

}  // namespace vesk
