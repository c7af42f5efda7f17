// Standard uncertainties of torsion angles, angles and distances between
// images of atoms, against finite differences of the same geometry computed
// by gemmi from the perturbed cell and coordinates.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include <gemmi/calculate.hpp>
#include <gemmi/unitcell.hpp>

#include "geometry/measure.hpp"

using namespace vesk;

namespace {

// Cell (a, b, c, cos alpha, cos beta, cos gamma), then x, y, z of atoms 1-3.
using Parameters = std::vector<double>;

struct Point {
  int atom;                 // 1..3
  SymmetryOperation op;
};

gemmi::Position place(const Parameters& p, const Point& point) {
  const double degrees = 180 / M_PI;
  const gemmi::UnitCell cell(p[0], p[1], p[2], std::acos(p[3]) * degrees, std::acos(p[4]) * degrees,
                             std::acos(p[5]) * degrees);
  const std::size_t k = 6 + 3 * static_cast<std::size_t>(point.atom - 1);
  const Vec3d x = image_of(point.op, Vec3d{p[k], p[k + 1], p[k + 2]});
  return cell.orthogonalize(gemmi::Fractional(x[0], x[1], x[2]));
}

// sqrt(J C J^T) with J from central differences.
double finite_difference_sigma(const Parameters& p, const std::vector<std::vector<double>>& covariance,
                               const std::function<double(const Parameters&)>& f) {
  std::vector<double> j(p.size());
  for (std::size_t k = 0; k < p.size(); ++k) {
    Parameters up = p, down = p;
    const double h = 1e-6;
    up[k] += h;
    down[k] -= h;
    j[k] = (f(up) - f(down)) / (2 * h);
  }
  double variance = 0;
  for (std::size_t r = 0; r < p.size(); ++r)
    for (std::size_t s = 0; s < p.size(); ++s) variance += j[r] * j[s] * covariance[r][s];
  return std::sqrt(variance);
}

SymmetryOperation op(IntMat3 r, std::array<int, 3> twelfths) { return {r, twelfths}; }

}  // namespace

TEST(GeometrySu, TorsionAngleAndDistanceSigmasAgreeWithFiniteDifferences) {
  // A triclinic cell; atom 1 enters twice (as A and as D, through different
  // operations), so its own correlations must add up.
  const Parameters p = {7.123, 8.456, 9.789, 0.1, -0.2, 0.15, 0.112, 0.231, 0.345, 0.198, 0.301, 0.412,
                        0.305, 0.288, 0.501};
  const std::vector<Point> chain = {
      {1, op({{{-1, 0, 0}, {0, -1, 0}, {0, 0, -1}}}, {6, 12, 0})},  // -x+1/2, -y+1, -z
      {2, SymmetryOperation{}},
      {3, op({{{0, 1, 0}, {1, 0, 0}, {0, 0, -1}}}, {0, 0, 12})},    // y, x, -z+1
      {1, op({{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, {3, 0, 6})},      // x+1/4, y, z+1/2
  };
  // A covariance with correlations everywhere: L L^T from a fixed lower triangle.
  const std::size_t n = p.size();
  std::vector<std::vector<double>> l(n, std::vector<double>(n, 0)), covariance(n, std::vector<double>(n, 0));
  for (std::size_t r = 0; r < n; ++r)
    for (std::size_t s = 0; s <= r; ++s)
      l[r][s] = (r == s ? 1.0 : 0.3 * std::sin(static_cast<double>(3 * r + 7 * s))) * (r < 3 ? 2e-3 : r < 6 ? 4e-4 : 3e-4);
  for (std::size_t r = 0; r < n; ++r)
    for (std::size_t s = 0; s < n; ++s)
      for (std::size_t k = 0; k < n; ++k) covariance[r][s] += l[r][k] * l[s][k];
  // The cell-by-atom blocks are not part of the propagation: the cell is
  // refined apart from the atoms.
  for (std::size_t r = 0; r < 6; ++r)
    for (std::size_t s = 6; s < n; ++s) covariance[r][s] = covariance[s][r] = 0;

  const Vec3 abc{static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2])};
  const Vec3 cosines{static_cast<float>(p[3]), static_cast<float>(p[4]), static_cast<float>(p[5])};
  Parameters single = p;  // the 32-bit values the program works from
  for (std::size_t k = 0; k < n; ++k) single[k] = static_cast<float>(p[k]);
  const CellFrame frame = cell_frame(abc, cosines);
  ASSERT_TRUE(frame.usable);
  std::vector<ImagePoint> points;
  for (const Point& point : chain) {
    const std::size_t k = 6 + 3 * static_cast<std::size_t>(point.atom - 1);
    const Vec3 own{static_cast<float>(p[k]), static_cast<float>(p[k + 1]), static_cast<float>(p[k + 2])};
    const std::array<int, 3> positions{static_cast<int>(k + 1), static_cast<int>(k + 2), static_cast<int>(k + 3)};
    points.push_back(image_point(frame, point.atom, own, point.op, positions));
  }
  CellCovariance6 cell{};
  for (std::size_t r = 0; r < 6; ++r)
    for (std::size_t s = 0; s < 6; ++s) cell[r][s] = covariance[r][s];
  const ParameterCovariance parameters = [&covariance](int a, int b) {
    return covariance[static_cast<std::size_t>(a - 1)][static_cast<std::size_t>(b - 1)];
  };

  auto torsion = [&chain](const Parameters& q) {
    return gemmi::calculate_dihedral(place(q, chain[0]), place(q, chain[1]), place(q, chain[2]), place(q, chain[3]));
  };
  const PointMeasure t = measure_torsion(points[0], points[1], points[2], points[3]);
  ASSERT_TRUE(t.defined);
  EXPECT_NEAR(t.value, torsion(single), 1e-9);
  const double expected_t = finite_difference_sigma(single, covariance, torsion);
  EXPECT_NEAR(propagated_sigma(frame, points, t, cell, parameters), expected_t, 1e-5 * expected_t);

  auto angle = [&chain](const Parameters& q) {
    return gemmi::calculate_angle(place(q, chain[0]), place(q, chain[1]), place(q, chain[2]));
  };
  const std::vector<ImagePoint> three(points.begin(), points.begin() + 3);
  const PointMeasure a = measure_angle(frame, points[0], points[1], points[2]);
  EXPECT_NEAR(a.value, angle(single), 1e-9);
  const double expected_a = finite_difference_sigma(single, covariance, angle);
  EXPECT_NEAR(propagated_sigma(frame, three, a, cell, parameters), expected_a, 1e-5 * expected_a);

  // A distance between two images of one atom: only the operations differ.
  auto distance = [&chain](const Parameters& q) { return place(q, chain[0]).dist(place(q, chain[3])); };
  const std::vector<ImagePoint> ends{points[0], points[3]};
  const PointMeasure d = measure_distance(frame, points[0], points[3]);
  EXPECT_NEAR(d.value, distance(single), 1e-9);
  const double expected_d = finite_difference_sigma(single, covariance, distance);
  EXPECT_NEAR(propagated_sigma(frame, ends, d, cell, parameters), expected_d, 1e-5 * expected_d);

  // A chain through an inversion centre, A-B-B'-A', is trans exactly.
  const SymmetryOperation inversion = op({{{-1, 0, 0}, {0, -1, 0}, {0, 0, -1}}}, {0, 0, 0});
  auto inverted = [&](const ImagePoint& q) {
    const std::size_t k = 6 + 3 * static_cast<std::size_t>(q.atom - 1);
    const Vec3 own{static_cast<float>(p[k]), static_cast<float>(p[k + 1]), static_cast<float>(p[k + 2])};
    return image_point(frame, q.atom, own, compose(inversion, q.op), q.positions);
  };
  EXPECT_EQ(measure_torsion(points[0], points[1], inverted(points[1]), inverted(points[0])).value, M_PI);

  // Three points on a line have no torsion angle about them.
  std::vector<ImagePoint> line = points;
  line[0].cart = {points[1].cart[0] - 1.5, points[1].cart[1], points[1].cart[2]};
  line[2].cart = {points[1].cart[0] + 1.5, points[1].cart[1], points[1].cart[2]};
  EXPECT_FALSE(measure_torsion(line[0], line[1], line[2], line[3]).defined);
}

TEST(GeometrySu, CoordinateBlocksGiveTheSameSigmaAsThePairwiseCovariance) {
  // Four atoms in a monoclinic cell; the covariance as COVEL gives it, in
  // single precision, correlated everywhere.
  const CellFrame frame = cell_frame({9.1f, 10.2f, 11.3f}, {0.0f, -0.25f, 0.0f});
  const std::vector<Vec3> own{
      {0.11f, 0.23f, 0.37f}, {0.19f, 0.31f, 0.42f}, {0.27f, 0.22f, 0.49f}, {0.31f, 0.18f, 0.55f}};
  auto covel = [](int p, int q) {
    return static_cast<float>((p == q ? 2.0e-8 : 0.0) + 1.0e-9 * std::cos(static_cast<double>(p * q)));
  };
  const ParameterCovariance pairwise = [&covel](int p, int q) { return static_cast<double>(covel(p, q)); };
  auto positions = [](int atom) { return std::array<int, 3>{3 * atom - 2, 3 * atom - 1, 3 * atom}; };
  const SymmetryOperation screw = op({{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}}, {0, 6, 6});  // -x, y+1/2, -z+1/2
  CellCovariance6 cell{};
  for (std::size_t r = 0; r < 6; ++r) cell[r][r] = 1e-6;

  // A, B, C, D: four atoms (read block by block), then atom 1 again as D
  // (through the screw axis), whose two images add up to one term.
  for (const std::array<int, 4>& atoms : {std::array<int, 4>{1, 2, 3, 4}, std::array<int, 4>{1, 2, 3, 1}}) {
    std::vector<ImagePoint> points;
    for (std::size_t k = 0; k < 4; ++k) {
      const int atom = atoms[k];
      const SymmetryOperation image = k == 3 ? screw : SymmetryOperation{};
      points.push_back(image_point(frame, atom, own[static_cast<std::size_t>(atom - 1)], image, positions(atom)));
    }
    std::array<std::array<CoordinateBlock, 4>, 4> stored{};
    PointBlocks blocks;
    for (std::size_t k = 0; k < 4; ++k)
      for (std::size_t l = k; l < 4; ++l) {
        for (std::size_t r = 0; r < 3; ++r)
          for (std::size_t s = 0; s < 3; ++s)
            stored[k][l][3 * r + s] = covel(points[k].positions[r], points[l].positions[s]);
        blocks.of[k][l] = &stored[k][l];
      }
    const PointMeasure t = measure_torsion(points[0], points[1], points[2], points[3]);
    ASSERT_TRUE(t.defined);
    const double expected = propagated_sigma(frame, points, t, cell, pairwise);
    EXPECT_GT(expected, 0);
    EXPECT_EQ(propagated_sigma(frame, points, t, cell, pairwise, &blocks), expected);
  }
}
