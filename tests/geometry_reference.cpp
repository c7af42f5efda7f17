// Reads cases from standard input, one a line, and prints one line of
// results for each, for tests/geometry_reference.py to compare with numpy:
//   plane N x y z ... M x y z ...  ->  nx ny nz rms d_1..d_N e_1..e_M
//     (the plane through the first N points; e: deviations of the other M)
//   angle N x y z ... M x y z ...  ->  the angle between the two planes
//   pucker N x y z ...             ->  Q theta q_2 phi_2 q_3 phi_3 ...
//   bond a b c alpha beta gamma xa(3) ua(6) xb(3) ub(6) R(9) t(3)
//                                  ->  z^2(A) z^2(B) Delta, B at R xb + t
// An undefined value prints as "-".
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "geometry/planes.hpp"
#include "geometry/puckering.hpp"
#include "geometry/rigid_bond.hpp"

using namespace vesk;

namespace {

std::vector<Cart3> read_points() {
  std::size_t n = 0;
  std::cin >> n;
  std::vector<Cart3> points(n);
  for (Cart3& p : points) std::cin >> p[0] >> p[1] >> p[2];
  return points;
}

void print(double x) { std::printf(" %.17g", x); }
void print(const PointMeasure& m) {
  if (m.defined)
    print(m.value);
  else
    std::printf(" -");
}

}  // namespace

int main() {
  std::string kind;
  while (std::cin >> kind) {
    if (kind == "plane") {
      const LeastSquaresPlane plane = least_squares_plane(read_points());
      const std::vector<Cart3> others = read_points();
      for (double x : plane.normal) print(x);
      print(plane_rms_deviation(plane));
      for (std::size_t i = 0; i < plane.points.size(); ++i) print(plane_deviation(plane, i));
      for (const Cart3& q : others) print(plane_deviation(plane, q));
    } else if (kind == "angle") {
      const LeastSquaresPlane a = least_squares_plane(read_points());
      print(plane_angle(a, least_squares_plane(read_points())));
    } else if (kind == "pucker") {
      const RingPuckering p = ring_puckering(read_points());
      print(p.total);
      print(p.theta);
      for (const PuckeringTerm& term : p.terms) {
        print(term.amplitude);
        print(term.phase);
      }
    } else if (kind == "bond") {
      std::array<float, 6> cell{}, ua{}, ub{};
      Vec3d xa{}, xb{}, t{};
      IntMat3 r{};
      for (float& x : cell) std::cin >> x;
      for (double& x : xa) std::cin >> x;
      for (float& x : ua) std::cin >> x;
      for (double& x : xb) std::cin >> x;
      for (float& x : ub) std::cin >> x;
      for (auto& row : r)
        for (int& x : row) std::cin >> x;
      for (double& x : t) std::cin >> x;
      Mat3 orthogonal{}, inverse{};
      CELLMATRIX(cell[0], cell[1], cell[2], cell[3], cell[4], cell[5], orthogonal, inverse);
      Vec3d image = t;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) image[i] += r[i][j] * xb[j];
      Cart3 a{}, b{};  // x A in double precision
      for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 3; ++i) {
          a[k] += xa[i] * at(orthogonal, i + 1, k + 1);
          b[k] += image[i] * at(orthogonal, i + 1, k + 1);
        }
      const RigidBondTest test =
          rigid_bond_test(a, cartesian_displacement(orthogonal, ua), b, cartesian_displacement(orthogonal, ub, r));
      print(test.msda_a.measure);
      print(test.msda_b.measure);
      print(test.delta.measure);
    } else {
      std::fprintf(stderr, "unknown case %s\n", kind.c_str());
      return 2;
    }
    std::printf("\n");
  }
  return 0;
}
