#include "lsq/special_positions.hpp"

#include <cmath>

namespace lsq {

namespace {

constexpr double kIndependent = 1e-8;

// Columns of a projector P (n x n, row-major) that form a basis of its image,
// then the parameters whose values fix a point of that image (greedy in
// order), and the dependence matrix D with p = D p_free: D = B (B_C)^-1.
template <int n>
void tie(const std::array<std::array<double, n>, n>& p, std::array<std::array<double, n>, n>& dependence,
         std::array<bool, n>& free) {
  // A basis of the image: independent columns, by Gram-Schmidt.
  std::vector<std::array<double, n>> basis, orthonormal;
  for (int j = 0; j < n; ++j) {
    std::array<double, n> column{}, rest{};
    for (int i = 0; i < n; ++i) column[i] = rest[i] = p[i][j];
    for (const auto& q : orthonormal) {
      double dot = 0;
      for (int i = 0; i < n; ++i) dot += q[i] * rest[i];
      for (int i = 0; i < n; ++i) rest[i] -= dot * q[i];
    }
    double norm = 0;
    for (int i = 0; i < n; ++i) norm += rest[i] * rest[i];
    if (norm <= kIndependent) continue;
    for (int i = 0; i < n; ++i) rest[i] /= std::sqrt(norm);
    orthonormal.push_back(rest);
    basis.push_back(column);
  }
  const int rank = static_cast<int>(basis.size());
  // The parameters whose rows of the basis are independent, in order.
  std::vector<int> chosen;
  std::vector<std::vector<double>> rows;  // orthonormalised rows chosen so far
  for (int i = 0; i < n && static_cast<int>(chosen.size()) < rank; ++i) {
    std::vector<double> row(static_cast<std::size_t>(rank));
    for (int k = 0; k < rank; ++k) row[static_cast<std::size_t>(k)] = basis[static_cast<std::size_t>(k)][i];
    for (const auto& q : rows) {
      double dot = 0;
      for (int k = 0; k < rank; ++k) dot += q[static_cast<std::size_t>(k)] * row[static_cast<std::size_t>(k)];
      for (int k = 0; k < rank; ++k) row[static_cast<std::size_t>(k)] -= dot * q[static_cast<std::size_t>(k)];
    }
    double norm = 0;
    for (double v : row) norm += v * v;
    if (norm <= kIndependent) continue;
    for (double& v : row) v /= std::sqrt(norm);
    rows.push_back(row);
    chosen.push_back(i);
  }
  // B_C (rank x rank) inverted by Gauss-Jordan with partial pivoting.
  std::vector<double> a(static_cast<std::size_t>(rank * rank)), inverse(a.size(), 0.0);
  for (int r = 0; r < rank; ++r) {
    for (int k = 0; k < rank; ++k)
      a[static_cast<std::size_t>(r * rank + k)] = basis[static_cast<std::size_t>(k)][chosen[static_cast<std::size_t>(r)]];
    inverse[static_cast<std::size_t>(r * rank + r)] = 1;
  }
  for (int c = 0; c < rank; ++c) {
    int pivot = c;
    for (int r = c + 1; r < rank; ++r)
      if (std::fabs(a[static_cast<std::size_t>(r * rank + c)]) > std::fabs(a[static_cast<std::size_t>(pivot * rank + c)]))
        pivot = r;
    for (int k = 0; k < rank; ++k) {
      std::swap(a[static_cast<std::size_t>(c * rank + k)], a[static_cast<std::size_t>(pivot * rank + k)]);
      std::swap(inverse[static_cast<std::size_t>(c * rank + k)], inverse[static_cast<std::size_t>(pivot * rank + k)]);
    }
    const double d = a[static_cast<std::size_t>(c * rank + c)];
    for (int k = 0; k < rank; ++k) {
      a[static_cast<std::size_t>(c * rank + k)] /= d;
      inverse[static_cast<std::size_t>(c * rank + k)] /= d;
    }
    for (int r = 0; r < rank; ++r) {
      if (r == c) continue;
      const double f = a[static_cast<std::size_t>(r * rank + c)];
      for (int k = 0; k < rank; ++k) {
        a[static_cast<std::size_t>(r * rank + k)] -= f * a[static_cast<std::size_t>(c * rank + k)];
        inverse[static_cast<std::size_t>(r * rank + k)] -= f * inverse[static_cast<std::size_t>(c * rank + k)];
      }
    }
  }
  dependence = {};
  free = {};
  for (int l = 0; l < rank; ++l) {
    const int column = chosen[static_cast<std::size_t>(l)];
    free[column] = true;
    for (int i = 0; i < n; ++i) {
      double v = 0;
      for (int k = 0; k < rank; ++k)
        v += basis[static_cast<std::size_t>(k)][i] * inverse[static_cast<std::size_t>(k * rank + l)];
      // Ties are simple ratios: 1, 2, 1/2; what is left of rounding goes.
      if (std::fabs(v) < 1e-12) v = 0;
      dependence[i][column] = v;
    }
  }
}

}  // namespace

SiteTies site_ties(const Vec3& x, const std::vector<Operator>& group, const Metric& metric, double tolerance) {
  SiteTies ties;
  std::vector<const Operator*> stabiliser;
  std::vector<Vec3> images;
  for (const Operator& op : group) {
    Vec3 y{}, d{}, cartesian{};
    for (int i = 0; i < 3; ++i) {
      y[i] = op.translation[i];
      for (int j = 0; j < 3; ++j) y[i] += op.rotation[i][j] * x[j];
      const double cells = std::round(y[i] - x[i]);
      y[i] -= cells;
      d[i] = y[i] - x[i];
    }
    double length = 0;
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) cartesian[i] += metric.orthogonal[i][j] * d[j];
      length += cartesian[i] * cartesian[i];
    }
    if (std::sqrt(length) >= tolerance) continue;
    stabiliser.push_back(&op);
    images.push_back(y);
  }
  const double n = static_cast<double>(stabiliser.size());
  ties.order = static_cast<int>(stabiliser.size());
  // The centroid of the site's images under its own symmetry is left in
  // place by each of those operators.
  for (const Vec3& y : images)
    for (int i = 0; i < 3; ++i) ties.site[i] += y[i] / n;

  std::array<std::array<double, 3>, 3> coordinate_projector{};
  std::array<std::array<double, 6>, 6> u_projector{};
  static constexpr int kPairs[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
  const Vec3& r = metric.reciprocal;
  for (const Operator* op : stabiliser) {
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) coordinate_projector[i][j] += op->rotation[i][j] / n;
    // Uij as the CIF gives them: U* = D U D with D = diag(a*, b*, c*), and
    // an operator takes U* to R U* R^T.
    for (int l = 0; l < 6; ++l) {
      Mat3 ustar{};
      const int a = kPairs[l][0], b = kPairs[l][1];
      ustar[a][b] = ustar[b][a] = r[a] * r[b];
      Mat3 moved{};
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
          for (int p = 0; p < 3; ++p)
            for (int q = 0; q < 3; ++q) moved[i][j] += op->rotation[i][p] * ustar[p][q] * op->rotation[j][q];
      for (int k = 0; k < 6; ++k) {
        const int i = kPairs[k][0], j = kPairs[k][1];
        u_projector[k][l] += moved[i][j] / (r[i] * r[j]) / n;
      }
    }
  }
  tie<3>(coordinate_projector, ties.coordinates, ties.free_coordinate);
  tie<6>(u_projector, ties.u, ties.free_u);
  return ties;
}

}  // namespace lsq
