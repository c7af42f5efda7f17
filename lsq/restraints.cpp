#include "lsq/restraints.hpp"

#include <array>
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

// The projection v^T U_cart w of an atom's displacement tensor on two
// Cartesian vectors, U_cart = A U* A^T with U*_ij = U_ij a*_i a*_j; an
// isotropic atom's is Uiso (v . w). Adds sign * coefficient * its gradient
// to `gradient`.
double projection(const Model& model, const ParameterMap& map, const Metric& metric, int atom, const Vec3& v,
                  const Vec3& w, double coefficient, std::vector<double>& gradient) {
  static constexpr int kPairs[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
  static constexpr Slot kU[6] = {kU11, kU22, kU33, kU12, kU13, kU23};
  const Atom& x = model.atoms[static_cast<std::size_t>(atom)];
  auto add = [&](Slot slot, double dz) {
    for (const Term* t = map.begin_of(atom, slot); t != map.end_of(atom, slot); ++t)
      gradient[static_cast<std::size_t>(t->variable)] += coefficient * dz * t->coefficient;
  };
  if (!x.anisotropic) {
    const double dot = v[0] * w[0] + v[1] * w[1] + v[2] * w[2];
    add(kUiso, dot);
    return x.uiso * dot;
  }
  Vec3 cv{}, cw{};  // A^T v, A^T w
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i) {
      cv[j] += metric.orthogonal[i][j] * v[i];
      cw[j] += metric.orthogonal[i][j] * w[i];
    }
  double z = 0;
  for (int k = 0; k < 6; ++k) {
    const int i = kPairs[k][0], j = kPairs[k][1];
    const double dz = (i == j ? cv[i] * cw[i] : cv[i] * cw[j] + cv[j] * cw[i]) * metric.reciprocal[i] * metric.reciprocal[j];
    z += dz * x.u[static_cast<std::size_t>(k)];
    add(kU[k], dz);
  }
  return z;
}

// The row of a difference between atoms a and b of the projection on v, w.
RestraintRow projection_difference(const Model& model, const ParameterMap& map, const Metric& metric, int a, int b,
                                   const Vec3& v, const Vec3& w, double weight, int index) {
  RestraintRow row{0, weight, std::vector<double>(static_cast<std::size_t>(map.count()), 0.0), index};
  const double za = projection(model, map, metric, a, v, w, 1.0, row.gradient);
  const double zb = projection(model, map, metric, b, v, w, -1.0, row.gradient);
  row.residual = -(za - zb);  // target 0
  return row;
}

// The unit vector along the join of a and b (Cartesian), two unit vectors
// across it, and the join's length.
struct BondFrame {
  std::array<Vec3, 3> axes;
  double length = 0;
};

BondFrame bond_frame(const Model& model, const ParameterMap& map, const Metric& metric, const Restraint& r, int a,
                     int b) {
  const Distance d = distance(model, map, metric, r, a, b);
  Vec3 n{};
  const Vec3& sa = map.sites[static_cast<std::size_t>(a)];
  const Vec3& sb = map.sites[static_cast<std::size_t>(b)];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) n[i] += metric.orthogonal[i][j] * (sa[j] - sb[j]) / d.value;
  // The Cartesian axis least along n, made perpendicular to it.
  int k = 0;
  for (int i = 1; i < 3; ++i)
    if (std::fabs(n[i]) < std::fabs(n[k])) k = i;
  Vec3 p{};
  p[k] = 1;
  for (int i = 0; i < 3; ++i) p[i] -= n[k] * n[i];
  const double length = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
  for (double& c : p) c /= length;
  const Vec3 q{n[1] * p[2] - n[2] * p[1], n[2] * p[0] - n[0] * p[2], n[0] * p[1] - n[1] * p[0]};
  return {{n, p, q}, d.value};
}

constexpr Vec3 kAxes[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};

// An atom's Ueq, the mean of its three diagonal Cartesian projections (its
// Uiso when isotropic); adds coefficient * its gradient to `gradient`.
double equivalent_u(const Model& model, const ParameterMap& map, const Metric& metric, int atom, double coefficient,
                    std::vector<double>& gradient) {
  double sum = 0;
  for (const Vec3& axis : kAxes) sum += projection(model, map, metric, atom, axis, axis, coefficient / 3, gradient);
  return sum / 3;
}

// The factor on 1 / s^2 of a rigid-body pair: its s.u. grows with the
// length d of the join (given) and with the atoms' motion, s d sqrt(q^2 + Ueq_a +
// Ueq_b) / q with q = 0.5 A (Thorn et al., Acta Cryst. A68 (2012) 448, as
// smtbx applies it). With the plain s the published blocks' first cycle
// asks for shifts of 2 to 7 s.u. in the restrained Uij and their restrained
// GooF comes out 0.03-0.09 high; with it the GooF is the paper's within 0.013.
double rigid_body_weight(const Model& model, const ParameterMap& map, const Metric& metric, const Restraint& r, int a,
                         int b, double d) {
  std::vector<double> unused(static_cast<std::size_t>(map.count()), 0.0);
  const double ueq = equivalent_u(model, map, metric, a, 0, unused) + equivalent_u(model, map, metric, b, 0, unused);
  const double q2 = 0.25;
  if (!(q2 + ueq > 0))
    throw vesk::Error(r.name + ": " + model.atoms[static_cast<std::size_t>(a)].label + " and " +
                      model.atoms[static_cast<std::size_t>(b)].label + " have a negative mean-square displacement");
  return q2 / ((q2 + ueq) * d * d);
}
constexpr int kComponents[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};

int checked_atom(const Model& model, const Restraint& r, int a) {
  if (a < 0 || a >= static_cast<int>(model.atoms.size())) throw vesk::Error(r.name + ": names an atom outside the model");
  return a;
}

double sigma_of(const Restraint& r, std::size_t k) {
  const double s = k < r.sigmas.size() ? r.sigmas[k] : r.sigma;
  if (!(s > 0)) throw vesk::Error(r.name + ": its s.u. must be above 0");
  return s;
}

// The volume (x2 - x1) . [(x3 - x1) x (x4 - x1)] and its gradient.
RestraintRow volume_row(const Model& model, const ParameterMap& map, const Metric& metric, const Restraint& r,
                        const std::array<int, 4>& atoms, double weight, int index) {
  std::array<Vec3, 4> x{};
  for (int k = 0; k < 4; ++k) {
    const int a = checked_atom(model, r, atoms[static_cast<std::size_t>(k)]);
    const Vec3& s = map.sites[static_cast<std::size_t>(a)];
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) x[static_cast<std::size_t>(k)][i] += metric.orthogonal[i][j] * s[j];
  }
  auto minus = [](const Vec3& u, const Vec3& v) { return Vec3{u[0] - v[0], u[1] - v[1], u[2] - v[2]}; };
  auto cross = [](const Vec3& u, const Vec3& v) {
    return Vec3{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
  };
  const Vec3 e1 = minus(x[1], x[0]), e2 = minus(x[2], x[0]), e3 = minus(x[3], x[0]);
  // dV/dx2 = e2 x e3, dV/dx3 = e3 x e1, dV/dx4 = e1 x e2, dV/dx1 = minus their sum.
  std::array<Vec3, 4> g{};
  g[1] = cross(e2, e3);
  g[2] = cross(e3, e1);
  g[3] = cross(e1, e2);
  for (int i = 0; i < 3; ++i) g[0][i] = -(g[1][i] + g[2][i] + g[3][i]);
  const double volume = e1[0] * g[1][0] + e1[1] * g[1][1] + e1[2] * g[1][2];
  RestraintRow row{-volume, weight, std::vector<double>(static_cast<std::size_t>(map.count()), 0.0), index};
  for (int k = 0; k < 4; ++k)
    for (int j = 0; j < 3; ++j) {
      double dv = 0;  // by fractional coordinate j: M^T g
      for (int i = 0; i < 3; ++i) dv += metric.orthogonal[i][j] * g[static_cast<std::size_t>(k)][i];
      const int atom = atoms[static_cast<std::size_t>(k)];
      for (const Term* t = map.begin_of(atom, static_cast<Slot>(j)); t != map.end_of(atom, static_cast<Slot>(j)); ++t)
        row.gradient[static_cast<std::size_t>(t->variable)] += dv * t->coefficient;
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
        // Each distance against the mean of them all, weighted by the
        // inverse variance of d_i - mean when every d_i has the s.u. s:
        // n / ((n - 1) s^2). Two distances give the pair itself, (d_1 -
        // d_2)^2 / s^2; the count is n (n - 1) / 2, the pairs held equal.
        // (Measured on the published blocks: the pairwise weight n / s^2
        // makes the s.u.'s of sets of 9 to 27 distances 0.5-0.8 of the
        // paper's, this one 0.96-1.04; the plain 1 / s^2 misses pairs.)
        for (Distance& d : all) {
          for (std::size_t v = 0; v < p; ++v) d.gradient[v] -= mean_gradient[v];
          rows.push_back({mean - d.value, weight * n / (n - 1), std::move(d.gradient), index});
        }
        break;
      }
      case RestraintKind::RigidBond:
      case RestraintKind::RigidBody:
        for (std::size_t i = 0; i + 1 < r.atoms.size(); i += 2) {
          const BondFrame f = bond_frame(model, map, metric, r, r.atoms[i], r.atoms[i + 1]);
          const bool body = r.kind == RestraintKind::RigidBody;
          const double w =
              body ? weight * rigid_body_weight(model, map, metric, r, r.atoms[i], r.atoms[i + 1], f.length) : weight;
          for (int k = 0; k < (body ? 3 : 1); ++k)
            rows.push_back(projection_difference(model, map, metric, r.atoms[i], r.atoms[i + 1], f.axes[0],
                                                 f.axes[static_cast<std::size_t>(k)], w, index));
        }
        break;
      case RestraintKind::SimilarU:
        for (std::size_t i = 0; i + 1 < r.atoms.size(); i += 2) {
          const int a = checked_atom(model, r, r.atoms[i]), b = checked_atom(model, r, r.atoms[i + 1]);
          const double s = sigma_of(r, i / 2), w = 1 / (s * s);
          if (model.atoms[static_cast<std::size_t>(a)].anisotropic && model.atoms[static_cast<std::size_t>(b)].anisotropic) {
            for (const auto& [k, l] : kComponents)
              rows.push_back(projection_difference(model, map, metric, a, b, kAxes[k], kAxes[l], w, index));
          } else {
            // Uiso against Uiso or Ueq: the mean of the three diagonal projections.
            RestraintRow row{0, w, std::vector<double>(p, 0.0), index};
            for (const auto& [atom, sign] : {std::pair<int, double>{a, 1.0}, {b, -1.0}})
              row.residual -= sign * equivalent_u(model, map, metric, atom, sign, row.gradient);
            rows.push_back(std::move(row));
          }
        }
        break;
      case RestraintKind::IsotropicU:
        for (std::size_t i = 0; i < r.atoms.size(); ++i) {
          const int a = checked_atom(model, r, r.atoms[i]);
          if (!model.atoms[static_cast<std::size_t>(a)].anisotropic) continue;
          const double s = sigma_of(r, i), w = 1 / (s * s);
          for (const auto& [k, l] : kComponents) {
            RestraintRow row{0, w, std::vector<double>(p, 0.0), index};
            row.residual = -projection(model, map, metric, a, kAxes[k], kAxes[l], 1.0, row.gradient);
            if (k == l) row.residual += equivalent_u(model, map, metric, a, -1.0, row.gradient);  // Uii - Ueq
            rows.push_back(std::move(row));
          }
        }
        break;
      case RestraintKind::Planar:
        if (r.atoms.size() < 4) throw vesk::Error(r.name + ": needs at least four atoms");
        for (std::size_t i = 3; i < r.atoms.size(); ++i)
          rows.push_back(volume_row(model, map, metric, r, {r.atoms[0], r.atoms[1], r.atoms[2], r.atoms[i]}, weight, index));
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
