// Two small published structures for whole-program tests of the
// experiment's files: hydrogen bonds, torsion angles, a covariance file.
#pragma once

namespace testing_support {

// COD 2016470 (Foces-Foces, Lopez-Rodriguez & Perez, Acta Cryst. (2008)
// C64, o95-o97), P 41, cut to the heavy atoms and three hydrogen atoms.
extern const char* const kP41Cif;
// COD 1506408 (Zhang et al., J. Phys. Chem. B 109 (2005) 18378), F d d 2,
// cut to the heavy atoms and the N-H hydrogen atom.
extern const char* const kFdd2Cif;

}  // namespace testing_support
