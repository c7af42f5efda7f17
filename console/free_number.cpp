#include "console/free_number.hpp"

#include "numeric/degrees.hpp"

namespace vesk {

namespace {

// 10^power by repeated squaring in single precision, as the parser always has.
float power_of_ten(int power) {
  float base = power < 0 ? 0.1f : 10.0f;
  long long remaining = power < 0 ? -static_cast<long long>(power) : power;
  float result = 1.0f;
  while (remaining > 0) {
    if (remaining & 1) result *= base;
    base *= base;
    remaining >>= 1;
  }
  return result;
}

// Exponent digits beyond this only drive the value to 0 or infinity; the cap
// keeps the integer from overflowing on absurd input.
constexpr int kExponentCap = 1000000;

}  // namespace

float STRREAL(std::string_view text, int& start, int n, int implied_decimals, float default_value, int& error) {
  error = 1;
  int digits = 0, decimals = 0, exponent = 0;
  bool exponent_seen = false, point_seen = false, bar_seen = false;
  int exponent_sign = 0, sign = 0;  // 0 unset, +1, -1
  char function = 0;                // 'S', 'C' or 'T'
  float mantissa = 0.0f, denominator = 0.0f;

  for (int k = 1; k <= n; ++k) {
    const int at = start;  // position from 1
    ++start;
    char c = (at >= 1 && at <= static_cast<int>(text.size())) ? text[at - 1] : ' ';
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');

    if (c >= '0' && c <= '9') {
      const int digit = c - '0';
      if (exponent_seen) {
        if (exponent < kExponentCap) exponent = exponent * 10 + digit;
      } else if (bar_seen) {
        denominator = denominator * 10.0f + static_cast<float>(digit);
      } else {
        ++digits;
        mantissa = mantissa * 10.0f + static_cast<float>(digit);
        if (point_seen) ++decimals;
      }
      continue;
    }
    bool number_ends = false;
    switch (c) {
      case ' ':
        number_ends = digits > 0;
        break;
      case '.':
        if (exponent_seen || point_seen || bar_seen) return default_value;
        point_seen = true;
        break;
      case 'E':
        if (bar_seen || exponent_seen || digits == 0) return default_value;
        exponent_seen = true;
        break;
      case '+':
      case '-':
        if (digits == 0) {
          if (sign != 0) return default_value;
          sign = c == '-' ? -1 : 1;
        } else {
          // After digits a sign starts the exponent: 1.5-3 is 1.5E-3.
          if (exponent_sign != 0) return default_value;
          exponent_seen = true;
          exponent_sign = c == '-' ? -1 : 1;
        }
        break;
      case '/':
        if (exponent_seen || point_seen || bar_seen) return default_value;
        bar_seen = true;
        break;
      case ',':
        number_ends = true;
        break;
      case 'S':
      case 'C':
      case 'T':
        if (k > 2 || function != 0) return default_value;
        function = c;
        break;
      default:  // "*" and every character outside the table
        return default_value;
    }
    if (number_ends) break;
  }

  if (digits == 0) {
    if (function != 0) return default_value;
    error = 0;
    return default_value;
  }
  if (bar_seen && denominator == 0.0f) return default_value;
  if (!exponent_seen && !point_seen && !bar_seen) decimals = implied_decimals;
  if (exponent_sign < 0) exponent = -exponent;
  // A zero mantissa stays 0 even when the power of ten overflows.
  float value = mantissa == 0.0f ? 0.0f : mantissa * power_of_ten(exponent - decimals);
  if (bar_seen) value /= denominator;
  if (function == 'S') value = SIND(value);
  if (function == 'C') value = COSD(value);
  if (function == 'T') value = TAND(value);
  if (sign < 0) value = -value;
  error = 0;
  return value;
}

float TOKREAL(std::string_view text, int n, int& error) {
  int start = 1;
  return STRREAL(text, start, n, 0, 0.0f, error);
}

}  // namespace vesk
