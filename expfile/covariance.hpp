// The least-squares covariance data: parameter names, the packed variance-
// covariance matrix of the variables, and the constraint list tying
// parameters to variables.
#pragma once
#include <string>
#include <vector>

namespace vesk {

constexpr int kMaxVariables = 15000;
constexpr int kMaxMapEntries = 50000;
constexpr int kConstraintBase = 46340;   // code = parameter * 46340 + variable

struct CovarianceData {
  bool read = false;        // flag "read": false when no usable file
  int cycle = 0;            // NCYCLE of the file
  int nname = 0;
  std::vector<std::string> names;   // 8 characters each
  int nvar = 0;
  int nmat = 0;
  int band = 0;
  std::vector<float> matrix;        // NMAT reals, packed
  std::vector<int> map_code;        // NMAP constraint codes
  std::vector<float> map_coefficient;
};

// Element (r, s) of the packed matrix (variables from 1).
float matrix_element(const CovarianceData& data, int r, int s);
// Covariance of two parameters given by their positions (0 = not refined).
float COVEL(const CovarianceData& data, int p, int q);

}  // namespace vesk
