// The full covariance of the refined parameters, rebuilt from the
// refinement's own instructions and reflections (embedded in the CIF block,
// or named on the command line): the least-squares model at the published
// parameters, one cycle of the full normal matrix, its inverse times GooF^2,
// mapped onto the parameters of the experiment file. When that cannot be
// done, the reason says why, and the caller keeps the diagonal covariance
// from the CIF's s.u.'s.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include <gemmi/cifdoc.hpp>

#include "cif2exp/cif_structure.hpp"
#include "cif2exp/conversion.hpp"
#include "cif2exp/covariance_file.hpp"
#include "cif2exp/res_instructions.hpp"
#include "lsq/model.hpp"

namespace cif2exp {

// Files named on the command line; empty: what the block embeds.
struct RefinementFiles {
  std::string res, hkl, fcf;
};

struct FullCovariance {
  bool built = false;
  std::string reason;            // when not built: why
  CovarianceContent covariance;  // when built
  // "full covariance of 312 parameters from 8,529 reflections (R1 0.0312,
  // paper 0.0311; GooF 1.041, paper 1.04)"
  std::string summary;
  std::vector<std::string> notes;  // what the user should know
  // Atoms whose coordinates rode on another's in the refinement: the
  // experiment's labels of the atom and of its pivot.
  std::vector<std::pair<std::string, std::string>> riding;
};

// `conversion`: the experiment cif2exp made of the block, its atoms in the
// order of `structure`'s.
FullCovariance full_covariance(const gemmi::cif::Block& block, const CifStructure& structure,
                               const Conversion& conversion, const RefinementFiles& files);

// The least-squares model of the instructions at their parameters, the
// restraints set up as the refinement set them up (notes: what the user
// should know); vesk::Error where the instructions cannot be modelled.
lsq::Model refinement_model(const ResInstructions& res, const gemmi::cif::Block& block, std::vector<std::string>& notes);

// True when the block says that SHELXL refined it
// (_computing_structure_refinement).
bool shelxl_refined(const gemmi::cif::Block& block);

}  // namespace cif2exp
