// Two small least-squares models for the tests of lsq/: a centric one
// (C 2/c, an iron atom on the twofold axis, a refined occupancy, a riding
// hydrogen atom, extinction) and an acentric one (P 21 21 21, bromine's
// anomalous scattering, a riding CH2 group).
#pragma once
#include "lsq/model.hpp"

namespace testing_support {

lsq::Model centric_lsq_model();
lsq::Model acentric_lsq_model();
// The centric model with a disordered pair: O3 and O3' share an occupancy
// through free variable 2 (fv and 1 - fv), O3' takes O3's Uij, C2 shares
// O3's coordinates with an occupancy of half of fv 2, and a Uiso of free
// variable 3.
lsq::Model disordered_lsq_model();
// The centric model with a regular hexagon of carbon atoms (1.39 A, in a
// tilted plane) as a rigid group, a hydrogen atom riding on its second
// atom; `translated` false: the group only turns about its first atom.
lsq::Model rigid_lsq_model(bool translated);

}  // namespace testing_support
