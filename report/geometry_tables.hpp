// The listing tables of a phase's torsion angles and hydrogen bonds, after
// the distance and angle tables of all its atoms. Numbers in value(esd)
// notation with the angle and distance rules of the other tables; every
// atom but the central one carries its location text (operator code and
// lattice translation, "(I4,3I2)").
#pragma once
#include <string>
#include <string_view>

#include "crystal/symmetry_operation.hpp"
#include "recio/line_builder.hpp"

namespace vesk {

struct TorsionLine {
  std::string_view labels[4];
  float degrees = 0;
  float sigma = 0;
  ImageName locations[3];  // of atoms 1, 3 and 4
};
std::string torsion_line(const TorsionLine& line);
// The same line appended to `text`, as the listing is written.
void append_torsion_line(recio::LineBuilder& text, const TorsionLine& line);
// The header, then (and at every page break) the lines.
void start_torsion_table(int unit);
void write_torsion_line(int unit, const TorsionLine& line);

struct HbondLine {
  std::string_view donor, hydrogen, acceptor;
  float dh = 0, dh_sigma = 0, ha = 0, ha_sigma = 0, da = 0, da_sigma = 0, angle = 0, angle_sigma = 0;
  ImageName donor_location, acceptor_location;
};
std::string hbond_line(const HbondLine& line);
void append_hbond_line(recio::LineBuilder& text, const HbondLine& line);
void start_hbond_table(int unit);
void write_hbond_line(int unit, const HbondLine& line);

}  // namespace vesk
