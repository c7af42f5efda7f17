// The records of a phase's geometry model in the two files that keep the
// user's marks: a distance and an angle record per listing line in the
// results file (stem + ".VORTAN"), in the listing's order, atom after atom;
// a torsion-angle and a hydrogen-bond record per listing line in the marks
// file (stem + ".TORHB"). Each record gets the mark its key had.
#pragma once
#include <vector>

#include "geometry/phase_geometry.hpp"
#include "marks/geometry_marks.hpp"
#include "marks/results_file.hpp"

namespace vesk {

TorsionKey torsion_key(int phase, const TorsionAtoms& atoms);
HbondKey hbond_key(int phase, const HydrogenBond& hbond);

void write_results_records(const ResultsFile& results, const PhaseGeometry& geometry);

// With `torsions` other than All, the marked torsion records of the
// previous file that this run does not list are kept as they were.
void write_marks_records(const GeometryMarks& marks, const PhaseGeometry& geometry, TorsionChoice torsions);

}  // namespace vesk
