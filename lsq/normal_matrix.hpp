// The normal matrix of a least-squares problem, N = sum of g g^T over the
// weighted design rows g, built by blocks of rows with BLAS's symmetric
// rank-k update (OpenBLAS, on every core), then factorised, solved and
// inverted in place with LAPACK's Cholesky routines: the matrix is the one
// large piece of storage, and it becomes the inverse.
#pragma once
#include <vector>

namespace lsq {

class NormalMatrix {
 public:
  explicit NormalMatrix(int n);

  int size() const { return n_; }
  // N += sum over `k` rows of `rows` (each n values, one after another) of row row^T.
  void add_rows(const double* rows, int k);
  double diagonal(int i) const { return a_[static_cast<std::size_t>(i) * n_ + i]; }

  // N -> D N D with D = diag(scale): to unit diagonal before factorising.
  void scale_symmetric(const std::vector<double>& scale);
  void add_to_diagonal(double value);
  // Cholesky factorisation in place; the number (from 1) of the first
  // variable whose pivot is not positive, 0 on success.
  int factorise();
  // Solves N x = b with the factor; b becomes x.
  void solve(std::vector<double>& b) const;
  // The factor becomes N^-1, both triangles filled.
  void invert();
  double at(int i, int j) const { return a_[static_cast<std::size_t>(j) * n_ + i]; }
  // The storage, column-major n x n, handed over.
  std::vector<double> release() { return std::move(a_); }

 private:
  int n_ = 0;
  std::vector<double> a_;  // column-major; the upper triangle until invert()
};

}  // namespace lsq
