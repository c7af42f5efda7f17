#include "cif2exp/structure_identity.hpp"

#include <algorithm>
#include <cmath>
#include <map>

namespace cif2exp {

namespace {

// The length of a fractional difference in the cell, in Angstrom.
double length(const std::array<double, 6>& cell, const std::array<double, 3>& d) {
  constexpr double kDegree = 3.14159265358979323846 / 180.0;
  const double ca = std::cos(cell[3] * kDegree), cb = std::cos(cell[4] * kDegree), cg = std::cos(cell[5] * kDegree);
  const double a = d[0] * cell[0], b = d[1] * cell[1], c = d[2] * cell[2];
  const double square = a * a + b * b + c * c + 2 * (a * b * cg + a * c * cb + b * c * ca);
  return std::sqrt(std::max(square, 0.0));
}

}  // namespace

CarriedAtoms carried_atoms(const StructureContent& before, const StructureContent& now) {
  CarriedAtoms carried;
  if (before.symmetry.empty() || before.symmetry != now.symmetry) {
    for (const StructureSite& site : before.sites) carried.gone.push_back(site.label);
    return carried;
  }
  std::map<std::string, std::size_t> by_label;
  for (std::size_t j = 0; j < now.sites.size(); ++j) by_label.emplace(now.sites[j].label, j);
  bool in_place = before.sites.size() == now.sites.size();
  for (std::size_t i = 0; i < before.sites.size(); ++i) {
    const StructureSite& old = before.sites[i];
    const auto found = by_label.find(old.label);
    bool there = found != by_label.end() && now.sites[found->second].type == old.type;
    if (there) {
      const std::array<double, 3>& x = now.sites[found->second].x;
      there = length(now.cell, {x[0] - old.x[0], x[1] - old.x[1], x[2] - old.x[2]}) < kSameSite;
    }
    if (!there) {
      carried.gone.push_back(old.label);
      in_place = false;
      continue;
    }
    carried.atoms.emplace_back(static_cast<int>(i) + 1, static_cast<int>(found->second) + 1);
    in_place = in_place && found->second == i;
  }
  carried.same = in_place;
  return carried;
}

std::vector<std::pair<int, int>> followed(const std::vector<std::pair<int, int>>& first,
                                          const std::vector<std::pair<int, int>>& then) {
  std::map<int, int> next(then.begin(), then.end());
  std::vector<std::pair<int, int>> atoms;
  for (const auto& [before, between] : first)
    if (const auto found = next.find(between); found != next.end()) atoms.emplace_back(before, found->second);
  return atoms;
}

}  // namespace cif2exp
