// Measures of a coordination polyhedron: a central atom and its ligands,
// given as Cartesian points with points[0] the centre and points[1..n] the
// ligand images. Each measure comes with its gradient over all the points.
//
//   mean bond length     <l> = (1/n) sum l_i
//   volume               of the convex hull of the ligands (qhull); the
//                        centre does not enter it
//   distortion index     D = (1/n) sum |l_i - <l>| / <l>
//                        (Baur, Acta Cryst. B30 (1974) 1195)
//   quadratic elongation <lambda> = (1/n) sum (l_i / l_0)^2
//   bond-angle variance  sigma^2 = sum (theta_i - theta_0)^2 / (m - 1)
//                        (Robinson, Gibbs & Ribbe, Science 172 (1971) 567)
//
// The last two are defined for tetrahedra (n = 4; m = 6 angles, theta_0 the
// tetrahedral angle arccos(-1/3)) and octahedra (n = 6; the m = 12 cis
// angles, theta_0 = 90 degrees; the three widest of the 15 angles, the
// trans pairs, are left out). l_0 is the centre-to-vertex distance
// of the regular polyhedron of the same volume V:
//   tetrahedron  V = 8 l_0^3 / (9 sqrt 3)  ->  l_0 = (9 sqrt(3) V / 8)^(1/3)
//   octahedron   V = 4 l_0^3 / 3           ->  l_0 = (3 V / 4)^(1/3)
// (edge a = l_0 sqrt(8/3), V = a^3 / (6 sqrt 2) for the tetrahedron; three
// perpendicular diagonals of length 2 l_0 for the octahedron).
// Angles are in degrees, the variance in square degrees.
#pragma once
#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>

#include "geometry/points_measure.hpp"

namespace vesk {

PointMeasure mean_bond_length(std::span<const Point3d> points);

// The hull volume with its gradient: the hull's triangulated surface,
// oriented outwards, encloses V = sum over its triangles (a, b, c) of
// a . (b x c) / 6, so dV/da = (b x c) / 6 summed over the triangles at a.
// Fewer than four ligands, or all of them in one plane, give 0 with a zero
// gradient. Throws vesk::Error when qhull fails otherwise.
PointMeasure polyhedron_volume(std::span<const Point3d> points);

PointMeasure distortion_index(std::span<const Point3d> points);

// nullopt unless the polyhedron has 6 ligands, or 4 that make a
// tetrahedron: a volume of at least half the regular tetrahedron's with the
// same mean bond length (a square-planar or sawhorse four has none to speak
// of, and its l_0 would be meaningless).
std::optional<PointMeasure> quadratic_elongation(std::span<const Point3d> points);
std::optional<PointMeasure> bond_angle_variance(std::span<const Point3d> points);

// All of the above for one polyhedron (points[0] its centre).
struct PolyhedronMeasures {
  int coordination_number = 0;
  PointMeasure mean_bond;
  PointMeasure volume;
  PointMeasure distortion_index;
  std::optional<PointMeasure> quadratic_elongation;  // tetrahedra and octahedra
  std::optional<PointMeasure> angle_variance;
};
PolyhedronMeasures measure_polyhedron(std::span<const Point3d> points);

// The angle ligand a - centre - ligand b in degrees, with its gradient over
// (centre, a, b).
PointMeasure bond_angle(const Point3d& centre, const Point3d& a, const Point3d& b);

enum class SharingKind { none, corner, edge, face };

// Two polyhedra share a corner, an edge or a face when they have one, two,
// or three and more ligands in common; a ligand is named by whatever
// identifies one image of one atom to the caller (atom and symmetry code).
template <class LigandIdentity>
SharingKind polyhedra_sharing(std::span<const LigandIdentity> first, std::span<const LigandIdentity> second) {
  std::size_t common = 0;
  for (const LigandIdentity& ligand : first)
    if (std::find(second.begin(), second.end(), ligand) != second.end()) ++common;
  return common == 0 ? SharingKind::none : common == 1 ? SharingKind::corner : common == 2 ? SharingKind::edge : SharingKind::face;
}

const char* sharing_name(SharingKind kind);  // "corner", "edge", "face", "" for none

}  // namespace vesk
