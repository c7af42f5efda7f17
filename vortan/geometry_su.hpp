// Distances, angles and torsion angles between images of atoms, in double
// precision from the 32-bit coordinates and cell, with standard
// uncertainties propagated to first order from the full covariance of every
// atom coordinate involved and from the covariance of the cell constants
// (a, b, c and the cosines of the cell angles, the parameters the cell
// covariance of the distances uses). An atom that enters twice (two images
// of one atom) contributes the sum of its two derivatives, so its own
// correlation is kept.
//
// The variance is J C J^T (the first-order law for correlated inputs,
// JCGM 100:2008, the GUM, 5.2) with J the gradient with respect to the cell
// and to each atom's own fractional coordinates: the Cartesian gradient
// carried back through the orthogonalisation and the image's symmetry
// operation.
#pragma once
#include <array>
#include <functional>
#include <span>

#include "crystal/metric.hpp"
#include "crystal/symmetry_operation.hpp"
#include "vortan/coordinate_blocks.hpp"

namespace vesk {

// Cartesian frame of a cell: X = M x with a along X and b in the XY plane,
// and the derivatives of M with respect to a, b, c, cos(alpha), cos(beta),
// cos(gamma). Any right-handed orthonormal frame gives the same geometry.
struct CellFrame {
  using Mat3d = std::array<std::array<double, 3>, 3>;  // [row][column]
  Mat3d m{};
  std::array<Mat3d, 6> dm{};
  bool usable = false;       // false for a degenerate cell
};
CellFrame cell_frame(const Vec3& abc, const Vec3& cosines);

Vec3d cartesian(const CellFrame& frame, const Vec3d& fractional);

// One image of an atom: op applied to the atom's own coordinates.
struct ImagePoint {
  int atom = 0;                      // from 1
  SymmetryOperation op;
  Vec3d x{};                         // fractional image position
  Vec3d cart{};                      // Cartesian, Angstrom
  std::array<int, 3> positions{};    // covariance positions of the atom's x, y, z
};
ImagePoint image_point(const CellFrame& frame, int atom, const Vec3& own, const SymmetryOperation& op,
                       const std::array<int, 3>& positions);

// A value with its gradient with respect to the Cartesian position of each
// point (in the order the points were given; the rest stay zero). Angles in
// radians.
struct Measure {
  double value = 0;
  std::array<Vec3d, 4> gradient{};
  bool defined = true;               // false: a torsion about a linear chain
};
Measure measure_distance(const ImagePoint& p, const ImagePoint& q);
// The angle p - vertex - q, from atan2(|u x v|, u . v): exact at 0 and 180.
Measure measure_angle(const ImagePoint& p, const ImagePoint& vertex, const ImagePoint& q);
// Torsion angle a-b-c-d, in (-pi, pi]: positive when, seen along b -> c, the
// bond a-b turns clockwise to eclipse c-d (Klyne & Prelog, Experientia 16
// (1960) 521; the sign of the CIF core dictionary's _geom_torsion).
// Gradient after Blondel & Karplus, J. Comput. Chem. 17 (1996) 1132.
Measure measure_torsion(const ImagePoint& a, const ImagePoint& b, const ImagePoint& c, const ImagePoint& d);

// Covariance of the cell's a, b, c, cos(alpha), cos(beta), cos(gamma).
using CellCovariance6 = std::array<std::array<double, 6>, 6>;
// Covariance of two refined parameters given by covariance positions
// (0 = not refined), COVEL for a run.
using ParameterCovariance = std::function<double(int, int)>;

// Standard uncertainty of a measure of `points` (same order as the measure).
double propagated_sigma(const CellFrame& frame, std::span<const ImagePoint> points, const Measure& measure,
                        const CellCovariance6& cell, const ParameterCovariance& covariance);

// The covariance of the points' atoms as 3 x 3 coordinate blocks, fetched
// once and shared by every measure of the same atoms: of[k][l] for points
// k <= l, the block of point k's coordinates (rows) with point l's, from
// COVEL of their covariance positions; of[k][k] the atom's own block.
struct PointBlocks {
  std::array<std::array<const CoordinateBlock*, 4>, 4> of{};
};
// The same standard uncertainty, to the last bit, with COVEL of each pair of
// positions read from the blocks.
double propagated_sigma(const CellFrame& frame, std::span<const ImagePoint> points, const Measure& measure,
                        const CellCovariance6& cell, const PointBlocks& blocks);

constexpr double kDegreesPerRadian = 57.29577951308232;

}  // namespace vesk
