#include "report/geometry_tables.hpp"

#include <algorithm>

#include "console/page.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"
#include "recio/units.hpp"
#include "report/tables.hpp"

namespace vesk {

namespace {

void write_or_fail(int unit, std::string_view format, std::initializer_list<recio::OutItem> items) {
  recio::check(recio::write(unit, format, items), unit);
}

// "  " and the label, then blanks to the value column (at least one).
// The value field starts in column 29, as in the angle table.
void end_label_field(recio::LineBuilder& text, std::size_t start) {
  constexpr std::size_t kValueColumn = 28;
  const std::size_t width = text.text.size() - start;
  text.blanks(width < kValueColumn ? static_cast<int>(kValueColumn - width) : 1);
}

void append_short_label(recio::LineBuilder& text, std::string_view label) {
  append_label(text, label, label_length(label));
}

// "(I4,3I2)": operator code and lattice translation.
void append_location(recio::LineBuilder& text, const ImageName& name) {
  text.i(name.code, 4).i(name.n[0], 2).i(name.n[1], 2).i(name.n[2], 2);
}

// "value(esd)" without its leading blanks, left in a column of `width`.
void append_column(recio::LineBuilder& text, float value, float sigma, EsdKind kind, std::size_t width) {
  static recio::LineBuilder field;
  field.clear();
  append_value_esd(field, value, value_esd(sigma, kind));
  std::string_view digits = field.text.view();
  digits.remove_prefix(std::min(digits.find_first_not_of(' '), digits.size()));
  text.literal(digits);
  if (digits.size() < width) text.blanks(static_cast<int>(width - digits.size()));
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

// A table opens with four lines free on the page; a line that starts a new
// page repeats the table's header there.
void start_table(int unit, void (*write_header)(int)) {
  LINECHK(unit, 4);
  LINECHK(unit, -2);
  write_header(unit);
}

template <class Line>
void write_table_line(int unit, void (*write_header)(int), void (*append)(recio::LineBuilder&, const Line&),
                      const Line& line) {
  if (LINECHK(unit, 1) == 1) {
    LINECHK(unit, 2);
    write_header(unit);
  }
  recio::LineBuilder& text = recio::scratch_line();
  append(text, line);
  recio::check(recio::write_line(unit, text.text.view()), unit);
}

}  // namespace

void append_torsion_line(recio::LineBuilder& text, const TorsionLine& line) {
  const std::size_t start = text.text.size();
  text.blanks(2);
  for (int k = 0; k < 4; ++k) {
    if (k > 0) text.literal("_");
    append_short_label(text, line.labels[k]);
  }
  end_label_field(text, start);
  // The value right-justified in its field as in the angle table, so the
  // decimal points of one precision line up.
  const ValueEsd e = value_esd(line.sigma, EsdKind::Angle);
  append_value_esd(text, line.degrees, e);
  text.blanks(8 - e.decimals - e.digits_width);
  for (const ImageName& location : line.locations) append_location(text.blanks(2), location);
}

std::string torsion_line(const TorsionLine& line) {
  recio::LineBuilder text;
  append_torsion_line(text, line);
  return std::string(text.text.view());
}

void start_torsion_table(int unit) { start_table(unit, write_torsion_header); }

void write_torsion_line(int unit, const TorsionLine& line) {
  write_table_line(unit, write_torsion_header, append_torsion_line, line);
}

void append_hbond_line(recio::LineBuilder& text, const HbondLine& line) {
  const std::size_t start = text.text.size();
  text.blanks(2);
  append_short_label(text, line.donor);
  append_short_label(text.literal("-"), line.hydrogen);
  append_short_label(text.literal("..."), line.acceptor);
  end_label_field(text, start);
  append_column(text, line.dh, line.dh_sigma, EsdKind::Distance, 14);
  append_column(text, line.ha, line.ha_sigma, EsdKind::Distance, 14);
  append_column(text, line.da, line.da_sigma, EsdKind::Distance, 14);
  append_column(text, line.angle, line.angle_sigma, EsdKind::Angle, 10);
  append_location(text.blanks(2), line.donor_location);
  append_location(text.blanks(2), line.acceptor_location);
}

std::string hbond_line(const HbondLine& line) {
  recio::LineBuilder text;
  append_hbond_line(text, line);
  return std::string(text.text.view());
}

void start_hbond_table(int unit) { start_table(unit, write_hbond_header); }

void write_hbond_line(int unit, const HbondLine& line) {
  write_table_line(unit, write_hbond_header, append_hbond_line, line);
}

}  // namespace vesk
