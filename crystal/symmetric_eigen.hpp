// Eigenvalues and eigenvectors of a real symmetric 3 x 3 matrix, by cyclic
// Jacobi rotations (Golub & Van Loan, Matrix Computations, 4th ed., 8.5):
// slow for large matrices, exact enough and unconditionally stable for 3 x 3.
#pragma once
#include <array>

namespace vesk {

using Sym3 = std::array<std::array<double, 3>, 3>;  // [row][column], symmetric

struct SymmetricEigen {
  std::array<double, 3> values{};                    // ascending
  std::array<std::array<double, 3>, 3> vectors{};    // vectors[k] belongs to values[k], unit length
};

SymmetricEigen symmetric_eigen(const Sym3& m);

}  // namespace vesk
