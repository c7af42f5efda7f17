// Prints every atom of the test structures with its bonded neighbours (the
// points, R0 and b) and what geometry/ computes from them, for
// polyhedra_reference.py to recompute independently.
#include <cmath>
#include <cstdio>
#include <vector>

#include "geometry/bond_valence.hpp"
#include "geometry/bond_valence_parameters.hpp"
#include "geometry/polyhedra.hpp"
#include "tests/support/inorganic_structures.hpp"

using namespace vesk;
using namespace testing_support;

namespace {

void print_optional(const char* name, const std::optional<PointMeasure>& m) {
  if (m)
    std::printf(" %s %.15g", name, m->value);
  else
    std::printf(" %s none", name);
}

}  // namespace

int main() {
  const BondValenceTable& table = bundled_bond_valence_table();
  for (const TestStructure& s : {quartz(), spinel(), lamno3()}) {
    std::printf("structure %s\n", s.name.c_str());
    std::vector<SiteDeviation> sites;
    std::size_t point_count = 0;
    for (std::size_t i = 0; i < s.atoms.size(); ++i) {
      const TestAtom& atom = s.atoms[i];
      std::vector<Point3d> points = {position(s, i)};
      std::vector<ValenceParameters> bonds;
      std::printf("atom %s %s %d %d %.15g %.15g %.15g\n", atom.label.c_str(), atom.element.c_str(), atom.oxidation_state,
                  multiplicity(s, i), points[0][0], points[0][1], points[0][2]);
      for (const TestNeighbour& n : bonded_neighbours(s, i)) {
        const TestAtom& other = s.atoms[n.atom];
        const TestAtom& cation = atom.oxidation_state > 0 ? atom : other;
        const TestAtom& anion = atom.oxidation_state > 0 ? other : atom;
        const BondValenceParameter* p =
            find_bond_valence_parameter(table, cation.element, cation.oxidation_state, anion.element, anion.oxidation_state);
        if (!p) return 1;
        points.push_back(n.position);
        bonds.push_back({p->r0, p->b});
        std::printf("ligand %s %.15g %.15g %.15g %.15g %.15g %s\n", other.label.c_str(), n.position[0], n.position[1],
                    n.position[2], p->r0, p->b, p->reference.c_str());
      }
      PointMeasure deviation = valence_deviation(points, bonds, atom.oxidation_state);
      std::printf("values %s bvs %.15g deviation %.15g mean %.15g volume %.15g distortion %.15g",
                  atom.label.c_str(), bond_valence_sum(points, bonds).value, deviation.value,
                  mean_bond_length(points).value, polyhedron_volume(points).value, distortion_index(points).value);
      print_optional("elongation", quadratic_elongation(points));
      print_optional("angle_variance", bond_angle_variance(points));
      std::printf("\n");
      std::vector<std::size_t> index(points.size());
      for (std::size_t& k : index) k = point_count++;
      sites.push_back({deviation, index, double(multiplicity(s, i))});
    }
    std::printf("gii %.15g\n", global_instability_index(sites, point_count).value);
  }
  return 0;
}
