// The covariance file cif2exp writes beside the experiment file: one
// least-squares variable per free coordinate or occupancy that the CIF
// gives an s.u. for, the variances on the diagonal (a CIF carries no
// correlations), and the constraint list that ties each atom parameter to
// its variable.
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
  std::vector<ConstraintEntry> constraints; // ascending parameter
  double cycle_figure = 0;
};

// Up to this many variables the matrix is stored as a full upper triangle;
// beyond, as a band of width 1 (two reals per variable), since only the
// diagonal is filled.
constexpr int kFullStorageLimit = 2000;

// Three unformatted records through the record I/O layer onto a new file.
// Throws vesk::Error beyond 15000 variables or 50000 constraint entries.
void write_covariance_file(const std::string& file, const CovarianceContent& content);

}  // namespace cif2exp
