#include "cif2exp/recorded_pressure.hpp"

#include <cctype>
#include <regex>

#include <gemmi/cif.hpp>

#include "cif2exp/cif_number.hpp"

namespace cif2exp {

std::optional<RecordedPressure> recorded_pressure(const gemmi::cif::Block& block) {
  // In kPa, as the core dictionary defines them. An upper bound (_lt) says
  // nothing of a pressure being high.
  for (const char* item : {"_diffrn_ambient_pressure", "_diffrn.ambient_pressure", "_cell_measurement_pressure",
                           "_cell_measurement.pressure", "_diffrn_ambient_pressure_gt", "_diffrn.ambient_pressure_gt",
                           "_cell_measurement_pressure_gt", "_cell_measurement.pressure_gt"})
    if (const std::string* raw = block.find_value(item)) {
      const CifNumber kpa = parse_cif_number(*raw);
      if (kpa.present) return RecordedPressure{kpa.value * 1e-6, item};
    }
  static const std::regex stated(R"(([0-9]+(\.[0-9]*)?)\s*(\([0-9]+\))?\s*(GPa|MPa|kbar)\b)", std::regex::icase);
  for (const char* item : {"_exptl_special_details", "_diffrn_ambient_environment", "_publ_section_title"})
    if (const std::string* raw = block.find_value(item)) {
      const std::string text = gemmi::cif::as_string(*raw);
      std::smatch found;
      if (!std::regex_search(text, found, stated)) continue;
      const double value = std::stod(found[1].str());
      const char unit = static_cast<char>(std::tolower(static_cast<unsigned char>(found[4].str()[0])));
      return RecordedPressure{unit == 'g' ? value : unit == 'm' ? value * 1e-3 : value * 0.1, item};
    }
  return std::nullopt;
}

}  // namespace cif2exp
