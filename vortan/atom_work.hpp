// The per-atom work of one phase: for every central atom its distances (from
// the neighbour search) with their standard deviations, the listing lines,
// the results records and the publication CIF rows, then the angles between
// the neighbours kept for them.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "crystal/phase.hpp"
#include "recio/units.hpp"
#include "vortan/bond_graph.hpp"
#include "vortan/chemical_bonds.hpp"
#include "vortan/coordinate_blocks.hpp"
#include "vortan/esd.hpp"
#include "vortan/kept_neighbours.hpp"
#include "vortan/neighbour_search.hpp"
#include "vortan/tables.hpp"
#include "vortan/work_covariance.hpp"

namespace vesk {

struct CovarianceData;
struct ImageGrid;
struct ResultsFile;
struct CifCollector;

// A distance of the central atom, held until the kept neighbours are chosen.
struct FoundNeighbour {
  FoundDistance hit;
  DistanceSigma sigma;
  CoordinateBlock with_central{};
  bool kept = false;         // among the 25 nearest within the angle limit
};

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
  BondGraph bonds;           // every central atom's chemical bonds, for the whole phase
  std::vector<BondingAtom> bonding_atoms;  // [atom - 1]: element, covalent radius
  std::vector<int> disorder_groups;        // [atom - 1], 0 none; set before start_distance_work
  std::vector<FoundNeighbour> found;       // the central atom's distances in search order
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
