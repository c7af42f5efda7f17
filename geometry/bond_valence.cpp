#include "geometry/bond_valence.hpp"

#include <cmath>
#include <string>

#include "recio/error.hpp"

namespace vesk {

double bond_valence(double distance, const ValenceParameters& p) { return std::exp((p.r0 - distance) / p.b); }

double bond_valence_derivative(double distance, const ValenceParameters& p) { return -bond_valence(distance, p) / p.b; }

PointMeasure bond_valence_sum(std::span<const Point3d> points, std::span<const ValenceParameters> bonds) {
  if (points.size() != bonds.size() + 1)
    throw Error("bond-valence sum: " + std::to_string(points.size()) + " points for " + std::to_string(bonds.size()) + " bonds");
  PointMeasure sum;
  sum.gradient.assign(points.size(), Point3d{});
  for (std::size_t k = 0; k < bonds.size(); ++k) {
    Point3d u = points[k + 1] - points[0];
    double r = std::sqrt(dot(u, u));
    if (r == 0.0) throw Error("bond-valence sum: a neighbour on the atom itself");
    sum.value += bond_valence(r, bonds[k]);
    // dR/d(ligand) = u / R, dR/d(centre) = -u / R
    double slope = bond_valence_derivative(r, bonds[k]) / r;
    add_to(sum.gradient[k + 1], u, slope);
    add_to(sum.gradient[0], u, -slope);
  }
  return sum;
}

PointMeasure valence_deviation(std::span<const Point3d> points, std::span<const ValenceParameters> bonds,
                                int oxidation_state) {
  PointMeasure deviation = bond_valence_sum(points, bonds);
  deviation.value -= std::abs(oxidation_state);
  return deviation;
}

PointMeasure global_instability_index(std::span<const SiteDeviation> sites, std::size_t point_count) {
  double weights = 0.0, squares = 0.0;
  for (const SiteDeviation& site : sites) {
    if (site.point_index.size() != site.deviation.gradient.size())
      throw Error("global instability index: a site with " + std::to_string(site.point_index.size()) + " point indices for " +
                  std::to_string(site.deviation.gradient.size()) + " points");
    weights += site.weight;
    squares += site.weight * site.deviation.value * site.deviation.value;
  }
  if (!(weights > 0.0)) throw Error("global instability index: the site weights sum to zero");
  PointMeasure gii;
  gii.value = std::sqrt(squares / weights);
  gii.gradient.assign(point_count, Point3d{});
  if (gii.value == 0.0) return gii;
  // d GII = sum_i w_i d_i dd_i / (W GII)
  for (const SiteDeviation& site : sites) {
    double factor = site.weight * site.deviation.value / (weights * gii.value);
    for (std::size_t k = 0; k < site.point_index.size(); ++k) {
      if (site.point_index[k] >= point_count)
        throw Error("global instability index: point index " + std::to_string(site.point_index[k]) + " beyond the " +
                    std::to_string(point_count) + " points");
      add_to(gii.gradient[site.point_index[k]], site.deviation.gradient[k], factor);
    }
  }
  return gii;
}

}  // namespace vesk
