// The neighbour search around one central atom: every atom of the phase,
// every distinct equivalent position of it, every lattice translation that
// can bring the image within the search limit, in a fixed order (neighbour
// atom, equivalent position in generation order, nx, ny, nz ascending with
// nz fastest). What is done with each distance found is vortan/atom_work.hpp.
#pragma once
#include <array>
#include <string>

#include "crystal/metric.hpp"
#include "crystal/phase.hpp"
#include "vortan/esd.hpp"

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

// 100 (nx + 5) + 10 (ny + 5) + (nz + 5); 555 is no translation.
int cell_code(int nx, int ny, int nz);
std::string location_text(int operator_code, int nx, int ny, int nz);

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

// Empty when the phase can be searched, else the message that refuses it:
// a limit above 50 A or one that needs more than 10000 translations.
std::string check_search_limits(const PhaseDescription& phase, const SearchControls& controls);

struct FoundDistance {
  int atom = 0;              // from 1
  int code = 0;              // operator code of the equivalent position
  std::array<int, 3> n{};    // lattice translation
  Vec3 x{};                  // image position, not reduced
  CellVector vec;
  PairLimits limits;
};

// The printed neighbour vector: the image's fractional coordinates, or for
// "ONCR" the vector from it to the central atom in orthonormal Angstrom.
Vec3 printed_vector(const PhaseDescription& phase, const Vec3& central, const Vec3& image, bool orthonormal);

}  // namespace vesk
