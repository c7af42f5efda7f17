#include "lsq/model.hpp"

#include <cmath>
#include <numbers>

#include "recio/error.hpp"

namespace lsq {

namespace {

double reduced(double t) {
  t -= std::floor(t);
  return t >= 1 - 1e-9 ? 0 : t;
}

}  // namespace

std::vector<Operator> SpaceGroup::expanded() const {
  std::vector<Operator> all;
  for (const Vec3& centring_vector : centring)
    for (int inverted = 0; inverted <= (centric ? 1 : 0); ++inverted)
      for (const Operator& op : operators) {
        Operator image = op;
        for (int i = 0; i < 3; ++i) {
          if (inverted != 0) {
            for (int j = 0; j < 3; ++j) image.rotation[i][j] = -image.rotation[i][j];
            image.translation[i] = -image.translation[i];
          }
          image.translation[i] = reduced(image.translation[i] + centring_vector[i]);
        }
        all.push_back(image);
      }
  return all;
}

double ScatteringFactor::f0(double s_squared) const {
  double f = c;
  for (int i = 0; i < 4; ++i) f += a[i] * std::exp(-b[i] * s_squared);
  return f;
}

Metric metric_of(const std::array<double, 6>& cell) {
  constexpr double kDegree = std::numbers::pi / 180;
  const double a = cell[0], b = cell[1], c = cell[2];
  const double ca = std::cos(cell[3] * kDegree), cb = std::cos(cell[4] * kDegree), cg = std::cos(cell[5] * kDegree);
  const double sg = std::sin(cell[5] * kDegree);
  const double factor = 1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg;
  if (!(a > 0 && b > 0 && c > 0 && factor > 1e-10 && sg > 1e-6))
    throw vesk::Error("the cell " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c) + " " +
                      std::to_string(cell[3]) + " " + std::to_string(cell[4]) + " " + std::to_string(cell[5]) +
                      " is no cell");
  Metric m;
  m.volume = a * b * c * std::sqrt(factor);
  m.direct = {{{a * a, a * b * cg, a * c * cb}, {a * b * cg, b * b, b * c * ca}, {a * c * cb, b * c * ca, c * c}}};
  const Mat3& g = m.direct;
  const double det = g[0][0] * (g[1][1] * g[2][2] - g[1][2] * g[2][1]) - g[0][1] * (g[1][0] * g[2][2] - g[1][2] * g[2][0]) +
                     g[0][2] * (g[1][0] * g[2][1] - g[1][1] * g[2][0]);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      // cofactor of (j, i)
      const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
      m.inverse[i][j] = (g[r0][c0] * g[r1][c1] - g[r0][c1] * g[r1][c0]) / det;
    }
  for (int i = 0; i < 3; ++i) m.reciprocal[i] = std::sqrt(m.inverse[i][i]);
  m.orthogonal = {{{a, b * cg, c * cb}, {0, b * sg, c * (ca - cb * cg) / sg}, {0, 0, m.volume / (a * b * sg)}}};
  return m;
}

double s_squared(const Metric& metric, const Miller& h) {
  double q = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) q += h[i] * metric.inverse[i][j] * h[j];
  return q / 4;
}

std::array<double, 6> u_equivalent_gradient(const Metric& metric) {
  static constexpr int kPairs[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
  std::array<double, 6> g{};
  for (int k = 0; k < 6; ++k) {
    const int i = kPairs[k][0], j = kPairs[k][1];
    g[k] = (i == j ? 1.0 : 2.0) * metric.reciprocal[i] * metric.reciprocal[j] * metric.direct[i][j] / 3;
  }
  return g;
}

double u_equivalent(const Metric& metric, const std::array<double, 6>& u) {
  const std::array<double, 6> g = u_equivalent_gradient(metric);
  double ueq = 0;
  for (int k = 0; k < 6; ++k) ueq += g[k] * u[k];
  return ueq;
}

}  // namespace lsq
