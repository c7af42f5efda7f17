// Two small least-squares models for the tests of lsq/: a centric one
// (C 2/c, an iron atom on the twofold axis, a refined occupancy, a riding
// hydrogen atom, extinction) and an acentric one (P 21 21 21, bromine's
// anomalous scattering, a riding CH2 group).
#pragma once
#include "lsq/model.hpp"

namespace testing_support {

lsq::Model centric_lsq_model();
lsq::Model acentric_lsq_model();

}  // namespace testing_support
