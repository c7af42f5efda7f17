#include "geometry/chemical_bonds.hpp"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "crystal/covalent_radii.hpp"

namespace vesk {

namespace {

// Atomic numbers of the metals as closed ranges.
struct ElementRange {
  int first, last;
};
static const ElementRange kMetals[] = {
    {3, 4},    // 0: Li, Be
    {11, 13},  // 1: Na, Mg, Al
    {19, 31},  // 2: K to Ga
    {37, 50},  // 3: Rb to Sn
    {55, 84},  // 4: Cs to Po
    {87, 116}, // 5: Fr to Lv
};

constexpr int kHydrogen = 1;
constexpr int kDeuterium = 119;  // gemmi's number for D, after the elements

}  // namespace

bool is_metal(int element) {
  return std::any_of(std::begin(kMetals), std::end(kMetals),
                     [element](const ElementRange& r) { return element >= r.first && element <= r.last; });
}

BondingAtom bonding_atom(int element, bool peak) {
  BondingAtom atom;
  if (peak) {
    atom.bonding = Bonding::Never;
    return atom;
  }
  atom.hydrogen = element == kHydrogen || element == kDeuterium;
  atom.element = atom.hydrogen ? kHydrogen : element;
  atom.radius = covalent_radius(atom.element);
  atom.metal = is_metal(atom.element);
  atom.bonding = atom.radius > 0 ? Bonding::Covalent : Bonding::AngleLimit;
  return atom;
}

bool chemically_bonded(const BondingAtom& first, const BondingAtom& second, float distance, float tolerance,
                       PairPlace place) {
  if (first.bonding == Bonding::Never || second.bonding == Bonding::Never) return false;
  if (first.hydrogen && second.hydrogen) return false;
  if (first.disorder_group != 0 && second.disorder_group != 0 && first.disorder_group != second.disorder_group &&
      first.partial && second.partial)
    return false;
  if (place.through_symmetry && first.negative_group && second.negative_group &&
      first.disorder_group == second.disorder_group)
    return false;
  if (first.bonding == Bonding::AngleLimit || second.bonding == Bonding::AngleLimit) return true;
  const float radii = first.radius + second.radius;
  if (place.own_image && first.partial && distance < kClosestOwnImageFraction * radii) return false;
  auto alternative = [](const BondingAtom& atom, float from_image) {
    return from_image > kOnSpecialPosition && from_image < kClosestOwnImageFraction * 2 * atom.radius;
  };
  if (place.through_symmetry && first.partial && second.partial &&
      (alternative(first, place.first_from_image) || alternative(second, place.second_from_image)))
    return false;
  return distance <= radii + tolerance && distance >= kClosestBondFraction * radii;
}

std::vector<std::size_t> nearest_kept(std::span<const float> distances, std::size_t most) {
  std::vector<std::size_t> order(distances.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  if (order.size() <= most) return order;
  std::stable_sort(order.begin(), order.end(),
                   [&distances](std::size_t p, std::size_t q) { return distances[p] < distances[q]; });
  order.resize(most);
  std::sort(order.begin(), order.end());
  return order;
}

std::string bond_rule_text(float tolerance, bool metal_torsions, bool disorder) {
  char text[200];
  std::snprintf(text, sizeof text,
                " Bonds: within the angle limit and the sum of the covalent radii + %.2f A, none between hydrogen "
                "atoms%s; torsion angles through metal atoms %s",
                static_cast<double>(tolerance), disorder ? " or different disorder groups" : "",
                metal_torsions ? "listed" : "left out");
  return text;
}

}  // namespace vesk
