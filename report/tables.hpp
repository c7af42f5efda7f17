// What vortan lists for a phase: the radius table, the lattice block, the
// atom list, and the distance and angle tables of each central atom, with
// numbers in value(esd) notation through formats built at run time.
#pragma once
#include <string>
#include <string_view>

#include "crystal/metric.hpp"
#include "crystal/phase.hpp"
#include "recio/line_builder.hpp"

namespace vesk {

// value(esd): the value with the esd's leading digits in parentheses, the
// decimals chosen from the esd, e.g. 0.1235(12).
enum class EsdKind { Coordinate, Fraction, Distance, Angle };

struct ValueEsd {
  int decimals = 0;          // k
  int digits = 0;            // n, the esd in units of the last decimal
  int digits_width = 1;      // 1 or 2
  int field_width = 0;       // of the value: k + 3 or k + 5
};
// Digits that do not fit two places: the esd field prints asterisks.
constexpr int kEsdOverflow = 100;
ValueEsd value_esd(float sigma, EsdKind kind);
// The value and its esd digits as they are printed, for instance "0.1235(12)"
// (the value right-justified in its field).
std::string format_value_esd(double value, float sigma, EsdKind kind);

// Characters of a label before its first blank; 8 when it has none or
// begins with one.
int label_length(std::string_view label);
// The first n (at most 8) characters of a label padded to n.
void append_label(recio::LineBuilder& line, std::string_view label, int n);
// format_value_esd's text appended to `line`.
void append_value_esd(recio::LineBuilder& line, double value, const ValueEsd& e);


void write_radius_table(int unit, const PhaseDescription& phase);
void write_lattice_block(int unit, const PhaseDescription& phase, float dmax, float dagl);
// Includes the site symmetry name of every atom (SITESYM).
void write_atom_list(int unit, const PhaseDescription& phase);
std::string atom_row(const AtomSite& atom, int number, std::string_view site_name);

// 100 (nx + 5) + 10 (ny + 5) + (nz + 5); 555 is no translation.
int cell_code(int nx, int ny, int nz);
// "(I4,3I2)" of an operator code and a lattice translation.
std::string location_text(int operator_code, int nx, int ny, int nz);
// The printed neighbour vector: the image's fractional coordinates, or for
// "ONCR" the vector from it to the central atom in orthonormal Angstrom.
Vec3 printed_vector(const PhaseDescription& phase, const Vec3& central, const Vec3& image, bool orthonormal);

// The distance table header is written before the first line of a phase,
// after every angle table and at page breaks.
struct DistanceTable {
  bool header_written = false;
  bool orthonormal = false;  // print option "ONCR"
};
std::string distance_line(std::string_view central_label, std::string_view neighbour_label, bool star,
                          float d, float sigma, std::string_view location, const Vec3& vector);
// The same line appended to `line`, as the listing is written.
void append_distance_line(recio::LineBuilder& line, std::string_view central_label, std::string_view neighbour_label,
                          bool star, float d, float sigma, std::string_view location, const Vec3& vector);
void write_distance_line(int unit, DistanceTable& table, std::string_view central_label,
                         std::string_view neighbour_label, bool star, float d, float sigma,
                         std::string_view location, const Vec3& vector);
// " Negative SIGMA**2 for atoms" with the two type indices, on the listing
// and, when it is another unit, on the terminal.
void write_negative_variance(int listing_unit, int terminal_unit, int central_type, int neighbour_type);
void write_neighbour_notice(int unit);

// Also makes the next distance line repeat the distance table header.
void start_angle_table(int unit, DistanceTable& table);
std::string angle_line(std::string_view first_label, std::string_view central_label,
                       std::string_view second_label, double degrees, float sigma, std::string_view first_location,
                       std::string_view second_location);
void append_angle_line(recio::LineBuilder& line, std::string_view first_label, std::string_view central_label,
                       std::string_view second_label, double degrees, float sigma, std::string_view first_location,
                       std::string_view second_location);
void write_angle_line(int unit, std::string_view first_label, std::string_view central_label,
                      std::string_view second_label, double degrees, float sigma, std::string_view first_location,
                      std::string_view second_location);

}  // namespace vesk
