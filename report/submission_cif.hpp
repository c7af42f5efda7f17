// The CIF to submit (`vortan NAME --cif=PAPER.cif` writes stem +
// "_paper.cif"): the paper's own data block, every item as it stands in the
// paper's file, byte for byte, but its geometry loops (_geom_bond,
// _geom_contact, _geom_angle, _geom_torsion, _geom_hbond) replaced by the
// run's (report/cif_output.hpp), publication flags from the marks. Where
// the paper had none, the run's loops close the block. The paper's
// _geom_special_details stays when the run's s.u.'s come from a full
// covariance; otherwise the run's replaces it (the paper's would say what
// our s.u.'s are not). Other blocks of the file are not copied.
#pragma once
#include <string>

#include "report/rows.hpp"

namespace vesk {

// stem + "_paper.cif".
std::string submission_file_name(const std::string& stem);

// The text of the CIF to submit, from the phase whose site codes follow the
// paper's operators. Throws vesk::Error when no phase does, when the
// paper's file does not read, or when a label of the run's loops is no
// atom of the paper's block (the loops would name atoms it does not have).
std::string submission_cif_text(const RunRows& rows);

// `text` written to a temporary beside `file` and renamed over it; throws
// vesk::Error on failure.
void write_submission_cif(const std::string& text, const std::string& file);

}  // namespace vesk
