// The planes a phase's controls name with PLAN, as the molecule analysis
// takes them.
#pragma once
#include <string>
#include <vector>

#include "crystal/phase.hpp"
#include "geometry/molecule_analysis.hpp"
#include "report/site_numbering.hpp"

namespace vesk {

// The images each PLAN names: a label (as the listing shows it, or as the
// numbering names the atom), or a label and a site code n_klm in the
// phase's numbering ("C1_2_655"). Throws vesk::Error naming the control
// record for an atom the phase does not have or a site code that is none
// of its operators'.
std::vector<std::vector<AnalysisImage>> user_planes(const std::vector<std::vector<std::string>>& plans,
                                                    const PhaseDescription& phase, const SiteNumbering& numbering);

}  // namespace vesk
