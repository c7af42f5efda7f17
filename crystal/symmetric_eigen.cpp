#include "crystal/symmetric_eigen.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace vesk {

SymmetricEigen symmetric_eigen(const Sym3& m) {
  Sym3 a = m;
  Sym3 v{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};  // columns become the eigenvectors
  for (int sweep = 0; sweep < 50; ++sweep) {
    const double off = a[0][1] * a[0][1] + a[0][2] * a[0][2] + a[1][2] * a[1][2];
    const double diagonal = a[0][0] * a[0][0] + a[1][1] * a[1][1] + a[2][2] * a[2][2];
    if (off <= 1e-30 * diagonal || off == 0.0) break;
    for (int p = 0; p < 2; ++p)
      for (int q = p + 1; q < 3; ++q) {
        if (a[p][q] == 0.0) continue;
        // The rotation that zeroes a[p][q], with the smaller of the two angles.
        const double theta = (a[q][q] - a[p][p]) / (2.0 * a[p][q]);
        const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0);
        const double s = t * c;
        for (int k = 0; k < 3; ++k) {  // a := a J
          const double kp = a[k][p];
          const double kq = a[k][q];
          a[k][p] = c * kp - s * kq;
          a[k][q] = s * kp + c * kq;
        }
        for (int k = 0; k < 3; ++k) {  // a := J^T a
          const double pk = a[p][k];
          const double qk = a[q][k];
          a[p][k] = c * pk - s * qk;
          a[q][k] = s * pk + c * qk;
        }
        for (int k = 0; k < 3; ++k) {
          const double kp = v[k][p];
          const double kq = v[k][q];
          v[k][p] = c * kp - s * kq;
          v[k][q] = s * kp + c * kq;
        }
      }
  }
  std::array<int, 3> order{};
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](int i, int j) { return a[i][i] < a[j][j]; });
  SymmetricEigen result;
  for (int k = 0; k < 3; ++k) {
    const int column = order[static_cast<std::size_t>(k)];
    result.values[static_cast<std::size_t>(k)] = a[column][column];
    for (int i = 0; i < 3; ++i) result.vectors[static_cast<std::size_t>(k)][static_cast<std::size_t>(i)] = v[i][column];
  }
  return result;
}

}  // namespace vesk
