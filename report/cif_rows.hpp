// The rows of a phase's geometry model in the publication CIF: the bond and
// angle loops, one row per results record and in its order, and the
// torsion and hydrogen-bond loops (_geom_torsion and _geom_hbond of the core
// dictionary), one row per record of the marks file and in its order, with
// a site code for every atom and the publication flag from its mark;
// vortan/cif_output.cpp writes the loops.
#pragma once

#include "crystal/phase.hpp"
#include "geometry/phase_geometry.hpp"
#include "report/cif_output.hpp"
#include "marks/geometry_marks.hpp"

namespace vesk {

// One row each, into the current block.
void collect_torsion(CifCollector& cif, const TorsionAtoms& atoms, float degrees, float sigma, bool published);
void collect_hbond(CifCollector& cif, const PhaseDescription& phase, const HydrogenBond& hbond, bool published);

// Into the block start_cif_phase opened for the phase.
void collect_phase_rows(CifCollector& cif, const PhaseDescription& phase, const PhaseGeometry& geometry,
                        const PublishLists& publish, const GeometryMarks& marks);

}  // namespace vesk
