// Space-group symbols read by rule into lattice, Laue class, centring
// vectors and at most 24 operators with translations in twelfths.
#pragma once
#include <array>
#include <string>
#include <string_view>

#include "crystal/limits.hpp"

namespace vesk {

// 15 integers: rotation column by column (r11, r21, r31, r12, ...), the
// translation in twelfths (0..11), matrix code, translation key, operation flag.
struct SymmetryOperator {
  std::array<int, 15> v{};

  int r(int i, int j) const { return v[(i - 1) + 3 * (j - 1)]; }  // row i, column j, from 1
  int t(int i) const { return v[8 + i]; }                          // twelfths, i from 1
  int matrix_code() const { return v[12]; }
  int translation_key() const { return v[13]; }
  int flag() const { return v[14]; }
};

enum Lattice { kP = 1, kA = 2, kB = 3, kC = 4, kI = 5, kF = 6, kR = 7 };

// The 14 Laue classes in the interpreter's numbering, the order of the
// listing's table: the two rhombohedral classes in rhombohedral axes come
// before the trigonal and hexagonal ones in hexagonal axes.
enum LaueClass {
  kLaue1bar = 1,
  kLaue2OverM = 2,
  kLaueMmm = 3,
  kLaue4OverM = 4,
  kLaue4OverMmm = 5,
  kLaue3barRhombohedral = 6,
  kLaue3barMRhombohedral = 7,
  kLaue3bar = 8,
  kLaue3barM1 = 9,
  kLaue3bar1M = 10,
  kLaue6OverM = 11,
  kLaue6OverMmm = 12,
  kLaueM3bar = 13,
  kLaueM3barM = 14,
};
// The classes whose groups are given in hexagonal axes (3bar to 6/mmm).
inline bool hexagonal_axes(int laue) { return laue >= kLaue3bar && laue <= kLaue6OverMmm; }

struct SpaceGroupInfo {
  int centric = 0;       // 1 when the inversion at the origin is in the group
  int nsym = 0;          // operators, identity first
  int lattice = 0;       // Lattice
  int ncent = 0;         // centring vectors, the zero vector included
  std::array<std::array<float, 3>, kMaxCentrings> centring{};
  int laue = 0;          // LaueClass
  int unique_axis = 0;   // 1, 2, 3 for monoclinic; 0; -1 for R in hexagonal axes; 4 after an error
  int polar = 0;         // polar-axis code 0..8
  int error = -1;        // SGERROR code after a failed interpretation, else -1
  std::array<SymmetryOperator, kMaxOperators> ops{};

  bool failed() const { return unique_axis == 4; }
  int general_multiplicity() const { return (1 + centric) * nsym * ncent; }
};

// Interprets a symbol of up to 20 characters. Writes the description to the
// listing unit (nothing when listing_unit < 0) and diagnostics through SGERROR.
void SGINTERP(std::string_view symbol, int listing_unit, SpaceGroupInfo& group);

// Writes the description and equivalent positions; returns the polar-axis code.
int SGLISTING(std::string_view symbol, const SpaceGroupInfo& group, int listing_unit);
void SGERROR(std::string_view symbol, int code, int listing_unit);

// The polar-axis code of step 10 of the listing: x 1, y 2, z 4, [111] 8;
// 0 for a centric group.
int polar_axis_code(const SpaceGroupInfo& group);
// One operator as the listing writes it: " ( n)" and three coordinates such as "1/2+X".
std::string symmetry_operator_text(const SymmetryOperator& op, int number);
// The 48-character diagnostic of an error code (blank-trimmed).
const char* sgerror_message(int code);

}  // namespace vesk
