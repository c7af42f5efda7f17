#include "geometry/neighbour_search.hpp"

#include <algorithm>

namespace vesk {

PairLimits pair_limits(const PhaseDescription& phase, const SearchControls& controls, int central_type,
                       int neighbour_type) {
  const AtomType& ti = phase.types[static_cast<std::size_t>(central_type - 1)];
  const AtomType& tj = phase.types[static_cast<std::size_t>(neighbour_type - 1)];
  PairLimits limits;
  limits.distance = controls.dmax_given ? controls.dmax : std::fabs(ti.bond_radius) + tj.bond_radius;
  limits.angle = controls.dagl_given ? controls.dagl : std::fabs(ti.angle_radius) + tj.angle_radius;
  return limits;
}

namespace {

// How far, in cell edges along each axis, a vector of length 1 A can reach:
// the lengths of the reciprocal cell vectors.
std::array<double, 3> reciprocal_lengths(const PhaseDescription& phase) {
  const double ca = phase.cosines[0], cb = phase.cosines[1], cg = phase.cosines[2];
  const double sa = std::sqrt(std::max(0.0, 1 - ca * ca));
  const double sb = std::sqrt(std::max(0.0, 1 - cb * cb));
  const double sg = std::sqrt(std::max(0.0, 1 - cg * cg));
  const double root = std::sqrt(std::max(1.0E-12, 1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg));
  // V = abc root; a* = bc sin(alpha) / V and so on.
  return {sa / (phase.abc[0] * root), sb / (phase.abc[1] * root), sg / (phase.abc[2] * root)};
}

// Slack on the bounds, in cell edges: rounding of the single-precision
// distance must never make the wide window narrower than the accepted set.
constexpr double kWindowSlack = 1.0E-3;

}  // namespace

long TranslationWindow::count() const {
  long n = 1;
  for (int k = 0; k < 3; ++k) n *= high[k] - low[k] + 1;
  return n;
}

namespace {

TranslationWindow window_with_reach(const std::array<double, 3>& reach, const Vec3& central, const Vec3& image,
                                    float limit) {
  TranslationWindow window;
  for (int k = 0; k < 3; ++k) {
    const float difference = central[k] - image[k];
    const int truncated = static_cast<int>(difference);
    const double r = static_cast<double>(limit) * reach[k] + kWindowSlack;
    // The 27-cell window stays inside, so where it already suffices the
    // distances found, and their order, do not change.
    window.low[k] = std::min(truncated - 1, static_cast<int>(std::ceil(difference - r)));
    window.high[k] = std::max(truncated + 1, static_cast<int>(std::floor(difference + r)));
  }
  return window;
}

}  // namespace

TranslationWindow translation_window(const PhaseDescription& phase, const Vec3& central, const Vec3& image,
                                     float limit) {
  return window_with_reach(reciprocal_lengths(phase), central, image, limit);
}

SearchRefusal check_search_limits(const PhaseDescription& phase, const SearchControls& controls) {
  // The longest limit of any pair that occurs in the phase.
  std::array<bool, kMaxAtomTypes + 1> present{};
  for (const AtomSite& atom : phase.atoms)
    if (atom.type >= 1 && atom.type <= static_cast<int>(phase.types.size()))
      present[static_cast<std::size_t>(atom.type)] = true;
  float longest = 0;
  for (std::size_t ti = 1; ti <= phase.types.size(); ++ti) {
    if (!present[ti] || phase.types[ti - 1].bond_radius < 0) continue;
    for (std::size_t tj = 1; tj <= phase.types.size(); ++tj)
      if (present[tj])
        longest = std::max(longest, pair_limits(phase, controls, static_cast<int>(ti), static_cast<int>(tj)).search());
  }
  SearchRefusal refusal;
  refusal.longest = longest;
  if (!(longest <= kLongestSearchLimit)) {
    refusal.reason = SearchRefusal::Reason::TooLong;
    return refusal;
  }
  const auto reach = reciprocal_lengths(phase);
  // In double, compared before any conversion: a cell edge of 0 or 1e-40
  // gives an infinite or huge count.
  double count = 1;
  for (int k = 0; k < 3; ++k) {
    // Bound for any image: the window lies within max(2, r) cells of the difference.
    const double r = std::max(2.0, static_cast<double>(longest) * reach[k] + kWindowSlack);
    count *= std::floor(2 * r) + 1;
  }
  if (!(count <= static_cast<double>(kMostTranslations))) refusal.reason = SearchRefusal::Reason::TooManyTranslations;
  return refusal;
}

}  // namespace vesk
