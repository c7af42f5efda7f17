// Input editing of one field taken by column. Blanks inside a numeric field
// are ignored and an all-blank field is zero; any other character that
// cannot stand in the number is a read error (kBadNumericField).
#pragma once
#include <string_view>

namespace recio {

// Iw: optional sign and digits. Returns a status.
int read_integer_field(std::string_view field, long long& value);
// Fw.d, Ew.d, Gw.d: [sign] digits [. digits] [exponent], where the exponent
// is E, D or Q with an optional sign, or a sign alone ("1.5+3"). Without a
// point the last `decimals` digits are the fraction ("12345" in F10.5 is
// 0.12345). Returns a status.
int read_real_field(std::string_view field, int decimals, float& value);

}  // namespace recio
