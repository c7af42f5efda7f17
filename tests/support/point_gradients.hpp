// Central differences of a function of Cartesian points, to check the
// analytic gradients of the geometry computations.
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "geometry/point_measure.hpp"

namespace vesk::testing {

// Step 1e-5 Angstrom: the truncation error of a central difference is
// h^2 f'''/6, about 1e-10 for these smooth functions, the rounding error
// 1e-16 / h = 1e-11.
inline std::vector<Cart3> numerical_gradient(const std::function<double(const std::vector<Cart3>&)>& f,
                                             std::vector<Cart3> points, double h = 1e-5) {
  std::vector<Cart3> gradient(points.size());
  for (std::size_t k = 0; k < points.size(); ++k)
    for (int a = 0; a < 3; ++a) {
      const double keep = points[k][a];
      points[k][a] = keep + h;
      const double up = f(points);
      points[k][a] = keep - h;
      const double down = f(points);
      points[k][a] = keep;
      gradient[k][a] = (up - down) / (2 * h);
    }
  return gradient;
}

inline void expect_gradient(const std::vector<Cart3>& analytic, const std::vector<Cart3>& numerical,
                            double tolerance, const std::string& what) {
  ASSERT_EQ(analytic.size(), numerical.size()) << what;
  for (std::size_t k = 0; k < analytic.size(); ++k)
    for (int a = 0; a < 3; ++a)
      EXPECT_NEAR(analytic[k][a], numerical[k][a], tolerance) << what << ", point " << k << ", axis " << a;
}

// A fixed rotation about an oblique axis and a shift, so that no test
// geometry lies along the frame's axes.
inline Cart3 moved(const Cart3& p) {
  const double c = std::cos(0.7), s = std::sin(0.7);
  const Cart3 q{c * p[0] - s * p[1], s * p[0] + c * p[1], p[2]};        // about z
  const double c2 = std::cos(1.1), s2 = std::sin(1.1);
  const Cart3 r{q[0], c2 * q[1] - s2 * q[2], s2 * q[1] + c2 * q[2]};  // about x
  return {r[0] + 3.25, r[1] - 7.5, r[2] + 11.0};
}

// Deterministic numbers in [-1, 1).
struct Noise {
  unsigned long long state = 88172645463325252ull;
  double next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<double>(state >> 11) / 4503599627370496.0 - 1.0;
  }
};

}  // namespace vesk::testing
