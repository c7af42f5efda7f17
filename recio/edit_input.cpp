#include "recio/edit_input.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "recio/status.hpp"

namespace recio {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string without_blanks(std::string_view field) {
  std::string out;
  for (char c : field)
    if (c != ' ' && c != '\t') out += c;
  return out;
}

}  // namespace

int read_integer_field(std::string_view field, long long& value) {
  std::string text = without_blanks(field);
  std::size_t at = 0;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  if (at == text.size()) {
    if (!text.empty()) return kBadNumericField;  // a sign without digits
    value = 0;
    return kOk;
  }
  long long magnitude = 0;
  for (; at < text.size(); ++at) {
    if (!is_digit(text[at])) return kBadNumericField;
    magnitude = magnitude * 10 + (text[at] - '0');
    if (magnitude > std::numeric_limits<int>::max() + 1LL) return kNumberOutOfRange;
  }
  value = negative ? -magnitude : magnitude;
  return kOk;
}

int read_real_field(std::string_view field, int decimals, float& value) {
  std::string text = without_blanks(field);
  if (text.empty()) {
    value = 0;
    return kOk;
  }
  std::size_t at = 0;
  std::string number;  // rebuilt as [-]digits e exponent for from_chars
  if (text[at] == '+' || text[at] == '-') {
    if (text[at] == '-') number += '-';
    ++at;
  }
  std::string digits;
  int fraction_digits = 0;
  bool point = false;
  for (; at < text.size(); ++at) {
    char c = text[at];
    if (is_digit(c)) {
      digits += c;
      if (point) ++fraction_digits;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits.empty()) return kBadNumericField;
  long exponent = 0;
  if (at < text.size()) {
    char c = text[at];
    if (c == 'E' || c == 'e' || c == 'D' || c == 'd' || c == 'Q' || c == 'q') ++at;
    else if (c != '+' && c != '-') return kBadNumericField;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    if (at == text.size()) return kBadNumericField;
    for (; at < text.size(); ++at) {
      if (!is_digit(text[at])) return kBadNumericField;
      if (exponent < 100000) exponent = exponent * 10 + (text[at] - '0');
    }
    if (negative) exponent = -exponent;
  }
  // Without a point the format's decimals place it.
  exponent -= point ? fraction_digits : decimals;
  number += digits;
  number += 'e';
  number += std::to_string(exponent);
  float parsed = 0;
  auto result = std::from_chars(number.data(), number.data() + number.size(), parsed);
  if (result.ec == std::errc::result_out_of_range) {
    // Too small rounds to zero; too large cannot be held.
    double wide = std::strtod(number.c_str(), nullptr);
    if (std::fabs(wide) > 1.0) return kNumberOutOfRange;
    parsed = std::signbit(wide) ? -0.0f : 0.0f;
  } else if (result.ec != std::errc() || result.ptr != number.data() + number.size()) {
    return kBadNumericField;
  }
  value = parsed;
  return kOk;
}

}  // namespace recio
