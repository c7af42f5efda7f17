// Publication CIF (`vortan NAME --cif`): the distances and angles of every
// processed phase as the core dictionary's geometry loops, beside the
// results file in stem + "_geom.cif". One data block per phase holds the
// symmetry operators of its numbering (report/site_numbering.hpp), the bond
// loop, the angle loop and the loops of torsion angles and hydrogen bonds
// (_geom_torsion and _geom_hbond), one row per row of the rows model
// (report/rows.hpp) in its order, a site code for every atom and the
// publication flag from its mark. Nothing here changes the listing or the
// results file except the notes of write_cif_notes, which only a --cif run
// writes.
#pragma once
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "report/rows.hpp"
#include "report/tables.hpp"

namespace vesk {

// value(s.u.) as the listing prints it, without blanks; a value whose s.u.
// rounds to no digit is written plain.
std::string cif_number(double value, float sigma, EsdKind kind);

// A CIF value: as it stands when it can be (and not `quoted`), else quoted.
std::string cif_value(const std::string& text, bool quoted = false);

// stem + "_geom.cif".
std::string cif_file_name(const std::string& stem);

// The listing's note of every site of a phase's rows whose translation the
// n_klm form cannot hold, row by row.
std::vector<std::string> cif_notes(const PhaseRows& rows);
void write_cif_notes(int listing_unit, const PhaseRows& rows);

std::string cif_text(const RunRows& rows);
// Written to a temporary file beside `file` and renamed over it, so a
// failed run never leaves half a file; throws vesk::Error on failure.
void write_cif_file(const RunRows& rows, const std::string& file);

}  // namespace vesk
