// The space-group description in the listing, and the symbol diagnostics.
#include <cstdio>
#include <string>

#include "crystal/spacegroup.hpp"
#include "recio/units.hpp"

namespace vesk {
namespace {

struct LaueText {
  const char* symbol;  // 6 characters
  const char* system;  // 12 characters
};

const LaueText kLaue[] = {
    {"1bar  ", "triclinic   "},     // 1
    {"2/m   ", "monoclinic  "},     // 2
    {"mmm   ", "orthorhombic"},     // 3
    {"4/m   ", "tetragonal  "},     // 4
    {"4/mmm ", "tetragonal  "},     // 5
    {"3bar  ", "trigonal    "},     // 6, rhombohedral axes
    {"3bar m", "trigonal    "},     // 7, rhombohedral axes
    {"3bar  ", "trigonal    "},     // 8
    {"3barm1", "trigonal    "},     // 9
    {"3bar1m", "trigonal    "},     // 10
    {"6/m   ", "hexagonal   "},     // 11
    {"6/mmm ", "hexagonal   "},     // 12
    {"m 3   ", "cubic       "},     // 13
    {"m3m   ", "cubic       "},     // 14
};

const char* const kLatticeNames[] = {
    "  primitive ", " A-centered ", " B-centered ", " C-centered ", " I-centered ", " F-centered ", " R-centered ",
};

const char* const kPolarAxes[] = {"x  ", "y  ", "x y", "z  ", "x z", "y z", "xyz", "111"};

// Indexed by the translation in twelfths.
const char* const kTranslationText[] = {"   ", "ERR", "1/6", "1/4", "1/3", "ERR",
                                        "1/2", "ERR", "2/3", "3/4", "5/6", "ERR"};

// Indexed by 2 ri1 + 3 ri2 + 4 ri3 + 4.
const char* const kTermText[] = {"-Z ", "-Y ", "-X ", "X-Y", "ERR", "Y-X", "X  ", "Y  ", "Z  "};

// 48-character messages indexed by the error code.
const char* const kMessages[30] = {
    "Either a 5-axis anywhere or a 3-axis in field",     // 0
    "Less than 2 operator fields were found",            // 1
    "Illegal Lattice type, not P, A, B, C, I, F or R",   // 2
    "Rhombohedral lattice without a 3-axis",             // 3
    "Minus sign does not preceed 1, 2, 3, 4 or 6",       // 4
    "Lattice S.R. found an error",                       // 5
    "1st operator in a field was a space. Impossible",   // 6
    "I for COMPUTED GO TO out of range.",                // 7
    "An A-glide mirror normal to A",                     // 8
    "A B-glide mirror normal to B",                      // 9
    "A C-glide mirror normal to C",                      // 10
    "D-glide in a primitive lattice",                    // 11
    "A 4-axis not in the 2nd operator field",            // 12
    "A 6-axis not in the 2nd operator field",            // 13
    "More than 24 matrices needed to define group",      // 14
    "More than 24 matrices needed to define group",      // 15
    "Improper construction of a rotation operator",      // 16
    "No mirror following a /",                           // 17
    "A translation conflict between operators",          // 18
    "The 2bar operator is not allowed",                  // 19
    "3 fields are legal only in R & m3 cubic groups",    // 20
    "Syntax error. Expected I-43d at this point.",       // 21
    "",                                                  // 22
    "A or B centered tetragonal?   IMPOSSIBLE",          // 23
    "",                                                  // 24
    "A 3-axis outside the 2nd field of a hex. group",    // 25
    "",                                                  // 26
    "",                                                  // 27
    "",                                                  // 28
    "Illegal character in the space group symbol",       // 29
};

std::string padded(std::string_view text, std::size_t width) {
  std::string s(text.substr(0, width));
  s.resize(width, ' ');
  return s;
}

// One coordinate of an operator: translation text and term, 7 characters.
std::string coordinate(const SymmetryOperator& op, int row) {
  const int t = op.t(row);
  const int index = 2 * op.r(row, 1) + 3 * op.r(row, 2) + 4 * op.r(row, 3) + 4;
  std::string term = (index >= 0 && index <= 8) ? kTermText[index] : "ERR";
  if (t != 0 && index >= 6) term = "+" + term.substr(0, 2);
  return " " + std::string(kTranslationText[(t % 12 + 12) % 12]) + term;
}

}  // namespace

std::string symmetry_operator_text(const SymmetryOperator& op, int number) {
  char head[8];
  std::snprintf(head, sizeof head, " (%2d)", number % 100);
  return head + coordinate(op, 1) + coordinate(op, 2) + coordinate(op, 3);
}

int polar_axis_code(const SpaceGroupInfo& group) {
  int x = 1, y = 2, z = 4;
  bool r13_positive = false, r13_negative = false;
  for (int k = 0; k < group.nsym; ++k) {
    const SymmetryOperator& op = group.ops[k];
    if (op.r(1, 1) < 1) x = 0;
    if (op.r(2, 2) < 1) y = 0;
    if (op.r(3, 3) < 1) z = 0;
    if (op.r(1, 3) > 0) r13_positive = true;
    if (op.r(1, 3) < 0) r13_negative = true;
  }
  const int diagonal = (r13_positive && !r13_negative) ? 8 : 0;
  return (x + y + z + diagonal) * (1 - group.centric);
}

int SGLISTING(std::string_view symbol, const SpaceGroupInfo& group, int listing_unit) {
  const int polar = polar_axis_code(group);
  if (listing_unit < 0) return polar;
  const int u = listing_unit;
  const int laue = (group.laue >= kLaue1bar && group.laue <= kLaueM3barM) ? group.laue : 1;
  const int lattice = (group.lattice >= 1 && group.lattice <= 7) ? group.lattice : 1;
  recio::write(u, "(A)", {""});
  recio::write(u, "(2A)", {" Space group ", padded(symbol, 20)});
  recio::write(u, "(8A)",
               {" The lattice is", group.centric ? " " : " a", "centric ", kLatticeNames[lattice - 1],
                kLaue[laue - 1].system, "  Laue symmetry ", kLaue[laue - 1].symbol});
  recio::write(u, "(A,I4)", {"  Multiplicity of a general site is", group.general_multiplicity()});
  if (group.unique_axis >= 1 && group.unique_axis <= 3) {
    const char* axis[] = {"a", "b", "c"};
    recio::write(u, "(2A)", {"  The unique axis is ", axis[group.unique_axis - 1]});
  }
  if (group.centric) recio::write(u, "(A)", {"  The symmetry of the point 0,0,0 contains 1bar"});
  if (polar >= 1 && polar <= 8)
    recio::write(u, "(2A)", {"  The location of the origin is arbitrary in ", kPolarAxes[polar - 1]});
  recio::write(u, "(A)", {""});
  recio::write(u, "(A)", {" The equivalent positions are:"});
  recio::write(u, "(A)", {""});
  const int per_line = laue <= 5 ? 2 : 3;
  std::string line;
  for (int k = 0; k < group.nsym; ++k) {
    line += symmetry_operator_text(group.ops[k], k + 1);
    if ((k + 1) % per_line == 0 || k + 1 == group.nsym) {
      recio::write(u, "(A)", {line});
      line.clear();
    }
  }
  recio::write(u, "(A)", {""});
  return polar;
}

void SGERROR(std::string_view symbol, int code, int listing_unit) {
  if (listing_unit < 0) return;
  const char* message = (code >= 0 && code < 30) ? kMessages[code] : "";
  recio::write(listing_unit, "(2A)", {" ****** Error processing symbol ", padded(symbol, 20)});
  recio::write(listing_unit, "(2A)", {" ", padded(message, 48)});
}

const char* sgerror_message(int code) { return (code >= 0 && code < 30) ? kMessages[code] : ""; }

}  // namespace vesk
