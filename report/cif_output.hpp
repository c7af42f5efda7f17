// Publication CIF (`vortan NAME --cif`): the rows of every processed phase
// that a paper publishes (report/rows.hpp: in_paper) as the core
// dictionary's geometry loops, beside the results file in stem +
// "_geom.cif". One data block per phase holds _geom_special_details (where
// the s.u.'s come from), the symmetry operators of its numbering
// (report/site_numbering.hpp), the chemical bonds (_geom_bond), the marked
// distances that are no bonds (_geom_contact), the angles between bonds
// (_geom_angle), the torsion angles and hydrogen bonds (_geom_torsion and
// _geom_hbond), in the order of the rows model, a site code for every atom,
// the publication flag from its mark and every value as journals round it
// (report/journal_number.hpp). Nothing here changes the listing or the
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

// A CIF value: as it stands when it can be (and not `quoted`), else quoted.
std::string cif_value(const std::string& text, bool quoted = false);

// stem + "_geom.cif".
std::string cif_file_name(const std::string& stem);

// The block's _geom_special_details: where the s.u.'s come from, that
// riding atoms' values have none, that no row crosses disorder groups.
std::string geometry_details(const PhaseRows& rows, CovarianceSource covariance);
// Its first sentence: where the s.u.'s come from.
std::string covariance_details(CovarianceSource covariance);

// The item _geom_special_details with that text, as a text field.
std::string special_details_item(const PhaseRows& rows, CovarianceSource covariance);

// The phase's geometry loops (bonds, contacts, angles, torsion angles,
// hydrogen bonds), each after a blank line; a comment where a loop has no
// row.
std::string geometry_loops_text(const PhaseRows& rows);

// The listing's two lines on the rows of the CIF written without s.u.'s
// because a riding atom enters them; none when there are none.
std::vector<std::string> constrained_notes(const PhaseRows& rows, const std::string& source_file);

// The listing's note of every site of a phase's rows whose translation the
// n_klm form cannot hold, row by row.
std::vector<std::string> cif_notes(const PhaseRows& rows);
void write_cif_notes(int listing_unit, const PhaseRows& rows);

std::string cif_text(const RunRows& rows);
// Written to a temporary file beside `file` and renamed over it, so a
// failed run never leaves half a file; throws vesk::Error on failure.
void write_cif_file(const RunRows& rows, const std::string& file);

}  // namespace vesk
