#include "tests/support/lsq_models.hpp"

#include <cmath>
#include <numbers>

#include "lsq/form_factors.hpp"

namespace testing_support {

namespace {

lsq::Operator op(lsq::IntMat3 r, lsq::Vec3 t) {
  lsq::Operator o;
  o.rotation = r;
  o.translation = t;
  return o;
}

lsq::Atom atom(const std::string& label, int type, lsq::Vec3 x, bool anisotropic) {
  lsq::Atom a;
  a.label = label;
  a.type = type;
  a.site = x;
  a.anisotropic = anisotropic;
  a.uiso = 0.025;
  a.u = {0.021, 0.026, 0.019, 0.003, -0.002, 0.004};
  for (int s = 0; s < lsq::kSlots; ++s) a.refined[static_cast<std::size_t>(s)] = s != lsq::kOccupancy;
  return a;
}

}  // namespace

// C 2/c: a metal on the twofold axis (0, y, 1/4), anisotropic; a refined
// occupancy; a carbon with a hydrogen riding on it, its Uiso 1.2 Ueq(C).
lsq::Model centric_lsq_model() {
  lsq::Model m;
  m.cell = {12.31, 7.42, 14.86, 90, 108.3, 90};
  m.group.operators = {lsq::Operator{}, op({{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}}, {0, 0, 0.5})};
  m.group.centric = true;
  m.group.centring = {{0, 0, 0}, {0.5, 0.5, 0}};
  m.types = {lsq::it92_form_factor("Fe"), lsq::it92_form_factor("O"), lsq::it92_form_factor("C"),
             lsq::it92_form_factor("H")};
  m.types[0].f_prime = 0.35;
  m.types[0].f_double_prime = 0.84;
  m.atoms = {atom("Fe1", 0, {0, 0.1372, 0.25}, true), atom("O1", 1, {0.1123, 0.2011, 0.3318}, true),
             atom("C1", 2, {0.2012, 0.0847, 0.3911}, true), atom("H1", 3, {0.2655, 0.1502, 0.4313}, false),
             atom("O2", 1, {0.0771, -0.1533, 0.1502}, false)};
  m.atoms[0].occupancy = 0.5;
  m.atoms[4].refined[lsq::kOccupancy] = true;
  m.atoms[4].occupancy = 0.7;
  m.atoms[3].riding_pivot = 2;
  m.atoms[3].u_pivot = 2;
  m.atoms[3].u_factor = 1.2;
  m.scale = 1.37;
  m.extinction = 0.021;
  m.extinction_refined = true;
  return m;
}

lsq::Model disordered_lsq_model() {
  lsq::Model m = centric_lsq_model();
  m.free_variables = {0.64, 0.031};
  m.free_variable_refined = {true, true};
  m.atoms.push_back(atom("O3", 1, {0.3391, 0.3208, 0.0813}, true));
  m.atoms.push_back(atom("O3'", 1, {0.3712, 0.2911, 0.1106}, true));
  m.atoms.push_back(atom("C2", 2, {0.3391, 0.3208, 0.0813}, false));
  lsq::Atom& a = m.atoms[5];
  lsq::Atom& b = m.atoms[6];
  lsq::Atom& c = m.atoms[7];
  a.occupancy = 0.64;
  a.occupancy_link = {0, 1.0};
  b.occupancy = 0.36;
  b.occupancy_link = {0, -1.0};
  b.same_u_as = 5;
  c.occupancy = 0.32;
  c.occupancy_link = {0, 0.5};
  c.same_site_as = 5;
  c.uiso = 0.031;
  c.uiso_link = {1, 1.0};
  for (lsq::Atom* x : {&a, &b, &c}) x->refined[lsq::kOccupancy] = false;
  c.refined[lsq::kUiso] = false;
  return m;
}

// P 21 21 21 with a heavy atom's anomalous scattering: Fc^2(h) and
// Fc^2(-h) differ.
lsq::Model acentric_lsq_model() {
  lsq::Model m;
  m.cell = {6.91, 9.84, 11.27, 90, 90, 90};
  m.wavelength = 1.54184;
  m.group.operators = {lsq::Operator{}, op({{{-1, 0, 0}, {0, -1, 0}, {0, 0, 1}}}, {0.5, 0, 0.5}),
                       op({{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}}, {0, 0.5, 0.5}),
                       op({{{1, 0, 0}, {0, -1, 0}, {0, 0, -1}}}, {0.5, 0.5, 0})};
  m.types = {lsq::it92_form_factor("Br"), lsq::it92_form_factor("N"), lsq::it92_form_factor("C"),
             lsq::it92_form_factor("H")};
  m.types[0].f_prime = -0.77;
  m.types[0].f_double_prime = 1.28;
  m.types[2].f_double_prime = 0.009;
  m.atoms = {atom("Br1", 0, {0.1311, 0.2243, 0.0712}, true), atom("N1", 1, {0.3312, 0.4041, 0.1831}, true),
             atom("C1", 2, {0.4722, 0.3318, 0.2685}, false), atom("H1A", 3, {0.5561, 0.4012, 0.3143}, false),
             atom("H1B", 3, {0.3974, 0.2641, 0.3222}, false)};
  for (int h : {3, 4}) {
    m.atoms[static_cast<std::size_t>(h)].riding_pivot = 2;
    m.atoms[static_cast<std::size_t>(h)].u_pivot = 2;
    m.atoms[static_cast<std::size_t>(h)].u_factor = 1.5;
  }
  m.scale = 0.83;
  return m;
}

lsq::Model rigid_lsq_model(bool translated) {
  lsq::Model m = centric_lsq_model();
  const lsq::Mat3 o = lsq::metric_of(m.cell).orthogonal;
  // Fractional from Cartesian: back substitution through the upper
  // triangular orthogonalisation matrix.
  auto fractional = [&](const lsq::Vec3& x) {
    lsq::Vec3 f{};
    for (int i = 2; i >= 0; --i) {
      double rest = x[static_cast<std::size_t>(i)];
      for (int j = i + 1; j < 3; ++j) rest -= o[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] * f[static_cast<std::size_t>(j)];
      f[static_cast<std::size_t>(i)] = rest / o[static_cast<std::size_t>(i)][static_cast<std::size_t>(i)];
    }
    return f;
  };
  const lsq::Vec3 centre{3.1, 2.6, 4.4}, u{0.8, 0.6, 0}, v{-0.36, 0.48, 0.8};  // two orthonormal directions
  lsq::RigidGroup group{{}, translated, "AFIX 66 (line 30)"};
  for (int k = 0; k < 6; ++k) {
    const double angle = k * std::numbers::pi / 3;
    lsq::Vec3 x{};
    for (std::size_t i = 0; i < 3; ++i) x[i] = centre[i] + 1.39 * (std::cos(angle) * u[i] + std::sin(angle) * v[i]);
    group.atoms.push_back(static_cast<int>(m.atoms.size()));
    m.atoms.push_back(atom("C" + std::to_string(11 + k), 2, fractional(x), k != 3));
    if (k == 1) {
      lsq::Atom h = atom("H12", 3, fractional({x[0] + 0.93 * (x[0] - centre[0]) / 1.39, x[1] + 0.93 * (x[1] - centre[1]) / 1.39,
                                               x[2] + 0.93 * (x[2] - centre[2]) / 1.39}), false);
      h.riding_pivot = h.u_pivot = static_cast<int>(m.atoms.size()) - 1;
      h.u_factor = 1.2;
      m.atoms.push_back(h);
    }
  }
  m.atoms[group.atoms.front()].refined[lsq::kX] = translated;  // as a refinement writes a group that only turns
  m.rigid_groups.push_back(group);
  return m;
}

}  // namespace testing_support
