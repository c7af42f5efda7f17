// The molecule analysis of a phase against numerical derivatives: a
// puckered six-membered carbon ring with a hydroxyl O in P 21/c, every atom
// anisotropic, with a covariance of cell, coordinates and Uij correlated
// within and between atoms. Each s.u. (planes, deviations, plane angles,
// puckering, rigid-bond differences) is compared with central differences
// of the whole recomputation, model and analysis, combined with the same
// covariance; and the symmetry-fixed values of an inversion-centred ring.
#include "geometry/molecule_analysis.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "recio/fixed_text.hpp"
#include "tests/support/groups.hpp"

namespace vesk {
namespace {

// a, b, c, cos(alpha), cos(beta), cos(gamma), then per atom x, y, z, U11 .. U23.
using Parameters = std::vector<double>;
constexpr std::size_t kPerAtom = 9;

struct Structure {
  PhaseDescription phase;
  Parameters p;
  std::vector<std::vector<double>> covariance;
};

PhaseDescription phase_of(const Structure& s, const Parameters& p) {
  PhaseDescription phase = s.phase;
  for (std::size_t k = 0; k < 3; ++k) {
    phase.abc[k] = static_cast<float>(p[k]);
    phase.cosines[k] = static_cast<float>(p[3 + k]);
  }
  for (std::size_t a = 0; a < phase.atoms.size(); ++a) {
    const std::size_t k = 6 + kPerAtom * a;
    for (std::size_t i = 0; i < 3; ++i) phase.atoms[a].x[i] = static_cast<float>(p[k + i]);
    for (std::size_t i = 0; i < 6; ++i) phase.atoms[a].u[i] = static_cast<float>(p[k + 3 + i]);
  }
  return phase;
}

// A ring of six C 1.53 A apart, puckered (a distorted chair), and an O on
// C1, placed about (cx, cy, cz) of an 8.1 x 6.3 x 9.7 A cell, beta 100.
Structure ring_structure(const char* group, std::array<double, 3> centre) {
  Structure s;
  PhaseDescription& phase = s.phase;
  phase.number = 1;
  phase.abc_sigma = {0.0012f, 0.0009f, 0.0015f};
  phase.cosine_sigma = {0, 0.0003f, 0};
  phase.group = testing_support::valid_group(group);
  phase.group.laue = std::string(group) == "P -1" ? kLaue1bar : kLaue2OverM;
  const double abc[3] = {8.1, 6.3, 9.7}, cb = std::cos(100.0 / kDegreesPerRadian);
  AtomType carbon, oxygen;
  carbon.symbol = recio::pad("C", 8);
  oxygen.symbol = recio::pad("O", 8);
  carbon.bond_radius = carbon.angle_radius = 0.85f;
  oxygen.bond_radius = oxygen.angle_radius = 0.8f;
  phase.types.push_back(carbon);
  phase.types.push_back(oxygen);
  // Cartesian (a along X, b along Y for beta only), then fractional.
  std::vector<std::array<double, 3>> cart;
  const double heights[6] = {0.27, -0.22, 0.25, -0.26, 0.2, -0.24};
  for (int k = 0; k < 6; ++k) {
    const double t = k * M_PI / 3 + 0.004 * k * k;
    cart.push_back({1.45 * std::cos(t), 1.45 * std::sin(t), heights[k]});
  }
  cart.push_back({2.85, 0.1, 0.65});  // O on C1
  const double sb = std::sqrt(1 - cb * cb);
  for (std::size_t a = 0; a < cart.size(); ++a) {
    AtomSite atom;
    const bool o = a == 6;
    atom.label = recio::pad(o ? "O1" : "C" + std::to_string(a + 1), 8);
    atom.type_symbol = o ? oxygen.symbol : carbon.symbol;
    atom.type = o ? 2 : 1;
    atom.fraction = 1;
    atom.kind = "A   ";
    const double z = cart[a][2] / (abc[2] * sb);
    const double x = (cart[a][0] - z * abc[2] * cb) / abc[0];
    atom.x = {static_cast<float>(centre[0] + x), static_cast<float>(centre[1] + cart[a][1] / abc[1]),
              static_cast<float>(centre[2] + z)};
    const double d = 0.002 * static_cast<double>(a);
    atom.u = {static_cast<float>(0.030 + d), static_cast<float>(0.041 - d), static_cast<float>(0.035 + 2 * d),
              static_cast<float>(0.004 + d), static_cast<float>(0.006), static_cast<float>(-0.003 + d)};
    for (int i = 0; i < 3; ++i) atom.x_position[static_cast<std::size_t>(i)] = 7 + static_cast<int>(kPerAtom * a) + i;
    for (int i = 0; i < 6; ++i) atom.u_position[static_cast<std::size_t>(i)] = 10 + static_cast<int>(kPerAtom * a) + i;
    phase.atoms.push_back(atom);
  }
  phase.abc = {static_cast<float>(abc[0]), static_cast<float>(abc[1]), static_cast<float>(abc[2])};
  phase.cosines = {0, static_cast<float>(cb), 0};
  s.p = {phase.abc[0], phase.abc[1], phase.abc[2], phase.cosines[0], phase.cosines[1], phase.cosines[2]};
  for (const AtomSite& atom : phase.atoms) {
    s.p.insert(s.p.end(), atom.x.begin(), atom.x.end());
    s.p.insert(s.p.end(), atom.u.begin(), atom.u.end());
  }
  const CellCovariance cell = cell_covariance(phase);
  const std::size_t n = s.p.size();
  s.covariance.assign(n, std::vector<double>(n, 0.0));
  for (std::size_t r = 0; r < 6; ++r)
    for (std::size_t c = 0; c < 6; ++c)
      s.covariance[r][c] = cell.at(static_cast<int>(r) + 1, static_cast<int>(c) + 1);
  // Coordinate s.u.'s of a few 1e-4, Uij s.u.'s of a few 1e-3, correlated.
  auto sigma = [](std::size_t r) {
    return (r - 6) % kPerAtom < 3 ? 1.0E-4 * (2 + static_cast<double>(r % 4)) : 1.0E-3 * (1 + static_cast<double>(r % 3));
  };
  for (std::size_t r = 6; r < n; ++r)
    for (std::size_t c = 6; c < n; ++c) {
      const double correlation = r == c ? 1.0 : ((r + c) % 5 == 0 ? 0.2 : -0.04);
      s.covariance[r][c] = static_cast<float>(correlation * sigma(r) * sigma(c));
    }
  return s;
}

MoleculeAnalysis analyse(const Structure& s, const PhaseDescription& phase,
                         const std::vector<std::vector<AnalysisImage>>& planes) {
  PhaseDescription copy = phase;
  const CellCovariance cell = cell_covariance(copy);
  const ParameterCovariance covel = [&s](int p, int q) {
    return s.covariance[static_cast<std::size_t>(p - 1)][static_cast<std::size_t>(q - 1)];
  };
  GeometryOptions options;
  options.search.dmax_given = true;
  options.search.dmax = 3.0f;
  const PhaseGeometry geometry = compute_phase_geometry(copy, cell, covel, options);
  return analyse_molecules(copy, geometry, cell, covel, planes);
}

// Central differences of one value of the analysis, combined with the covariance.
double numerical_su(const Structure& s, const std::vector<std::vector<AnalysisImage>>& planes,
                    const std::function<double(const MoleculeAnalysis&)>& f) {
  std::vector<double> gradient(s.p.size());
  for (std::size_t k = 0; k < s.p.size(); ++k) {
    // Steps the 32-bit phase can hold well: parts in 1e5 of a length, 1e-5 of a cosine or coordinate.
    const double h = k < 3 ? 1.0E-4 : 1.0E-5;
    Parameters p = s.p;
    p[k] = s.p[k] + h;
    const double up = f(analyse(s, phase_of(s, p), planes));
    p[k] = s.p[k] - h;
    const double down = f(analyse(s, phase_of(s, p), planes));
    gradient[k] = (up - down) / (2 * h);
  }
  double variance = 0;
  for (std::size_t r = 0; r < s.p.size(); ++r)
    for (std::size_t c = 0; c < s.p.size(); ++c) variance += gradient[r] * gradient[c] * s.covariance[r][c];
  return std::sqrt(variance);
}

TEST(MoleculeAnalysis, EveryStandardUncertaintyAgreesWithFiniteDifferencesThroughTheCovariance) {
  const Structure s = ring_structure("P 21/c", {0.3, 0.28, 0.22});
  const std::vector<std::vector<AnalysisImage>> user{{{1, {}}, {2, {}}, {3, {}}, {7, {}}}};
  const MoleculeAnalysis analysis = analyse(s, s.phase, user);
  ASSERT_TRUE(analysis.computed);
  ASSERT_EQ(analysis.rings.size(), 1u);
  ASSERT_EQ(analysis.rings[0].atoms.size(), 6u);
  EXPECT_TRUE(analysis.rings[0].puckering);
  ASSERT_EQ(analysis.planes.size(), 2u);   // the ring's and PLAN 1's
  ASSERT_EQ(analysis.plane_angles.size(), 1u);
  EXPECT_EQ(analysis.planes[0].deviations.size(), 7u);  // six defining, O1 besides
  EXPECT_EQ(analysis.planes[1].user, 1);
  ASSERT_EQ(analysis.rigid_bond.size(), 7u);  // six ring bonds and C1-O1

  auto expect_su = [&](const char* what, const MeasuredValue& m, const std::function<double(const MoleculeAnalysis&)>& f) {
    ASSERT_TRUE(m.defined) << what;
    const double reference = numerical_su(s, user, f);
    EXPECT_NEAR(m.su, reference, 0.02 * reference + 1.0E-9) << what;
  };
  expect_su("RMS deviation", analysis.planes[0].rms, [](const MoleculeAnalysis& a) { return a.planes[0].rms.value; });
  expect_su("deviation of C2", analysis.planes[0].deviations[1].deviation,
            [](const MoleculeAnalysis& a) { return a.planes[0].deviations[1].deviation.value; });
  expect_su("deviation of O1", analysis.planes[0].deviations[6].deviation,
            [](const MoleculeAnalysis& a) { return a.planes[0].deviations[6].deviation.value; });
  expect_su("plane angle", analysis.plane_angles[0].degrees,
            [](const MoleculeAnalysis& a) { return a.plane_angles[0].degrees.value; });
  expect_su("Q", analysis.rings[0].total, [](const MoleculeAnalysis& a) { return a.rings[0].total.value; });
  expect_su("theta", analysis.rings[0].theta, [](const MoleculeAnalysis& a) { return a.rings[0].theta.value; });
  expect_su("phi2", analysis.rings[0].terms[0].phase,
            [](const MoleculeAnalysis& a) { return a.rings[0].terms[0].phase.value; });
  for (std::size_t k = 0; k < analysis.rigid_bond.size(); ++k) {
    expect_su("rigid-bond Delta", analysis.rigid_bond[k].delta,
              [k](const MoleculeAnalysis& a) { return a.rigid_bond[k].delta.value; });
    expect_su("z2(A)", analysis.rigid_bond[k].msda_a,
              [k](const MoleculeAnalysis& a) { return a.rigid_bond[k].msda_a.value; });
  }
}

TEST(MoleculeAnalysis, ARingThroughAnInversionCentreHasItsImagesExactlyInItsPlane) {
  // The ring centred on the inversion centre at the origin: each atom's
  // image through it is another ring atom's partner across the centroid.
  Structure s = ring_structure("P -1", {0.5, 0.5, 0.5});
  // Only the first three ring atoms; the centre makes the other three.
  PhaseDescription phase = s.phase;
  std::vector<AtomSite> atoms(phase.atoms.begin(), phase.atoms.end());
  phase.atoms.clear();
  for (std::size_t k = 0; k < 3; ++k) {
    AtomSite atom = atoms[k];
    const AtomSite& opposite = atoms[k + 3];
    // Half-way between the atom and the opposite one's inverse: exactly centrosymmetric.
    for (std::size_t i = 0; i < 3; ++i) atom.x[i] = static_cast<float>(0.5 + 0.5 * (atoms[k].x[i] - opposite.x[i]));
    phase.atoms.push_back(atom);
  }
  s.phase = phase;
  const MoleculeAnalysis analysis = analyse(s, phase, {});
  ASSERT_EQ(analysis.rings.size(), 1u);
  ASSERT_EQ(analysis.rings[0].atoms.size(), 6u);
  const PlaneAnalysis& plane = analysis.planes[0];
  ASSERT_TRUE(plane.defined);
  // A chair through a centre: q2 is zero by symmetry, whatever the
  // coordinates do, so its s.u. is zero too; Q is |q3|.
  const RingAnalysis& ring = analysis.rings[0];
  EXPECT_NEAR(ring.terms[0].amplitude.value, 0.0, 1.0E-6);
  EXPECT_NEAR(ring.terms[0].amplitude.su, 0.0, 1.0E-7);
  EXPECT_GT(ring.total.su, 1.0E-5);
  EXPECT_NEAR(ring.total.value, std::abs(ring.terms[1].amplitude.value), 1.0E-9);
  EXPECT_EQ(ring.conformation, Conformation::chair);
  // Each atom and its image through the centre lie as far above as below.
  for (std::size_t k = 0; k < 3; ++k)
    EXPECT_NEAR(plane.deviations[k].deviation.value, -plane.deviations[k + 3].deviation.value, 1.0E-6);
}

TEST(MoleculeAnalysis, HeavierThanHeliumByTheTypeSymbol) {
  EXPECT_TRUE(heavier_than_helium("C"));
  EXPECT_TRUE(heavier_than_helium("Li+1"));
  EXPECT_FALSE(heavier_than_helium("H"));
  EXPECT_FALSE(heavier_than_helium("D"));
  EXPECT_FALSE(heavier_than_helium("He"));
}

}  // namespace
}  // namespace vesk
