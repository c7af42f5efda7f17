#include "cif2exp/riding_atoms.hpp"

#include <cmath>
#include <limits>
#include <map>

namespace cif2exp {

namespace {

constexpr double kDegree = 3.14159265358979323846 / 180;

// The cell's metric tensor: |d|^2 = d^T G d for a fractional difference d.
std::array<std::array<double, 3>, 3> metric(const CifStructure& structure) {
  std::array<double, 3> edge{}, cosine{};
  for (std::size_t k = 0; k < 3; ++k) {
    edge[k] = structure.cell[k].value;
    cosine[k] = std::cos(structure.cell[k + 3].value * kDegree);
  }
  return {{{edge[0] * edge[0], edge[0] * edge[1] * cosine[2], edge[0] * edge[2] * cosine[1]},
           {edge[0] * edge[1] * cosine[2], edge[1] * edge[1], edge[1] * edge[2] * cosine[0]},
           {edge[0] * edge[2] * cosine[1], edge[1] * edge[2] * cosine[0], edge[2] * edge[2]}}};
}

bool is_hydrogen(const CifAtom& atom) { return atom.element == "H" || atom.element == "D"; }

}  // namespace

std::vector<std::pair<std::string, std::string>> riding_pivots(const CifStructure& structure,
                                                               const Conversion& conversion,
                                                               const ResolvedSymmetry& symmetry) {
  // The experiment's atoms with the CIF's atom each came from.
  const std::vector<AtomRecord>& atoms = conversion.experiment.atoms;
  std::map<std::string, const CifAtom*> by_label;
  for (const CifAtom& atom : structure.atoms) by_label[atom.label] = &atom;
  std::vector<const CifAtom*> cif_atom(atoms.size(), nullptr);
  std::map<std::string, std::size_t> experiment_index;
  for (std::size_t n = 0; n < atoms.size() && n < conversion.cif_labels.size(); ++n) {
    const auto found = by_label.find(conversion.cif_labels[n]);
    if (found != by_label.end()) cif_atom[n] = found->second;
    experiment_index[conversion.cif_labels[n]] = n;
  }
  const auto g = metric(structure);
  std::vector<std::pair<std::string, std::string>> riding;
  for (std::size_t h = 0; h < atoms.size(); ++h) {
    if (cif_atom[h] == nullptr || !cif_atom[h]->riding) continue;
    std::size_t pivot = atoms.size();
    if (const auto named = experiment_index.find(cif_atom[h]->attached);
        named != experiment_index.end() && named->second != h)
      pivot = named->second;
    double nearest = std::numeric_limits<double>::infinity();
    const bool named = pivot < atoms.size();
    for (std::size_t k = 0; !named && k < atoms.size(); ++k) {
      if (k == h || cif_atom[k] == nullptr || is_hydrogen(*cif_atom[k]) || cif_atom[k]->riding) continue;
      for (const SeitzOperator& op : symmetry.group) {
        double squared = 0;
        std::array<double, 3> d{};
        for (int i = 0; i < 3; ++i) {
          double p = op.translation[static_cast<std::size_t>(i)] / 12.0;
          for (int j = 0; j < 3; ++j) p += op.r(i, j) * atoms[k].x[static_cast<std::size_t>(j)];
          const double diff = p - atoms[h].x[static_cast<std::size_t>(i)];
          d[static_cast<std::size_t>(i)] = diff - std::round(diff);
        }
        for (std::size_t i = 0; i < 3; ++i)
          for (std::size_t j = 0; j < 3; ++j) squared += d[i] * g[i][j] * d[j];
        if (squared < nearest) {
          nearest = squared;
          pivot = k;
        }
      }
    }
    if (pivot < atoms.size()) riding.emplace_back(atoms[h].label, atoms[pivot].label);
  }
  return riding;
}

}  // namespace cif2exp
