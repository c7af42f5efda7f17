// Values of a phase that make no sense for a distance search: a phase that
// holds one is not computed and keeps the records of the previous results
// file, instead of losing its marks to a search that finds nothing or
// nonsense. Limits that are merely long are the neighbour search's business
// (check_search_limits).
#pragma once
#include <string>

#include "crystal/phase.hpp"
#include "expfile/covariance.hpp"
#include "geometry/neighbour_search.hpp"

namespace vesk {

// No refined atom lies this far out; beyond it the distance search's bins
// (up to 1024 a cell along an axis) would number past the million it takes,
// and far enough out a single-precision coordinate loses its place in the
// cell and its cell number no longer fits an integer.
constexpr float kFarthestCoordinate = 500.0f;

// Empty when the phase can be computed, else the message that refuses it,
// naming the record and the value: an atom count below 1, a cell length that
// is not positive and finite, cell angles that give no cell, a cell s.u. or
// an atom's variance that is not finite, a negative or infinite DMAX or DAGL,
// an atom (or accepted Fourier peak) beyond kFarthestCoordinate.
// The records are read again on the experiment unit to quote them as they stand.
std::string check_phase_values(int experiment_unit, const PhaseDescription& phase, const SearchControls& controls,
                               const CovarianceData& covariance);

}  // namespace vesk
