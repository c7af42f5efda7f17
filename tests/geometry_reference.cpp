// Prints planes, puckering parameters and rigid-bond amplitudes of a fixed
// set of rings and bonds, with their inputs, as one JSON document for
// tests/geometry_reference.py to recompute in numpy.
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "geometry/planes.hpp"
#include "geometry/puckering.hpp"
#include "geometry/rigid_bond.hpp"

using namespace vesk;

namespace {

struct Random {  // xorshift, in [-1, 1)
  unsigned long long state = 2463534242ull;
  double next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<double>(state >> 11) / 4503599627370496.0 - 1.0;
  }
};

std::string number(double x) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", x);
  return text;
}

std::string measure(const PointMeasure& m) { return m.defined ? number(m.value) : "null"; }

std::string point(const Cart3& p) { return "[" + number(p[0]) + ", " + number(p[1]) + ", " + number(p[2]) + "]"; }

std::string points(const std::vector<Cart3>& list) {
  std::string text = "[";
  for (std::size_t k = 0; k < list.size(); ++k) text += (k ? ", " : "") + point(list[k]);
  return text + "]";
}

template <class T, class F>
std::string array(const std::vector<T>& items, F f) {
  std::string text = "[";
  for (std::size_t k = 0; k < items.size(); ++k) text += (k ? ", " : "") + f(items[k]);
  return text + "]";
}

// A ring of n atoms of radius r, puckered by up to `pucker`, tilted and
// placed away from the origin.
std::vector<Cart3> ring(std::size_t n, double pucker, Random& random) {
  const double tilt = random.next(), turn = random.next();
  std::vector<Cart3> atoms;
  for (std::size_t j = 0; j < n; ++j) {
    const double a = 2 * std::numbers::pi * static_cast<double>(j) / static_cast<double>(n);
    const double r = 0.7 / std::sin(std::numbers::pi / static_cast<double>(n));
    const Cart3 p{r * std::cos(a) + 0.08 * random.next(), r * std::sin(a) + 0.08 * random.next(), pucker * random.next()};
    const Cart3 q{p[0], std::cos(tilt) * p[1] - std::sin(tilt) * p[2], std::sin(tilt) * p[1] + std::cos(tilt) * p[2]};
    atoms.push_back({std::cos(turn) * q[0] - std::sin(turn) * q[2] + 5.5, q[1] - 3.0,
                     std::sin(turn) * q[0] + std::cos(turn) * q[2] + 12.25});
  }
  return atoms;
}

struct BondCase {
  std::array<float, 6> cell;   // a, b, c, alpha, beta, gamma (degrees)
  Vec3d xa;
  std::array<float, 6> ua;
  Vec3d xb;                    // B's own fractional coordinates
  std::array<float, 6> ub;
  IntMat3 rotation;            // B's image: rotation xb + translation
  Vec3d translation;
};

Cart3 cartesian(const Mat3& orthogonal, const Vec3d& x) {
  Cart3 p{};
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 3; ++i) p[k] += x[i] * at(orthogonal, i + 1, k + 1);
  return p;
}

}  // namespace

int main() {
  Random random;
  std::vector<std::vector<Cart3>> rings;
  for (std::size_t n : {3u, 4u, 5u, 5u, 6u, 6u, 6u, 7u, 8u}) rings.push_back(ring(n, 0.1 * static_cast<double>(n), random));
  rings.push_back(ring(6, 0.01, random));  // nearly flat

  std::printf("{\n\"planes\": [\n");
  std::vector<LeastSquaresPlane> planes;
  for (std::size_t r = 0; r < rings.size(); ++r) {
    const LeastSquaresPlane plane = least_squares_plane(rings[r]);
    planes.push_back(plane);
    std::vector<Cart3> others{{1.0, 2.0, 3.0}, vec3::plus(rings[r][0], Cart3{0.3, -1.2, 0.9})};
    std::vector<std::size_t> index(rings[r].size());
    for (std::size_t i = 0; i < index.size(); ++i) index[i] = i;
    std::printf("{\"points\": %s, \"others\": %s, \"normal\": %s, \"rms\": %s,\n \"deviations\": %s,\n"
                " \"other_deviations\": %s}%s\n",
                points(rings[r]).c_str(), points(others).c_str(), point(plane.normal).c_str(),
                measure(plane_rms_deviation(plane)).c_str(),
                array(index, [&](std::size_t i) { return measure(plane_deviation(plane, i)); }).c_str(),
                array(others, [&](const Cart3& q) { return measure(plane_deviation(plane, q)); }).c_str(),
                r + 1 < rings.size() ? "," : "");
  }
  std::printf("],\n\"plane_angles\": [\n");
  for (std::size_t r = 0; r + 1 < planes.size(); ++r)
    std::printf("{\"planes\": [%zu, %zu], \"angle\": %s}%s\n", r, r + 1,
                measure(plane_angle(planes[r], planes[r + 1])).c_str(), r + 2 < planes.size() ? "," : "");

  std::printf("],\n\"puckering\": [\n");
  for (std::size_t r = 1; r < rings.size(); ++r) {
    const RingPuckering p = ring_puckering(rings[r]);
    std::printf("{\"ring\": %zu, \"Q\": %s, \"theta\": %s, \"conformation\": \"%s\", \"terms\": %s}%s\n", r,
                measure(p.total).c_str(), measure(p.theta).c_str(), conformation_name(p.conformation),
                array(p.terms,
                      [](const PuckeringTerm& t) {
                        return "{\"m\": " + std::to_string(t.m) + ", \"amplitude\": " + measure(t.amplitude) +
                               ", \"phase\": " + measure(t.phase) + "}";
                      })
                    .c_str(),
                r + 1 < rings.size() ? "," : "");
  }

  const std::vector<BondCase> bonds{
      {{7.12f, 9.81f, 11.45f, 81.3f, 97.6f, 104.2f}, {0.1234, 0.2511, 0.3301}, {0.031f, 0.024f, 0.045f, 0.004f, -0.007f, 0.002f},
       {0.2511, 0.3012, 0.4103}, {0.052f, 0.029f, 0.038f, -0.006f, 0.011f, -0.003f}, {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, {0, 0, 0}},
      {{6.5f, 8.25f, 10.75f, 90.0f, 103.5f, 90.0f}, {0.0412, 0.1834, 0.2210}, {0.021f, 0.034f, 0.027f, 0.003f, 0.006f, -0.004f},
       {0.9121, 0.3166, 0.2987}, {0.025f, 0.031f, 0.036f, -0.002f, 0.008f, 0.005f}, {{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}}, {1, -0.5, 0.5}},
      {{12.3f, 12.3f, 7.9f, 90.0f, 90.0f, 120.0f}, {0.3333, 0.1111, 0.0825}, {0.041f, 0.037f, 0.022f, 0.019f, 0.002f, -0.001f},
       {0.0712, 0.3688, 0.0790}, {0.033f, 0.029f, 0.044f, 0.012f, -0.003f, 0.004f}, {{{0, -1, 0}, {1, -1, 0}, {0, 0, 1}}}, {0, 0, 0}},
  };
  std::printf("],\n\"rigid_bond\": [\n");
  for (std::size_t k = 0; k < bonds.size(); ++k) {
    const BondCase& c = bonds[k];
    Mat3 orthogonal{}, inverse{};
    CELLMATRIX(c.cell[0], c.cell[1], c.cell[2], c.cell[3], c.cell[4], c.cell[5], orthogonal, inverse);
    Vec3d image{};
    for (int i = 0; i < 3; ++i) {
      image[i] = c.translation[i];
      for (int j = 0; j < 3; ++j) image[i] += c.rotation[i][j] * c.xb[j];
    }
    const RigidBondTest t = rigid_bond_test(cartesian(orthogonal, c.xa), cartesian_displacement(orthogonal, c.ua),
                                            cartesian(orthogonal, image), cartesian_displacement(orthogonal, c.ub, c.rotation));
    const auto floats = [](const std::array<float, 6>& v) {
      std::string text = "[";
      for (std::size_t i = 0; i < 6; ++i) text += (i ? ", " : "") + number(v[i]);
      return text + "]";
    };
    std::string rotation = "[";
    for (int i = 0; i < 3; ++i)
      rotation += (i ? ", [" : "[") + std::to_string(c.rotation[i][0]) + ", " + std::to_string(c.rotation[i][1]) + ", " +
                  std::to_string(c.rotation[i][2]) + "]";
    rotation += "]";
    std::printf("{\"cell\": %s, \"xa\": %s, \"ua\": %s, \"xb\": %s, \"ub\": %s, \"rotation\": %s, \"translation\": %s,\n"
                " \"msda\": [%s, %s], \"delta\": %s}%s\n",
                floats(c.cell).c_str(), point(c.xa).c_str(), floats(c.ua).c_str(), point(c.xb).c_str(),
                floats(c.ub).c_str(), rotation.c_str(), point(c.translation).c_str(), number(t.msda_a.measure.value).c_str(),
                number(t.msda_b.measure.value).c_str(), number(t.delta.measure.value).c_str(),
                k + 1 < bonds.size() ? "," : "");
  }
  std::printf("]\n}\n");
  return 0;
}
