#include "lsq/reflections.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <unordered_map>

namespace lsq {

namespace {

// An observation given without an s.u. gets this one.
constexpr double kSmallestSigma = 1e-3;

Miller times(const Miller& h, const IntMat3& r) {
  Miller out{};
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i) out[j] += h[i] * r[i][j];
  return out;
}

long long key_of(const Miller& h) {
  constexpr long long kRange = 1 << 20;
  return ((h[0] + kRange / 2) * kRange + (h[1] + kRange / 2)) * kRange + (h[2] + kRange / 2);
}

}  // namespace

Observation merged_observation(std::span<const Observation> members) {
  Observation merged;
  if (members.empty()) return merged;
  merged.h = members[0].h;
  const double n = static_cast<double>(members.size());
  double inverse_variances = 0, weights = 0, weighted = 0;
  for (const Observation& o : members) {
    const double s = o.sigma > 0 ? o.sigma : kSmallestSigma;
    const double w = o.intensity > 3 * s ? o.intensity / (s * s) : 3 / s;
    inverse_variances += 1 / (s * s);
    weights += w;
    weighted += w * o.intensity;
  }
  merged.intensity = weighted / weights;
  merged.sigma = 1 / std::sqrt(inverse_variances);
  if (members.size() > 1) {
    // The spread of the equivalents, when it says more than their s.u.'s.
    double spread = 0;
    for (const Observation& o : members) spread += std::fabs(o.intensity - merged.intensity);
    merged.sigma = std::max(merged.sigma, spread / (n * std::sqrt(n - 1)));
  }
  return merged;
}

bool systematically_absent(const std::vector<Operator>& group, const Miller& h) {
  for (const Operator& op : group) {
    if (times(h, op.rotation) != h) continue;
    double phase = 0;
    for (int i = 0; i < 3; ++i) phase += h[i] * op.translation[i];
    if (std::fabs(phase - std::round(phase)) > 1e-3) return true;
  }
  return false;
}

Miller representative(const std::vector<Operator>& group, const Miller& h, bool friedel) {
  Miller best = h;
  for (const Operator& op : group) {
    Miller image = times(h, op.rotation);
    best = std::max(best, image);
    if (friedel) best = std::max(best, Miller{-image[0], -image[1], -image[2]});
  }
  return best;
}

PreparedReflections prepare_reflections(std::span<const Observation> raw, const Model& model,
                                        const ReflectionSelection& selection) {
  PreparedReflections out;
  const std::vector<Operator> group = model.group.expanded();
  const bool friedel = selection.merge_friedel || model.group.centric;
  const Metric metric = metric_of(model.cell);
  std::unordered_map<long long, int> omitted;
  for (const Miller& h : selection.omitted) omitted[key_of(representative(group, h, friedel))] = 1;

  // The observations of each unique reflection, merged below.
  struct Group {
    Miller h{};
    std::vector<Observation> members;
  };
  std::vector<Group> groups;
  std::unordered_map<long long, std::size_t> index;
  for (const Observation& o : raw) {
    ++out.read;
    if (systematically_absent(group, o.h)) {
      ++out.absent;
      continue;
    }
    const double s2 = s_squared(metric, o.h);
    const double d = 1 / (2 * std::sqrt(s2));
    const double sine = model.wavelength * std::sqrt(s2);
    const double two_theta = sine >= 1 ? 180 : 2 * std::asin(sine) * 180 / std::numbers::pi;
    if (d > selection.d_max || d < selection.d_min || two_theta > selection.two_theta_max) {
      ++out.outside;
      continue;
    }
    const Miller rep = representative(group, o.h, friedel);
    if (omitted.count(key_of(rep)) != 0) {
      ++out.omitted;
      continue;
    }
    const long long key = selection.merge ? key_of(rep) : static_cast<long long>(groups.size());
    auto [it, inserted] = index.try_emplace(key, groups.size());
    if (inserted) {
      groups.emplace_back();
      groups.back().h = selection.merge ? rep : o.h;
    }
    groups[it->second].members.push_back(o);
  }
  std::unordered_map<long long, int> friedel_keys;
  out.observations.reserve(groups.size());
  for (const Group& g : groups) {
    Observation merged = merged_observation(g.members);
    merged.h = g.h;
    out.observations.push_back(merged);
    friedel_keys[key_of(representative(group, g.h, true))] = 1;
  }
  out.friedel_merged = static_cast<int>(friedel_keys.size());
  return out;
}

}  // namespace lsq
