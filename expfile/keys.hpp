// Key conventions of the experiment file: the phase key prefix and the
// experiment-wide phase flags.
#pragma once
#include <array>
#include <string>

#include "crystal/limits.hpp"

namespace vesk {

// "CRS", the phase digit and two blanks: the first 6 characters of every
// key of that phase.
std::string CRSKEY(int phase);

// Flags of phases 1 to 9 from " EXPR NPHAS " (flags[0] is phase 1):
// 0 = no such phase, else the phase type code.
void NPHASRD(int experiment_unit, std::array<int, kMaxPhases>& flags);

}  // namespace vesk
