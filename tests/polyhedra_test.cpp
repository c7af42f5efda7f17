#include "geometry/polyhedra.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>

#include "recio/error.hpp"
#include "tests/support/inorganic_structures.hpp"

using namespace vesk;

namespace {

template <class F>
void expect_gradient(const F& f, std::vector<Point3d> points, const std::vector<Point3d>& gradient, double tolerance) {
  ASSERT_EQ(gradient.size(), points.size());
  const double h = 1e-6;
  for (std::size_t k = 0; k < points.size(); ++k)
    for (int j = 0; j < 3; ++j) {
      double keep = points[k][j];
      points[k][j] = keep + h;
      double up = f(points);
      points[k][j] = keep - h;
      double down = f(points);
      points[k][j] = keep;
      EXPECT_NEAR(gradient[k][j], (up - down) / (2 * h), tolerance) << "point " << k << " coordinate " << j;
    }
}

std::vector<Point3d> octahedron(double r, const Point3d& at) {
  return {at, at + Point3d{r, 0, 0}, at + Point3d{-r, 0, 0}, at + Point3d{0, r, 0},
          at + Point3d{0, -r, 0}, at + Point3d{0, 0, r}, at + Point3d{0, 0, -r}};
}

std::vector<Point3d> tetrahedron(double r, const Point3d& at) {
  double s = r / std::sqrt(3.0);
  return {at, at + Point3d{s, s, s}, at + Point3d{s, -s, -s}, at + Point3d{-s, s, -s}, at + Point3d{-s, -s, s}};
}

void jitter(std::vector<Point3d>& points, std::mt19937& random, double amount) {
  std::uniform_real_distribution<double> d(-amount, amount);
  for (Point3d& p : points)
    for (double& x : p) x += d(random);
}

}  // namespace

TEST(Polyhedra, RegularPolyhedraHaveTheirClosedFormValues) {
  Point3d far{12.5, -7.0, 30.0};  // hull built away from the origin
  std::vector<Point3d> oct = octahedron(2.0, far);
  EXPECT_NEAR(polyhedron_volume(oct).value, 4.0 / 3.0 * 8.0, 1e-12);
  EXPECT_NEAR(mean_bond_length(oct).value, 2.0, 1e-12);
  EXPECT_NEAR(distortion_index(oct).value, 0.0, 1e-12);
  EXPECT_NEAR(quadratic_elongation(oct)->value, 1.0, 1e-12);
  EXPECT_NEAR(bond_angle_variance(oct)->value, 0.0, 1e-9);

  std::vector<Point3d> tet = tetrahedron(1.6, far);
  double edge = 1.6 * std::sqrt(8.0 / 3.0);
  EXPECT_NEAR(polyhedron_volume(tet).value, edge * edge * edge / (6.0 * std::sqrt(2.0)), 1e-12);
  EXPECT_NEAR(quadratic_elongation(tet)->value, 1.0, 1e-12);
  EXPECT_NEAR(bond_angle_variance(tet)->value, 0.0, 1e-9);

  // A ligand in the middle of a face is no corner of the hull.
  std::vector<Point3d> capped = oct;
  capped.push_back(far + Point3d{2.0 / 3, 2.0 / 3, 2.0 / 3});
  PolyhedronMeasures m = measure_polyhedron(capped);
  EXPECT_EQ(m.coordination_number, 7);
  EXPECT_NEAR(m.volume.value, 4.0 / 3.0 * 8.0, 1e-12);
  EXPECT_EQ(m.volume.gradient.size(), 8u);
  EXPECT_FALSE(m.quadratic_elongation);

  // A cube's eight corners (CN 8): no elongation or angle variance defined.
  std::vector<Point3d> cube = {far};
  for (int i = 0; i < 8; ++i) cube.push_back(far + Point3d{i & 1 ? 1.0 : -1.0, i & 2 ? 1.0 : -1.0, i & 4 ? 1.0 : -1.0});
  EXPECT_NEAR(polyhedron_volume(cube).value, 8.0, 1e-12);
  EXPECT_FALSE(quadratic_elongation(cube));
  EXPECT_FALSE(bond_angle_variance(cube));

  // A tetrahedron stretched along one bond: Baur's index by hand.
  std::vector<Point3d> stretched = tetrahedron(1.6, far);
  stretched[1] = far + (2.0 / 1.6) * (stretched[1] - far);
  double mean = (3 * 1.6 + 2.0) / 4;
  EXPECT_NEAR(distortion_index(stretched).value, (3 * (mean - 1.6) + (2.0 - mean)) / 4 / mean, 1e-12);
}

TEST(Polyhedra, FlatAndThinPolyhedraHaveNoVolume) {
  std::vector<Point3d> square = {{0, 0, 0}, {2, 0, 0}, {-2, 0, 0}, {0, 2, 0}, {0, -2, 0}};
  PointMeasure v = polyhedron_volume(square);
  EXPECT_EQ(v.value, 0.0);
  EXPECT_EQ(v.gradient.size(), 5u);
  EXPECT_FALSE(quadratic_elongation(square));
  EXPECT_FALSE(bond_angle_variance(square));
  // Square planar but not quite flat: a hull, yet no tetrahedron.
  square[1][2] = 0.05;
  square[2][2] = 0.05;
  EXPECT_GT(polyhedron_volume(square).value, 0.0);
  EXPECT_FALSE(quadratic_elongation(square));
  EXPECT_FALSE(bond_angle_variance(square));
  std::vector<Point3d> triangle = {{0, 0, 0}, {2, 0, 0}, {-1, 1.7, 0}, {-1, -1.7, 0}};
  EXPECT_EQ(polyhedron_volume(triangle).value, 0.0);
  EXPECT_THROW(mean_bond_length(std::vector<Point3d>{{1, 1, 1}}), Error);
  EXPECT_THROW(distortion_index(std::vector<Point3d>{{1, 1, 1}, {1, 1, 1}}), Error);
}

TEST(Polyhedra, GradientsAgainstFiniteDifferences) {
  std::mt19937 random(1971);
  for (int trial = 0; trial < 4; ++trial) {
    std::vector<Point3d> oct = octahedron(1.95, {4.0, 5.0, -2.0});
    std::vector<Point3d> tet = tetrahedron(1.62, {-3.0, 1.0, 8.0});
    jitter(oct, random, 0.12);
    jitter(tet, random, 0.08);
    for (const std::vector<Point3d>& p : {oct, tet}) {
      expect_gradient([](const std::vector<Point3d>& q) { return mean_bond_length(q).value; }, p, mean_bond_length(p).gradient, 1e-8);
      expect_gradient([](const std::vector<Point3d>& q) { return polyhedron_volume(q).value; }, p, polyhedron_volume(p).gradient, 1e-7);
      expect_gradient([](const std::vector<Point3d>& q) { return distortion_index(q).value; }, p, distortion_index(p).gradient, 1e-7);
      expect_gradient([](const std::vector<Point3d>& q) { return quadratic_elongation(q)->value; }, p,
                      quadratic_elongation(p)->gradient, 1e-7);
      expect_gradient([](const std::vector<Point3d>& q) { return bond_angle_variance(q)->value; }, p,
                      bond_angle_variance(p)->gradient, 1e-4);
    }
    // A capped octahedron (CN 7) for the hull of a less simple shape.
    std::vector<Point3d> seven = octahedron(2.1, {0.5, 0.5, 0.5});
    seven.push_back(seven[0] + Point3d{1.6, 1.6, 1.6});
    jitter(seven, random, 0.1);
    expect_gradient([](const std::vector<Point3d>& q) { return polyhedron_volume(q).value; }, seven, polyhedron_volume(seven).gradient, 1e-7);
  }
  PointMeasure angle = bond_angle({1, 1, 1}, {2.5, 1.2, 0.9}, {0.8, 2.7, 1.3});
  expect_gradient([](const std::vector<Point3d>& q) { return bond_angle(q[0], q[1], q[2]).value; },
                  {{1, 1, 1}, {2.5, 1.2, 0.9}, {0.8, 2.7, 1.3}}, angle.gradient, 1e-5);
}

TEST(Polyhedra, SharingByCommonLigands) {
  std::vector<int> a = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(polyhedra_sharing<int>(a, std::vector<int>{7, 8, 9, 10}), SharingKind::none);
  EXPECT_EQ(polyhedra_sharing<int>(a, std::vector<int>{7, 3, 9, 10}), SharingKind::corner);
  EXPECT_EQ(polyhedra_sharing<int>(a, std::vector<int>{6, 8, 1, 10}), SharingKind::edge);
  EXPECT_EQ(polyhedra_sharing<int>(a, std::vector<int>{2, 4, 6, 10, 11, 12}), SharingKind::face);
  EXPECT_STREQ(sharing_name(SharingKind::edge), "edge");
  EXPECT_STREQ(sharing_name(SharingKind::none), "");
}

// The crystal chemistry every textbook states: quartz's tetrahedra share
// corners; in spinel the octahedra share edges with each other and corners
// with the tetrahedra, and the tetrahedra share nothing among themselves;
// LaMnO3's perovskite octahedra share corners.
TEST(Polyhedra, SharingInQuartzSpinelAndPerovskite) {
  using namespace testing_support;
  // A ligand named by its position to a thousandth of an Angstrom.
  auto ligands_at = [](const TestStructure& s, const Point3d& centre, std::size_t cation) {
    std::vector<std::array<long, 3>> names;
    for (std::size_t j = 0; j < s.atoms.size(); ++j)
      if (s.atoms[j].oxidation_state < 0)
        for (const TestNeighbour& n : images_near(s, centre, j, s.atoms[cation].bond_limit))
          names.push_back({std::lround(n.position[0] * 1000), std::lround(n.position[1] * 1000), std::lround(n.position[2] * 1000)});
    return names;
  };
  auto sharing = [&](const TestStructure& s, std::size_t i, std::size_t j) {
    std::vector<std::array<long, 3>> first = ligands_at(s, position(s, i), i);
    std::vector<SharingKind> kinds;
    for (const TestNeighbour& other : images_near(s, position(s, i), j, 4.0))
      kinds.push_back(polyhedra_sharing<std::array<long, 3>>(first, ligands_at(s, other.position, j)));
    return kinds;
  };
  auto count = [](const std::vector<SharingKind>& kinds, SharingKind kind) { return std::count(kinds.begin(), kinds.end(), kind); };

  std::vector<SharingKind> si_si = sharing(quartz(), 0, 0);
  EXPECT_EQ(count(si_si, SharingKind::corner), 4);
  EXPECT_EQ(count(si_si, SharingKind::edge) + count(si_si, SharingKind::face), 0);

  TestStructure s = spinel();
  std::vector<SharingKind> al_al = sharing(s, 1, 1), mg_al = sharing(s, 0, 1), mg_mg = sharing(s, 0, 0);
  EXPECT_EQ(count(al_al, SharingKind::edge), 6);
  EXPECT_EQ(count(al_al, SharingKind::corner) + count(al_al, SharingKind::face), 0);
  EXPECT_EQ(count(mg_al, SharingKind::corner), 12);
  EXPECT_EQ(count(mg_al, SharingKind::edge) + count(mg_al, SharingKind::face), 0);
  EXPECT_EQ(count(mg_mg, SharingKind::none), static_cast<long>(mg_mg.size()));

  std::vector<SharingKind> mn_mn = sharing(lamno3(), 1, 1);
  EXPECT_EQ(count(mn_mn, SharingKind::corner), 6);
  EXPECT_EQ(count(mn_mn, SharingKind::edge) + count(mn_mn, SharingKind::face), 0);
}
