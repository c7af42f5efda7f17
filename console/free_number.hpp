// Free-format numbers: integers, decimals, exponents (also 1.5-3), fractions
// (1/3), implied decimals, and S, C, T prefixes for sine, cosine, tangent.
#pragma once
#include <string_view>

namespace vesk {

// Reads n characters of text from position start (from 1; advanced for every
// character consumed). error: 0 on success, 1 on failure.
float STRREAL(std::string_view text, int& start, int n, int implied_decimals, float default_value, int& error);
// STRREAL(text, 1, n, 0, 0.0, error).
float TOKREAL(std::string_view text, int n, int& error);

}  // namespace vesk
