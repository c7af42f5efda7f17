#include "report/tables.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "console/page.hpp"
#include "crystal/site_symmetry.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"
#include "recio/line_builder.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

struct EsdRule {
  float floor;
  int minimum_decimals;
  int integer_columns;       // field width = decimals + this
};

// One row per EsdKind: floor of the esd, minimum decimals, value field.
static const EsdRule kEsdRules[] = {
    {1.0E-6f, 1, 3},  // 0 atom coordinate, F(k+3).k
    {0.01f, 1, 3},    // 1 site fraction, F(k+3).k
    {1.0E-4f, 1, 5},  // 2 distance, F(k+5).k
    {0.01f, 0, 5},    // 3 angle in degrees, F(k+5).k
};

void write_or_fail(int unit, std::string_view format, std::initializer_list<recio::OutItem> items) {
  recio::check(recio::write(unit, format, items), unit);
}


// "Fw.k,1H(,Ie,1H)," for a value with its esd digits.
std::string value_edits(const ValueEsd& e) {
  return "F" + std::to_string(e.field_width) + "." + std::to_string(e.decimals) + ",1H(,I" +
         std::to_string(e.digits_width) + ",1H),";
}

}  // namespace

ValueEsd value_esd(float sigma, EsdKind kind) {
  const EsdRule& rule = kEsdRules[static_cast<int>(kind)];
  const float floored = sigma > rule.floor ? sigma : rule.floor;
  const float wanted = 1.545f - std::log10(floored);
  ValueEsd e;
  e.decimals = static_cast<int>(wanted > static_cast<float>(rule.minimum_decimals)
                                    ? wanted
                                    : static_cast<float>(rule.minimum_decimals));
  float scale = 1;
  for (int i = 0; i < e.decimals; ++i) scale *= 10;
  // The unfloored esd: a zero esd prints as (0) with the floor's decimals.
  // One that is not a number, or too large for two digits, gets the width's
  // overflow, printed as asterisks.
  const float scaled = sigma * scale + 0.5f;
  e.digits = scaled > -10.0f && scaled < 100.0f ? static_cast<int>(scaled) : kEsdOverflow;
  e.digits_width = e.digits >= 0 && e.digits <= 9 ? 1 : 2;
  e.field_width = e.decimals + rule.integer_columns;
  return e;
}

std::string format_value_esd(double value, float sigma, EsdKind kind) {
  const ValueEsd e = value_esd(sigma, kind);
  std::string format = "(" + value_edits(e);
  format.back() = ')';
  return recio::write_string(format, {value, e.digits});
}

int label_length(std::string_view label) {
  const std::string padded = recio::pad(label, 8);
  const std::size_t blank = padded.find(' ');
  if (blank == std::string::npos || blank == 0) return 8;
  return static_cast<int>(blank);
}

void append_label(recio::LineBuilder& line, std::string_view label, int n) {
  const auto length = static_cast<std::size_t>(n);
  const std::string_view kept = label.substr(0, std::min(length, label.size()));
  line.literal(kept).blanks(static_cast<int>(length - kept.size()));
}

// "Fw.k,1H(,Ie,1H)" of value_edits.
void append_value_esd(recio::LineBuilder& line, double value, const ValueEsd& e) {
  line.f(value, e.field_width, e.decimals).literal("(").i(e.digits, e.digits_width).literal(")");
}


int cell_code(int nx, int ny, int nz) { return 100 * (nx + 5) + 10 * (ny + 5) + (nz + 5); }

std::string location_text(int operator_code, int nx, int ny, int nz) {
  recio::LineBuilder text;  // "(I4,3I2)"
  text.i(operator_code, 4).i(nx, 2).i(ny, 2).i(nz, 2);
  return std::string(text.text.view());
}

Vec3 printed_vector(const PhaseDescription& phase, const Vec3& central, const Vec3& image, bool orthonormal) {
  if (!orthonormal) return image;
  return orthogonalise(Fractional{VECSUB(central, image)}, phase.orthogonal);
}

void write_radius_table(int unit, const PhaseDescription& phase) {
  std::vector<std::string> symbols;
  symbols.reserve(phase.types.size());
  for (const AtomType& type : phase.types) symbols.push_back(recio::pad(type.symbol, 6));
  std::vector<recio::OutItem> items;
  for (std::size_t t = 0; t < phase.types.size(); ++t) {
    items.emplace_back(symbols[t]);
    items.emplace_back(phase.types[t].bond_radius);
    items.emplace_back(phase.types[t].angle_radius);
  }
  LINECHK(unit, static_cast<int>(phase.types.size()) + 3);
  recio::check(recio::write(unit, "(' The atom type radii are',/,/,' TYPE',5X,'BOND',6X,'ANGLE',/,(1X,A6,2F10.5))",
                            std::span<const recio::OutItem>(items)),
               unit);
}

void write_lattice_block(int unit, const PhaseDescription& phase, float dmax, float dagl) {
  LINECHK(unit, 7);
  write_or_fail(unit,
                "(/,' Lattice constants are ',3F10.5,3F8.5,/,'   Standard deviations ',3F10.5,3F8.5,/,/,"
                "' DMAX is ',F10.5,' DAGL is ',F10.5,' and IAGL is ',I5,/,/,' The atoms read in are')",
                {phase.abc[0], phase.abc[1], phase.abc[2], phase.cosines[0], phase.cosines[1], phase.cosines[2],
                 phase.abc_sigma[0], phase.abc_sigma[1], phase.abc_sigma[2], phase.cosine_sigma[0],
                 phase.cosine_sigma[1], phase.cosine_sigma[2], dmax, dagl, 0});
}

// "(2X,A,3(Fw.k,1H(,Ie,1H),nX,)A,2X,A4,I5,Fw.k,1H(,Ie,1H))" with the label
// and the site name as 8 characters.
void append_atom_row(recio::LineBuilder& line, const AtomSite& atom, int number, std::string_view site_name) {
  line.blanks(2);
  append_label(line, atom.label, 8);
  for (int k = 0; k < 3; ++k) {
    const ValueEsd e = value_esd(atom.x_sigma[k], EsdKind::Coordinate);
    append_value_esd(line, atom.x[k], e);
    // Blanks that bring the next column to its place: none when the digits
    // already reach it (two esd digits with seven decimals).
    line.blanks(9 - e.digits_width - e.decimals);
  }
  append_label(line, site_name, 8);
  line.blanks(2);
  append_label(line, atom.type_symbol, 4);
  line.i(number, 5);
  append_value_esd(line, atom.fraction, value_esd(atom.fraction_sigma, EsdKind::Fraction));
}

std::string atom_row(const AtomSite& atom, int number, std::string_view site_name) {
  recio::LineBuilder line;
  append_atom_row(line, atom, number, site_name);
  return std::string(line.text.view());
}

void write_atom_list(int unit, const PhaseDescription& phase) {
  // Keep the first rows on the page of the title line.
  LINECHK(unit, 10);
  LINECHK(unit, -10);
  for (std::size_t i = 1; i <= phase.atoms.size(); ++i) {
    const AtomSite& atom = phase.atoms[i - 1];
    const SiteSymmetry site = SITESYM(atom.x, phase.group);
    if (LINECHK(unit, 1) == 1) {
      LINECHK(unit, 2);
      write_or_fail(unit, "(/,2X,'Name',9X,'X',13X,'Y',13X,'Z',8X,'Site sym Type Seq',' Fractn')", {});
    }
    recio::LineBuilder& line = recio::scratch_line();
    append_atom_row(line, atom, static_cast<int>(i), site.name);
    recio::check(recio::write_line(unit, line.text.view()), unit);
  }
}

// "(gX,A,gX,Fw.k,1H(,Ie,1H),nX,A,2X,3F10.5)" with the counts of distance_line.
void append_distance_line(recio::LineBuilder& line, std::string_view central_label, std::string_view neighbour_label,
                          bool star, float d, float sigma, std::string_view location, const Vec3& vector) {
  const int l1 = label_length(central_label);
  const int l2 = label_length(neighbour_label);
  // The "_" falls in column 10 and the distance starts in column 20.
  const int g1 = (star ? 8 : 9) - l1;
  const int g2 = 9 - l2;
  const ValueEsd e = value_esd(sigma, EsdKind::Distance);
  line.blanks(g1).literal(star ? "*" : "");
  append_label(line, central_label, l1);
  line.literal("_");
  append_label(line, neighbour_label, l2);
  line.blanks(g2);
  append_value_esd(line, d, e);
  line.blanks(12 - e.decimals - e.digits_width).literal(location).blanks(2);
  for (float x : vector) line.f(x, 10, 5);
}

// "(gX,A,gX,Fw.k,1H(,Ie,1H),nX,2(2X,A))" with the counts of angle_line.
void append_angle_line(recio::LineBuilder& line, std::string_view first_label, std::string_view central_label,
                      std::string_view second_label, double degrees, float sigma, std::string_view first_location,
                      std::string_view second_location) {
  const int l1 = label_length(first_label);
  const int lc = label_length(central_label);
  const int l3 = label_length(second_label);
  // Centres the central label near column 15; the angle starts in column 29.
  const int g1 = 13 - lc / 2 - l1;
  const int g2 = 13 - (lc + 1) / 2 - l3;
  const ValueEsd e = value_esd(sigma, EsdKind::Angle);
  line.blanks(g1);
  append_label(line, first_label, l1);
  line.literal("_");
  append_label(line, central_label, lc);
  line.literal("_");
  append_label(line, second_label, l3);
  line.blanks(g2);
  append_value_esd(line, degrees, e);
  line.blanks(8 - e.decimals - e.digits_width).blanks(2).literal(first_location).blanks(2).literal(second_location);
}

std::string distance_line(std::string_view central_label, std::string_view neighbour_label, bool star,
                          float d, float sigma, std::string_view location, const Vec3& vector) {
  recio::LineBuilder line;
  append_distance_line(line, central_label, neighbour_label, star, d, sigma, location, vector);
  return std::string(line.text.view());
}

void write_distance_line(int unit, DistanceTable& table, std::string_view central_label,
                         std::string_view neighbour_label, bool star, float d, float sigma,
                         std::string_view location, const Vec3& vector) {
  if (LINECHK(unit, 1) == 1 || !table.header_written) {
    LINECHK(unit, 2);
    write_or_fail(unit, "(/,7X,'Vector',9X,'Length',11X,'Optr Cell',8X,A)",
                  {table.orthonormal ? "ON Neighbor coord." : "Neighbor atom coordinates"});
    table.header_written = true;
  }
  recio::LineBuilder& line = recio::scratch_line();
  append_distance_line(line, central_label, neighbour_label, star, d, sigma, location, vector);
  recio::check(recio::write_line(unit, line.text.view()), unit);
}

void write_negative_variance(int listing_unit, int terminal_unit, int central_type, int neighbour_type) {
  LINECHK(listing_unit, 1);
  write_or_fail(listing_unit, "(2A,2I3)", {" Negative SIGMA**2 ", "for atoms", central_type, neighbour_type});
  if (terminal_unit != listing_unit)
    write_or_fail(terminal_unit, "(2A,2I3)", {" Negative SIGMA**2 ", "for atoms", central_type, neighbour_type});
}

void write_neighbour_notice(int unit) {
  LINECHK(unit, 2);
  write_or_fail(unit, "(A)", {" **** More than 24 Interatomic distances found ****"});
  write_or_fail(unit, "(A)", {" Angles will be calculated between the nearest 25"});
}

namespace {
void write_angle_header(int unit) {
  write_or_fail(unit, "(/,12X,'Angle',13X,'Degrees',9X,'atom 1 loc',2X,'atom 3 loc')", {});
}
}  // namespace

void start_angle_table(int unit, DistanceTable& table) {
  // The header and at least the first angle on one page.
  LINECHK(unit, 4);
  LINECHK(unit, -2);
  write_angle_header(unit);
  table.header_written = false;
}

std::string angle_line(std::string_view first_label, std::string_view central_label,
                       std::string_view second_label, double degrees, float sigma, std::string_view first_location,
                       std::string_view second_location) {
  recio::LineBuilder line;
  append_angle_line(line, first_label, central_label, second_label, degrees, sigma, first_location, second_location);
  return std::string(line.text.view());
}

void write_angle_line(int unit, std::string_view first_label, std::string_view central_label,
                      std::string_view second_label, double degrees, float sigma, std::string_view first_location,
                      std::string_view second_location) {
  if (LINECHK(unit, 1) == 1) {
    LINECHK(unit, 2);
    write_angle_header(unit);
  }
  recio::LineBuilder& line = recio::scratch_line();
  append_angle_line(line, first_label, central_label, second_label, degrees, sigma, first_location, second_location);
  recio::check(recio::write_line(unit, line.text.view()), unit);
}

}  // namespace vesk
