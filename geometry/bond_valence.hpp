// Bond valences s = exp((R0 - R) / b) (Brown & Altermatt, Acta Cryst. B41
// (1985) 244), the bond-valence sum of an atom over its bonds, its deviation
// from the formal valence, and the global instability index
//   GII = sqrt( sum_i w_i d_i^2 / sum_i w_i ),  d_i = V_i - |q_i|
// over the atoms of the asymmetric unit, w_i their site multiplicities
// (Salinas-Sanchez et al., J. Solid State Chem. 100 (1992) 201).
//
// Each is a PointMeasure over Cartesian points: the sum over the atom and
// all its ligand images at once, so the distances of one polyhedron, which
// share the centre and are correlated through the refinement, are
// propagated together.
#pragma once
#include <cstddef>
#include <span>
#include <vector>

#include "geometry/points_measure.hpp"

namespace vesk {

struct ValenceParameters {
  double r0 = 0.0;  // Angstrom
  double b = 0.37;  // Angstrom
};

double bond_valence(double distance, const ValenceParameters& p);
// ds/dR = -s / b
double bond_valence_derivative(double distance, const ValenceParameters& p);

// points[0] the atom, points[1..n] its bonded neighbours (images), one
// parameter pair per bond. The gradient has one entry per point.
PointMeasure bond_valence_sum(std::span<const Point3d> points, std::span<const ValenceParameters> bonds);

// The sum minus |oxidation_state|: positive for an over-bonded atom, for
// cations and anions alike.
PointMeasure valence_deviation(std::span<const Point3d> points, std::span<const ValenceParameters> bonds,
                                int oxidation_state);

// One atom of the asymmetric unit in the GII: its deviation (a measure over
// its own points) and, for each of those points, the index of that point in
// the caller's common list of all points of the phase.
struct SiteDeviation {
  PointMeasure deviation;
  std::vector<std::size_t> point_index;  // same length as deviation.gradient
  double weight = 1.0;                   // site multiplicity (times occupancy if wanted)
};

// The GII with its gradient over the common list of point_count points. A
// zero GII gets a zero gradient (the root is not differentiable there).
// Throws vesk::Error when a point index is out of range or the weights sum
// to zero.
PointMeasure global_instability_index(std::span<const SiteDeviation> sites, std::size_t point_count);

}  // namespace vesk
