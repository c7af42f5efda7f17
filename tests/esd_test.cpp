// Standard deviations of distances and angles, checked against numerical
// derivatives taken through the same symmetry operators (in double
// precision) and propagated with the same covariance matrix.
#include "vortan/esd.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "crystal/spacegroup.hpp"
#include "vortan/kept_neighbours.hpp"
#include "vortan/neighbour_search.hpp"
#include "vortan/tables.hpp"
#include "tests/support/typed_operators.hpp"

namespace vesk {
namespace {

constexpr float kDegreesPerRadian = 57.29578f;

using testing_support::TypedOperator;

PhaseDescription make_phase(Vec3 abc, Vec3 angles, int laue, const std::vector<TypedOperator>& ops) {
  PhaseDescription phase;
  phase.number = 1;
  phase.abc = abc;
  for (int k = 0; k < 3; ++k) phase.cosines[k] = std::cos(angles[k] * 3.14159265358979 / 180);
  phase.group.laue = laue;
  testing_support::set_operators(phase, ops);
  return phase;
}

// Parameters of the reference computation: the six cell parameters, then the
// fractional coordinates of each atom.
struct Model {
  std::vector<double> p;
  int atoms = 0;
};

struct ImageSpec {
  int atom = 0;        // from 1
  int code = 1;        // operator code
  std::array<int, 3> n{};
};

std::array<double, 3> image_of(const PhaseDescription& phase, const Model& m, const ImageSpec& s) {
  const auto& op = phase.group.ops[static_cast<std::size_t>(std::abs(s.code) % 100 - 1)];
  const auto& centring = phase.group.centring[static_cast<std::size_t>(std::abs(s.code) / 100)];
  const double* x = &m.p[static_cast<std::size_t>(6 + 3 * (s.atom - 1))];
  std::array<double, 3> out{};
  for (int i = 1; i <= 3; ++i) {
    double value = op.t(i) / 12.0;
    for (int j = 1; j <= 3; ++j) value += op.r(i, j) * x[j - 1];
    if (s.code < 0) value = -value;
    out[static_cast<std::size_t>(i - 1)] = value + centring[static_cast<std::size_t>(i - 1)] +
                                           s.n[static_cast<std::size_t>(i - 1)];
  }
  return out;
}

double length(const Model& m, const std::array<double, 3>& p, const std::array<double, 3>& q) {
  const double u = m.p[0] * (p[0] - q[0]), v = m.p[1] * (p[1] - q[1]), w = m.p[2] * (p[2] - q[2]);
  return std::sqrt(u * u + v * v + w * w + 2 * (v * w * m.p[3] + u * w * m.p[4] + u * v * m.p[5]));
}

double distance_of(const PhaseDescription& phase, const Model& m, int central, const ImageSpec& s) {
  const ImageSpec self{central};
  return length(m, image_of(phase, m, self), image_of(phase, m, s));
}

// The angle in radians from the three lengths, with the cosine clamped.
double angle_of(const PhaseDescription& phase, const Model& m, int central, const ImageSpec& s1, const ImageSpec& s2) {
  const ImageSpec self{central};
  const auto c = image_of(phase, m, self), p1 = image_of(phase, m, s1), p2 = image_of(phase, m, s2);
  const double d1 = length(m, c, p1), d2 = length(m, c, p2), d3 = length(m, p1, p2);
  return std::acos(std::clamp((d1 * d1 + d2 * d2 - d3 * d3) / (2 * d1 * d2), -1.0, 1.0));
}

// sigma of f by central differences and J C J^T.
template <class F>
double numerical_sigma(Model m, const std::vector<double>& covariance, F f) {
  const std::size_t n = m.p.size();
  std::vector<double> gradient(n);
  for (std::size_t k = 0; k < n; ++k) {
    const double keep = m.p[k];
    const double h = 1.0E-6;
    m.p[k] = keep + h;
    const double up = f(m);
    m.p[k] = keep - h;
    const double down = f(m);
    m.p[k] = keep;
    gradient[k] = (up - down) / (2 * h);
  }
  double var = 0;
  for (std::size_t r = 0; r < n; ++r)
    for (std::size_t s = 0; s < n; ++s) var += gradient[r] * gradient[s] * covariance[r * n + s];
  return std::sqrt(std::fabs(var));
}

// A believable covariance: the cell block from the phase, and an atom block
// with sigmas of a few 1e-4 and some correlation between coordinates.
std::vector<double> full_covariance(const CellCovariance& cell, int atoms) {
  const std::size_t n = static_cast<std::size_t>(6 + 3 * atoms);
  std::vector<double> c(n * n, 0.0);
  for (int r = 1; r <= 6; ++r)
    for (int s = 1; s <= 6; ++s) c[static_cast<std::size_t>((r - 1) * static_cast<int>(n) + s - 1)] = cell.at(r, s);
  for (std::size_t r = 6; r < n; ++r) {
    const double sr = 1.0E-4 * (2 + static_cast<double>(r % 5));
    c[r * n + r] = sr * sr;
    for (std::size_t s = 6; s < n; ++s)
      if (s != r) {
        const double ss = 1.0E-4 * (2 + static_cast<double>(s % 5));
        c[r * n + s] = ((r + s) % 3 == 0 ? 0.3 : -0.1) * sr * ss;
      }
  }
  return c;
}

// Rows 7.. of the work covariance taken from the full matrix, as COVEL would.
void fill_rows(WorkCovariance& work, const std::vector<double>& c, int atoms, int last) {
  const std::size_t n = static_cast<std::size_t>(6 + 3 * atoms);
  for (int r = 7; r <= last; ++r)
    for (int s = 7; s <= last; ++s) {
      const int pr = work.positions[static_cast<std::size_t>(r - 1)];
      const int ps = work.positions[static_cast<std::size_t>(s - 1)];
      work.at(r, s) = (pr == 0 || ps == 0) ? 0.0f
                                           : static_cast<float>(c[static_cast<std::size_t>(pr - 1) * n +
                                                                  static_cast<std::size_t>(ps - 1)]);
    }
}

std::array<int, 3> positions_of(int atom) { return {6 + 3 * (atom - 1) + 1, 6 + 3 * (atom - 1) + 2, 6 + 3 * (atom - 1) + 3}; }

void set_rows(WorkCovariance& work, int first_row, const std::array<int, 3>& positions) {
  for (std::size_t k = 0; k < 3; ++k) work.positions[static_cast<std::size_t>(first_row - 1) + k] = positions[k];
}

Vec3 position_of(const Model& m, int atom) {
  const std::size_t first = static_cast<std::size_t>(6 + 3 * (atom - 1));
  return {static_cast<float>(m.p[first]), static_cast<float>(m.p[first + 1]), static_cast<float>(m.p[first + 2])};
}

NeighbourEntry neighbour_entry(const PhaseDescription& phase, const Model& m, int central, const ImageSpec& s,
                               WorkCovariance& work, const std::vector<double>& c, DistanceSigma& sigma) {
  NeighbourEntry entry;
  entry.code = s.code;
  entry.n = s.n;
  entry.atom = s.atom;
  entry.positions = positions_of(s.atom);
  set_rows(work, 7, positions_of(central));
  set_rows(work, 10, entry.positions);
  fill_rows(work, c, m.atoms, 12);
  sigma = distance_sigma(phase, position_of(m, central), position_of(m, s.atom), s.code, s.n, work);
  entry.image = sigma.image;
  entry.d = static_cast<float>(sigma.distance);
  return entry;
}

// Distances and all angles among the given images of one central atom:
// analytic against numerical sigmas, both propagated through one covariance.
void cross_check(PhaseDescription phase, const std::vector<Vec3>& atoms, int central,
                 const std::vector<ImageSpec>& images) {
  const CellCovariance cell = cell_covariance(phase);
  Model m;
  m.atoms = static_cast<int>(atoms.size());
  for (int k = 0; k < 3; ++k) m.p.push_back(phase.abc[static_cast<std::size_t>(k)]);
  for (int k = 0; k < 3; ++k) m.p.push_back(phase.cosines[static_cast<std::size_t>(k)]);
  // The reference works on the single-precision cosines the phase holds.
  for (const Vec3& x : atoms)
    for (float coordinate : x) m.p.push_back(coordinate);
  const std::vector<double> c = full_covariance(cell, m.atoms);

  WorkCovariance work;
  set_cell_block(work, cell);
  std::vector<NeighbourEntry> entries;
  for (const ImageSpec& s : images) {
    DistanceSigma analytic;
    NeighbourEntry entry = neighbour_entry(phase, m, central, s, work, c, analytic);
    const double reference = numerical_sigma(m, c, [&](const Model& mm) { return distance_of(phase, mm, central, s); });
    EXPECT_NEAR(analytic.distance, distance_of(phase, m, central, s), 1.0E-12 * analytic.distance);
    EXPECT_NEAR(analytic.sigma, reference, 1.0E-5 * reference + 1.0E-9) << "atom " << s.atom << " code " << s.code;
    EXPECT_GT(reference, 1.0E-5);
    entries.push_back(entry);
  }
  const double degrees = 180 / 3.14159265358979;
  for (std::size_t a = 0; a < images.size(); ++a)
    for (std::size_t b = a + 1; b < images.size(); ++b) {
      const auto& e1 = entries[a];
      const auto& e2 = entries[b];
      set_rows(work, 10, e1.positions);
      set_rows(work, 13, e2.positions);
      fill_rows(work, c, m.atoms, 15);
      const Angle angle = bond_angle(phase, atoms[static_cast<std::size_t>(central - 1)], e1, e2, work, kDegreesPerRadian);
      const double theta = angle_of(phase, m, central, images[a], images[b]) * degrees;
      EXPECT_NEAR(angle.degrees, theta, 2.0E-5 * theta);
      const double reference = degrees * numerical_sigma(m, c, [&](const Model& mm) {
        return angle_of(phase, mm, central, images[a], images[b]);
      });
      EXPECT_NEAR(angle.sigma, reference, 1.0E-4 * reference + 1.0E-6) << "angle " << a << " " << b;
    }
}

TEST(CellCovariance, LaueClassTiesTheCellParameters) {
  // Tetragonal: b is tied to a, and a and b vary together.
  PhaseDescription tetragonal = make_phase({5, 5, 7}, {90, 90, 90}, 4, {{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 0, 0}}});
  tetragonal.abc_sigma = {0.001f, 0.002f, 0.003f};
  CellCovariance cell = cell_covariance(tetragonal);
  EXPECT_FLOAT_EQ(tetragonal.abc_sigma[1], 0.001f);
  EXPECT_FLOAT_EQ(cell.at(1, 2), 1.0E-6f);
  EXPECT_FLOAT_EQ(cell.at(2, 1), 1.0E-6f);
  EXPECT_FLOAT_EQ(cell.at(2, 2), 1.0E-6f);
  EXPECT_FLOAT_EQ(cell.at(3, 3), 9.0E-6f);
  EXPECT_FLOAT_EQ(cell.at(1, 3), 0.0f);

  // The tie enters a distance along the diagonal of the ab plane: with
  // u = v the two edge terms add up instead of adding in quadrature.
  WorkCovariance work;
  set_cell_block(work, cell);
  const float sigma = distance_sigma(tetragonal, {0, 0, 0}, {0.5f, 0.5f, 0}, 1, {}, work).sigma;
  EXPECT_NEAR(sigma, 0.5f * std::sqrt(2.0f) * 0.001f, 1.0E-8f);

  // Hexagonal axes: the angle sigmas are forced to 0.
  PhaseDescription hexagonal = make_phase({4, 4, 6}, {90, 90, 120}, 12, {{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 0, 0}}});
  hexagonal.abc_sigma = {0.001f, 0.005f, 0.002f};
  hexagonal.cosine_sigma = {0.0002f, 0.0003f, 0.0004f};
  cell = cell_covariance(hexagonal);
  EXPECT_EQ(hexagonal.cosine_sigma, (Vec3{0, 0, 0}));
  EXPECT_FLOAT_EQ(hexagonal.abc_sigma[1], 0.001f);
  for (int r = 4; r <= 6; ++r)
    for (int s = 1; s <= 6; ++s) EXPECT_EQ(cell.at(r, s), 0.0f);

  // Rhombohedral axes: one angle for all three.
  PhaseDescription rhombohedral = make_phase({5, 5, 5}, {80, 80, 80}, 7, {{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 0, 0}}});
  rhombohedral.abc_sigma = {0.002f, 0, 0.002f};
  rhombohedral.cosine_sigma = {0.001f, 0, 0};
  cell = cell_covariance(rhombohedral);
  EXPECT_EQ(rhombohedral.cosine_sigma, (Vec3{0.001f, 0.001f, 0.001f}));
  for (int r = 4; r <= 6; ++r)
    for (int s = 4; s <= 6; ++s) EXPECT_FLOAT_EQ(cell.at(r, s), 1.0E-6f);
  // a = b = c: c goes with a as b does.
  EXPECT_EQ(rhombohedral.abc_sigma, (Vec3{0.002f, 0.002f, 0.002f}));
  for (int r = 1; r <= 3; ++r)
    for (int s = 1; s <= 3; ++s) EXPECT_FLOAT_EQ(cell.at(r, s), 4.0E-6f);

  // Cubic: symmetry-equivalent distances get the same standard deviation.
  PhaseDescription cubic = make_phase({8, 8, 8}, {90, 90, 90}, 14, {{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 0, 0}}});
  cubic.abc_sigma = {0.001f, 0.003f, 0.002f};
  cell = cell_covariance(cubic);
  EXPECT_EQ(cubic.abc_sigma, (Vec3{0.001f, 0.001f, 0.001f}));
  WorkCovariance cubic_work;
  set_cell_block(cubic_work, cell);
  const float along_ab = distance_sigma(cubic, {0, 0, 0}, {0.25f, 0.25f, 0}, 1, {}, cubic_work).sigma;
  const float along_bc = distance_sigma(cubic, {0, 0, 0}, {0, 0.25f, 0.25f}, 1, {}, cubic_work).sigma;
  EXPECT_FLOAT_EQ(along_ab, along_bc);
  EXPECT_NEAR(along_ab, 0.25f * std::sqrt(2.0f) * 0.001f, 1.0E-8f);

  // Monoclinic: nothing tied.
  PhaseDescription monoclinic = make_phase({5, 6, 7}, {90, 100, 90}, 2, {{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 0, 0}}});
  monoclinic.abc_sigma = {0.001f, 0.002f, 0.003f};
  monoclinic.cosine_sigma = {0, 0.0004f, 0};
  cell = cell_covariance(monoclinic);
  EXPECT_FLOAT_EQ(monoclinic.abc_sigma[1], 0.002f);
  EXPECT_EQ(cell.at(1, 2), 0.0f);
  EXPECT_FLOAT_EQ(cell.at(5, 5), 1.6E-7f);
}

TEST(DistanceSigma, CellOnlyAndNegativeVariance) {
  // Without atom covariances a distance along a has sigma |dx| sigma(a).
  PhaseDescription phase = make_phase({5, 6, 7}, {90, 90, 90}, 3, {{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 0, 0}}});
  phase.abc_sigma = {0.002f, 0.001f, 0.001f};
  WorkCovariance work;
  set_cell_block(work, cell_covariance(phase));
  const Vec3 central{0.1f, 0.2f, 0.3f}, along_a{0.5f, 0.2f, 0.3f};
  const DistanceSigma sigma = distance_sigma(phase, central, along_a, 1, {}, work);
  EXPECT_NEAR(sigma.distance, 2.0, 1.0E-6);
  EXPECT_NEAR(sigma.sigma, 0.4f * 0.002f, 1.0E-8f);
  EXPECT_NEAR(sigma.derivatives[0], 0.4f, 1.0E-6f);  // |u| / a
  // Moving the central atom along x lengthens nothing but u; the
  // neighbour's own coordinate enters with the opposite sign.
  EXPECT_NEAR(sigma.derivatives[6], -5.0f, 1.0E-5f);
  EXPECT_NEAR(sigma.derivatives[9], 5.0f, 1.0E-5f);

  // A covariance that is not positive definite gives a negative variance:
  // reported by the caller, its absolute value used.
  work.positions[6] = 1;
  work.positions[9] = 2;
  work.at(7, 7) = 1.0E-6f;
  work.at(10, 10) = 1.0E-6f;
  work.at(7, 10) = work.at(10, 7) = 2.0E-6f;  // correlation 2
  const DistanceSigma negative = distance_sigma(phase, central, along_a, 1, {}, work);
  EXPECT_LT(negative.variance, kNegativeVarianceLimit);
  EXPECT_FLOAT_EQ(negative.sigma, std::sqrt(std::fabs(negative.variance)));
}

TEST(EsdCrossCheck, TriclinicAgainstNumericalDerivatives) {
  // P -1 with a general cell: the inversion gives negative operator codes.
  PhaseDescription phase =
      make_phase({5.13f, 6.31f, 7.22f}, {81.3f, 95.7f, 103.2f}, 1, {{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 0, 0}}});
  phase.group.centric = 1;
  phase.abc_sigma = {0.0011f, 0.0015f, 0.0021f};
  phase.cosine_sigma = {0.00031f, 0.00022f, 0.00041f};
  const std::vector<Vec3> atoms = {{0.1123f, 0.2231f, 0.3317f}, {0.2871f, 0.0712f, 0.4523f}, {-0.0418f, 0.3346f, 0.1892f}};
  std::vector<ImageSpec> images(4);
  images[0].atom = 2;
  images[1].atom = 3;
  images[2].atom = 1;
  images[2].code = -1;  // the central atom's own inverted image
  images[3].atom = 2;
  images[3].code = -1;
  images[3].n[0] = 1;
  cross_check(phase, atoms, 1, images);
}

TEST(EsdCrossCheck, CubicAgainstNumericalDerivatives) {
  // Operators of a cubic group with non-trivial rotations and translations;
  // the Laue class ties b to a.
  const std::vector<TypedOperator> ops = {
      {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 0, 0}},
      {{{0, 0, 1}, {1, 0, 0}, {0, 1, 0}}, {0, 0, 0}},       // z, x, y
      {{{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}, {3, 9, 3}},      // -y+1/4, x+3/4, z+1/4
      {{{-1, 0, 0}, {0, 0, 1}, {0, -1, 0}}, {6, 0, 6}},     // -x+1/2, z, -y+1/2
  };
  PhaseDescription phase = make_phase({11.46f, 11.46f, 11.46f}, {90, 90, 90}, 14, ops);
  phase.group.centric = 1;
  phase.group.ncent = 2;
  phase.group.centring[1] = {0.5f, 0.5f, 0};
  phase.abc_sigma = {0.0007f, 0.0009f, 0.0007f};
  const std::vector<Vec3> atoms = {{0.125f, 0, 0.25f}, {0.0339f, 0.0498f, 0.6532f}, {0.375f, 0, 0.25f}};
  std::vector<ImageSpec> images(5);
  images[0].atom = 2;
  images[0].code = 2;
  images[1].atom = 2;
  images[1].code = -103;  // with the centring vector (1/2, 1/2, 0)
  images[2].atom = 2;
  images[2].code = 4;
  images[2].n[2] = -1;
  images[3].atom = 3;
  images[3].code = 1;
  images[4].atom = 1;
  images[4].code = -4;
  images[4].n[1] = 1;
  cross_check(phase, atoms, 1, images);
}

TEST(BondAngle, LinearThroughAnInversionCentreIsExact) {
  // P -1, the central atom on the inversion centre at (1/2, 0, 1/2), its
  // neighbour and the neighbour's inverted image: 180 degrees whatever the
  // neighbour's coordinates, so no s.u., however uncertain the atom is.
  PhaseDescription phase =
      make_phase({5.13f, 6.31f, 7.22f}, {81.3f, 95.7f, 103.2f}, 1, {{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 0, 0}}});
  phase.group.centric = 1;
  phase.abc_sigma = {0.0011f, 0.0015f, 0.0021f};
  phase.cosine_sigma = {0.00031f, 0.00022f, 0.00041f};
  const std::vector<Vec3> atoms = {{0.5f, 0, 0.5f}, {0.6123457f, 0.1376543f, 0.3312347f}};
  Model m;
  m.atoms = 2;
  m.p = {phase.abc[0], phase.abc[1], phase.abc[2], phase.cosines[0], phase.cosines[1], phase.cosines[2]};
  for (const Vec3& x : atoms) m.p.insert(m.p.end(), x.begin(), x.end());
  std::vector<double> c = full_covariance(cell_covariance(phase), 2);
  for (std::size_t r = 6; r < 9; ++r)  // the centre is fixed
    for (std::size_t s = 0; s < 12; ++s) c[r * 12 + s] = c[s * 12 + r] = 0;
  WorkCovariance work;
  set_cell_block(work, cell_covariance(phase));
  ImageSpec direct{2, 1, {0, 0, 0}}, inverted{2, -1, {1, 0, 1}};
  DistanceSigma d1, d2;
  const NeighbourEntry e1 = neighbour_entry(phase, m, 1, direct, work, c, d1);
  const NeighbourEntry e2 = neighbour_entry(phase, m, 1, inverted, work, c, d2);
  EXPECT_EQ(d1.distance, d2.distance);
  EXPECT_EQ(d1.sigma, d2.sigma);
  set_rows(work, 10, e1.positions);
  set_rows(work, 13, e2.positions);
  fill_rows(work, c, 2, 15);
  const Angle linear = bond_angle(phase, atoms[0], e1, e2, work, kDegreesPerRadian);
  EXPECT_EQ(linear.degrees, 180.0f);
  EXPECT_LT(linear.sigma, 1.0E-9f);
  EXPECT_EQ(format_value_esd(linear.degrees, linear.sigma, EsdKind::Angle), " 180.000(0)");
}

TEST(BondAngle, CubicSiteFixesTheRightAngle) {
  // F d -3 m: O at (x, x, x) seen from one of its own images, two more
  // images at 90 degrees for any x. The covariance ties x, y and z as the
  // refinement does (one parameter), and a, b, c are one length.
  PhaseDescription phase;
  phase.abc = {8.0836f, 8.0836f, 8.0836f};
  phase.abc_sigma = {0.0001f, 0.0001f, 0.0001f};
  SGINTERP("F d -3 m", -1, phase.group);
  ASSERT_FALSE(phase.group.failed());
  phase.group.laue = 14;
  const Vec3 oxygen{0.26171f, 0.26171f, 0.26171f};
  WorkCovariance work;
  set_cell_block(work, cell_covariance(phase));
  work.positions = {0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  for (int r = 7; r <= 15; ++r)
    for (int s = 7; s <= 15; ++s) work.at(r, s) = 9.0E-10f;  // sigma(x) 0.00003
  auto entry = [&](int code, LatticeTranslation n) {
    NeighbourEntry e;
    e.code = code;
    e.n = n;
    e.image = distance_sigma(phase, oxygen, oxygen, code, n, work).image;
    return e;
  };
  const Angle right = bond_angle(phase, oxygen, entry(-4, {1, 1, 0}), entry(-8, {1, 0, 1}), work, kDegreesPerRadian);
  EXPECT_EQ(right.degrees, 90.0f);
  EXPECT_LT(right.sigma, 1.0E-9f);
  EXPECT_EQ(format_value_esd(right.degrees, right.sigma, EsdKind::Angle), "  90.000(0)");
  // Another angle between the same images does move with x.
  const Angle free = bond_angle(phase, oxygen, entry(-4, {1, 1, 0}), entry(-7, {0, 1, 1}), work, kDegreesPerRadian);
  EXPECT_GT(free.sigma, 1.0E-3f);
}

TEST(BondAngle, NearlyLinearKeepsItsStandardDeviation) {
  // Two independent neighbours 0.42 degrees off the line: the s.u. comes
  // from the angle's own derivatives, not from its cosine.
  PhaseDescription phase =
      make_phase({5.13f, 6.31f, 7.22f}, {81.3f, 95.7f, 103.2f}, 1, {{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 0, 0}}});
  phase.abc_sigma = {0.0011f, 0.0015f, 0.0021f};
  phase.cosine_sigma = {0.00031f, 0.00022f, 0.00041f};
  const Vec3 centre{0.5f, 0.25f, 0.5f};
  const std::vector<Vec3> atoms = {centre, {0.8f, 0.35f, 0.3f}, {0.2f, 0.15f, 0.7022f}};
  std::vector<ImageSpec> images(2);
  images[0].atom = 2;
  images[1].atom = 3;
  cross_check(phase, atoms, 1, images);
}

TEST(BondAngle, CollinearNeighboursGetTheMeanOfTwoBends) {
  // Three independent atoms exactly on a line along x (arms of 2 A), every
  // coordinate with sigma 0.001 (0.01 A): a bend in y or in z moves the
  // angle by dy1/2 + dy2/2 - dyc (1/2 + 1/2), variance 1.5E-4 each way.
  PhaseDescription phase = make_phase({10, 10, 10}, {90, 90, 90}, 14, {{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 0, 0}}});
  WorkCovariance work;
  work.positions = {0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  for (int r = 7; r <= 15; ++r) work.at(r, r) = 1.0E-6f;
  auto entry = [&](Vec3 x) {
    NeighbourEntry e;
    e.code = 1;
    e.image = distance_sigma(phase, {0, 0, 0}, x, 1, {}, work).image;
    return e;
  };
  const Angle linear = bond_angle(phase, {0, 0, 0}, entry({0.2f, 0, 0}), entry({-0.2f, 0, 0}), work, kDegreesPerRadian);
  EXPECT_EQ(linear.degrees, 180.0f);
  EXPECT_NEAR(linear.sigma, kDegreesPerRadian * std::sqrt(1.5E-4f), 1.0E-4f);
  // Two neighbours at the same place: 0 degrees, finite.
  const Angle coincident = bond_angle(phase, {0, 0, 0}, entry({0.2f, 0, 0}), entry({0.2f, 0, 0}), work, kDegreesPerRadian);
  EXPECT_EQ(coincident.degrees, 0.0f);
  EXPECT_TRUE(std::isfinite(coincident.sigma));
}

}  // namespace
}  // namespace vesk
