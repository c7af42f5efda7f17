// The model of a phase's geometry against an independent recomputation:
// every distance, angle and torsion angle of a small structure recomputed
// from its cell and coordinates in plain double precision, and every s.u.
// against numerical derivatives of that recomputation propagated through
// the same covariance. And the one propagation on a measure of eight points
// with a derivative of another refined parameter.
#include "geometry/phase_geometry.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "recio/fixed_text.hpp"
#include "tests/support/groups.hpp"

namespace vesk {
namespace {

using Vec = std::array<double, 3>;

// The cell's parameters a, b, c, cos(alpha), cos(beta), cos(gamma), then
// x, y, z of each atom.
using Parameters = std::vector<double>;

// X = M x, a along X and b in the XY plane (Rollett, Computing Methods in
// Crystallography, 1965).
std::array<Vec, 3> orthogonalisation(const Parameters& p) {
  const double a = p[0], b = p[1], c = p[2], ca = p[3], cb = p[4], cg = p[5];
  const double sg = std::sqrt(1 - cg * cg);
  const double v = std::sqrt(1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg);
  return {{{a, b * cg, c * cb}, {0, b * sg, c * (ca - cb * cg) / sg}, {0, 0, c * v / sg}}};
}

Vec times(const std::array<Vec, 3>& m, const Vec& x) {
  return {m[0][0] * x[0] + m[0][1] * x[1] + m[0][2] * x[2], m[1][0] * x[0] + m[1][1] * x[1] + m[1][2] * x[2],
          m[2][0] * x[0] + m[2][1] * x[1] + m[2][2] * x[2]};
}
Vec minus(const Vec& p, const Vec& q) { return {p[0] - q[0], p[1] - q[1], p[2] - q[2]}; }
double dot(const Vec& p, const Vec& q) { return p[0] * q[0] + p[1] * q[1] + p[2] * q[2]; }
Vec cross(const Vec& p, const Vec& q) {
  return {p[1] * q[2] - p[2] * q[1], p[2] * q[0] - p[0] * q[2], p[0] * q[1] - p[1] * q[0]};
}

// An image named by operator code and translation, placed from the
// parameters through the space group's own operators.
struct Named {
  int atom = 0;
  ImageName name{1, {0, 0, 0}};
};

Vec cartesian(const PhaseDescription& phase, const Parameters& p, const Named& image) {
  const SymmetryOperation op = operation_of(phase.group, image.name.code, image.name.n);
  const std::size_t k = 6 + 3 * static_cast<std::size_t>(image.atom - 1);
  Vec x{};
  for (std::size_t i = 0; i < 3; ++i)
    x[i] = op.twelfths[i] / 12.0 + op.rotation[i][0] * p[k] + op.rotation[i][1] * p[k + 1] + op.rotation[i][2] * p[k + 2];
  return times(orthogonalisation(p), x);
}

double distance(const Vec& p, const Vec& q) { return std::sqrt(dot(minus(p, q), minus(p, q))); }

double angle_degrees(const Vec& p, const Vec& vertex, const Vec& q) {
  const Vec u = minus(p, vertex), v = minus(q, vertex);
  return std::acos(dot(u, v) / std::sqrt(dot(u, u) * dot(v, v))) * 180 / M_PI;
}

// The IUPAC dihedral angle from the normals of the two planes.
double torsion_degrees(const Vec& a, const Vec& b, const Vec& c, const Vec& d) {
  const Vec b1 = minus(b, a), b2 = minus(c, b), b3 = minus(d, c);
  const Vec n1 = cross(b1, b2), n2 = cross(b2, b3);
  const double x = dot(n1, n2), y = dot(cross(n1, n2), b2) / std::sqrt(dot(b2, b2));
  return std::atan2(y, x) * 180 / M_PI;
}

// The s.u. of f by central differences and J C J^T; `covariance` holds
// the cell block and the coordinates' (row r of the parameters at r).
double numerical_sigma(Parameters p, const std::vector<std::vector<double>>& covariance,
                       const std::function<double(const Parameters&)>& f) {
  std::vector<double> gradient(p.size());
  for (std::size_t k = 0; k < p.size(); ++k) {
    const double keep = p[k], h = 1.0E-6;
    p[k] = keep + h;
    const double up = f(p);
    p[k] = keep - h;
    const double down = f(p);
    p[k] = keep;
    gradient[k] = (up - down) / (2 * h);
  }
  double variance = 0;
  for (std::size_t r = 0; r < p.size(); ++r)
    for (std::size_t s = 0; s < p.size(); ++s) variance += gradient[r] * gradient[s] * covariance[r][s];
  return std::sqrt(variance);
}

// A twisted chain of five carbon atoms 1.53 A apart in P 21/c, every
// other contact beyond 1.7 A: its bonds make three angles and two torsion
// angles, and every atom has neighbours within 3 A through the images.
struct Structure {
  PhaseDescription phase;
  CellCovariance cell;
  Parameters p;
  std::vector<std::vector<double>> covariance;  // [parameter][parameter], cell first
};

Structure chain_structure() {
  Structure s;
  PhaseDescription& phase = s.phase;
  phase.number = 1;
  phase.abc = {7.1f, 5.3f, 9.2f};
  phase.cosines = {0, -0.2419219f, 0};  // beta 104 degrees
  phase.abc_sigma = {0.0011f, 0.0009f, 0.0014f};
  phase.cosine_sigma = {0, 0.00031f, 0};
  phase.group = testing_support::valid_group("P 21/c");
  phase.group.laue = kLaue2OverM;
  AtomType carbon;
  carbon.symbol = recio::pad("C", 8);
  carbon.bond_radius = 0.85f;
  carbon.angle_radius = 0.85f;
  phase.types.push_back(carbon);
  const std::vector<Vec3> chain = {
      {0.1000f, 0.2200f, 0.1500f}, {0.2765f, 0.3857f, 0.1500f}, {0.4554f, 0.2202f, 0.1586f},
      {0.6432f, 0.3504f, 0.2410f}, {0.8435f, 0.2638f, 0.3301f}};
  for (std::size_t k = 0; k < chain.size(); ++k) {
    AtomSite atom;
    atom.label = recio::pad("C" + std::to_string(k + 1), 8);
    atom.type_symbol = carbon.symbol;
    atom.type = 1;
    atom.x = chain[k];
    atom.fraction = 1;
    // Covariance positions 7.. as the parameters below number them.
    for (int i = 0; i < 3; ++i) atom.x_position[static_cast<std::size_t>(i)] = 7 + 3 * static_cast<int>(k) + i;
    phase.atoms.push_back(atom);
  }
  s.cell = cell_covariance(phase);
  s.p = {phase.abc[0], phase.abc[1], phase.abc[2], phase.cosines[0], phase.cosines[1], phase.cosines[2]};
  for (const Vec3& x : chain) s.p.insert(s.p.end(), x.begin(), x.end());
  const std::size_t n = s.p.size();
  s.covariance.assign(n, std::vector<double>(n, 0.0));
  for (int r = 1; r <= 6; ++r)
    for (int c = 1; c <= 6; ++c)
      s.covariance[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)] = s.cell.at(r, c);
  // Coordinate sigmas of a few 1e-4 with correlations within and between
  // atoms, single precision as a covariance file holds them.
  for (std::size_t r = 6; r < n; ++r)
    for (std::size_t c = 6; c < n; ++c) {
      const double sr = 1.0E-4 * (2 + static_cast<double>(r % 4)), sc = 1.0E-4 * (2 + static_cast<double>(c % 4));
      const double correlation = r == c ? 1.0 : ((r + c) % 5 == 0 ? 0.25 : -0.05);
      s.covariance[r][c] = static_cast<float>(correlation * sr * sc);
    }
  return s;
}

// COVEL of the structure's matrix: position q is parameter q - 1.
ParameterCovariance covel(const Structure& s) {
  return [&s](int p, int q) { return s.covariance[static_cast<std::size_t>(p - 1)][static_cast<std::size_t>(q - 1)]; };
}

TEST(PhaseGeometry, ModelOfAChainAgainstAnIndependentRecomputation) {
  const Structure s = chain_structure();
  const PhaseDescription& phase = s.phase;
  GeometryOptions options;
  options.search.dmax_given = true;
  options.search.dmax = 3.0f;
  options.molecules = true;
  std::vector<int> told;
  const PhaseGeometry model = compute_phase_geometry(phase, s.cell, covel(s), options, [&told](int atom) { told.push_back(atom); });
  ASSERT_TRUE(model.computed);
  EXPECT_EQ(told, (std::vector<int>{1, 2, 3, 4, 5}));

  std::size_t distances = 0, angles = 0;
  for (int i = 1; i <= 5; ++i) {
    const Named centre{i};
    std::vector<Named> kept;
    for (const Contact& c : model.contacts_of(i)) {
      const Named image{c.atom, {c.code, c.n}};
      auto d = [&](const Parameters& p) { return distance(cartesian(phase, p, centre), cartesian(phase, p, image)); };
      EXPECT_NEAR(c.d, d(s.p), 2.0E-6);
      EXPECT_LE(c.d, 3.0f);
      const double reference = numerical_sigma(s.p, s.covariance, d);
      EXPECT_NEAR(c.sigma, reference, 1.0E-4 * reference) << "distance " << i << "-" << c.atom << " code " << c.code;
      EXPECT_FALSE(c.negative_variance);
      EXPECT_EQ(c.kept, c.d <= 1.7f);
      if (c.kept) kept.push_back(image);
      ++distances;
    }
    // The kept neighbours are the atom's bonds in the graph, in the same order.
    const std::vector<Bond>& bonds = model.bonds.bonds_of(i);
    ASSERT_EQ(bonds.size(), kept.size());
    for (std::size_t k = 0; k < bonds.size(); ++k) {
      EXPECT_EQ(bonds[k].atom, kept[k].atom);
      EXPECT_EQ(bonds[k].code, kept[k].name.code);
      EXPECT_EQ(bonds[k].n, kept[k].name.n);
    }
    const std::span<const AngleValue> values = model.angles_of(i);
    ASSERT_EQ(values.size(), kept.size() * (kept.size() - std::min<std::size_t>(kept.size(), 1)) / 2);
    std::size_t k = 0;
    for (std::size_t m1 = 0; m1 + 1 < kept.size(); ++m1)
      for (std::size_t m2 = m1 + 1; m2 < kept.size(); ++m2, ++k) {
        auto theta = [&](const Parameters& p) {
          return angle_degrees(cartesian(phase, p, kept[m1]), cartesian(phase, p, centre), cartesian(phase, p, kept[m2]));
        };
        EXPECT_NEAR(values[k].degrees, theta(s.p), 1.0E-9);
        const double reference = numerical_sigma(s.p, s.covariance, theta);
        EXPECT_NEAR(values[k].sigma, reference, 1.0E-4 * reference) << "angle at " << i;
        ++angles;
      }
  }
  // The chain's three inner atoms have two bonds each.
  EXPECT_EQ(angles, 3u);
  EXPECT_GT(distances, angles);

  // Every torsion angle along the chain, each once, B in its own place.
  ASSERT_EQ(model.torsions.size(), 2u);
  for (const Torsion& t : model.torsions) {
    const TorsionAtoms atoms = torsion_atoms(model, t);
    EXPECT_EQ(atoms.atoms[1], t.central);
    EXPECT_EQ(atoms.names[1].code, 1);
    std::array<Named, 4> chain;
    for (std::size_t k = 0; k < 4; ++k) chain[k] = Named{atoms.atoms[k], atoms.names[k]};
    auto omega = [&](const Parameters& p) {
      return torsion_degrees(cartesian(phase, p, chain[0]), cartesian(phase, p, chain[1]), cartesian(phase, p, chain[2]),
                             cartesian(phase, p, chain[3]));
    };
    EXPECT_NEAR(t.degrees, omega(s.p), 1.0E-4);
    const double reference = numerical_sigma(s.p, s.covariance, omega);
    EXPECT_NEAR(t.sigma, reference, 1.0E-4 * reference + 1.0E-6);
  }
  // No hydrogen atoms, no hydrogen bonds; one molecule of five atoms.
  EXPECT_TRUE(model.hbonds.empty());
  EXPECT_FALSE(model.molecules.network);
  EXPECT_GE(model.molecules.atoms.size(), 5u);
}

TEST(PhaseGeometry, RefusedOrUnreadablePhaseIsNotComputed) {
  Structure s = chain_structure();
  GeometryOptions options;
  options.search.dmax_given = true;
  options.search.dmax = 60.0f;
  options.molecules = true;
  const PhaseGeometry refused = compute_phase_geometry(s.phase, s.cell, covel(s), options);
  EXPECT_FALSE(refused.computed);
  EXPECT_EQ(refused.refusal.reason, SearchRefusal::Reason::TooLong);
  EXPECT_TRUE(refused.contacts.empty());
  // Drawn all the same, each atom on its own.
  EXPECT_EQ(refused.molecules.atoms.size(), 5u);
  EXPECT_TRUE(refused.molecules.bonds.empty());
}

TEST(Propagation, MeasureOverEightPointsWithAnotherParameter) {
  // The mean square distance of eight images from their centroid, scaled by
  // a refined parameter u at covariance position 40: Q = u S / 8 with
  // S = sum |X_k - centroid|^2, dQ/dX_k = u (X_k - centroid) / 4 and
  // dQ/du = S / 8. Against numerical derivatives through the same covariance.
  Structure s = chain_structure();
  const PhaseDescription& phase = s.phase;
  const CellFrame frame = cell_frame(phase.abc, phase.cosines);
  const std::array<Named, 8> images = {Named{1}, Named{2}, Named{3}, Named{4}, Named{5},
                                       Named{1, {-1, {1, 0, 1}}}, Named{2, {2, {0, 1, 0}}}, Named{3, {-2, {1, 1, 0}}}};
  std::vector<ImagePoint> points;
  for (const Named& n : images) {
    const AtomSite& atom = phase.atoms[static_cast<std::size_t>(n.atom - 1)];
    points.push_back(image_point(frame, n.atom, atom.x, operation_of(phase.group, n.name.code, n.name.n), atom.x_position));
  }
  const double u = 0.8;
  // The parameter u joins the matrix as its last row, correlated with x of atom 2.
  Parameters p = s.p;
  p.push_back(u);
  std::vector<std::vector<double>> covariance = s.covariance;
  for (auto& row : covariance) row.push_back(0.0);
  covariance.push_back(std::vector<double>(p.size(), 0.0));
  const std::size_t last = p.size() - 1;
  covariance[last][last] = 0.0025;
  covariance[last][9] = covariance[9][last] = 0.3 * 0.05 * 3.0E-4;
  auto q = [&](const Parameters& pp) {
    std::array<Vec, 8> x;
    Vec centroid{};
    for (std::size_t k = 0; k < 8; ++k) {
      x[k] = cartesian(phase, pp, images[k]);
      for (std::size_t i = 0; i < 3; ++i) centroid[i] += x[k][i] / 8;
    }
    double sum = 0;
    for (const Vec& xk : x) sum += dot(minus(xk, centroid), minus(xk, centroid));
    return pp.back() * sum / 8;
  };

  Vec centroid{};
  for (const ImagePoint& point : points)
    for (std::size_t i = 0; i < 3; ++i) centroid[i] += point.cart[i] / 8;
  PointMeasure m;
  double sum = 0;
  for (const ImagePoint& point : points) {
    const Vec r = minus(point.cart, centroid);
    sum += dot(r, r);
    m.gradient.push_back({u * r[0] / 4, u * r[1] / 4, u * r[2] / 4});
  }
  m.value = u * sum / 8;
  EXPECT_NEAR(m.value, q(p), 1.0E-9);
  const int u_position = static_cast<int>(last) + 1;
  const std::array<ParameterDerivative, 1> extra{ParameterDerivative{u_position, sum / 8}};
  const ParameterCovariance with_u = [&covariance](int r, int c) {
    return covariance[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)];
  };
  const double variance = propagated_variance(frame, points, m, in_double(s.cell), with_u, extra);
  const double reference = numerical_sigma(p, covariance, q);
  EXPECT_NEAR(std::sqrt(variance), reference, 1.0E-4 * reference);
  // The parameter's own part: without it the s.u. is smaller.
  EXPECT_LT(propagated_variance(frame, points, m, in_double(s.cell), with_u), variance);
  // A gradient that does not match the points is refused.
  m.gradient.pop_back();
  EXPECT_THROW(propagated_variance(frame, points, m, in_double(s.cell), with_u), Error);
}

}  // namespace
}  // namespace vesk
