// The rows of the torsion and hydrogen-bond loops of the publication CIF
// (_geom_torsion and _geom_hbond of the core dictionary), one row per
// record of the marks file and in its order, with a site code for every
// atom and the publication flag from its mark; vortan/cif_output.cpp writes
// the loops with the others.
#pragma once
#include <string>

#include "crystal/phase.hpp"
#include "vortan/cif_output.hpp"
#include "vortan/hydrogen_bonds.hpp"
#include "vortan/torsions.hpp"

namespace vesk {

void collect_torsion(CifCollector& cif, const PhaseDescription& phase, const TorsionAngle& torsion, bool published);
void collect_hbond(CifCollector& cif, const PhaseDescription& phase, const HydrogenBond& hbond, bool published);

}  // namespace vesk
