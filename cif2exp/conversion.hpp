// From what the CIF holds to what the experiment and covariance files hold:
// atom types with search radii, atoms on their exact special positions,
// one least-squares variable per free coordinate or occupancy with an s.u.
#pragma once
#include <string>
#include <vector>

#include "cif2exp/cif_structure.hpp"
#include "cif2exp/covariance_file.hpp"
#include "cif2exp/experiment_records.hpp"
#include "cif2exp/group_operators.hpp"

namespace cif2exp {

struct ConversionOptions {
  std::string dmax;  // vortan's distance limit in Angstrom, blank: from the radii
  std::string dagl;  // vortan's angle-neighbour limit, blank: from the radii
};

// vortan searches no distances beyond this limit, nor through more than
// this many lattice translations per equivalent position.
constexpr double kLongestSearchLimit = 50.0;  // Angstrom
constexpr long kMostTranslations = 10000;

struct Conversion {
  ExperimentContent experiment;
  CovarianceContent covariance;
  std::vector<std::string> cif_labels;  // per atom, as the CIF gives it
  std::vector<std::string> notes;       // what the user should know: origin moved, labels shortened, ...
};

// A limit given on the command line: a plain decimal number in Angstrom,
// above 0 and within vortan's 50 A. Throws vesk::Error naming the option.
void check_limit(const std::string& option, const std::string& value);

// `symmetry`: the symbol, its full group (inversion and centring expanded)
// and the origin shift that takes the CIF's coordinates into it. Throws
// vesk::Error naming the atom for a type that does not fit the experiment
// file, an element without a covalent radius, or a site that its own
// symmetry does not leave in place; and for a cell that is none, or one
// whose search vortan would refuse.
Conversion convert(const CifStructure& structure, const ResolvedSymmetry& symmetry, const ConversionOptions& options);

// "1  7X   ": the phase digit, the atom's record number in three columns and
// one of the parameter names, as the phase reader looks them up; for the
// hexadecimal layout of large isotropic phases "1000AX  " (four hex
// digits, a 3-character name).
std::string parameter_name(int atom_record, const std::string& parameter, bool hexadecimal = false);

}  // namespace cif2exp
