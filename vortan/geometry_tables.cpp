#include "vortan/geometry_tables.hpp"

#include <algorithm>

#include "console/page.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"
#include "recio/units.hpp"
#include "vortan/tables.hpp"

namespace vesk {

namespace {

void write_or_fail(int unit, std::string_view format, std::initializer_list<recio::OutItem> items) {
  recio::check(recio::write(unit, format, items), unit);
}

std::string short_label(std::string_view label) {
  return recio::pad(label, 8).substr(0, static_cast<std::size_t>(label_length(label)));
}

// "value(esd)" without its leading blanks, left in a column of `width`.
std::string column(float value, float sigma, EsdKind kind, std::size_t width) {
  std::string text = format_value_esd(value, sigma, kind);
  text.erase(0, text.find_first_not_of(' '));
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

// The value field starts in column 29, as in the angle table.
constexpr std::size_t kValueColumn = 28;

std::string label_field(const std::string& label) {
  std::string text = "  " + label;
  text.append(text.size() < kValueColumn ? kValueColumn - text.size() : 1, ' ');
  return text;
}

void write_torsion_header(int unit) {
  write_or_fail(unit, "(/,2X,'Torsion angle',15X,'Degrees',9X,'atom 1 loc',2X,'atom 3 loc',2X,'atom 4 loc')", {});
}

void write_hbond_header(int unit) {
  write_or_fail(unit,
                "(/,2X,'D-H...A',19X,'D-H',11X,'H...A',9X,'D...A',9X,'D-H...A',5X,'D loc',"
                "7X,'A loc')",
                {});
}

}  // namespace

std::string torsion_line(const TorsionLine& line) {
  std::string label;
  for (int k = 0; k < 4; ++k) label += (k > 0 ? "_" : "") + short_label(line.labels[k]);
  // The value right-justified in its field as in the angle table, so the
  // decimal points of one precision line up.
  const ValueEsd e = value_esd(line.sigma, EsdKind::Angle);
  std::string text = label_field(label) + format_value_esd(line.degrees, line.sigma, EsdKind::Angle);
  text.append(static_cast<std::size_t>(std::max(0, 8 - e.decimals - e.digits_width)), ' ');
  for (const std::string& location : line.locations) text += "  " + location;
  return text;
}

void start_torsion_table(int unit) {
  LINECHK(unit, 4);
  LINECHK(unit, -2);
  write_torsion_header(unit);
}

void write_torsion_line(int unit, const TorsionLine& line) {
  if (LINECHK(unit, 1) == 1) {
    LINECHK(unit, 2);
    write_torsion_header(unit);
  }
  write_or_fail(unit, "(A)", {torsion_line(line)});
}

std::string hbond_line(const HbondLine& line) {
  const std::string label = short_label(line.donor) + "-" + short_label(line.hydrogen) + "..." +
                            short_label(line.acceptor);
  return label_field(label) + column(line.dh, line.dh_sigma, EsdKind::Distance, 14) +
         column(line.ha, line.ha_sigma, EsdKind::Distance, 14) + column(line.da, line.da_sigma, EsdKind::Distance, 14) +
         column(line.angle, line.angle_sigma, EsdKind::Angle, 10) + "  " + line.donor_location + "  " +
         line.acceptor_location;
}

void start_hbond_table(int unit) {
  LINECHK(unit, 4);
  LINECHK(unit, -2);
  write_hbond_header(unit);
}

void write_hbond_line(int unit, const HbondLine& line) {
  if (LINECHK(unit, 1) == 1) {
    LINECHK(unit, 2);
    write_hbond_header(unit);
  }
  write_or_fail(unit, "(A)", {hbond_line(line)});
}

}  // namespace vesk
