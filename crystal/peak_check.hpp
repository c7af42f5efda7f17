// The Fourier-peak distance test: a peak is too close when some symmetry
// image of it, in the home cell or one of its 26 neighbours, lies nearer to
// an atom than the two types' peak-exclusion radii added.
#pragma once
#include "crystal/metric.hpp"
#include "crystal/phase.hpp"

namespace vesk {

struct PeakCheck {
  bool accepted = true;
  int atom = 0;        // the first atom found too close (from 1)
  float distance = 0;  // its distance in Angstrom
};

// The Fourier-peak type is the last of the phase's types.
PeakCheck PEAKCHK(const Vec3& peak, const PhaseDescription& phase);

}  // namespace vesk
