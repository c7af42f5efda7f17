// Fc^2 of a model for one reflection and its gradient by every variable of
// a parameter map: the structure factor summed over the symmetry images
// (complex form factors f0 + f' + i f''; isotropic or anisotropic
// displacement), then SHELXL's extinction correction and the overall scale.
// The derivatives are analytic; a riding atom's go to its pivot's variables
// through the map. A twinned crystal's Fc^2 is the fraction-weighted sum over
// its domains, each with its own extinction.
#pragma once
#include <array>
#include <vector>

#include "lsq/model.hpp"
#include "lsq/parameters.hpp"

namespace lsq {

class StructureFactors {
 public:
  // The model and the map must outlive this object.
  StructureFactors(const Model& model, const ParameterMap& map);

  // Working storage of one thread.
  struct Scratch {
    std::vector<double> per_atom;  // G and its derivatives
    std::vector<double> slot_gradient;
    std::vector<std::array<double, 3>> hr;  // h R of each operator
    std::vector<double> shift;              // 2 pi h.t of each operator
    std::vector<double> f_real, f_imag;     // form factors of each type
  };
  Scratch scratch() const;

  // Fc^2 on the scale of the observations; `gradient` (map.count()
  // values, may be null) is overwritten with dFc^2 / d variable. `h` must
  // not be systematically absent.
  double fc_squared(const Miller& h, double* gradient, Scratch& scratch) const;

 private:
  // One domain's Fc^2 at h; `weight` times its gradient added to `gradient`.
  double domain(const Miller& h, double weight, double* gradient, Scratch& scratch) const;

  struct Site {
    int type = 0;
    double occupancy = 0;
    Vec3 x{};
    bool anisotropic = false;
    double uiso = 0;
    std::array<double, 6> ustar{};  // U_ab a*_a a*_b, off-diagonal ones doubled
  };
  const Model& model_;
  const ParameterMap& map_;
  Metric metric_;
  std::vector<Site> sites_;
  std::vector<std::array<double, 9>> rotations_;  // listed operators
  std::vector<Vec3> translations_;
};

}  // namespace lsq
