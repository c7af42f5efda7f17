#include "cif2exp/recorded_pressure.hpp"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <utility>

#include <gemmi/cif.hpp>

#include "cif2exp/cif_number.hpp"

namespace cif2exp {

namespace {

bool starts_with_word(std::string_view text, std::size_t at, std::string_view word) {
  if (text.size() - at < word.size()) return false;
  for (std::size_t k = 0; k < word.size(); ++k)
    if (std::tolower(static_cast<unsigned char>(text[at + k])) != word[k]) return false;
  const std::size_t after = at + word.size();
  return after == text.size() || !std::isalnum(static_cast<unsigned char>(text[after]));
}

// The first "180GPa", "0.45(2) gpa", "300 MPa" or "25 kbar" of a text, in
// GPa; a scan by hand, so that no text, however long, runs deep.
std::optional<double> pressure_in(std::string_view text) {
  static const std::pair<std::string_view, double> kUnits[] = {{"gpa", 1.0}, {"mpa", 1e-3}, {"kbar", 0.1}};
  for (std::size_t at = 0; at < text.size(); ++at)
    for (const auto& [unit, in_gpa] : kUnits) {
      if (!starts_with_word(text, at, unit)) continue;
      std::size_t end = at;
      auto skip_blanks = [&] {
        while (end > 0 && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
      };
      skip_blanks();
      if (end > 0 && text[end - 1] == ')') {  // an s.u.: "0.45(2)"
        std::size_t open = end - 1;
        while (open > 0 && std::isdigit(static_cast<unsigned char>(text[open - 1]))) --open;
        if (open == 0 || text[open - 1] != '(') continue;
        end = open - 1;
        skip_blanks();
      }
      std::size_t start = end;
      while (start > 0 && end - start < 32 &&
             (std::isdigit(static_cast<unsigned char>(text[start - 1])) || text[start - 1] == '.'))
        --start;
      if (start == end || !std::isdigit(static_cast<unsigned char>(text[start])) ||
          (start > 0 && std::isdigit(static_cast<unsigned char>(text[start - 1]))))
        continue;  // no number, or more digits than any pressure has
      const double value = std::strtod(std::string(text.substr(start, end - start)).c_str(), nullptr);
      if (std::isfinite(value)) return value * in_gpa;
    }
  return std::nullopt;
}

}  // namespace

std::optional<RecordedPressure> recorded_pressure(const gemmi::cif::Block& block) {
  // In kPa, as the core dictionary defines them. An upper bound (_lt) says
  // nothing of a pressure being high.
  for (const char* item : {"_diffrn_ambient_pressure", "_diffrn.ambient_pressure", "_cell_measurement_pressure",
                           "_cell_measurement.pressure", "_diffrn_ambient_pressure_gt", "_diffrn.ambient_pressure_gt",
                           "_cell_measurement_pressure_gt", "_cell_measurement.pressure_gt"})
    if (const std::string* raw = block.find_value(item)) {
      // A negative pressure is no pressure a structure was measured at.
      const CifNumber kpa = parse_cif_number(*raw);
      if (kpa.present && kpa.value >= 0) return RecordedPressure{kpa.value * 1e-6, item};
    }
  for (const char* item : {"_exptl_special_details", "_diffrn_ambient_environment", "_publ_section_title"})
    if (const std::string* raw = block.find_value(item))
      if (const std::optional<double> gpa = pressure_in(gemmi::cif::as_string(*raw))) return RecordedPressure{*gpa, item};
  return std::nullopt;
}

}  // namespace cif2exp
