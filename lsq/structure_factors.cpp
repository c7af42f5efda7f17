#include "lsq/structure_factors.hpp"

#include <cmath>
#include <numbers>

namespace lsq {

namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;
constexpr double kTwoPiSquared = 2 * std::numbers::pi * std::numbers::pi;
constexpr int kPairs[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
constexpr Slot kUSlots[6] = {kU11, kU22, kU33, kU12, kU13, kU23};
// Per atom: G, dG/dx (3), dG/dU (6, or dG/dUiso in the first), each complex.
constexpr int kPerAtom = 2 * (1 + 3 + 6);

}  // namespace

StructureFactors::StructureFactors(const Model& model, const ParameterMap& map)
    : model_(model), map_(map), metric_(metric_of(model.cell)) {
  for (std::size_t n = 0; n < model.atoms.size(); ++n) {
    const Atom& atom = model.atoms[n];
    Site site;
    site.type = atom.type;
    site.occupancy = atom.occupancy;
    site.x = map.sites[n];
    site.anisotropic = atom.anisotropic;
    site.uiso = atom.uiso;
    if (atom.u_pivot >= 0) {
      const Atom& pivot = model.atoms[static_cast<std::size_t>(atom.u_pivot)];
      site.uiso = atom.u_factor * (pivot.anisotropic ? u_equivalent(metric_, pivot.u) : pivot.uiso);
    }
    for (int k = 0; k < 6; ++k) {
      const int a = kPairs[k][0], b = kPairs[k][1];
      site.ustar[k] = atom.u[k] * metric_.reciprocal[a] * metric_.reciprocal[b] * (a == b ? 1 : 2);
    }
    sites_.push_back(site);
  }
  for (const Operator& op : model.group.operators) {
    std::array<double, 9> r{};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) r[3 * i + j] = op.rotation[i][j];
    rotations_.push_back(r);
    translations_.push_back(op.translation);
  }
}

StructureFactors::Scratch StructureFactors::scratch() const {
  Scratch s;
  s.per_atom.assign(sites_.size() * kPerAtom, 0.0);
  s.slot_gradient.assign(kSlots, 0.0);
  s.hr.resize(rotations_.size());
  s.shift.resize(rotations_.size());
  s.f_real.resize(model_.types.size());
  s.f_imag.resize(model_.types.size());
  return s;
}

double StructureFactors::fc_squared(const Miller& h, double* gradient, Scratch& scratch) const {
  if (gradient != nullptr)
    for (int v = 0; v < map_.count(); ++v) gradient[v] = 0;
  const Twin& twin = model_.twin;
  if (twin.domains.size() < 2) return domain(h, 1, gradient, scratch);
  // f_0 = 1 - sum f_k: dFc^2 / df_k = Fc^2(h_k) - Fc^2(h_0).
  double first = 1;
  for (double f : twin.fractions) first -= f;
  double total = 0, zeroth = 0;
  for (std::size_t k = 0; k < twin.domains.size(); ++k) {
    Miller hk{};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) hk[static_cast<std::size_t>(i)] += twin.domains[k][static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] * h[static_cast<std::size_t>(j)];
    const double f = k == 0 ? first : twin.fractions[k - 1];
    const double value = domain(hk, f, gradient, scratch);
    total += f * value;
    if (k == 0) zeroth = value;
    else if (gradient != nullptr && map_.twin_fractions[k - 1] >= 0) gradient[map_.twin_fractions[k - 1]] += value;
  }
  if (gradient != nullptr)
    for (int variable : map_.twin_fractions)
      if (variable >= 0) gradient[variable] -= zeroth;
  return total;
}

double StructureFactors::domain(const Miller& h, double weight, double* gradient, Scratch& scratch) const {
  const double s2 = s_squared(metric_, h);
  const bool centric = model_.group.centric;
  const double centring = static_cast<double>(model_.group.centring.size());
  const std::size_t nops = rotations_.size();

  // h R and 2 pi h.t of each listed operator.
  std::vector<std::array<double, 3>>& hr = scratch.hr;
  std::vector<double>& shift = scratch.shift;
  for (std::size_t k = 0; k < nops; ++k) {
    for (int j = 0; j < 3; ++j) hr[k][j] = h[0] * rotations_[k][j] + h[1] * rotations_[k][3 + j] + h[2] * rotations_[k][6 + j];
    shift[k] = kTwoPi * (h[0] * translations_[k][0] + h[1] * translations_[k][1] + h[2] * translations_[k][2]);
  }
  std::vector<double>& f_real = scratch.f_real;
  std::vector<double>& f_imag = scratch.f_imag;
  for (std::size_t t = 0; t < model_.types.size(); ++t) {
    f_real[t] = model_.types[t].f0(s2) + model_.types[t].f_prime;
    f_imag[t] = model_.types[t].f_double_prime;
  }

  double fr = 0, fi = 0;
  for (std::size_t n = 0; n < sites_.size(); ++n) {
    const Site& site = sites_[n];
    double* g = scratch.per_atom.data() + n * kPerAtom;
    for (int k = 0; k < kPerAtom; ++k) g[k] = 0;
    const double iso = site.anisotropic ? 0 : std::exp(-4 * kTwoPiSquared * site.uiso * s2);
    for (std::size_t k = 0; k < nops; ++k) {
      const double* q = hr[k].data();
      const double phi = kTwoPi * (q[0] * site.x[0] + q[1] * site.x[1] + q[2] * site.x[2]) + shift[k];
      double m[6];
      double t = iso;
      if (site.anisotropic) {
        for (int c = 0; c < 6; ++c) m[c] = q[kPairs[c][0]] * q[kPairs[c][1]];
        double e = 0;
        for (int c = 0; c < 6; ++c) e += m[c] * site.ustar[c];
        t = std::exp(-kTwoPiSquared * e);
      }
      const double c = t * std::cos(phi), s = centric ? 0 : t * std::sin(phi);
      const double sn = centric ? t * std::sin(phi) : s;
      // G += t e^{i phi}; a centric group pairs each operator with its
      // inverse image: 2 t cos(phi).
      g[0] += c;
      g[1] += s;
      for (int a = 0; a < 3; ++a) {
        g[2 + 2 * a] += -sn * q[a];
        g[3 + 2 * a] += centric ? 0 : c * q[a];
      }
      if (site.anisotropic)
        for (int u = 0; u < 6; ++u) {
          g[8 + 2 * u] += c * m[u];
          g[9 + 2 * u] += s * m[u];
        }
    }
    const double pair = centric ? 2 : 1;
    for (int k = 0; k < 2; ++k) g[k] *= pair;
    for (int k = 2; k < 8; ++k) g[k] *= pair * kTwoPi;
    if (site.anisotropic) {
      for (int u = 0; u < 6; ++u) {
        const double factor = -pair * kTwoPiSquared * metric_.reciprocal[kPairs[u][0]] * metric_.reciprocal[kPairs[u][1]] *
                              (kPairs[u][0] == kPairs[u][1] ? 1 : 2);
        g[8 + 2 * u] *= factor;
        g[9 + 2 * u] *= factor;
      }
    } else {
      g[8] = -4 * kTwoPiSquared * s2 * g[0];
      g[9] = -4 * kTwoPiSquared * s2 * g[1];
    }
    const double ar = site.occupancy * f_real[static_cast<std::size_t>(site.type)];
    const double ai = site.occupancy * f_imag[static_cast<std::size_t>(site.type)];
    fr += centring * (ar * g[0] - ai * g[1]);
    fi += centring * (ar * g[1] + ai * g[0]);
  }

  // Extinction and scale: Fc^2 = k^2 y (1 + x eps y)^(-1/2), y = |F|^2.
  const double y = fr * fr + fi * fi;
  const double sine = std::min(1.0, model_.wavelength * std::sqrt(s2));
  const double sin_two_theta = 2 * sine * std::sqrt(1 - sine * sine);
  const double epsilon = sin_two_theta > 0 ? 1e-3 * std::pow(model_.wavelength, 3) / sin_two_theta : 0;
  const double e = 1 + model_.extinction * epsilon * y;
  const double k2 = model_.scale * model_.scale;
  const double fc2 = k2 * y / std::sqrt(e);
  if (gradient == nullptr) return fc2;

  const double dy = weight * k2 * (1 + model_.extinction * epsilon * y / 2) / (e * std::sqrt(e));  // dFc^2 / dy
  double* slot = scratch.slot_gradient.data();
  for (std::size_t n = 0; n < sites_.size(); ++n) {
    const Site& site = sites_[n];
    const double* g = scratch.per_atom.data() + n * kPerAtom;
    const double fr_t = f_real[static_cast<std::size_t>(site.type)], fi_t = f_imag[static_cast<std::size_t>(site.type)];
    const double ar = centring * site.occupancy * fr_t, ai = centring * site.occupancy * fi_t;
    // dy/dp = 2 Re(conj(F) a dG/dp), a = centring * occupancy * f
    auto d = [&](const double* dg, double f_re, double f_im) {
      const double re = f_re * dg[0] - f_im * dg[1];
      const double im = f_re * dg[1] + f_im * dg[0];
      return 2 * (fr * re + fi * im) * dy;
    };
    const int atom = static_cast<int>(n);
    for (int a = 0; a < 3; ++a) slot[a] = d(g + 2 + 2 * a, ar, ai);
    slot[kOccupancy] = d(g, centring * fr_t, centring * fi_t);
    slot[kUiso] = site.anisotropic ? 0 : d(g + 8, ar, ai);
    for (int u = 0; u < 6; ++u) slot[kUSlots[u]] = site.anisotropic ? d(g + 8 + 2 * u, ar, ai) : 0;
    for (int sl = 0; sl < kSlots; ++sl) {
      if (slot[sl] == 0) continue;
      for (const Term* term = map_.begin_of(atom, static_cast<Slot>(sl)); term != map_.end_of(atom, static_cast<Slot>(sl));
           ++term)
        gradient[term->variable] += term->coefficient * slot[sl];
    }
  }
  if (map_.scale >= 0) gradient[map_.scale] += weight * 2 * model_.scale * y / std::sqrt(e);
  if (map_.extinction >= 0) gradient[map_.extinction] -= weight * k2 * y * epsilon * y / (2 * e * std::sqrt(e));
  return fc2;
}

}  // namespace lsq
