#include "cif2exp/cif_number.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include <gemmi/cifdoc.hpp>
#include <gemmi/numb.hpp>

namespace cif2exp {

CifNumber parse_cif_number(const std::string& raw) {
  CifNumber number;
  if (gemmi::cif::is_null(raw)) return number;
  // A lone quote is no quoted string (gemmi's as_string would cut it to a
  // negative length); it is no number either.
  if (raw.size() < 2 && (raw == "'" || raw == "\"")) return number;
  const std::string text = gemmi::cif::as_string(raw);
  number.unreadable = true;
  // gemmi checks the whole form, s.u. included, and gives the value.
  const double value = gemmi::cif::as_number(text);
  if (!std::isfinite(value)) return number;  // 1E999 is no usable number either
  number.present = true;
  number.unreadable = false;
  number.value = value;

  // The last printed digit: decimals of the mantissa, shifted by the exponent.
  const std::size_t su_start = text.find('(');
  const std::string mantissa_and_exponent = text.substr(0, su_start);
  const std::size_t e = mantissa_and_exponent.find_first_of("eE");
  const std::string mantissa = mantissa_and_exponent.substr(0, e);
  // strtol saturates where atoi would overflow; beyond 1000 nothing is finite anyway.
  const long exponent =
      e == std::string::npos
          ? 0
          : std::clamp(std::strtol(mantissa_and_exponent.c_str() + e + 1, nullptr, 10), -1000L, 1000L);
  const std::size_t point = mantissa.find('.');
  const int decimals = point == std::string::npos ? 0 : static_cast<int>(mantissa.size() - point - 1);
  number.last_place = std::pow(10.0, static_cast<double>(exponent - decimals));

  if (su_start != std::string::npos) {
    const long digits = std::strtol(text.c_str() + su_start + 1, nullptr, 10);
    number.su = static_cast<double>(digits) * number.last_place;
  }
  // A last place or s.u. outside the range of doubles (1e-400, 1e300(9999))
  // makes no usable number.
  if (!(number.last_place > 0) || !std::isfinite(number.last_place) || !std::isfinite(number.su)) {
    CifNumber none;
    none.unreadable = true;
    return none;
  }
  return number;
}

CifNumber parse_cif_coordinate(const std::string& raw) {
  CifNumber number = parse_cif_number(raw);
  if (!number.unreadable) return number;
  // Some database entries write exact coordinates as fractions.
  const std::string text = gemmi::cif::as_string(raw);
  std::size_t k = 0;
  bool negative = false;
  if (k < text.size() && (text[k] == '-' || text[k] == '+')) negative = text[k++] == '-';
  auto digits = [&](long& value) {
    const std::size_t start = k;
    value = 0;
    while (k < text.size() && std::isdigit(static_cast<unsigned char>(text[k])) && k - start < 4)
      value = 10 * value + (text[k++] - '0');
    return k > start;
  };
  long numerator = 0, denominator = 0;
  if (!digits(numerator) || k >= text.size() || text[k++] != '/' || !digits(denominator) || k != text.size() ||
      denominator == 0)
    return number;
  CifNumber fraction;
  fraction.present = true;
  fraction.value = (negative ? -1.0 : 1.0) * static_cast<double>(numerator) / static_cast<double>(denominator);
  fraction.last_place = 1e-9;  // exact
  return fraction;
}

}  // namespace cif2exp
