// The observations a refinement used: measured intensities with their
// systematic absences dropped, the reflections outside its limits left out,
// and equivalents merged as it merged them (Friedel opposites apart in a
// non-centrosymmetric group unless told otherwise).
#pragma once
#include <limits>
#include <span>
#include <vector>

#include "lsq/model.hpp"

namespace lsq {

struct Observation {
  Miller h{};
  double intensity = 0;  // Fo^2
  double sigma = 0;      // s.u. of Fo^2
};

struct ReflectionSelection {
  bool merge = true;            // equivalents merged
  bool merge_friedel = false;   // Friedel opposites merged too (always so in a centric group)
  double d_max = std::numeric_limits<double>::infinity();  // Angstrom: longer spacings left out
  double d_min = 0;                                        // shorter spacings left out
  double two_theta_max = 180;                              // degrees
  std::vector<Miller> omitted;  // left out with their equivalents
};

struct PreparedReflections {
  std::vector<Observation> observations;  // in the order of their first appearance
  int read = 0;       // observations given
  int absent = 0;     // systematically absent, dropped
  int outside = 0;    // beyond the resolution or 2theta limits
  int omitted = 0;    // named to be left out
  // Unique reflections the observations make with Friedel opposites merged.
  int friedel_merged = 0;
};

// Equivalent observations as one, as SHELXL merges them (and cctbx's
// merge_equivalents_shelx after it): the mean weighted by I/s^2 for
// I > 3s and by 3/s below, with the larger of the s.u. from the members'
// s.u.'s, [sum 1/s^2]^-1/2, and the one from their spread,
// sum |I - <I>| / (n (n - 1)^1/2).
Observation merged_observation(std::span<const Observation> members);

// A reflection is absent when an operator (R, t) of the group has h R = h
// and h.t not whole.
bool systematically_absent(const std::vector<Operator>& group, const Miller& h);

// The representative of h among its equivalents under the rotations of
// `group` (and -h when `friedel`): the largest (h, k, l) in lexical order.
Miller representative(const std::vector<Operator>& group, const Miller& h, bool friedel);

PreparedReflections prepare_reflections(std::span<const Observation> raw, const Model& model,
                                        const ReflectionSelection& selection);

}  // namespace lsq
