// What a paper says about a molecule beyond its bonds, computed from a
// phase's geometry model: the rings of the bond graph, least-squares planes
// through each ring and through the atoms the user names, the deviations
// from them, the angles between planes, the ring puckering and the
// rigid-bond test, every value with its s.u. through the one propagation of
// geometry/measure.hpp (coordinates, cell and, for the rigid-bond test, the
// Uij).
//
// Rings are sought in the molecules the bond graph completes
// (geometry/molecules.hpp), bonds to metal atoms left out. When the bonds
// run on without end, in the ligands that the bonds other than those to
// metal atoms complete (the linkers of a coordination polymer); when those
// too run on (a framework, an organic polymer) or the structure is too
// large to complete, in the periodic net itself (geometry/net_rings.hpp).
// A search that meets its limit is given up for that molecule (or net)
// with a note, and everything else goes on.
//
// Angles between planes are taken where they tell something: between ring
// planes that share an atom (fused), that a bond joins, or whose centroids
// lie within kCloseCentroids of each other (stacked rings, a sandwich
// complex), through any symmetry image; and between each PLAN and every
// other plane. PlaneAngleChoice::All adds every two ring planes of one
// molecule.
#pragma once
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "crystal/phase.hpp"
#include "crystal/symmetry_operation.hpp"
#include "geometry/cell_covariance.hpp"
#include "geometry/coordinate_blocks.hpp"
#include "geometry/measure.hpp"
#include "geometry/phase_geometry.hpp"
#include "geometry/puckering.hpp"

namespace vesk {

// Most atoms a user plane may name.
constexpr std::size_t kMaxPlaneAtoms = 50;
// Most rings of one molecule (or of the periodic net), and most steps of
// the search of a net (images visited): past them that ring analysis is
// skipped with a note. Most angles between planes of a phase: past it the
// table is skipped with a note.
constexpr std::size_t kMostRings = 2000;
constexpr std::size_t kMostNetSteps = 4000000;
constexpr std::size_t kMostPlaneAngles = 1000000;
// Images a structure is completed to for its rings; past it the rings are
// sought in the periodic net.
constexpr std::size_t kMostAnalysedImages = 100000;
// Ring centroids closer than this are stacked (or sandwich a metal): the
// centroid distances of stacked aromatic rings lie below some 3.8 A
// (Janiak, J. Chem. Soc., Dalton Trans. 2000, 3885).
constexpr double kCloseCentroids = 4.0;

// A plane's deviations are listed for the other atoms of its molecule
// within this distance of its centroid: a large molecule's far atoms tell
// nothing of one ring's plane, and listing every atom for every ring would
// grow with the square of the molecule.
constexpr double kDeviationReach = 8.0;

// Which angles between planes are computed (control word PANG Y, ALL, N).
enum class PlaneAngleChoice { Related, All, None };

struct MoleculeOptions {
  bool rings = true;             // RING N: no ring search at all
  PlaneAngleChoice plane_angles = PlaneAngleChoice::Related;
};

// Where the rings were sought.
enum class RingSource { Molecules, Ligands, Net };

// Why an angle between two planes is given.
enum class PlaneRelation { Fused, Bonded, Close, UserPlane, Requested };
const char* relation_name(PlaneRelation relation);

// An image of an atom: its operation from the atom's own place.
struct AnalysisImage {
  int atom = 0;                  // from 1
  SymmetryOperation op;
};

// A value with its s.u.; lengths in Angstrom, angles in degrees.
struct MeasuredValue {
  double value = 0;
  double su = 0;
  bool defined = true;           // false: no value (a phase without meaning)
};

// What the analyses after the geometry model measure with: the phase's
// images as points, and a measure's value with its s.u. through the one
// propagation.
struct AnalysisFrame {
  const PhaseDescription& phase;
  CellFrame frame;
  CellCovariance6 cell;
  const ParameterCovariance& covariance;

  AnalysisFrame(const PhaseDescription& phase, const CellCovariance& cell, const ParameterCovariance& covariance);
  const AtomSite& site(int atom) const { return phase.atoms[static_cast<std::size_t>(atom - 1)]; }
  ImagePoint point(const AnalysisImage& image) const;
  std::vector<ImagePoint> points(const std::vector<AnalysisImage>& images) const;
  // `scale` carries radians into degrees; `extra` are derivatives by other
  // refined parameters (Uij, occupancies).
  MeasuredValue measured(std::span<const ImagePoint> points, const PointMeasure& measure, double scale = 1,
                         std::span<const ParameterDerivative> extra = {}) const;
};

struct PuckeringAmplitude {
  int m = 0;
  MeasuredValue amplitude;       // q_m (signed for m = N/2)
  MeasuredValue phase;           // phi_m, degrees; not defined for m = N/2
};

struct RingAnalysis {
  int molecule = 0;              // from 1; a ligand's number for RingSource::Ligands; 0 in a net
  std::vector<AnalysisImage> atoms;  // ring order, from the start atom
  std::size_t plane = 0;         // its least-squares plane
  bool puckering = false;        // five or more members, and not on a line
  MeasuredValue total;           // Q
  MeasuredValue theta;           // six-membered rings only
  std::vector<PuckeringAmplitude> terms;
  Conformation conformation = Conformation::unnamed;
};

struct PlaneDeviation {
  AnalysisImage image;
  MeasuredValue deviation;       // signed, Angstrom
  bool defining = false;
};

struct PlaneAnalysis {
  int ring = -1;                 // index into rings; -1 for a user plane
  int user = 0;                  // the PLAN's number from 1; 0 for a ring plane
  std::vector<AnalysisImage> atoms;  // defining atoms
  bool defined = false;          // false: the atoms lie on a line
  Cart3 normal{};                // Cartesian unit vector (frame of cell_frame)
  Cart3 reciprocal_normal{};     // n = h a* + k b* + l c*: (h, k, l) = (n.a, n.b, n.c)
  MeasuredValue rms;
  std::vector<PlaneDeviation> deviations;  // defining atoms first, then the molecule's others within kDeviationReach
};

struct PlaneAngle {
  std::size_t first = 0, second = 0;  // indices into planes
  SymmetryOperation second_image;     // carries the second plane's atoms (identity: as listed)
  PlaneRelation relation = PlaneRelation::Requested;
  MeasuredValue degrees;         // 0 to 90
  MeasuredValue centroid_distance;    // Angstrom, the second plane as carried
};

struct RigidBondRow {
  AnalysisImage a, b;
  MeasuredValue msda_a, msda_b, delta;  // Angstrom^2
  bool flagged = false;
};

struct MoleculeAnalysis {
  bool computed = false;
  bool network = false;          // the bonds run on without end
  RingSource ring_source = RingSource::Molecules;
  std::vector<RingAnalysis> rings;
  std::vector<PlaneAnalysis> planes;    // ring planes in ring order, then user planes
  std::vector<PlaneAngle> plane_angles;
  std::vector<RigidBondRow> rigid_bond;
  int flagged = 0;
  std::vector<std::string> notes;  // an analysis skipped at a limit, and why
};

// The phase's analyses from its geometry model, with the user planes
// `user_planes` (images of the atoms each PLAN names).
MoleculeAnalysis analyse_molecules(const PhaseDescription& phase, const PhaseGeometry& geometry,
                                   const CellCovariance& cell, const ParameterCovariance& covariance,
                                   const std::vector<std::vector<AnalysisImage>>& user_planes,
                                   const MoleculeOptions& options = {});

// An atom heavier than helium, by its type symbol.
bool heavier_than_helium(const std::string& type_symbol);

}  // namespace vesk
