// The cell covariance with the ties of the Laue class, and the standard
// deviations of distances and angles through the one propagation
// (geometry/measure.hpp), checked against numerical derivatives taken
// through the same symmetry operators (in double precision) and propagated
// with the same covariance matrix.
#include "geometry/cell_covariance.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "crystal/spacegroup.hpp"
#include "geometry/phase_geometry.hpp"
#include "report/tables.hpp"
#include "tests/support/typed_operators.hpp"

namespace vesk {
namespace {

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

std::array<int, 3> positions_of(int atom) { return {6 + 3 * (atom - 1) + 1, 6 + 3 * (atom - 1) + 2, 6 + 3 * (atom - 1) + 3}; }

// COVEL of the full matrix: position p is its row p - 1.
ParameterCovariance covel_of(const std::vector<double>& c, int atoms) {
  const std::size_t n = static_cast<std::size_t>(6 + 3 * atoms);
  return [&c, n](int p, int q) {
    // The propagation takes the coordinate covariance in single precision, as COVEL gives it.
    return static_cast<double>(static_cast<float>(c[static_cast<std::size_t>(p - 1) * n + static_cast<std::size_t>(q - 1)]));
  };
}

// An image of an atom at `x`, its coordinates at positions_of(atom) or, with
// `refined` false, not refined.
ImagePoint point_at(const PhaseDescription& phase, const Vec3& x, const ImageSpec& s, bool refined = true) {
  const CellFrame frame = cell_frame(phase.abc, phase.cosines);
  return image_point(frame, s.atom, x, operation_of(phase.group, s.code, s.n),
                     refined ? positions_of(s.atom) : std::array<int, 3>{});
}

struct Value {
  double value = 0;     // Angstrom or degrees
  double variance = 0;  // as propagated
  double sigma = 0;
};

Value distance_through(const PhaseDescription& phase, const CellCovariance& cell, const ImagePoint& from,
                       const ImagePoint& to, const ParameterCovariance& covariance) {
  const CellFrame frame = cell_frame(phase.abc, phase.cosines);
  const std::array<ImagePoint, 2> points{from, to};
  const PointMeasure m = measure_distance(frame, from, to);
  Value v;
  v.value = m.value;
  v.variance = propagated_variance(frame, points, m, in_double(cell), covariance);
  v.sigma = std::sqrt(std::fabs(v.variance));
  return v;
}

Value angle_through(const PhaseDescription& phase, const CellCovariance& cell, const ImagePoint& first,
                    const ImagePoint& vertex, const ImagePoint& second, const ParameterCovariance& covariance) {
  const CellFrame frame = cell_frame(phase.abc, phase.cosines);
  const std::array<ImagePoint, 3> points{first, vertex, second};
  const PointMeasure m = measure_angle(frame, first, vertex, second);
  Value v;
  v.value = m.value * kDegreesPerRadian;
  v.variance = propagated_variance(frame, points, m, in_double(cell), covariance);
  v.sigma = kDegreesPerRadian * std::sqrt(std::max(v.variance, 0.0));
  return v;
}

// A distance of two unrefined atoms: the cell's part alone.
double cell_only_sigma(const PhaseDescription& phase, const CellCovariance& cell, const Vec3& from, const Vec3& to) {
  return distance_through(phase, cell, point_at(phase, from, {1}, false), point_at(phase, to, {2}, false), {}).sigma;
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
  std::vector<double> c = full_covariance(cell, m.atoms);
  // The coordinate covariance as COVEL gives it, in single precision.
  const std::size_t size = static_cast<std::size_t>(6 + 3 * m.atoms);
  for (std::size_t r = 6; r < size; ++r)
    for (std::size_t s = 6; s < size; ++s) c[r * size + s] = static_cast<float>(c[r * size + s]);
  const ParameterCovariance covariance = covel_of(c, m.atoms);
  const ImagePoint centre = point_at(phase, atoms[static_cast<std::size_t>(central - 1)], {central});
  std::vector<ImagePoint> points;
  for (const ImageSpec& s : images) {
    points.push_back(point_at(phase, atoms[static_cast<std::size_t>(s.atom - 1)], s));
    const Value analytic = distance_through(phase, cell, centre, points.back(), covariance);
    const double reference = numerical_sigma(m, c, [&](const Model& mm) { return distance_of(phase, mm, central, s); });
    EXPECT_NEAR(analytic.value, distance_of(phase, m, central, s), 1.0E-12 * analytic.value);
    EXPECT_NEAR(analytic.sigma, reference, 1.0E-5 * reference + 1.0E-9) << "atom " << s.atom << " code " << s.code;
    EXPECT_GT(reference, 1.0E-5);
  }
  const double degrees = 180 / 3.14159265358979;
  for (std::size_t a = 0; a < images.size(); ++a)
    for (std::size_t b = a + 1; b < images.size(); ++b) {
      const Value angle = angle_through(phase, cell, points[a], centre, points[b], covariance);
      const double theta = angle_of(phase, m, central, images[a], images[b]) * degrees;
      EXPECT_NEAR(angle.value, theta, 2.0E-5 * theta);
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
  const double sigma = cell_only_sigma(tetragonal, cell, {0, 0, 0}, {0.5f, 0.5f, 0});
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
  const double along_ab = cell_only_sigma(cubic, cell, {0, 0, 0}, {0.25f, 0.25f, 0});
  const double along_bc = cell_only_sigma(cubic, cell, {0, 0, 0}, {0, 0.25f, 0.25f});
  EXPECT_DOUBLE_EQ(along_ab, along_bc);
  EXPECT_NEAR(along_ab, 0.25f * std::sqrt(2.0f) * 0.001f, 1.0E-8f);

  // Monoclinic: a, b, c and beta free; alpha and gamma are 90 degrees by
  // symmetry, whatever s.u. the file gives them. Orthorhombic: every angle.
  PhaseDescription monoclinic = make_phase({5, 6, 7}, {90, 100, 90}, 2, {{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 0, 0}}});
  monoclinic.group.unique_axis = 2;
  monoclinic.abc_sigma = {0.001f, 0.002f, 0.003f};
  monoclinic.cosine_sigma = {0.0003f, 0.0004f, 0.0002f};
  cell = cell_covariance(monoclinic);
  EXPECT_FLOAT_EQ(monoclinic.abc_sigma[1], 0.002f);
  EXPECT_EQ(monoclinic.cosine_sigma, (Vec3{0, 0.0004f, 0}));
  EXPECT_EQ(cell.at(1, 2), 0.0f);
  EXPECT_FLOAT_EQ(cell.at(5, 5), 1.6E-7f);
  EXPECT_EQ(cell.at(4, 4), 0.0f);
  EXPECT_EQ(cell.at(6, 6), 0.0f);
  monoclinic.group.unique_axis = 3;
  monoclinic.cosine_sigma = {0.0003f, 0.0004f, 0.0002f};
  cell_covariance(monoclinic);
  EXPECT_EQ(monoclinic.cosine_sigma, (Vec3{0, 0, 0.0002f}));
  PhaseDescription orthorhombic = make_phase({5, 6, 7}, {90, 90, 90}, 3, {{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 0, 0}}});
  orthorhombic.cosine_sigma = {0.0003f, 0.0004f, 0.0002f};
  cell = cell_covariance(orthorhombic);
  EXPECT_EQ(orthorhombic.cosine_sigma, (Vec3{0, 0, 0}));
  for (int r = 4; r <= 6; ++r) EXPECT_EQ(cell.at(r, r), 0.0f);
}

TEST(DistanceSigma, CellOnlyAndNegativeVariance) {
  // Without atom covariances a distance along a has sigma |dx| sigma(a).
  PhaseDescription phase = make_phase({5, 6, 7}, {90, 90, 90}, 3, {{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 0, 0}}});
  phase.abc_sigma = {0.002f, 0.001f, 0.001f};
  const CellCovariance cell = cell_covariance(phase);
  const Vec3 central{0.1f, 0.2f, 0.3f}, along_a{0.5f, 0.2f, 0.3f};
  const Value plain = distance_through(phase, cell, point_at(phase, central, {1}, false),
                                       point_at(phase, along_a, {2}, false), {});
  EXPECT_NEAR(plain.value, 2.0, 1.0E-6);
  EXPECT_NEAR(plain.sigma, 0.4 * 0.002, 1.0E-8);

  // Moving the central atom along x lengthens nothing but u, by a = 5 A per
  // cell edge: sigma(x) 0.001 of either atom alone gives 0.005 A.
  const ParameterCovariance own_x = [](int p, int q) { return p == 7 && q == 7 ? 1.0E-6 : 0.0; };
  EXPECT_NEAR(distance_through(phase, CellCovariance{}, point_at(phase, central, {1}), point_at(phase, along_a, {3}, false),
                               own_x).sigma, 0.005, 1.0E-9);
  EXPECT_NEAR(distance_through(phase, CellCovariance{}, point_at(phase, central, {3}, false), point_at(phase, along_a, {1}),
                               own_x).sigma, 0.005, 1.0E-9);

  // A covariance that is not positive definite gives a negative variance:
  // reported by the caller, its absolute value used.
  const ParameterCovariance correlated = [](int p, int q) {
    if ((p == 7 || p == 10) && p == q) return 1.0E-6;
    if ((p == 7 && q == 10) || (p == 10 && q == 7)) return 2.0E-6;  // correlation 2
    return 0.0;
  };
  const Value negative = distance_through(phase, cell, point_at(phase, central, {1}), point_at(phase, along_a, {2}),
                                          correlated);
  EXPECT_LT(negative.variance, kNegativeVarianceLimit);
  EXPECT_DOUBLE_EQ(negative.sigma, std::sqrt(std::fabs(negative.variance)));
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
  const CellCovariance cell = cell_covariance(phase);
  std::vector<double> c = full_covariance(cell, 2);
  for (std::size_t r = 6; r < 9; ++r)  // the centre is fixed
    for (std::size_t s = 0; s < 12; ++s) c[r * 12 + s] = c[s * 12 + r] = 0;
  const ParameterCovariance covariance = covel_of(c, 2);
  const ImagePoint centre = point_at(phase, atoms[0], {1});
  const ImagePoint direct = point_at(phase, atoms[1], {2, 1, {0, 0, 0}});
  const ImagePoint inverted = point_at(phase, atoms[1], {2, -1, {1, 0, 1}});
  const Value d1 = distance_through(phase, cell, centre, direct, covariance);
  const Value d2 = distance_through(phase, cell, centre, inverted, covariance);
  EXPECT_EQ(d1.value, d2.value);
  EXPECT_EQ(d1.sigma, d2.sigma);
  const Value linear = angle_through(phase, cell, direct, centre, inverted, covariance);
  EXPECT_EQ(static_cast<float>(linear.value), 180.0f);
  EXPECT_LT(linear.sigma, 1.0E-9);
  EXPECT_EQ(format_value_esd(static_cast<float>(linear.value), static_cast<float>(linear.sigma), EsdKind::Angle),
            " 180.000(0)");
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
  const CellCovariance cell = cell_covariance(phase);
  const ParameterCovariance one_parameter = [](int, int) { return 9.0E-10;  };  // sigma(x) 0.00003
  const CellFrame frame = cell_frame(phase.abc, phase.cosines);
  auto image = [&](int code, LatticeTranslation n) {
    return image_point(frame, 1, oxygen, operation_of(phase.group, code, n), {1, 1, 1});
  };
  const ImagePoint centre = image(1, {0, 0, 0});
  const Value right = angle_through(phase, cell, image(-4, {1, 1, 0}), centre, image(-8, {1, 0, 1}), one_parameter);
  EXPECT_EQ(static_cast<float>(right.value), 90.0f);
  EXPECT_LT(right.sigma, 1.0E-9);
  EXPECT_EQ(format_value_esd(static_cast<float>(right.value), static_cast<float>(right.sigma), EsdKind::Angle),
            "  90.000(0)");
  // Another angle between the same images does move with x.
  const Value free = angle_through(phase, cell, image(-4, {1, 1, 0}), centre, image(-7, {0, 1, 1}), one_parameter);
  EXPECT_GT(free.sigma, 1.0E-3);
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
  const CellCovariance cell = cell_covariance(phase);
  const ParameterCovariance independent = [](int p, int q) { return p == q ? 1.0E-6 : 0.0; };
  const ImagePoint centre = point_at(phase, {0, 0, 0}, {1});
  const ImagePoint right = point_at(phase, {0.2f, 0, 0}, {2}), left = point_at(phase, {-0.2f, 0, 0}, {3});
  const Value linear = angle_through(phase, cell, right, centre, left, independent);
  EXPECT_EQ(static_cast<float>(linear.value), 180.0f);
  EXPECT_NEAR(linear.sigma, kDegreesPerRadian * std::sqrt(1.5E-4), 1.0E-4);
  // Two neighbours at the same place: 0 degrees, finite.
  const Value coincident = angle_through(phase, cell, right, centre, point_at(phase, {0.2f, 0, 0}, {3}), independent);
  EXPECT_EQ(static_cast<float>(coincident.value), 0.0f);
  EXPECT_TRUE(std::isfinite(coincident.sigma));
}

}  // namespace
}  // namespace vesk
