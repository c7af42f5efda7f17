#include "geometry/short_contacts.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <utility>

#include "crystal/covalent_radii.hpp"
#include "geometry/chemical_bonds.hpp"
#include "geometry/hydrogen_bonds.hpp"

namespace vesk {

namespace {

bool same_place(const Vec3d& a, const Vec3d& b) {
  return std::abs(a[0] - b[0]) < 1e-3 && std::abs(a[1] - b[1]) < 1e-3 && std::abs(a[2] - b[2]) < 1e-3;
}

Vec3d in_double(const Vec3& x) { return {x[0], x[1], x[2]}; }

}  // namespace

std::vector<ShortContact> short_contacts(const PhaseDescription& phase, const PhaseGeometry& geometry,
                                         double margin, const SummedPairs& summed) {
  std::vector<ShortContact> found;
  if (!geometry.computed) return found;
  const int count = static_cast<int>(phase.atoms.size());
  std::vector<int> element(static_cast<std::size_t>(count) + 1, 0);
  std::vector<float> fraction(static_cast<std::size_t>(count) + 1, 1);
  for (int i = 1; i <= count; ++i) {
    const AtomSite& site = phase.atoms[static_cast<std::size_t>(i - 1)];
    // A point of occupancy 0 is no atom.
    element[static_cast<std::size_t>(i)] = site.fraction == 0 ? 0 : element_of_type(site.type_symbol);
    fraction[static_cast<std::size_t>(i)] = site.fraction;
  }
  auto group = [&](int atom) {
    const auto k = static_cast<std::size_t>(atom - 1);
    return k < geometry.options.disorder_groups.size() ? std::abs(geometry.options.disorder_groups[k]) : 0;
  };
  auto negative_group = [&](int atom) {
    const auto k = static_cast<std::size_t>(atom - 1);
    return k < geometry.options.disorder_groups.size() && geometry.options.disorder_groups[k] < 0;
  };
  // Where the bonded neighbours of atom j lie when j is carried by `op`.
  auto neighbours_of = [&](int j, const SymmetryOperation& op) {
    std::vector<Vec3d> places;
    for (const Bond& bond : geometry.bonds.bonds_of(j))
      places.push_back(image_of(compose(op, bond_operation(phase.group, bond)),
                                phase.atoms[static_cast<std::size_t>(bond.atom - 1)].x));
    return places;
  };
  std::map<std::pair<int, int>, std::size_t> pair_index;
  for (int i = 1; i <= count; ++i) {
    if (element[static_cast<std::size_t>(i)] == 0) continue;  // a Fourier peak, or no element
    const std::vector<Vec3d> own = neighbours_of(i, SymmetryOperation{});
    const Vec3d centre = in_double(phase.atoms[static_cast<std::size_t>(i - 1)].x);
    for (const Contact& c : geometry.contacts_of(i)) {
      if (c.atom < i || element[static_cast<std::size_t>(c.atom)] == 0) continue;  // each pair once
      const double radii = van_der_waals_radius(element[static_cast<std::size_t>(i)]) +
                           van_der_waals_radius(element[static_cast<std::size_t>(c.atom)]);
      if (!(c.d < radii - margin)) continue;
      const Vec3d there = in_double(c.x);
      const float fi = fraction[static_cast<std::size_t>(i)], fj = fraction[static_cast<std::size_t>(c.atom)];
      const bool through_symmetry = c.code != 1 || c.n != LatticeTranslation{};
      // Alternatives of a disordered part never meet: the atoms of one
      // shared site, two partly occupied atoms of different groups or whose
      // occupancies add up to no more than one, a half-occupied atom and
      // its own image.
      const bool alternatives = c.atom == i ? fi <= 0.51f : fi < 1 && fj < 1 && fi + fj <= 1.02f;
      if (alternatives || (same_place(centre, there) && fi + fj <= 1.02f)) continue;
      if (group(i) != 0 && group(c.atom) != 0 && group(i) != group(c.atom) && fi < 1 && fj < 1) continue;
      if (through_symmetry && negative_group(i) && negative_group(c.atom) && group(i) == group(c.atom)) continue;
      // A metal's contacts are its coordination, whatever their length: the
      // van der Waals radii of metals are no measure of them.
      if (is_metal(element[static_cast<std::size_t>(i)]) || is_metal(element[static_cast<std::size_t>(c.atom)])) continue;
      if (summed.count({i, c.atom, c.code, c.n}) > 0) continue;
      const std::vector<Bond>& bonds = geometry.bonds.bonds_of(i);
      if (std::any_of(bonds.begin(), bonds.end(), [&](const Bond& b) {
            return b.atom == c.atom && b.code == c.code && b.n == c.n;
          }))
        continue;
      const SymmetryOperation op = operation_of(phase.group, c.code, c.n);
      const std::vector<Vec3d> theirs = neighbours_of(c.atom, op);
      const bool one_three = std::any_of(own.begin(), own.end(), [&](const Vec3d& p) {
        return std::any_of(theirs.begin(), theirs.end(), [&](const Vec3d& q) { return same_place(p, q); });
      });
      if (one_three) continue;
      const bool hydrogen_bond = std::any_of(geometry.hbonds.begin(), geometry.hbonds.end(), [&](const HydrogenBond& h) {
        const std::pair<int, int> ends = std::minmax(h.hydrogen.point.atom, h.acceptor.point.atom);
        return ends == std::pair<int, int>{i, c.atom} && std::abs(h.ha - c.d) < 1e-3f;
      });
      if (hydrogen_bond) continue;
      const float covalent = covalent_radius(element[static_cast<std::size_t>(i)]) +
                             covalent_radius(element[static_cast<std::size_t>(c.atom)]);
      const ShortContact row{i, c.atom, c.code, c.n, c.d, c.sigma, radii, c.d < kClosestBondFraction * covalent};
      const auto [at, fresh] = pair_index.emplace(std::pair<int, int>{i, c.atom}, found.size());
      if (fresh)
        found.push_back(row);
      else if (row.d < found[at->second].d)
        found[at->second] = row;
    }
  }
  return found;
}

}  // namespace vesk
