// The neighbour search around one central atom: every atom of the phase,
// every distinct equivalent position of it, every lattice translation that
// can bring the image within the search limit, in a fixed order (neighbour
// atom, equivalent position in generation order, nx, ny, nz ascending with
// nz fastest). Neighbours close enough for bond angles are kept, at most 25.
#pragma once
#include <array>
#include <functional>
#include <memory>
#include <string>

#include "crystal/bounded_list.hpp"
#include "crystal/equivalent_positions.hpp"
#include "crystal/metric.hpp"
#include "crystal/phase.hpp"
#include "recio/units.hpp"
#include "vortan/bond_graph.hpp"
#include "vortan/coordinate_blocks.hpp"
#include "vortan/esd.hpp"
#include "vortan/tables.hpp"

namespace vesk {

struct CovarianceData;
struct ImageGrid;
struct ResultsFile;
struct CifCollector;

constexpr std::size_t kMaxKeptNeighbours = 25;
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
};

struct NeighbourEntry {
  std::string location = std::string(10, ' ');  // "(I4,3I2)" of code, nx, ny, nz
  short code16 = 0;
  int code = 0;              // operator code
  short cell_code = 555;
  std::array<int, 3> n{};    // lattice translation
  Vec3 x{};                  // fractional, not reduced into the cell
  Vec3d image{};             // the same, placed exactly by its operation
  float d = 0;
  DistanceDerivatives derivatives{};
  std::array<int, 3> positions{};  // covariance positions of the atom's x, y, z
  CoordinateBlock with_central{};  // covariance of the central atom's coordinates with these
  int atom = 0;              // from 1
};

using KeptNeighbours = BoundedList<NeighbourEntry, kMaxKeptNeighbours>;

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

// Calls `found` for every accepted distance of central atom i (from 1), in
// search order. A central atom whose type has a negative bond radius gets none.
void search_neighbours(const PhaseDescription& phase, int i, const SearchControls& controls,
                       const std::function<void(const FoundDistance&)>& found);

// The printed neighbour vector: the image's fractional coordinates, or for
// "ONCR" the vector from it to the central atom in orthonormal Angstrom.
Vec3 printed_vector(const PhaseDescription& phase, const Vec3& central, const Vec3& image, bool orthonormal);

// What the distance work of one phase keeps from atom to atom, and where it
// writes.
struct DistanceWork {
  int listing_unit = 0;
  int terminal_unit = recio::kTerminalOut;
  float degrees_per_radian = 0;
  SearchControls controls;
  WorkCovariance work;
  DistanceTable table;
  KeptNeighbours kept;
  BondGraph bonds;           // every central atom's kept neighbours, for the whole phase
  OwnBlocks own_blocks;      // each atom's coordinate covariance, for the phase
  std::shared_ptr<const ImageGrid> grid;  // the phase's images, binned once per phase
  std::string refusal;       // not empty: the phase's limits were refused
  CifCollector* cif = nullptr;  // set by --cif: every distance and angle also goes there
};

// Per phase, before the lattice block: the cell covariance (which also
// writes the tied cell sigmas into the phase) and the check of the limits.
void start_distance_work(DistanceWork& work, PhaseDescription& phase, const SearchControls& controls);

// Writes the refusal of the phase's limits on the listing and the terminal.
void write_refusal(const DistanceWork& work);

// The whole job for central atom i (from 1): its distances with their
// standard deviations, listing lines and results records in search order,
// the neighbour notice, then its angles. Nothing when the phase was refused.
void distances_and_angles(DistanceWork& work, const PhaseDescription& phase, const CovarianceData& covariance,
                          const ResultsFile& results, int i);

}  // namespace vesk
