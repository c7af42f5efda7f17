// Restraints as observations of the least squares: each one's residual
// (target minus the model's value) and the gradient of its value by every
// variable of a parameter map, with its weight 1 / s^2. Distances are taken
// between the atoms as they stand (no symmetry images); a riding atom's
// derivatives go to its pivot's variables, as its structure factor's do.
#pragma once
#include <vector>

#include "lsq/model.hpp"
#include "lsq/parameters.hpp"

namespace lsq {

struct RestraintRow {
  double residual = 0;  // target - value
  double weight = 0;    // 1 / s^2
  std::vector<double> gradient;  // d value / d variable, map.count() values
  int restraint = 0;    // index into Model::restraints
};

// One row per restrained quantity: a DFIX-like restraint on k pairs gives k
// rows, one on n equal distances one per distance (each against their mean,
// weight n / ((n - 1) s^2), the inverse variance of d_i - mean), a
// sum of free variables one. Throws vesk::Error for a restraint naming an
// atom or free variable outside the model, or two atoms at one place.
std::vector<RestraintRow> restraint_rows(const Model& model, const ParameterMap& map);

}  // namespace lsq
