#include "recio/edit_output.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace recio {

namespace {

std::string stars(int width) { return std::string(static_cast<std::size_t>(width), '*'); }

std::string right_justify(const std::string& text, int width) {
  if (text.size() > static_cast<std::size_t>(width)) return stars(width);
  return std::string(static_cast<std::size_t>(width) - text.size(), ' ') + text;
}

std::string edit_special(double value, int width) {
  if (std::isnan(value)) return right_justify("NaN", width);
  std::string sign = value < 0 ? "-" : "";
  if (sign.size() + 8 <= static_cast<std::size_t>(width)) return right_justify(sign + "Infinity", width);
  return right_justify(sign + "Inf", width);
}

// Drops the optional zero before the point ("0.5" -> ".5", "-0.5" -> "-.5")
// when the text is too long for the field.
void drop_optional_zero(std::string& text, int width) {
  if (text.size() <= static_cast<std::size_t>(width)) return;
  std::size_t at = text[0] == '-' ? 1 : 0;
  if (text.compare(at, 2, "0.") == 0) text.erase(at, 1);
}

// Mantissa digits (without point) and decimal exponent of |value| rounded to
// `digits` significant digits: value ~ 0.DDDD x 10**exponent.
struct Scientific {
  std::string digits;
  int exponent = 0;
};

Scientific scientific(double magnitude, int digits) {
  Scientific out;
  if (magnitude == 0) {
    out.digits.assign(static_cast<std::size_t>(digits), '0');
    return out;
  }
  std::string buffer(static_cast<std::size_t>(digits) + 32, '\0');
  auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), magnitude, std::chars_format::scientific,
                              digits - 1);
  std::string text(buffer.data(), result.ptr);
  std::size_t e = text.find('e');
  for (std::size_t i = 0; i < e; ++i)
    if (text[i] != '.') out.digits += text[i];
  out.exponent = std::atoi(text.c_str() + e + 1) + 1;
  return out;
}

}  // namespace

std::string edit_integer(long long value, int width, int min_digits) {
  unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                           : static_cast<unsigned long long>(value);
  std::string digits = std::to_string(magnitude);
  if (digits.size() < static_cast<std::size_t>(min_digits))
    digits.insert(0, static_cast<std::size_t>(min_digits) - digits.size(), '0');
  if (value < 0) digits.insert(0, 1, '-');
  return right_justify(digits, width);
}

std::string edit_fixed(double value, int width, int decimals) {
  if (!std::isfinite(value)) return edit_special(value, width);
  std::string buffer(static_cast<std::size_t>(decimals) + 330, '\0');
  auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed, decimals);
  if (result.ec != std::errc()) return stars(width);
  std::string text(buffer.data(), result.ptr);
  // A value that rounds to zero prints without a sign: the cosine of 90
  // degrees is a tiny negative number in single precision and must read 0.
  if (text[0] == '-' && text.find_first_of("123456789") == std::string::npos) text.erase(0, 1);
  if (decimals == 0) text += '.';
  drop_optional_zero(text, width);
  return right_justify(text, width);
}

std::string edit_exponent(double value, int width, int decimals) {
  if (!std::isfinite(value)) return edit_special(value, width);
  const int digits = decimals > 0 ? decimals : 1;
  Scientific sci = scientific(std::fabs(value), digits);
  if (decimals == 0) sci.digits.clear();
  const int exponent_magnitude = std::abs(sci.exponent);
  if (exponent_magnitude > 999) return stars(width);
  std::string exponent = sci.exponent < 0 ? "-" : "+";
  std::string exponent_digits = std::to_string(exponent_magnitude);
  if (exponent_magnitude <= 99) {
    exponent = "E" + exponent + (exponent_magnitude < 10 ? "0" : "") + exponent_digits;
  } else {
    exponent += exponent_digits;  // three exponent digits take the place of the letter
  }
  std::string text = std::string(std::signbit(value) ? "-" : "") + "0." + sci.digits + exponent;
  drop_optional_zero(text, width);
  return right_justify(text, width);
}

std::string edit_general(double value, int width, int decimals) {
  if (!std::isfinite(value)) return edit_special(value, width);
  constexpr int kTrailingBlanks = 4;
  const double magnitude = std::fabs(value);
  int fixed_decimals = -1;
  if (magnitude == 0) {
    fixed_decimals = decimals > 0 ? decimals - 1 : 0;
  } else if (decimals > 0) {
    // The rounded value decides: 0.1 <= N < 10**d after rounding to d digits.
    int exponent = scientific(magnitude, decimals).exponent;
    if (exponent >= 0 && exponent <= decimals) fixed_decimals = decimals - exponent;
  }
  if (fixed_decimals < 0) return edit_exponent(value, width, decimals);
  if (width <= kTrailingBlanks) return stars(width);
  std::string text = edit_fixed(value, width - kTrailingBlanks, fixed_decimals);
  if (text.find('*') != std::string::npos) return stars(width);
  return text + std::string(kTrailingBlanks, ' ');
}

std::string edit_text(std::string_view text, int width) {
  if (width == 0) return std::string(text);
  const auto w = static_cast<std::size_t>(width);
  if (text.size() >= w) return std::string(text.substr(0, w));
  return std::string(w - text.size(), ' ') + std::string(text);
}

}  // namespace recio
