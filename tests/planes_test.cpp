// Least-squares planes: the gradients of the normal, the deviations, the
// RMS deviation and the angle between planes against central differences;
// the sign of the normal; values that symmetry or three points fix.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "geometry/planes.hpp"
#include "tests/support/point_gradients.hpp"

using namespace vesk;
using namespace vesk::testing;
using namespace vesk::vec3;

namespace {

// A puckered ring of n atoms about the origin, moved off the axes.
std::vector<Cart3> ring(std::size_t n, Noise& noise, double pucker = 0.2) {
  std::vector<Cart3> points;
  for (std::size_t j = 0; j < n; ++j) {
    const double angle = 2 * std::numbers::pi * static_cast<double>(j) / static_cast<double>(n);
    points.push_back(moved({1.4 * std::cos(angle) + 0.1 * noise.next(), 1.4 * std::sin(angle) + 0.1 * noise.next(),
                            pucker * noise.next()}));
  }
  return points;
}

}  // namespace

TEST(LeastSquaresPlane, GradientsAgreeWithCentralDifferences) {
  Noise noise;
  for (std::size_t n : {4u, 5u, 6u, 9u}) {
    const std::vector<Cart3> points = ring(n, noise);
    const LeastSquaresPlane plane = least_squares_plane(points);
    ASSERT_TRUE(plane.defined);
    const Cart3 other = plus(points[0], Cart3{0.7, -1.9, 2.3});

    for (int a = 0; a < 3; ++a) {
      std::vector<Cart3> analytic(n);
      for (std::size_t i = 0; i < n; ++i)
        for (int b = 0; b < 3; ++b) analytic[i][b] = normal_derivative(plane, i)[a][b];
      const auto component = [a](const std::vector<Cart3>& p) { return least_squares_plane(p).normal[a]; };
      expect_gradient(analytic, numerical_gradient(component, points), 1e-8, "normal");
    }
    for (std::size_t i = 0; i < n; ++i) {
      const auto deviation = [i](const std::vector<Cart3>& p) { return plane_deviation(least_squares_plane(p), i).value; };
      expect_gradient(plane_deviation(plane, i).gradient, numerical_gradient(deviation, points), 1e-8, "own deviation");
    }
    std::vector<Cart3> with_other = points;
    with_other.push_back(other);
    const auto deviation = [n](const std::vector<Cart3>& p) {
      return plane_deviation(least_squares_plane(std::span(p).first(n)), p[n]).value;
    };
    expect_gradient(plane_deviation(plane, other).gradient, numerical_gradient(deviation, with_other), 1e-8,
                    "other deviation");
    const auto rms = [](const std::vector<Cart3>& p) { return plane_rms_deviation(least_squares_plane(p)).value; };
    expect_gradient(plane_rms_deviation(plane).gradient, numerical_gradient(rms, points), 1e-8, "rms");

    // The angle to a second plane that shares two points with the first;
    // the shared points enter twice.
    std::vector<Cart3> second = ring(6, noise);
    second[0] = points[0];
    second[1] = points[1];
    std::vector<Cart3> both = points;
    both.insert(both.end(), second.begin(), second.end());
    const auto angle = [n](const std::vector<Cart3>& p) {
      return plane_angle(least_squares_plane(std::span(p).first(n)), least_squares_plane(std::span(p).subspan(n))).value;
    };
    const PointMeasure measured = plane_angle(plane, least_squares_plane(second));
    EXPECT_GT(measured.value, 0.0);
    EXPECT_LE(measured.value, std::numbers::pi / 2);
    expect_gradient(measured.gradient, numerical_gradient(angle, both), 1e-8, "angle");
  }
}

TEST(LeastSquaresPlane, ConventionsAndRms) {
  // Anticlockwise seen from +z: the normal points to -z (clockwise from
  // its tip); reversed, it turns over. The deviations are signed along it.
  const std::vector<Cart3> square{{1, 0, 0.1}, {0, 1, -0.1}, {-1, 0, 0.1}, {0, -1, -0.1}};
  const LeastSquaresPlane plane = least_squares_plane(square);
  EXPECT_NEAR(plane.normal[2], -1.0, 1e-15);
  EXPECT_NEAR(plane_deviation(plane, 0).value, -0.1, 1e-15);
  EXPECT_NEAR(plane_deviation(plane, Cart3{5, 5, 2}).value, -2.0, 1e-15);
  EXPECT_NEAR(plane_rms_deviation(plane).value, 0.1, 1e-15);
  const std::vector<Cart3> reversed{square[3], square[2], square[1], square[0]};
  EXPECT_NEAR(least_squares_plane(reversed).normal[2], 1.0, 1e-15);

  // The angle between planes is acute whichever way the normals point.
  const std::vector<Cart3> tilted{{0, 0, 0}, {1, 0, 0}, {0, 1, 1}};
  const double angle = plane_angle(plane, least_squares_plane(tilted)).value;
  EXPECT_NEAR(angle, std::numbers::pi / 4, 1e-13);
  const std::vector<Cart3> tilted_back{{0, 0, 0}, {0, 1, 1}, {1, 0, 0}};
  EXPECT_NEAR(plane_angle(plane, least_squares_plane(tilted_back)).value, angle, 1e-13);

  // Points on a line, or too few, have no plane.
  const std::vector<Cart3> line{{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}};
  EXPECT_FALSE(least_squares_plane(line).defined);
  EXPECT_FALSE(plane_deviation(least_squares_plane(line), Cart3{1, 0, 0}).defined);
  EXPECT_FALSE(least_squares_plane(std::span(square).first(2)).defined);
}

TEST(LeastSquaresPlane, ValuesFixedByThreePointsOrBySymmetry) {
  Noise noise;
  // Three points: in their plane exactly, with no gradient.
  const std::vector<Cart3> three{{0.3, 1.2, 5.0}, {2.0, -0.4, 4.1}, {-1.1, 0.2, 3.3}};
  const LeastSquaresPlane triangle = least_squares_plane(three);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(plane_deviation(triangle, i).value, 0.0);
    for (const Cart3& g : plane_deviation(triangle, i).gradient) EXPECT_EQ(g, (Cart3{0, 0, 0}));
  }
  EXPECT_EQ(plane_rms_deviation(triangle).value, 0.0);

  // A four-membered ring through an inversion centre c: p0, p1 and their
  // images 2c - p0, 2c - p1 lie in one plane whatever p0 and p1. Each
  // deviation is 0, and its gradient by an atom (its own position plus
  // minus its image's) cancels.
  for (int trial = 0; trial < 5; ++trial) {
    const Cart3 centre{4.5, -2.25, 7.0};
    const Cart3 p0 = plus(centre, Cart3{1.1 + 0.1 * noise.next(), 0.3 * noise.next(), 0.4 * noise.next()});
    const Cart3 p1 = plus(centre, Cart3{0.2 * noise.next(), 1.0 + 0.1 * noise.next(), 0.4 * noise.next()});
    const std::vector<Cart3> four{p0, p1, minus(scaled(centre, 2), p0), minus(scaled(centre, 2), p1)};
    const LeastSquaresPlane plane = least_squares_plane(four);
    ASSERT_TRUE(plane.defined);
    for (std::size_t i = 0; i < 4; ++i) {
      const PointMeasure d = plane_deviation(plane, i);
      EXPECT_EQ(d.value, 0.0);
      for (std::size_t atom = 0; atom < 2; ++atom)
        for (int a = 0; a < 3; ++a) EXPECT_NEAR(d.gradient[atom][a] - d.gradient[atom + 2][a], 0.0, 1e-12);
    }
    EXPECT_EQ(plane_rms_deviation(plane).value, 0.0);
    for (const Cart3& g : plane_rms_deviation(plane).gradient) EXPECT_EQ(g, (Cart3{0, 0, 0}));

    // A ring and its image through an inversion centre are parallel.
    const std::vector<Cart3> six = ring(6, noise);
    std::vector<Cart3> image;
    for (const Cart3& p : six) image.push_back(minus(scaled(centre, 2), p));
    const PointMeasure angle = plane_angle(least_squares_plane(six), least_squares_plane(image));
    EXPECT_EQ(angle.value, 0.0);
    for (const Cart3& g : angle.gradient) EXPECT_EQ(g, (Cart3{0, 0, 0}));
  }
}
