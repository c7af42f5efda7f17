// What a vortan run reads beside the experiment file before its phases:
// the covariance file's header, NAME.CIFSRC (the disorder groups of the
// structure cif2exp converted) and the paper's CIF whose operators number
// the site codes.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crystal/phase.hpp"
#include "marks/marked_file.hpp"
#include "report/paper_cif.hpp"

namespace vesk {

// The stem is the file name without its ".EXP"; a name of another form
// keeps the whole name as its stem.
std::string stem_of(std::string_view file);

// The covariance file's two leading records: the cycle and the size of the
// packed matrix.
struct CovarianceHeader {
  int cycle = 0;
  int words = 0;
};
// Read on the first free unit from `start_unit`. A file that does not hold
// them is treated as no file: nothing, and a line on the terminal.
std::optional<CovarianceHeader> read_covariance_header(int start_unit, const std::string& file);

// What stem + ".CIFSRC" says of the structure cif2exp converted into
// phase 1: its disorder groups by atom label, the labels of the atoms that
// rode on another in the refinement, and the marks the conversion set aside
// whose atoms are still there (carry lines), their files in the
// experiment's folder, for the results file and for the marks file.
struct ConversionInputs {
  std::vector<std::pair<std::string, std::string>> disorder_groups;
  std::vector<std::string> riding_atoms;
  MarksCarry results_carry, marks_carry;
  std::optional<double> pressure_gpa;  // the pressure the CIF says the structure was under
  std::string pressure_item;           // the CIF item that says it
};
// Nothing when the file is absent or does not read (said on the terminal
// unless `reported_elsewhere`).
ConversionInputs read_conversion_inputs(const std::string& stem, bool reported_elsewhere);

// [atom - 1]: the atom is one of `labels`.
std::vector<bool> atoms_named(const PhaseDescription& phase, const std::vector<std::string>& labels);

// [atom - 1]: the number of the atom's disorder group among the phase's
// groups, 0 for an atom of none, negative for a group given as negative
// ("-1", SHELX's PART -1: the same group as "1" for the bonds between
// groups, and bonded to no other image of itself).
std::vector<int> disorder_group_numbers(const PhaseDescription& phase,
                                        const std::vector<std::pair<std::string, std::string>>& groups);

// The paper's CIF whose operators number the site codes: `paper_cif` when
// given (--cif=FILE), else the CIF that stem + ".CIFSRC" names when it is at
// hand; with the labels and origin shift of NAME.CIFSRC when that names
// it. Nothing without either; what is not used is said on the terminal.
// Throws vesk::Error for a `paper_cif` that does not read.
std::optional<PaperCif> load_paper_cif(const std::string& stem, const std::string& paper_cif);

}  // namespace vesk
