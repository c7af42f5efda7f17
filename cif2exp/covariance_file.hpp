// The covariance file cif2exp writes beside the experiment file: the
// least-squares variables with their full covariance matrix when the
// refinement could be rebuilt, else one variable per free coordinate or
// occupancy that the CIF gives an s.u. for with the variances on the
// diagonal (a CIF carries no correlations); and the constraint list that
// ties each atom parameter to its variables.
#pragma once
#include <string>
#include <vector>

namespace cif2exp {

struct ConstraintEntry {
  int parameter = 0;  // position in the name list, from 1
  int variable = 0;   // from 1
  double coefficient = 0;
};

struct CovarianceContent {
  std::vector<std::string> names;           // parameter names, 8 characters
  std::vector<std::string> variable_names;  // one per variable, 8 characters
  std::vector<double> variances;            // one per variable
  // The full matrix, upper triangle row by row (nvar (nvar + 1) / 2
  // values); empty: the variances alone.
  std::vector<double> matrix;
  std::vector<ConstraintEntry> constraints; // ascending parameter
  double cycle_figure = 0;
};

// Up to this many variables a diagonal matrix is stored as a full upper
// triangle; beyond, as a band of width 1 (two reals per variable). A full
// matrix is always stored whole.
constexpr int kFullStorageLimit = 2000;

// Three unformatted records through the record I/O layer onto a new file.
// Throws vesk::Error beyond 15000 variables or 50000 constraint entries.
void write_covariance_file(const std::string& file, const CovarianceContent& content);

}  // namespace cif2exp
