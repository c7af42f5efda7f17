#include "tests/support/inorganic_structures.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <gemmi/symmetry.hpp>
#include <gemmi/unitcell.hpp>

namespace testing_support {

namespace {

std::vector<std::array<double, 3>> cell_images(const TestStructure& s, std::size_t atom) {
  const gemmi::SpaceGroup* group = gemmi::find_spacegroup_by_name(s.spacegroup);
  if (!group) throw std::runtime_error("unknown space group " + s.spacegroup);
  std::vector<std::array<double, 3>> images;
  const TestAtom& a = s.atoms[atom];
  for (const gemmi::Op& op : group->operations()) {
    std::array<double, 3> p = op.apply_to_xyz({a.x, a.y, a.z});
    for (double& v : p) v -= std::floor(v);
    bool known = std::any_of(images.begin(), images.end(), [&](const std::array<double, 3>& q) {
      for (int k = 0; k < 3; ++k) {
        double d = std::abs(p[k] - q[k]);
        if (std::min(d, 1.0 - d) > 1e-4) return false;
      }
      return true;
    });
    if (!known) images.push_back(p);
  }
  return images;
}

}  // namespace

TestStructure quartz() {
  return {"quartz", 4.91239, 4.91239, 5.40385, 90, 90, 120, "P 32 2 1",
          {{"Si1", "Si", 4, 0.47010, 0.0, 2.0 / 3.0}, {"O1", "O", -2, 0.41390, 0.26740, 0.78560}}};
}

TestStructure spinel() {
  return {"spinel", 8.08360, 8.08360, 8.08360, 90, 90, 90, "F d -3 m:2",
          {{"Mg1", "Mg", 2, 0.125, 0.125, 0.125}, {"Al2", "Al", 3, 0.5, 0.5, 0.5}, {"O1", "O", -2, 0.26171, 0.26171, 0.26171}}};
}

TestStructure lamno3() {
  return {"LaMnO3", 5.5367, 5.7473, 7.6929, 90, 90, 90, "P b n m",
          {{"La1", "La", 3, -0.0078, 0.0490, 0.25, 1.0, 3.0},
           {"Mn1", "Mn", 3, 0.5, 0.0, 0.0},
           {"O1", "O", -2, 0.0745, 0.4874, 0.25},
           {"O2", "O", -2, 0.7256, 0.3066, 0.0384}}};
}

vesk::Point3d cartesian(const TestStructure& s, double x, double y, double z) {
  gemmi::UnitCell cell(s.a, s.b, s.c, s.alpha, s.beta, s.gamma);
  gemmi::Position p = cell.orthogonalize(gemmi::Fractional(x, y, z));
  return {p.x, p.y, p.z};
}

vesk::Point3d position(const TestStructure& s, std::size_t atom) {
  const TestAtom& a = s.atoms[atom];
  return cartesian(s, a.x, a.y, a.z);
}

int multiplicity(const TestStructure& s, std::size_t atom) { return static_cast<int>(cell_images(s, atom).size()); }

std::vector<TestNeighbour> images_near(const TestStructure& s, const vesk::Point3d& centre, std::size_t j, double limit) {
  std::vector<TestNeighbour> found;
  for (const std::array<double, 3>& p : cell_images(s, j))
    for (int u = -2; u <= 2; ++u)
      for (int v = -2; v <= 2; ++v)
        for (int w = -2; w <= 2; ++w) {
          vesk::Point3d q = cartesian(s, p[0] + u, p[1] + v, p[2] + w);
          vesk::Point3d d = vesk::operator-(q, centre);
          double r = std::sqrt(vesk::dot(d, d));
          if (r > 1e-4 && r <= limit) found.push_back({j, q, r});
        }
  std::stable_sort(found.begin(), found.end(), [](const TestNeighbour& x, const TestNeighbour& y) { return x.distance < y.distance; });
  return found;
}

std::vector<TestNeighbour> bonded_neighbours(const TestStructure& s, std::size_t i) {
  vesk::Point3d centre = position(s, i);
  std::vector<TestNeighbour> found;
  for (std::size_t j = 0; j < s.atoms.size(); ++j) {
    if ((s.atoms[j].oxidation_state > 0) == (s.atoms[i].oxidation_state > 0)) continue;
    double limit = s.atoms[s.atoms[i].oxidation_state > 0 ? i : j].bond_limit;
    for (const TestNeighbour& n : images_near(s, centre, j, limit)) found.push_back(n);
  }
  std::stable_sort(found.begin(), found.end(), [](const TestNeighbour& x, const TestNeighbour& y) { return x.distance < y.distance; });
  return found;
}

}  // namespace testing_support
