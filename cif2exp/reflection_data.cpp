#include "cif2exp/reflection_data.hpp"

#include <cmath>
#include <cstdlib>
#include <exception>
#include <sstream>

#include <gemmi/cif.hpp>

#include "recio/error.hpp"

namespace cif2exp {

namespace {

using vesk::Error;

bool blank(const std::string& field) { return field.find_first_not_of(' ') == std::string::npos; }

// An Iw field: blank reads as 0.
bool integer_field(const std::string& field, int& value) {
  if (blank(field)) {
    value = 0;
    return true;
  }
  char* end = nullptr;
  const long v = std::strtol(field.c_str(), &end, 10);
  while (*end == ' ') ++end;
  if (*end != '\0' || std::labs(v) > 100000) return false;
  value = static_cast<int>(v);
  return true;
}

// An Fw.2 field.
bool real_field(const std::string& field, double& value) {
  if (blank(field)) {
    value = 0;
    return true;
  }
  char* end = nullptr;
  value = std::strtod(field.c_str(), &end);
  while (*end == ' ') ++end;
  if (*end != '\0' || !std::isfinite(value)) return false;
  if (field.find_first_of(".eEdD") == std::string::npos) value /= 100;
  return true;
}

// A CIF number; NaN for '?', '.' or a word.
double number_of(const std::string& raw) {
  const std::string text = gemmi::cif::as_string(raw);
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  return gemmi::cif::is_null(raw) || text.empty() || *end != '\0' ? std::nan("") : value;
}

}  // namespace

std::vector<lsq::Observation> read_hklf4(const std::string& text, const std::string& where) {
  std::vector<lsq::Observation> out;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (blank(line)) continue;
    const std::string given = line.substr(0, 28);
    line.resize(std::max<std::size_t>(line.size(), 28), ' ');
    lsq::Observation o;
    const bool read = integer_field(line.substr(0, 4), o.h[0]) && integer_field(line.substr(4, 4), o.h[1]) &&
                      integer_field(line.substr(8, 4), o.h[2]) && real_field(line.substr(12, 8), o.intensity) &&
                      real_field(line.substr(20, 8), o.sigma);
    if (!read)
      throw Error(where + ", line " + std::to_string(number) + ": \"" + given +
                  "\" is not a reflection (3I4, 2F8.2)");
    if (o.h == lsq::Miller{0, 0, 0}) break;
    out.push_back(o);
  }
  return out;
}

std::vector<lsq::Observation> read_fcf(const std::string& text, const std::string& where) {
  gemmi::cif::Document document;
  try {
    document = gemmi::cif::read_string(text);
  } catch (const std::exception& e) {
    throw Error(where + ": " + e.what());
  }
  for (gemmi::cif::Block& block : document.blocks) {
    const std::vector<std::string> columns = {"index_h", "index_k", "index_l", "F_squared_meas", "F_squared_sigma"};
    const bool dotted = !block.find("_refln_", columns).ok();
    gemmi::cif::Table table = block.find(dotted ? "_refln." : "_refln_", columns);
    if (!table.ok()) continue;
    std::vector<lsq::Observation> out;
    int row_number = 0;
    for (auto row : table) {
      ++row_number;
      lsq::Observation o;
      try {
        for (int i = 0; i < 3; ++i) o.h[static_cast<std::size_t>(i)] = gemmi::cif::as_int(row[i]);
        o.intensity = number_of(row[3]);
        o.sigma = number_of(row[4]);
      } catch (const std::exception&) {
        throw Error(where + ": reflection " + std::to_string(row_number) + " of the _refln_ loop does not read");
      }
      if (!std::isfinite(o.intensity) || !std::isfinite(o.sigma))
        throw Error(where + ": reflection " + std::to_string(row_number) + " of the _refln_ loop has no Fo^2 or s.u.");
      out.push_back(o);
    }
    return out;
  }
  throw Error(where + ": no _refln_ loop with F_squared_meas and F_squared_sigma");
}

}  // namespace cif2exp
