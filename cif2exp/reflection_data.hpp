// The reflections a refinement was given: a SHELX HKLF 4 file (as a CIF
// embeds it in _shelx_hkl_file), or the observations of an fcf (a CIF of
// _refln_ items, SHELXL's LIST 4 or 6).
#pragma once
#include <string>
#include <vector>

#include "lsq/reflections.hpp"

namespace cif2exp {

// Records of 3I4, 2F8.2 (h, k, l, Fo^2, s(Fo^2)), with Fortran's reading of
// a field without a decimal point (the last two digits are decimals);
// columns after the 28th (batch numbers, direction cosines) are read over.
// Blank lines are skipped; the list ends at h = k = l = 0 or at its end.
// Throws vesk::Error naming the line of a record that does not read.
std::vector<lsq::Observation> read_hklf4(const std::string& text, const std::string& where);

// The observations of an fcf: _refln_index_h, _k, _l with
// _refln_F_squared_meas and _refln_F_squared_sigma. Throws vesk::Error when
// the text is no CIF or holds no such loop.
std::vector<lsq::Observation> read_fcf(const std::string& text, const std::string& where);

}  // namespace cif2exp
