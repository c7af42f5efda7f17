#include "vortan/esd.hpp"

#include <cmath>
#include <cstdlib>

#include "vortan/neighbour_search.hpp"

namespace vesk {

CellCovariance cell_covariance(PhaseDescription& phase) {
  CellCovariance cell;
  const int laue = phase.group.laue;
  Vec3& abc = phase.abc_sigma;
  Vec3& cosines = phase.cosine_sigma;
  if (laue > 3) {
    abc[1] = abc[0];
    cell.at(1, 2) = abc[0] * abc[0];
    if (laue == 6 || laue == 7 || laue == 13 || laue == 14) {
      // a = b = c is one parameter: with c left free, distances that the
      // symmetry makes equal would get different standard deviations.
      abc[2] = abc[0];
      cell.at(1, 3) = abc[0] * abc[0];
      cell.at(2, 3) = abc[0] * abc[0];
    }
    if (laue == 6 || laue == 7) {
      // Rhombohedral axes: one angle, refined as one parameter.
      cosines[1] = cosines[0];
      cosines[2] = cosines[0];
      const float tie = cosines[0] * cosines[0];
      cell.at(4, 5) = tie;
      cell.at(4, 6) = tie;
      cell.at(5, 6) = tie;
    } else if (laue >= 8 && laue <= 12) {
      // Hexagonal axes: the angles are fixed by symmetry.
      cosines = {0, 0, 0};
    }
  }
  for (int r = 1; r <= 3; ++r) cell.at(r, r) = abc[r - 1] * abc[r - 1];
  for (int r = 4; r <= 6; ++r) cell.at(r, r) = cosines[r - 4] * cosines[r - 4];
  for (int r = 1; r <= 6; ++r)
    for (int s = r + 1; s <= 6; ++s) cell.at(s, r) = cell.at(r, s);
  return cell;
}

void set_cell_block(WorkCovariance& work, const CellCovariance& cell) {
  for (int r = 1; r <= 6; ++r)
    for (int s = 1; s <= 6; ++s) work.at(r, s) = cell.at(r, s);
}

namespace {

// Gradient of the length of (u, v, w) with respect to the fractional
// coordinates of its starting point.
Vec3 fractional_gradient(const PhaseDescription& phase, float u, float v, float w, float d) {
  const float ca = phase.cosines[0], cb = phase.cosines[1], cg = phase.cosines[2];
  return {phase.abc[0] * (u + v * cg + w * cb) / d, phase.abc[1] * (v + u * cg + w * ca) / d,
          phase.abc[2] * (w + u * cb + v * ca) / d};
}

void cell_derivatives(const PhaseDescription& phase, float u, float v, float w, float d, float* out) {
  const float ca = phase.cosines[0], cb = phase.cosines[1], cg = phase.cosines[2];
  out[0] = u * (u + v * cg + w * cb) / (phase.abc[0] * d);
  out[1] = v * (v + u * cg + w * ca) / (phase.abc[1] * d);
  out[2] = w * (w + u * cb + v * ca) / (phase.abc[2] * d);
  out[3] = v * w / d;
  out[4] = u * w / d;
  out[5] = u * v / d;
}

const Mat3& rotation_of(const PhaseDescription& phase, int operator_code) {
  return phase.rotation_t[static_cast<std::size_t>(std::abs(operator_code) % 100 - 1)];
}

}  // namespace

DistanceDerivatives distance_derivatives(const PhaseDescription& phase, const CellVector& vec,
                                         int operator_code) {
  DistanceDerivatives out{};
  cell_derivatives(phase, vec.u, vec.v, vec.w, vec.d, out.data());
  const Vec3 g = fractional_gradient(phase, vec.u, vec.v, vec.w, vec.d);
  out[6] = g[0];
  out[7] = g[1];
  out[8] = g[2];
  // The neighbour is +-(M x + T) + centring + t: chain rule through M.
  const Vec3 own = MATVEC3(rotation_of(phase, operator_code), operator_code > 0 ? VECSCALE(g, -1) : g);
  out[9] = own[0];
  out[10] = own[1];
  out[11] = own[2];
  return out;
}

float propagate(const float* derivatives, const WorkCovariance& work, int n) {
  float var = 0;
  for (int r = 1; r <= n; ++r)
    for (int s = 1; s <= n; ++s) var += derivatives[r - 1] * derivatives[s - 1] * work.at(r, s);
  return var;
}

DistanceSigma distance_sigma(const PhaseDescription& phase, const CellVector& vec, int operator_code,
                             const WorkCovariance& work) {
  DistanceSigma result;
  result.derivatives = distance_derivatives(phase, vec, operator_code);
  result.variance = propagate(result.derivatives.data(), work, 12);
  result.sigma = std::sqrt(std::fabs(result.variance));
  return result;
}

Angle bond_angle(const PhaseDescription& phase, const NeighbourEntry& first, const NeighbourEntry& second,
                 const WorkCovariance& work, float degrees_per_radian) {
  const float d1 = first.d, d2 = second.d;
  const float u = phase.abc[0] * (first.x[0] - second.x[0]);
  const float v = phase.abc[1] * (first.x[1] - second.x[1]);
  const float w = phase.abc[2] * (first.x[2] - second.x[2]);
  float d2sq = squared_length(phase, u, v, w);
  if (d2sq < 0) d2sq = 0;
  // Coincident neighbours: a floor keeps the gradient finite.
  const float d3 = std::sqrt(std::fmax(d2sq, 1.0E-10f));
  float cosine = (d1 * d1 + d2 * d2 - d2sq) / (2 * d1 * d2);

  std::array<float, 15> g3{};
  cell_derivatives(phase, u, v, w, d3, g3.data());
  const Vec3 grad = fractional_gradient(phase, u, v, w, d3);
  const float s1 = first.code < 0 ? -1.0f : 1.0f;
  const float s2 = second.code < 0 ? -1.0f : 1.0f;
  const Vec3 first_part = MATVEC3(rotation_of(phase, first.code), VECSCALE(grad, s1));
  const Vec3 second_part = MATVEC3(rotation_of(phase, second.code), VECSCALE(grad, -s2));
  for (int i = 0; i < 3; ++i) {
    g3[9 + i] = first_part[i];
    g3[12 + i] = second_part[i];
  }

  const float a1 = 1 / d2 - cosine / d1;
  const float a2 = 1 / d1 - cosine / d2;
  const float a3 = -d3 / (d1 * d2);
  std::array<float, 15> e{};
  for (int r = 0; r < 9; ++r)
    e[r] = a3 * g3[r] + a1 * first.derivatives[r] + a2 * second.derivatives[r];
  for (int r = 9; r < 12; ++r) e[r] = a3 * g3[r] + a1 * first.derivatives[r];
  for (int r = 12; r < 15; ++r) e[r] = a3 * g3[r] + a2 * second.derivatives[r - 3];

  float var = propagate(e.data(), work, 15);
  if (var < 0) var = 0;
  if (cosine > 1) cosine = 1;
  if (cosine < -1) cosine = -1;
  Angle angle;
  angle.cosine = cosine;
  angle.degrees = std::acos(cosine) * degrees_per_radian;
  // Near 0 or 180 degrees the sine vanishes: keep the cosine's deviation.
  if (std::fabs(cosine) < 0.9999f) var = var / (1 - cosine * cosine);
  angle.sigma = degrees_per_radian * std::sqrt(var);
  return angle;
}

}  // namespace vesk
