#include "lsq/restraints.hpp"

#include <cmath>
#include <string>

#include "recio/error.hpp"

namespace lsq {

namespace {

struct Distance {
  double value = 0;
  std::vector<double> gradient;
};

// |x_a - x_b| in Angstrom and its gradient by the variables.
Distance distance(const Model& model, const ParameterMap& map, const Metric& metric, const Restraint& r, int a, int b) {
  const int natoms = static_cast<int>(model.atoms.size());
  if (a < 0 || b < 0 || a >= natoms || b >= natoms)
    throw vesk::Error(r.name + ": names an atom outside the model");
  Vec3 d{};  // Cartesian x_a - x_b
  const Vec3& sa = map.sites[static_cast<std::size_t>(a)];
  const Vec3& sb = map.sites[static_cast<std::size_t>(b)];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) d[i] += metric.orthogonal[i][j] * (sa[j] - sb[j]);
  Distance out;
  out.value = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
  if (out.value < 1e-6)
    throw vesk::Error(r.name + ": " + model.atoms[static_cast<std::size_t>(a)].label + " and " +
                      model.atoms[static_cast<std::size_t>(b)].label + " stand at one place");
  out.gradient.assign(static_cast<std::size_t>(map.count()), 0.0);
  for (int j = 0; j < 3; ++j) {
    // d|d| / d frac_j of atom a: (M^T d)_j / |d|; of atom b, its negative.
    double g = 0;
    for (int i = 0; i < 3; ++i) g += metric.orthogonal[i][j] * d[i];
    g /= out.value;
    for (const auto& [atom, sign] : {std::pair<int, double>{a, 1.0}, {b, -1.0}})
      for (const Term* t = map.begin_of(atom, static_cast<Slot>(j)); t != map.end_of(atom, static_cast<Slot>(j)); ++t)
        out.gradient[static_cast<std::size_t>(t->variable)] += sign * g * t->coefficient;
  }
  return out;
}

// Along the unit vector n from a to b, z = n^T U_cart n with U_cart = A U* A^T
// and U*_ij = U_ij a*_i a*_j: z = sum_ij c_i c_j a*_i a*_j U_ij, c = A^T n.
RestraintRow rigid_bond(const Model& model, const ParameterMap& map, const Metric& metric, const Restraint& r, int a,
                        int b, double weight, int index) {
  const Distance d = distance(model, map, metric, r, a, b);
  Vec3 n{};
  const Vec3& sa = map.sites[static_cast<std::size_t>(a)];
  const Vec3& sb = map.sites[static_cast<std::size_t>(b)];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) n[i] += metric.orthogonal[i][j] * (sa[j] - sb[j]) / d.value;
  Vec3 c{};
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i) c[j] += metric.orthogonal[i][j] * n[i];
  static constexpr int kPairs[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
  static constexpr Slot kU[6] = {kU11, kU22, kU33, kU12, kU13, kU23};
  RestraintRow row{0, weight, std::vector<double>(static_cast<std::size_t>(map.count()), 0.0), index};
  for (const auto& [atom, sign] : {std::pair<int, double>{a, 1.0}, {b, -1.0}}) {
    const Atom& x = model.atoms[static_cast<std::size_t>(atom)];
    auto add = [&](Slot slot, double dz) {
      for (const Term* t = map.begin_of(atom, slot); t != map.end_of(atom, slot); ++t)
        row.gradient[static_cast<std::size_t>(t->variable)] += sign * dz * t->coefficient;
    };
    double z = 0;
    if (x.anisotropic) {
      for (int k = 0; k < 6; ++k) {
        const int i = kPairs[k][0], j = kPairs[k][1];
        const double dz = (i == j ? 1.0 : 2.0) * c[i] * c[j] * metric.reciprocal[i] * metric.reciprocal[j];
        z += dz * x.u[static_cast<std::size_t>(k)];
        add(kU[k], dz);
      }
    } else {
      z = x.uiso;
      add(kUiso, 1.0);
    }
    row.residual -= sign * z;  // target 0 - (z_a - z_b)
  }
  return row;
}

}  // namespace

std::vector<RestraintRow> restraint_rows(const Model& model, const ParameterMap& map) {
  std::vector<RestraintRow> rows;
  const Metric metric = metric_of(model.cell);
  const std::size_t p = static_cast<std::size_t>(map.count());
  for (std::size_t k = 0; k < model.restraints.size(); ++k) {
    const Restraint& r = model.restraints[k];
    if (!(r.sigma > 0)) throw vesk::Error(r.name + ": its s.u. must be above 0");
    const double weight = 1 / (r.sigma * r.sigma);
    const int index = static_cast<int>(k);
    switch (r.kind) {
      case RestraintKind::Distance:
        for (std::size_t i = 0; i + 1 < r.atoms.size(); i += 2) {
          Distance d = distance(model, map, metric, r, r.atoms[i], r.atoms[i + 1]);
          rows.push_back({r.target - d.value, weight, std::move(d.gradient), index});
        }
        break;
      case RestraintKind::EqualDistances: {
        std::vector<Distance> all;
        for (std::size_t i = 0; i + 1 < r.atoms.size(); i += 2)
          all.push_back(distance(model, map, metric, r, r.atoms[i], r.atoms[i + 1]));
        if (all.size() < 2) throw vesk::Error(r.name + ": needs at least two distances");
        const double n = static_cast<double>(all.size());
        double mean = 0;
        std::vector<double> mean_gradient(p, 0.0);
        for (const Distance& d : all) {
          mean += d.value / n;
          for (std::size_t v = 0; v < p; ++v) mean_gradient[v] += d.gradient[v] / n;
        }
        // Each distance against the mean of them all.
        for (Distance& d : all) {
          for (std::size_t v = 0; v < p; ++v) d.gradient[v] -= mean_gradient[v];
          rows.push_back({mean - d.value, weight, std::move(d.gradient), index});
        }
        break;
      }
      case RestraintKind::RigidBond:
        for (std::size_t i = 0; i + 1 < r.atoms.size(); i += 2)
          rows.push_back(rigid_bond(model, map, metric, r, r.atoms[i], r.atoms[i + 1], weight, index));
        break;
      case RestraintKind::FreeVariableSum: {
        RestraintRow row{r.target, weight, std::vector<double>(p, 0.0), index};
        for (std::size_t i = 0; i < r.free_variables.size() && i < r.coefficients.size(); ++i) {
          const auto f = static_cast<std::size_t>(r.free_variables[i]);
          if (f >= model.free_variables.size()) throw vesk::Error(r.name + ": names a free variable that is not given");
          row.residual -= r.coefficients[i] * model.free_variables[f];
          if (map.free_variables[f] >= 0) row.gradient[static_cast<std::size_t>(map.free_variables[f])] += r.coefficients[i];
        }
        rows.push_back(std::move(row));
        break;
      }
    }
  }
  return rows;
}

}  // namespace lsq
