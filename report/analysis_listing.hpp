// The listing's tables of a phase's molecule analysis, after its hydrogen
// bonds: rings with their puckering, least-squares planes with the
// deviations from them, the angles between planes and the rigid-bond test,
// in value(esd) notation, each table paged as the others. Images are named
// label_n_klm in the numbering of vortan's own operator list.
#pragma once
#include "crystal/phase.hpp"
#include "geometry/inorganic_analysis.hpp"
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

// The inorganic tables after them: bond valences with each pair's R0, b
// and reference code, bond-valence sums and the GII, coordination
// polyhedra with what they share, and the checks (control words BVAL,
// POLY, CHKS). Only for a phase with cation-anion bonds that have
// parameters.
struct InorganicTables {
  bool bond_valences = true;
  bool polyhedra = true;
  bool checks = true;
};
void write_inorganic_tables(int listing_unit, const PhaseDescription& phase, const InorganicAnalysis& analysis,
                            const InorganicTables& tables);

}  // namespace vesk
