// The listing's tables of a phase's molecule analysis, after its hydrogen
// bonds: rings with their puckering, least-squares planes with the
// deviations from them, the angles between planes and the rigid-bond test,
// in value(esd) notation, each table paged as the others. Images are named
// label_n_klm in the numbering of vortan's own operator list.
#pragma once
#include "crystal/phase.hpp"
#include "geometry/molecule_analysis.hpp"

namespace vesk {

// Which tables a phase lists (control words RING, PLNS, PANG, RIGB).
struct AnalysisTables {
  bool rings = true;             // rings and their puckering
  bool planes = true;            // planes and deviations
  bool plane_angles = true;
  bool rigid_bond = true;
};

void write_analysis_tables(int listing_unit, const PhaseDescription& phase, const MoleculeAnalysis& analysis,
                           const AnalysisTables& tables);

}  // namespace vesk
