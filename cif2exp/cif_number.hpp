// A CIF number with its standard uncertainty ("1.2345(6)"), and how finely
// it was printed: the unit of its last digit tells how far a printed
// coordinate may lie from the exact value it stands for.
#pragma once
#include <string>

namespace cif2exp {

struct CifNumber {
  bool present = false;   // false for '?', '.', an absent item or a non-number
  double value = 0;
  double su = 0;          // 0 when the CIF gives none
  double last_place = 0;  // 1e-4 for "0.1234", 1 for "12"
  bool unreadable = false;  // a value is given, but it is no number ("0,5", "nan")
};

// `raw` as the CIF holds it (gemmi's raw value; quotes are removed).
CifNumber parse_cif_number(const std::string& raw);

// A coordinate: a number as above, or a simple fraction ("1/4", "-3/4"),
// which is exact.
CifNumber parse_cif_coordinate(const std::string& raw);

}  // namespace cif2exp
