// A value with its standard uncertainty as journals print it, the one text
// of every output but the listing (the publication CIF, NAME.json's "text"
// and, through it, the page): the s.u. in parentheses in units of the
// value's last digit, two digits when its first is 1 (10 to 19), else one
// (2 to 9); the value rounded to that digit, halves away from zero, on its
// exact binary value; never a bare decimal point (an s.u. of 5 degrees
// gives "164(5)", of 23 degrees "160(20)"). IUCr, Notes for authors
// (Acta Cryst. E), and the CIF core dictionary's rule for s.u.'s.
//
// The listing keeps its own value(esd) notation (report/tables.hpp).
#pragma once
#include <string>

namespace vesk {

// How a kind of quantity is written without an s.u., and how small an s.u.
// it still shows.
struct NumberStyle {
  int plain_decimals;    // a value without an s.u.
  int finest_decimals;   // an s.u. below one unit of this digit is none (symmetry makes the value exact)
  int constrained_decimals;  // a value whose uncertainty comes from a constraint alone
};

// Distances in Angstrom: 2.1000 plain, s.u.'s down to 0.00001, 0.95 constrained.
constexpr NumberStyle kDistanceStyle{4, 5, 2};
// Angles in degrees: 180.0 plain, s.u.'s down to 0.001, 119.7 constrained.
constexpr NumberStyle kAngleStyle{1, 3, 1};
// Anything else NAME.json shows (cell edges, Uij, bond valences, ...).
constexpr NumberStyle kQuantityStyle{4, 6, 4};

// "1.228(7)", "164(5)", "0.0(3)": `su` not finite or not above zero, or
// finer than the style's finest digit, gives the value alone with the
// style's plain decimals. A value that is not finite is "?" (CIF's
// unknown).
std::string journal_text(double value, double su, const NumberStyle& style);

// A value printed without an s.u. because only a constraint fixes its
// uncertainty (a riding hydrogen atom's bond): the style's constrained
// decimals, "0.88", "170".
std::string constrained_text(double value, const NumberStyle& style);

// `value` rounded to `decimals` places (negative: to tens, hundreds, ...),
// halves away from zero on the exact binary value, without a minus sign on
// a zero ("0.0", never "-0.0").
std::string rounded_text(double value, int decimals);

// The shortest decimal that reads back as the same single-precision
// number ("0.30563", not 0.30562999844551086), as a double: what a file
// stored.
double stored_value(float value);

}  // namespace vesk
