// The neighbour search around one central atom: every atom of the phase,
// every distinct equivalent position of it, every lattice translation that
// can bring the image within the search limit, in a fixed order (neighbour
// atom, equivalent position in generation order, nx, ny, nz ascending with
// nz fastest). What is done with each distance found is
// geometry/phase_geometry.hpp.
#pragma once
#include <array>
#include <cmath>

#include "crystal/metric.hpp"
#include "crystal/phase.hpp"

namespace vesk {

// Beyond these a limit is taken for a typing mistake: the search would run
// for hours and fill the disk.
constexpr float kLongestSearchLimit = 50.0f;        // Angstrom
constexpr long kMostTranslations = 10000;           // per equivalent position

// Run controls of one phase that the search uses.
struct SearchControls {
  bool dmax_given = false;
  float dmax = 0;            // distances listed up to this
  bool dagl_given = false;
  float dagl = 0;            // neighbours kept for angles up to this
  bool orthonormal = false;  // print option "ONCR"
  float bond_tolerance = 0.4f;  // Angstrom beyond the covalent radii (control word BTOL)
};

// Fractional difference (central minus neighbour) scaled by the cell edges,
// and its length: the single-precision distance that decides whether a
// neighbour is found, the same in every search.
struct CellVector {
  float u = 0, v = 0, w = 0, d = 0;
};

// Inline: the neighbour search calls this for every candidate.
inline float squared_length(const PhaseDescription& phase, float u, float v, float w) {
  const float ca = phase.cosines[0], cb = phase.cosines[1], cg = phase.cosines[2];
  return u * u + v * v + w * w + 2 * (v * w * ca + u * w * cb + u * v * cg);
}

inline CellVector cell_vector(const PhaseDescription& phase, const Vec3& from, const Vec3& to) {
  CellVector vec;
  vec.u = phase.abc[0] * (from[0] - to[0]);
  vec.v = phase.abc[1] * (from[1] - to[1]);
  vec.w = phase.abc[2] * (from[2] - to[2]);
  vec.d = std::sqrt(squared_length(phase, vec.u, vec.v, vec.w));
  return vec;
}

struct PairLimits {
  float distance = 0;        // Dlim
  float angle = 0;           // Alim
  float search() const { return distance > angle ? distance : angle; }
};
PairLimits pair_limits(const PhaseDescription& phase, const SearchControls& controls, int central_type,
                       int neighbour_type);

// The lattice translations tried for one image: the 27 cells around the
// truncated difference, widened to every translation that can bring the
// image within `limit` (bounds from the reciprocal cell edges).
struct TranslationWindow {
  std::array<int, 3> low{};
  std::array<int, 3> high{};
  long count() const;
};
TranslationWindow translation_window(const PhaseDescription& phase, const Vec3& central, const Vec3& image,
                                     float limit);

// Why a phase's limits are refused: the longest limit of any pair of its
// atoms is above 50 A, or needs more than 10000 translations.
struct SearchRefusal {
  enum class Reason { None, TooLong, TooManyTranslations };
  Reason reason = Reason::None;
  float longest = 0;         // Angstrom
  bool refused() const { return reason != Reason::None; }
};
SearchRefusal check_search_limits(const PhaseDescription& phase, const SearchControls& controls);

struct FoundDistance {
  int atom = 0;              // from 1
  int code = 0;              // operator code of the equivalent position
  std::array<int, 3> n{};    // lattice translation
  Vec3 x{};                  // image position, not reduced
  CellVector vec;
  PairLimits limits;
};

}  // namespace vesk
