#include "report/journal_number.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vesk {

namespace {

// Digits kept in the exact expansion of a double: past 60 decimals only a
// value below 1e-40 could decide a rounding, and none of ours is.
constexpr int kExpansionDecimals = 60;

// The decimal digits of a whole number held as text.
long digits_value(const std::string& text) {
  long n = 0;
  for (char c : text)
    if (c >= '0' && c <= '9') n = n * 10 + (c - '0');
  return n;
}

// `su` in units of the digit `decimals` (negative: tens, hundreds, ...),
// rounded as rounded_text rounds.
long units_of(double su, int decimals) {
  long n = digits_value(rounded_text(su, decimals));
  for (int k = decimals; k < 0; ++k) n /= 10;
  return n;
}

}  // namespace

std::string rounded_text(double value, int decimals) {
  if (!std::isfinite(value)) return "?";
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, "%.*f", kExpansionDecimals, std::fabs(value));
  std::string all(buffer);
  const std::size_t point = all.find('.');
  const long integer_digits = static_cast<long>(point);
  all.erase(point, 1);
  // value * 10^decimals, rounded half up, as a digit string.
  const long keep = integer_digits + decimals;
  std::string kept = keep > 0 ? all.substr(0, static_cast<std::size_t>(keep)) : std::string();
  const bool up = keep >= 0 && static_cast<std::size_t>(keep) < all.size() && all[static_cast<std::size_t>(keep)] >= '5';
  if (up) {
    std::size_t k = kept.size();
    while (k > 0 && kept[k - 1] == '9') kept[--k] = '0';
    if (k == 0)
      kept.insert(kept.begin(), '1');
    else
      ++kept[k - 1];
  }
  if (kept.empty()) kept = "0";
  std::string text;
  if (decimals > 0) {
    const auto fraction = static_cast<std::size_t>(decimals);
    if (kept.size() <= fraction) kept.insert(0, fraction + 1 - kept.size(), '0');
    text = kept.substr(0, kept.size() - fraction) + "." + kept.substr(kept.size() - fraction);
  } else {
    text = kept + std::string(static_cast<std::size_t>(-decimals), '0');
  }
  const std::size_t first = text.find_first_not_of('0');
  if (first == std::string::npos)
    text = "0";
  else if (text[first] == '.')
    text.erase(0, first - 1);
  else
    text.erase(0, first);
  const bool zero = text.find_first_not_of("0.") == std::string::npos;
  return (value < 0 && !zero ? "-" : "") + text;
}

std::string journal_text(double value, double su, const NumberStyle& style) {
  if (!std::isfinite(value)) return "?";
  if (!(std::isfinite(su) && su > 0)) return rounded_text(value, style.plain_decimals);
  // Two significant digits of the s.u. first (10 to 99 units of the digit
  // `decimals`), then one when they do not start with 1.
  int decimals = 1 - static_cast<int>(std::floor(std::log10(su)));
  if (decimals > style.finest_decimals + 2) return rounded_text(value, style.plain_decimals);
  long units = units_of(su, decimals);
  while (units >= 100) units = units_of(su, --decimals);
  while (units < 10) units = units_of(su, ++decimals);
  if (units > 19) {
    // 0.0196 is (2) at 0.01, 0.0096 is (10) at 0.001: a first digit 1 again.
    --decimals;
    units = units_of(su, decimals);
  }
  if (decimals > style.finest_decimals) return rounded_text(value, style.plain_decimals);
  std::string su_text = std::to_string(units);
  if (decimals < 0) su_text += std::string(static_cast<std::size_t>(-decimals), '0');
  return rounded_text(value, decimals) + "(" + su_text + ")";
}

std::string constrained_text(double value, const NumberStyle& style) {
  return rounded_text(value, style.constrained_decimals);
}

double stored_value(float value) {
  char buffer[32];
  const std::to_chars_result end = std::to_chars(buffer, buffer + sizeof buffer - 1, value);
  *end.ptr = '\0';
  return std::strtod(buffer, nullptr);
}

}  // namespace vesk
