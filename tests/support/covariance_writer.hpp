// Writes covariance files (stem + ".CMT") for tests, through the record I/O
// layer's unformatted records with their 4-byte length framing.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct CovarianceFile {
  int ncycle = 1;
  std::vector<std::string> names;            // cut or padded to 8 characters
  int nvar = 0;
  bool older_layout = false;                 // record 1 without the cycle figure
  float cycle_figure = 0;
  int band = 0;                              // 0: full upper triangle
  std::vector<float> matrix;                 // packed, see pack_full and pack_band
  std::vector<std::pair<int, float>> constraints;  // code, coefficient
};

// Code of a constraint entry: parameter * 46340 + variable (0: no variable).
int constraint_code(int parameter, int variable);

// A dense symmetric matrix (rows of NVAR) packed as the file holds it: the
// upper triangle row by row, or band storage where (i, j) with j - i <= band
// is element (band + 1) j - (j - i) of (band + 1) NVAR.
std::vector<float> pack_full(const std::vector<std::vector<float>>& dense);
std::vector<float> pack_band(const std::vector<std::vector<float>>& dense, int band);

// The bytes of record 1, 2 or 3 (without framing).
std::vector<std::uint8_t> covariance_record(const CovarianceFile& content, int record);
// Writes the records, each framed, through the record I/O layer.
void write_unformatted_file(const std::filesystem::path& file,
                            const std::vector<std::vector<std::uint8_t>>& records);
void write_covariance_file(const std::filesystem::path& file, const CovarianceFile& content);

}  // namespace testing_support
