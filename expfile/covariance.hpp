// The least-squares covariance data: parameter names, the packed variance-
// covariance matrix of the variables, and the constraint list tying
// parameters to variables. The covariance file (stem + ".CMT") holds three
// unformatted records:
//   1: NCYCLE, NNAME, NNAME names of 8 characters, NVAR, NVAR items of 8
//      bytes, the cycle figure (absent in the older layout);
//   2: NMAT, BAND, NMAT reals (the packed matrix);
//   3: NMAP, NMAP pairs of an integer code and a real coefficient.
#pragma once
#include <string>
#include <vector>

namespace vesk {

constexpr int kMaxVariables = 15000;
constexpr int kMaxMapEntries = 50000;
constexpr int kConstraintBase = 46340;   // code = parameter * 46340 + variable

struct CovarianceData {
  bool read = false;        // flag "read": false when no usable file
  int cycle = 0;            // NCYCLE of the file, kept even when the file is dropped
  float cycle_figure = 0;   // 0 in the older layout of record 1
  int nname = 0;
  std::vector<std::string> names;   // 8 characters each
  int nvar = 0;
  int nmat = 0;
  int band = 0;
  std::vector<float> matrix;        // NMAT reals, packed
  std::vector<int> map_code;        // NMAP constraint codes
  std::vector<float> map_coefficient;
  // The entries of parameter p with a variable, for COVEL in constant time
  // per pair: terms[term_start[p]] up to terms[term_start[p + 1]], in file
  // order; entries of one parameter that name the same variable are combined
  // into the first of them. Built once by index_constraints.
  struct Term {
    int variable = 0;
    float coefficient = 0;
  };
  std::vector<int> term_start;
  std::vector<Term> terms;
};

// Number (from 1) of the packed element of variables r and s (from 1);
// 0 when the element lies outside the band (it is then zero).
// Inline: COVEL reads an element for every pair of entries.
inline long long packed_index(int nvar, int nmat, int band, int r, int s) {
  const long long i = r < s ? r : s;
  const long long j = r < s ? s : r;
  if (band == 0) {
    // Upper triangle row by row, placed at the end of the array.
    const long long n = nvar;
    return nmat - (n - i + 1) * (n - i + 2) / 2 + (j - i) + 1;
  }
  if (j - i > band) return 0;
  return (band + 1LL) * j - (j - i);
}
// Element (r, s) of the packed matrix (variables from 1); 0 outside the band
// or outside the stored array.
inline float matrix_element(const CovarianceData& data, int r, int s) {
  if ((r < s ? r : s) < 1 || (r < s ? s : r) > data.nvar) return 0;
  const long long k = packed_index(data.nvar, data.nmat, data.band, r, s);
  if (k < 1 || k > static_cast<long long>(data.matrix.size())) return 0;
  return data.matrix[static_cast<std::size_t>(k - 1)];
}
// Covariance of two parameters given by their positions (0 = not refined):
// the outer sum runs over the entries of the lower-numbered parameter, the
// inner over those of the higher one; entries without a variable add nothing.
// Without the index (data built by hand) the constraint list is scanned.
float COVEL(const CovarianceData& data, int p, int q);
// Whether the matrix holds any covariance between two variables (a full
// matrix from a refinement), rather than variances alone (a diagonal one).
bool has_correlations(const CovarianceData& data);
// Builds the index of the constraint list, in time linear in its length.
void index_constraints(CovarianceData& data);

// The covariance file that belongs to an experiment file: the whole name up
// to its last ".EXP", then ".CMT"; empty when the name holds no ".EXP".
std::string covariance_file_name(const std::string& experiment_file);

enum class CovarianceRead { Ok, NotOpened, Refused };
// Reads and checks the whole file on `unit` (closed again before returning).
// A file whose counts exceed what its records hold, whose NVAR or NMAP pass
// the limits, whose packed size does not fit NVAR and BAND, whose constraint
// codes name variables beyond NVAR, or which is truncated, is Refused with
// `problem` naming the file, the record and the value; `data` then holds
// nothing but the cycle number when that could be read.
CovarianceRead read_covariance_file(int unit, const std::string& file, CovarianceData& data,
                                    std::string& problem);

// Loads the covariance file of the experiment open on `experiment_unit` and
// judges it against the "  RFFN  RUN " record; a refused or stale file leaves
// data.read false and data.nname 0, with the reason in the listing.
void CMTREAD(int listing_unit, int experiment_unit, CovarianceData& data);

}  // namespace vesk
