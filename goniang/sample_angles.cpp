#include "goniang/sample_angles.hpp"

#include <cmath>

#include "numeric/degrees.hpp"

namespace vesk {

namespace {

// The diffraction vector (u1, u2, u3) in the goniometer's phi frame, carried
// through goniometer chi, omega plus sample phi, sample chi and sample omega.
SampleAngles orient(float u1, float u2, float u3, float chi, float beta, float sample_omega, float sample_chi) {
  const float t1 = u3 * SIND(chi) + u2 * COSD(chi);
  const float t2 = u3 * COSD(chi) - u2 * SIND(chi);
  const float w1 = t1 * COSD(beta) - u1 * SIND(beta);
  const float w2 = u1 * COSD(beta) + t1 * SIND(beta);
  const float cos_chi_s = COSD(sample_chi);
  const float sin_chi_s = SIND(sample_chi);
  const float cos_omega_s = COSD(sample_omega);
  const float sin_omega_s = SIND(sample_omega);
  const float p = w1 * cos_chi_s + t2 * sin_chi_s;
  const float x = p * cos_omega_s - w2 * sin_omega_s;
  const float y = t2 * cos_chi_s - w1 * sin_chi_s;
  const float z = p * sin_omega_s + w2 * cos_omega_s;

  SampleAngles result;
  result.psi = ACOSD(x);
  result.gam = ATAN2D(z, y);

  // Along the reference axis PSI has no defined derivative; report 0.
  const float off_axis = 1.0f - x * x;
  const float r = off_axis > 1.0e-6f ? kDegree / std::sqrt(off_axis) : 0.0f;
  result.dpsda = {z * r, -cos_omega_s * y * r, (w1 * sin_omega_s + w2 * cos_omega_s * cos_chi_s) * r};

  const float q = (y * y + z * z) / kDegree;
  if (q > 1.0e-6f) {
    result.dgmda = {x * y / q, (sin_omega_s * y * y + z * p) / q,
                    ((w1 * cos_omega_s - w2 * sin_omega_s * cos_chi_s) * y - z * w2 * sin_chi_s) / q};
  }
  return result;
}

}  // namespace

SampleAngles SAMANG(float theta, float omega, float chi, float phi, float azimuth, float sample_omega,
                    float sample_chi, float sample_phi, bool coupled) {
  const float a = coupled ? phi + theta : phi;
  const float beta = omega + sample_phi;
  const float u1 = COSD(theta) * COSD(azimuth) * SIND(a) - SIND(theta) * COSD(a);
  const float u2 = SIND(a) * SIND(theta) + COSD(a) * COSD(theta) * COSD(azimuth);
  const float u3 = -COSD(theta) * SIND(azimuth);
  return orient(u1, u2, u3, chi, beta, sample_omega, sample_chi);
}

SampleAngles OSAMANG(float theta, float omega, float chi, float phi, float sample_omega, float sample_chi,
                     float sample_phi, bool coupled) {
  const float a = coupled ? phi : phi - theta;
  const float beta = omega + sample_phi;
  return orient(SIND(a), COSD(a), 0.0f, chi, beta, sample_omega, sample_chi);
}

}  // namespace vesk
