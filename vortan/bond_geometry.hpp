// The torsion angles and hydrogen bonds of a phase, once the distances and
// angles of all its atoms have filled the bond graph: each goes to its
// listing table, to the marks file and, in a --cif run, to the CIF. A line
// before them says how the bonds were chosen. Chains with a metal atom in
// one of their middle places are left out unless `metal_torsions`.
#pragma once

#include "crystal/phase.hpp"
#include "vortan/geometry_marks.hpp"
#include "vortan/hydrogen_bonds.hpp"
#include "vortan/atom_work.hpp"

namespace vesk {

struct CovarianceData;

// The context of the phase whose distance work is done: the bond graph,
// the cell frame, the cell covariance, the run's covariance and the
// atoms' own coordinate blocks of the distance work.
GeometryContext geometry_context(DistanceWork& work, const PhaseDescription& phase,
                                 const CovarianceData& covariance);

void torsions_and_hydrogen_bonds(DistanceWork& work, const PhaseDescription& phase,
                                 const CovarianceData& covariance, TorsionChoice torsions,
                                 const HbondControls& hbonds, const GeometryMarks& marks, bool metal_torsions = false);

}  // namespace vesk
