// The listing of a phase's geometry model, after its atom list: for each
// central atom in turn its distance lines (a negative-variance warning
// before the line it concerns), the neighbour notice when 25 neighbours were
// kept, and its angle table; then the tables of torsion angles and hydrogen
// bonds. A phase whose limits were refused gets the refusal instead.
#pragma once
#include <string>

#include "crystal/phase.hpp"
#include "geometry/phase_geometry.hpp"

namespace vesk {

// The message that refuses a phase's limits.
std::string refusal_text(int phase, const SearchRefusal& refusal);

// `orthonormal`: print option "ONCR". Negative-variance warnings and the
// refusal also go to the terminal when it is another unit.
void write_geometry_listing(int listing_unit, int terminal_unit, const PhaseDescription& phase,
                            const PhaseGeometry& geometry, bool orthonormal);

}  // namespace vesk
