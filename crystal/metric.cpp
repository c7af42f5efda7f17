#include "crystal/metric.hpp"

#include <cmath>
#include <string>

#include "recio/error.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

// Square root with a negative radicand counting as 0 (rounding at the limits).
float root_or_zero(float radicand) { return radicand > 0.0f ? std::sqrt(radicand) : 0.0f; }

// Angles above 1.0 are degrees; 1.0 or less is already the cosine.
float cosine_of(float angle) { return angle > 1.0f ? COSD(angle) : angle; }

}  // namespace

void CELLMATRIX(float a, float b, float c, float alpha, float beta, float gamma,
                Mat3& orthogonal, Mat3& inverse) {
  const float cos_alpha = cosine_of(alpha);
  const float cos_beta = cosine_of(beta);
  const float cos_gamma = cosine_of(gamma);
  const float sin_alpha = root_or_zero(1.0f - cos_alpha * cos_alpha);
  const float sin_beta = root_or_zero(1.0f - cos_beta * cos_beta);
  const float sin_gamma = root_or_zero(1.0f - cos_gamma * cos_gamma);

  const char* names[3] = {"alpha", "beta", "gamma"};
  const float given[3] = {alpha, beta, gamma};
  const float sines[3] = {sin_alpha, sin_beta, sin_gamma};
  for (int i = 0; i < 3; ++i) {
    if (sines[i] == 0.0f)
      throw Error("Degenerate cell: " + std::string(names[i]) + " = " + std::to_string(given[i]) +
                  " is an angle of 0 or 180 degrees; the cell has no volume");
  }

  const float cos_alpha_star = (cos_beta * cos_gamma - cos_alpha) / (sin_beta * sin_gamma);
  const float sin_alpha_star = root_or_zero(1.0f - cos_alpha_star * cos_alpha_star);
  if (sin_alpha_star == 0.0f)
    throw Error("Degenerate cell: the angles alpha = " + std::to_string(alpha) + ", beta = " +
                std::to_string(beta) + ", gamma = " + std::to_string(gamma) +
                " do not span a cell of non-zero volume");

  Mat3 unit_cell{};  // B: rows (1,0,0), (cg, sg sa*, -sg ca*), (cb, 0, sb)
  at(unit_cell, 1, 1) = 1.0f;
  at(unit_cell, 2, 1) = cos_gamma;
  at(unit_cell, 2, 2) = sin_gamma * sin_alpha_star;
  at(unit_cell, 2, 3) = -sin_gamma * cos_alpha_star;
  at(unit_cell, 3, 1) = cos_beta;
  at(unit_cell, 3, 3) = sin_beta;
  Mat3 lengths{};
  at(lengths, 1, 1) = a;
  at(lengths, 2, 2) = b;
  at(lengths, 3, 3) = c;
  MATMUL3(lengths, unit_cell, orthogonal);
  MATINV3(orthogonal, inverse);
}

float DET3(const Mat3& m) {
  float d = 0.0f;
  for (int i = 1; i <= 3; ++i) {
    const int i1 = i % 3 + 1;
    const int i2 = (i + 1) % 3 + 1;
    d += at(m, 1, i) * (at(m, 2, i1) * at(m, 3, i2) - at(m, 3, i1) * at(m, 2, i2));
  }
  return d;
}

void MATINV3(const Mat3& m, Mat3& inverse) {
  float d = DET3(m);
  if (d == 0.0f) recio::write(recio::kTerminalOut, "(A)", {" Matrix is SINGULAR.  Determinant set to 1.0E-30"});
  // A (near-)singular matrix gets a finite, very large inverse, never a failure.
  if (std::fabs(d) < 1.0e-30f) d = d >= 0.0f ? 1.0e-30f : -1.0e-30f;
  Mat3 scratch;
  for (int i = 1; i <= 3; ++i) {
    const int i1 = i % 3 + 1;
    const int i2 = (i + 1) % 3 + 1;
    for (int j = 1; j <= 3; ++j) {
      const int j1 = j % 3 + 1;
      const int j2 = (j + 1) % 3 + 1;
      at(scratch, j, i) = (at(m, i1, j1) * at(m, i2, j2) - at(m, i1, j2) * at(m, i2, j1)) / d;
    }
  }
  inverse = scratch;
}

void MATMUL3(const Mat3& p, const Mat3& q, Mat3& r) {
  Mat3 scratch;
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) {
      float sum = 0.0f;
      for (int k = 1; k <= 3; ++k) sum += at(p, i, k) * at(q, k, j);
      at(scratch, i, j) = sum;
    }
  r = scratch;
}

Vec3 VECMAT3(const Vec3& v, const Mat3& m) {
  Vec3 w{};
  for (int i = 1; i <= 3; ++i) {
    float sum = 0.0f;
    for (int j = 1; j <= 3; ++j) sum += v[j - 1] * at(m, j, i);
    w[i - 1] = sum;
  }
  return w;
}

Vec3 MATVEC3(const Mat3& m, const Vec3& v) {
  Vec3 w{};
  for (int i = 1; i <= 3; ++i) {
    float sum = 0.0f;
    for (int j = 1; j <= 3; ++j) sum += at(m, i, j) * v[j - 1];
    w[i - 1] = sum;
  }
  return w;
}

float VECNORM(Vec3& v) {
  const float length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  if (length > 0.0f)
    for (float& x : v) x /= length;
  return length;
}

Vec3 VECADD(const Vec3& u, const Vec3& v) { return {u[0] + v[0], u[1] + v[1], u[2] + v[2]}; }
Vec3 VECSUB(const Vec3& u, const Vec3& v) { return {u[0] - v[0], u[1] - v[1], u[2] - v[2]}; }
Vec3 VECSCALE(const Vec3& v, float s) { return {v[0] * s, v[1] * s, v[2] * s}; }

namespace {
float fractional_part(float u) { return u - std::trunc(u); }
}  // namespace

void FRAC01PLAIN(Vec3& x) {
  for (float& u : x) u = fractional_part(fractional_part(u) + 1.0f);
}

Vec3 FRAC01(const Vec3& x) {
  Vec3 y = x;
  FRAC01PLAIN(y);
  // 0.99995 and 0.00002 are the same coordinate.
  for (float& u : y)
    if (u > 0.9999f) u = 0.0f;
  return y;
}

Cartesian orthogonalise(const Fractional& x, const Mat3& orthogonal) { return {VECMAT3(x, orthogonal)}; }

float CARTDIST(const Vec3& p, const Vec3& q, const Mat3& orthogonal, const Vec3& t) {
  const Vec3 shifted = VECADD(q, t);
  const Fractional difference{VECSUB(p, shifted)};
  Cartesian cartesian = orthogonalise(difference, orthogonal);
  return VECNORM(cartesian);
}

}  // namespace vesk
