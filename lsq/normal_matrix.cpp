#include "lsq/normal_matrix.hpp"

#include <cblas.h>

// LAPACK's Cholesky routines (OpenBLAS carries them), with the hidden
// length of each character argument that Fortran passes.
extern "C" {
void dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info, std::size_t uplo_length);
void dpotrs_(const char* uplo, const int* n, const int* nrhs, const double* a, const int* lda, double* b, const int* ldb,
             int* info, std::size_t uplo_length);
void dpotri_(const char* uplo, const int* n, double* a, const int* lda, int* info, std::size_t uplo_length);
}

namespace lsq {

NormalMatrix::NormalMatrix(int n) : n_(n), a_(static_cast<std::size_t>(n) * n, 0.0) {}

void NormalMatrix::add_rows(const double* rows, int k) {
  if (k <= 0 || n_ == 0) return;
  // The rows, one after another, are the columns of an n x k matrix A: N += A A^T.
  cblas_dsyrk(CblasColMajor, CblasUpper, CblasNoTrans, n_, k, 1.0, rows, n_, 1.0, a_.data(), n_);
}

void NormalMatrix::scale_symmetric(const std::vector<double>& scale) {
  for (int j = 0; j < n_; ++j)
    for (int i = 0; i <= j; ++i) a_[static_cast<std::size_t>(j) * n_ + i] *= scale[i] * scale[j];
}

void NormalMatrix::add_to_diagonal(double value) {
  for (int i = 0; i < n_; ++i) a_[static_cast<std::size_t>(i) * n_ + i] += value;
}

int NormalMatrix::factorise() {
  if (n_ == 0) return 0;
  int info = 0;
  const char upper = 'U';
  dpotrf_(&upper, &n_, a_.data(), &n_, &info, 1);
  return info > 0 ? info : 0;
}

void NormalMatrix::solve(std::vector<double>& b) const {
  if (n_ == 0) return;
  int info = 0;
  const int one = 1;
  const char upper = 'U';
  dpotrs_(&upper, &n_, &one, a_.data(), &n_, b.data(), &n_, &info, 1);
}

void NormalMatrix::invert() {
  if (n_ == 0) return;
  int info = 0;
  const char upper = 'U';
  dpotri_(&upper, &n_, a_.data(), &n_, &info, 1);
  for (int j = 0; j < n_; ++j)
    for (int i = j + 1; i < n_; ++i) a_[static_cast<std::size_t>(j) * n_ + i] = a_[static_cast<std::size_t>(i) * n_ + j];
}

}  // namespace lsq
