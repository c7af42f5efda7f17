// Geometric measures between images of atoms and the one propagation of
// their standard uncertainties. A measure is a value in double precision
// (from the 32-bit coordinates and cell) with its gradient with respect to
// the Cartesian position of each point it is taken over, any number of
// points; the propagation turns it into a variance with the full covariance
// of every atom coordinate involved, the covariance of the cell constants
// (a, b, c and the cosines of the cell angles) and, when the measure names
// them, of further refined parameters (d/dUij, say). An atom that enters
// twice (two images of one atom) contributes the sum of its derivatives, so
// its own correlation is kept.
//
// The variance is J C J^T (the first-order law for correlated inputs,
// JCGM 100:2008, the GUM, 5.2) with J the gradient with respect to the cell
// and to each atom's own fractional coordinates: the Cartesian gradient
// carried back through the orthogonalisation and the image's symmetry
// operation. Every distance, angle, torsion angle and hydrogen bond goes
// through it.
#pragma once
#include <array>
#include <functional>
#include <span>
#include <vector>

#include "crystal/metric.hpp"
#include "crystal/symmetry_operation.hpp"
#include "geometry/coordinate_blocks.hpp"
#include "geometry/point_measure.hpp"

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

// A measure is a PointMeasure (geometry/point_measure.hpp): a value with
// its gradient with respect to the Cartesian position of each point, in
// the order the points are given. Angles in radians.
// Distances and angles take their arms as fractional differences carried
// into the frame: an arm and its image through an inversion are then exact
// negatives, and distances the symmetry makes equal come out equal to the
// last bit.
PointMeasure measure_distance(const CellFrame& frame, const ImagePoint& p, const ImagePoint& q);
// The angle p - vertex - q, from atan2(|u x v|, u . v): exact at 0 and 180.
PointMeasure measure_angle(const CellFrame& frame, const ImagePoint& p, const ImagePoint& vertex, const ImagePoint& q);
// Torsion angle a-b-c-d, in (-pi, pi]: positive when, seen along b -> c, the
// bond a-b turns clockwise to eclipse c-d (Klyne & Prelog, Experientia 16
// (1960) 521; the sign of the CIF core dictionary's _geom_torsion).
// Gradient after Blondel & Karplus, J. Comput. Chem. 17 (1996) 1132.
PointMeasure measure_torsion(const ImagePoint& a, const ImagePoint& b, const ImagePoint& c, const ImagePoint& d);

// Covariance of the cell's a, b, c, cos(alpha), cos(beta), cos(gamma).
using CellCovariance6 = std::array<std::array<double, 6>, 6>;

// A derivative of a measure with respect to a refined parameter other than
// the points' coordinates (a displacement parameter Uij, say), named by its
// covariance position.
struct ParameterDerivative {
  int position = 0;
  double value = 0;
};

// The covariance of the points' atoms as 3 x 3 coordinate blocks, fetched
// once and shared by every measure of the same atoms: of[k][l] for points
// k <= l, the block of point k's coordinates (rows) with point l's, from
// COVEL of their covariance positions; of[k][k] the atom's own block. Only
// for measures of at most four points.
struct PointBlocks {
  std::array<std::array<const CoordinateBlock*, 4>, 4> of{};
};

// The variance of a measure over `points` (same order as its gradient):
// J C J^T through the cell covariance and `covariance`, with the `extra`
// derivatives. With `blocks`, COVEL of two coordinates is read from them
// instead (the same variance, to the last bit). Below zero only for a
// covariance that is not positive definite.
double propagated_variance(const CellFrame& frame, std::span<const ImagePoint> points, const PointMeasure& measure,
                           const CellCovariance6& cell, const ParameterCovariance& covariance,
                           std::span<const ParameterDerivative> extra = {}, const PointBlocks* blocks = nullptr);
// The same for one gradient (a measure of another room: rings, planes).
double propagated_variance(const CellFrame& frame, std::span<const ImagePoint> points,
                           std::span<const Vec3d> gradient, const CellCovariance6& cell,
                           const ParameterCovariance& covariance, std::span<const ParameterDerivative> extra = {},
                           const PointBlocks* blocks = nullptr);

// The standard uncertainty: the square root of the variance's size.
double propagated_sigma(const CellFrame& frame, std::span<const ImagePoint> points, const PointMeasure& measure,
                        const CellCovariance6& cell, const ParameterCovariance& covariance,
                        const PointBlocks* blocks = nullptr);

constexpr double kDegreesPerRadian = 57.29577951308232;

}  // namespace vesk
