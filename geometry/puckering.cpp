#include "geometry/puckering.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vesk {

namespace {

using namespace vec3;

constexpr double kPi = std::numbers::pi;

struct MeanPlane {
  std::vector<Cart3> r;        // R_j less the centroid
  std::vector<double> sine;    // sin(2 pi j / N)
  std::vector<double> cosine;
  Cart3 r1{};                  // R'
  Cart3 r2{};                  // R''
  Cart3 normal{};
  double cross_length = 0;     // |R' x R''|
  std::vector<double> z;
};

// Gradient, by each ring atom, of sum_j w_j z_j with sum_j w_j = 0: the
// sum is W . n with W = sum_j w_j R_j, so d/dR_k = w_k n + (dn/dR_k)^T W,
// and dn = (I - n n^T) d(R' x R'') / |R' x R''| with dR'/dR_k = sin_k,
// dR''/dR_k = cos_k.
std::vector<Cart3> linear_gradient(const MeanPlane& plane, const std::vector<double>& w) {
  const std::size_t n = plane.r.size();
  Cart3 big_w{};
  for (std::size_t j = 0; j < n; ++j) big_w = plus(big_w, scaled(plane.r[j], w[j]));
  const Cart3 y = scaled(minus(big_w, scaled(plane.normal, dot(big_w, plane.normal))), 1.0 / plane.cross_length);
  const Cart3 from_r1 = cross(plane.r1, y);
  const Cart3 from_r2 = cross(plane.r2, y);
  std::vector<Cart3> gradient(n);
  for (std::size_t k = 0; k < n; ++k)
    gradient[k] = plus(scaled(plane.normal, w[k]),
                       minus(scaled(from_r2, plane.sine[k]), scaled(from_r1, plane.cosine[k])));
  return gradient;
}

double weighted_sum(const std::vector<double>& w, const std::vector<double>& z) {
  double sum = 0;
  for (std::size_t j = 0; j < z.size(); ++j) sum += w[j] * z[j];
  return sum;
}

PointMeasure undefined_measure(std::size_t n) {
  PointMeasure measure;
  measure.defined = false;
  measure.gradient.assign(n, Cart3{});
  return measure;
}

std::vector<Cart3> combine(double a, const std::vector<Cart3>& p, double b, const std::vector<Cart3>& q) {
  std::vector<Cart3> result(p.size());
  for (std::size_t k = 0; k < p.size(); ++k) result[k] = plus(scaled(p[k], a), scaled(q[k], b));
  return result;
}

double angular_distance(double theta1, double phi1, double theta2, double phi2) {
  const double c = std::cos(theta1) * std::cos(theta2) + std::sin(theta1) * std::sin(theta2) * std::cos(phi1 - phi2);
  return std::acos(std::clamp(c, -1.0, 1.0));
}

struct IdealForm {
  Conformation conformation;
  double theta;       // degrees, upper hemisphere; the lower one mirrors it
  double phi_offset;  // degrees; the form recurs every 60 degrees of phi_2
};

// Ideal six-membered forms after Boeyens (1978). The envelope (one atom
// out of the plane of five) and the half-chair (two neighbours out on
// either side) at the angles those displacements give, atan(sqrt 2) and
// atan(sqrt(3/2)).
const IdealForm kSixMemberedForms[] = {
    /* 0 */ {Conformation::chair, 0.0, 0.0},
    /* 1 */ {Conformation::envelope, 54.735610317245346, 0.0},
    /* 2 */ {Conformation::half_chair, 50.768479516407744, 30.0},
    /* 3 */ {Conformation::screw_boat, 67.5, 30.0},
    /* 4 */ {Conformation::boat, 90.0, 0.0},
    /* 5 */ {Conformation::twist_boat, 90.0, 30.0},
};

}  // namespace

const char* conformation_name(Conformation conformation) {
  switch (conformation) {
    case Conformation::planar: return "planar";
    case Conformation::chair: return "chair";
    case Conformation::boat: return "boat";
    case Conformation::twist_boat: return "twist-boat";
    case Conformation::envelope: return "envelope";
    case Conformation::twist: return "twist";
    case Conformation::half_chair: return "half-chair";
    case Conformation::screw_boat: return "screw-boat";
    case Conformation::unnamed: break;
  }
  return "";
}

RingPuckering ring_puckering(std::span<const Cart3> ring, double planar_limit) {
  const std::size_t n = ring.size();
  RingPuckering result;
  result.total = undefined_measure(n);
  result.theta = undefined_measure(n);
  if (n < 4) return result;

  MeanPlane plane;
  Cart3 centroid{};
  double largest = 1;
  for (const Cart3& p : ring) {
    centroid = plus(centroid, p);
    for (double x : p) largest = std::max(largest, std::fabs(x));
  }
  const double rounding = 1e-10 * largest;  // a length below this is rounding
  centroid = scaled(centroid, 1.0 / static_cast<double>(n));
  for (std::size_t j = 0; j < n; ++j) {
    const double angle = 2 * kPi * static_cast<double>(j) / static_cast<double>(n);
    plane.r.push_back(minus(ring[j], centroid));
    plane.sine.push_back(std::sin(angle));
    plane.cosine.push_back(std::cos(angle));
    plane.r1 = plus(plane.r1, scaled(plane.r.back(), plane.sine.back()));
    plane.r2 = plus(plane.r2, scaled(plane.r.back(), plane.cosine.back()));
  }
  const Cart3 u = cross(plane.r1, plane.r2);
  plane.cross_length = length(u);
  if (plane.cross_length <= rounding * (length(plane.r1) + length(plane.r2))) return result;
  plane.normal = scaled(u, 1.0 / plane.cross_length);
  for (const Cart3& r : plane.r) plane.z.push_back(dot(r, plane.normal));
  result.defined = true;

  const double scale2 = std::sqrt(2.0 / static_cast<double>(n));
  for (std::size_t m = 2; 2 * m < n; ++m) {
    std::vector<double> wa(n);
    std::vector<double> wb(n);
    for (std::size_t j = 0; j < n; ++j) {
      const double angle = 2 * kPi * static_cast<double>(m * j % n) / static_cast<double>(n);
      wa[j] = scale2 * std::cos(angle);
      wb[j] = -scale2 * std::sin(angle);
    }
    const double a = weighted_sum(wa, plane.z);
    const double b = weighted_sum(wb, plane.z);
    const double q = std::hypot(a, b);
    PuckeringTerm term;
    term.m = static_cast<int>(m);
    term.amplitude.gradient.assign(n, Cart3{});
    term.phase = undefined_measure(n);
    if (q > rounding) {
      const std::vector<Cart3> ga = linear_gradient(plane, wa);
      const std::vector<Cart3> gb = linear_gradient(plane, wb);
      term.amplitude.value = q;
      term.amplitude.gradient = combine(a / q, ga, b / q, gb);
      double phi = std::atan2(b, a);
      if (phi < 0) phi += 2 * kPi;
      term.phase.defined = true;
      term.phase.value = phi;
      term.phase.gradient = combine(-b / (q * q), ga, a / (q * q), gb);
    }
    result.terms.push_back(std::move(term));
  }
  if (n % 2 == 0) {
    std::vector<double> w(n);
    for (std::size_t j = 0; j < n; ++j) w[j] = (j % 2 == 0 ? 1.0 : -1.0) / std::sqrt(static_cast<double>(n));
    PuckeringTerm term;
    term.m = static_cast<int>(n / 2);
    term.amplitude.value = weighted_sum(w, plane.z);
    term.amplitude.gradient = linear_gradient(plane, w);
    if (std::fabs(term.amplitude.value) <= rounding) term.amplitude.value = 0;
    term.phase = undefined_measure(n);
    result.terms.push_back(std::move(term));
  }

  const double total = std::sqrt(weighted_sum(plane.z, plane.z));
  result.total.defined = true;
  if (total > rounding) {
    result.total.value = total;
    // d Q^2 / dR_k = 2 sum_j z_j dz_j / dR_k, a weighted sum with w = z.
    result.total.gradient = linear_gradient(plane, plane.z);
    for (Cart3& g : result.total.gradient) g = scaled(g, 1.0 / total);
  }

  if (n == 6 && total > rounding) {
    const PointMeasure& q2 = result.terms[0].amplitude;
    const PointMeasure& q3 = result.terms[1].amplitude;
    const double q_squared = q2.value * q2.value + q3.value * q3.value;
    result.theta.defined = true;
    result.theta.value = std::atan2(q2.value, q3.value);
    result.theta.gradient = combine(q3.value / q_squared, q2.gradient, -q2.value / q_squared, q3.gradient);
  }
  result.conformation = name_conformation(result, n, planar_limit);
  return result;
}

Conformation name_conformation(const RingPuckering& puckering, std::size_t ring_size, double planar_limit) {
  if (!puckering.defined) return Conformation::unnamed;
  if (puckering.total.value < planar_limit) return Conformation::planar;
  if (ring_size < 5 || ring_size > 6) return Conformation::unnamed;
  const double degrees = 180 / kPi;
  const PointMeasure& phase = puckering.terms[0].phase;
  if (ring_size == 5) {
    if (!phase.defined) return Conformation::unnamed;
    const double off = std::fmod(phase.value * degrees, 36.0);
    return std::min(off, 36.0 - off) <= 9.0 ? Conformation::envelope : Conformation::twist;
  }
  const double theta = puckering.theta.value;
  const double phi = phase.defined ? phase.value : 0.0;  // no phase: on a pole, a chair
  Conformation nearest = Conformation::unnamed;
  double best = 10;
  for (const IdealForm& form : kSixMemberedForms)
    for (int k = 0; k < 6; ++k)
      for (double form_theta : {form.theta, 180 - form.theta}) {
        const double distance =
            angular_distance(theta, phi, form_theta / degrees, (form.phi_offset + 60.0 * k) / degrees);
        if (distance < best) {
          best = distance;
          nearest = form.conformation;
        }
      }
  return nearest;
}

}  // namespace vesk
