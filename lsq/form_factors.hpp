// X-ray form factors of the neutral atoms from International Tables for
// Crystallography Vol. C (1992), Table 6.1.1.4 (four Gaussians and a
// constant), as gemmi tabulates them (gemmi/it92.hpp).
#pragma once
#include <string>

#include "lsq/model.hpp"

namespace lsq {

// The element's form factor, f' and f'' zero; `symbol` in any case ("CL",
// "Cl"); a trailing charge or digits are ignored ("Fe3+", "O1"). Throws
// vesk::Error naming the symbol when the table has no such element.
ScatteringFactor it92_form_factor(const std::string& symbol);

}  // namespace lsq
