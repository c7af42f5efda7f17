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

struct Conversion {
  ExperimentContent experiment;
  CovarianceContent covariance;
};

// `group`: every operator of the space group (inversion and centring
// expanded), already checked against the CIF. Throws vesk::Error naming the
// atom for a label or type that does not fit the experiment file, an
// element without a covalent radius, or a site that its own symmetry does
// not leave in place.
Conversion convert(const CifStructure& structure, const std::string& symbol,
                   const std::vector<SeitzOperator>& group, const ConversionOptions& options);

// "1  7X   ": the phase digit, the atom's record number in three columns and
// one of the parameter names, as the phase reader looks them up.
std::string parameter_name(int atom_record, const std::string& parameter);

}  // namespace cif2exp
