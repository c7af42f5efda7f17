// Output editing of one item into one field, by the rules of standard
// Fortran: numbers right-justified, asterisks across the whole field when the
// value does not fit, rounding from the exact binary value.
#pragma once
#include <string>
#include <string_view>

namespace recio {

// Iw (min_digits > 0 for Iw.m).
std::string edit_integer(long long value, int width, int min_digits = 0);
// Fw.d: "0.1235" keeps its leading zero when the field has room for it.
std::string edit_fixed(double value, int width, int decimals);
// Ew.d: "0.12346E+05".
std::string edit_exponent(double value, int width, int decimals);
// Gw.d: F form with 4 trailing blanks for 0.1 <= |x| < 10**d (after
// rounding to d digits) and for zero, E form otherwise.
std::string edit_general(double value, int width, int decimals);
// Aw (width 0 for a bare A): a longer text gives its leftmost w characters,
// a shorter one is padded on the left.
std::string edit_text(std::string_view text, int width);

// The same fields written into out[0] to out[width - 1], with no allocation
// for any field of ordinary size: the hot output lines are built from these.
void put_integer(char* out, long long value, int width, int min_digits = 0);
void put_fixed(char* out, double value, int width, int decimals);
void put_text(char* out, std::string_view text, int width);

}  // namespace recio
