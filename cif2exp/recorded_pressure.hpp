// The pressure a CIF block says its structure was measured at. Van der
// Waals radii hold at ambient pressure: vortan does not take a short
// contact of a structure under pressure for an error.
#pragma once
#include <optional>
#include <string>

namespace gemmi::cif {
struct Block;
}

namespace cif2exp {

struct RecordedPressure {
  double gpa = 0;
  std::string item;  // the CIF item that gives it
};

// From the items that hold a pressure in kPa (_diffrn_ambient_pressure,
// _cell_measurement_pressure, their _gt forms and the dotted forms of
// mmCIF), else from the first pressure in GPa, MPa or kbar written in
// _exptl_special_details, _diffrn_ambient_environment or
// _publ_section_title ("Synthesis of FeN4 at 180GPa"). Nothing when none
// says one.
std::optional<RecordedPressure> recorded_pressure(const gemmi::cif::Block& block);

}  // namespace cif2exp
