#include "recio/edit_output.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

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
  std::string field(static_cast<std::size_t>(width), ' ');
  put_integer(field.data(), value, width, min_digits);
  return field;
}

std::string edit_fixed(double value, int width, int decimals) {
  std::string field(static_cast<std::size_t>(width), ' ');
  put_fixed(field.data(), value, width, decimals);
  return field;
}

namespace {

void put_stars(char* out, int width) { std::memset(out, '*', static_cast<std::size_t>(width)); }

// Fields are short: copies of fixed sizes stay inline, where a library call
// for a few bytes would cost more than the digits.
void put_blanks(char* out, std::size_t n) {
  static constexpr char kBlanks[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  for (; n >= 8; n -= 8, out += 8) std::memcpy(out, kBlanks, 8);
  if ((n & 4) != 0) {
    std::memcpy(out, kBlanks, 4);
    out += 4;
  }
  if ((n & 2) != 0) {
    std::memcpy(out, kBlanks, 2);
    out += 2;
  }
  if ((n & 1) != 0) *out = ' ';
}

void copy_short(char* out, const char* text, std::size_t n) {
  for (; n >= 8; n -= 8, out += 8, text += 8) std::memcpy(out, text, 8);
  if ((n & 4) != 0) {
    std::memcpy(out, text, 4);
    out += 4;
    text += 4;
  }
  if ((n & 2) != 0) {
    std::memcpy(out, text, 2);
    out += 2;
    text += 2;
  }
  if ((n & 1) != 0) *out = *text;
}

void put_right_justified(char* out, const char* text, std::size_t length, int width) {
  const auto w = static_cast<std::size_t>(width);
  if (length > w) return put_stars(out, width);
  put_blanks(out, w - length);
  copy_short(out + (w - length), text, length);
}

// Fw.d of a finite value whose digits fill text[0] up to `end`, which has
// room for one more character.
void put_fixed_text(char* out, char* text, char* end, int width, int decimals) {
  // A value that rounds to zero prints without a sign: the cosine of 90
  // degrees is a tiny negative number in single precision and must read 0.
  if (text[0] == '-' && std::find_if(text, end, [](char c) { return c >= '1' && c <= '9'; }) == end) ++text;
  if (decimals == 0) *end++ = '.';
  // The optional zero before the point goes when the field is too narrow.
  char* digits = text[0] == '-' ? text + 1 : text;
  if (end - text > width && end - digits >= 2 && digits[0] == '0' && digits[1] == '.') {
    std::memmove(digits, digits + 1, static_cast<std::size_t>(end - digits - 1));
    --end;
  }
  put_right_justified(out, text, static_cast<std::size_t>(end - text), width);
}

}  // namespace

namespace {

// The decimal digits of n, written backwards ending at `end`; returns the first.
char* digits_before(char* end, unsigned long long n) {
  do {
    *--end = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  return end;
}

__extension__ using Unsigned128 = unsigned __int128;

constexpr int kFastDecimals = 9;
constexpr double kFastLimit = 1.0E9;
constexpr unsigned long long kPowersOfTen[kFastDecimals + 1] = {
    1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000};

// |value| x 10**decimals rounded to an integer from the exact binary value,
// ties to even, as std::to_chars rounds: the value is m 2**e with m below
// 2**53, so m 10**decimals is exact in 128 bits and the shift by -e leaves
// the exact remainder. For |value| below 1E9 and at most 9 decimals.
unsigned long long scaled_magnitude(double value, int decimals) {
  const auto bits = std::bit_cast<unsigned long long>(value);
  const int biased = static_cast<int>((bits >> 52) & 0x7ff);
  const unsigned long long fraction = bits & ((1ULL << 52) - 1);
  const unsigned long long m = biased == 0 ? fraction : fraction | (1ULL << 52);
  const int shift = (biased == 0 ? 1 : biased) - 1075;  // value = m 2**shift; shift < 0 below 2**52
  const Unsigned128 n = static_cast<Unsigned128>(m) * kPowersOfTen[decimals];
  const int right = -shift;
  if (right >= 127) return 0;  // n is below 2**83: far under one half
  const Unsigned128 q = n >> right;
  const Unsigned128 rest = n - (q << right);
  const Unsigned128 half = static_cast<Unsigned128>(1) << (right - 1);
  return static_cast<unsigned long long>(q) + ((rest > half || (rest == half && (q & 1) != 0)) ? 1 : 0);
}

}  // namespace

void put_integer(char* out, long long value, int width, int min_digits) {
  const unsigned long long magnitude =
      value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
  char buffer[24];
  char* const end = buffer + sizeof buffer;
  char* text = digits_before(end, magnitude);
  const auto count = static_cast<std::size_t>(end - text);
  if (min_digits > static_cast<int>(count)) {
    const auto zeros = static_cast<std::size_t>(min_digits) - count;
    if (zeros + 1 > static_cast<std::size_t>(text - buffer)) {  // Iw.m with more than 20 digits
      std::string padded = std::string(zeros, '0') + std::string(text, end);
      if (value < 0) padded.insert(0, 1, '-');
      return put_right_justified(out, padded.data(), padded.size(), width);
    }
    text -= zeros;
    std::memset(text, '0', zeros);
  }
  if (value < 0) *--text = '-';
  put_right_justified(out, text, static_cast<std::size_t>(end - text), width);
}

void put_fixed(char* out, double value, int width, int decimals) {
  if (!std::isfinite(value)) {
    const std::string special = edit_special(value, width);
    std::memcpy(out, special.data(), special.size());
    return;
  }
  char buffer[80];
  if (decimals <= kFastDecimals && std::fabs(value) < kFastLimit) {
    // The usual fields in exact integer arithmetic, the same text as below.
    const unsigned long long scaled = scaled_magnitude(value, decimals);
    char* const end = buffer + 40;
    char* text = end;
    const unsigned long long unit = kPowersOfTen[decimals];
    if (decimals > 0) {
      unsigned long long fraction = scaled % unit;
      for (int k = 0; k < decimals; ++k, fraction /= 10) *--text = static_cast<char>('0' + fraction % 10);
      *--text = '.';
    }
    text = digits_before(text, scaled / unit);
    // A value that rounds to zero prints without a sign (see put_fixed_text).
    if (std::signbit(value) && scaled != 0) *--text = '-';
    return put_fixed_text(out, text, end, width, decimals);
  }
  // Room for any float and the usual decimals; longer texts take the heap.
  auto result = std::to_chars(buffer, buffer + sizeof buffer - 1, value, std::chars_format::fixed, decimals);
  if (result.ec == std::errc()) return put_fixed_text(out, buffer, result.ptr, width, decimals);
  std::string heap(static_cast<std::size_t>(decimals) + 330, '\0');
  result = std::to_chars(heap.data(), heap.data() + heap.size() - 1, value, std::chars_format::fixed, decimals);
  if (result.ec != std::errc()) return put_stars(out, width);
  put_fixed_text(out, heap.data(), result.ptr, width, decimals);
}

void put_text(char* out, std::string_view text, int width) {
  const auto w = static_cast<std::size_t>(width);
  if (text.size() >= w) return copy_short(out, text.data(), w);
  put_right_justified(out, text.data(), text.size(), width);
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
