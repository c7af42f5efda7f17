// The orientation of the diffraction vector in the sample's frame: PSI, its
// angle from the sample's reference axis, and GAM, its azimuth about that
// axis, with their derivatives with respect to the sample angles.
#pragma once
#include <array>

// PSI and GAM come from ACOSD and ATAN2D.
#include "numeric/degrees.hpp"

namespace vesk {

struct SampleAngles {
  float psi = 0;  // degrees
  float gam = 0;  // degrees
  // Derivatives in radians per degree of the sample omega, chi and phi.
  std::array<float, 3> dpsda{};
  std::array<float, 3> dgmda{};
};

// All angles in degrees. `azimuth` is the azimuth of the scattering plane;
// `coupled` when 2-theta and omega move together.
SampleAngles SAMANG(float theta, float omega, float chi, float phi, float azimuth, float sample_omega,
                    float sample_chi, float sample_phi, bool coupled);
// The earlier calculation: no azimuth, and the coupling taken the other way round.
SampleAngles OSAMANG(float theta, float omega, float chi, float phi, float sample_omega, float sample_chi,
                     float sample_phi, bool coupled);

}  // namespace vesk
