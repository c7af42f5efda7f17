#include "geometry/polyhedra.hpp"

#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

extern "C" {
#include <libqhull_r/qhull_ra.h>
}

#include "recio/error.hpp"

namespace vesk {

namespace {

constexpr double degrees_per_radian = 180.0 / std::numbers::pi;

double length(const Point3d& u) { return std::sqrt(dot(u, u)); }

// Bond lengths l_i and their unit vectors (centre -> ligand i).
struct Bonds {
  std::vector<double> lengths;
  std::vector<Point3d> directions;
};

Bonds bonds_of(std::span<const Point3d> points, const char* measure) {
  if (points.size() < 2) throw Error(std::string(measure) + ": a polyhedron without ligands");
  Bonds bonds;
  for (std::size_t k = 1; k < points.size(); ++k) {
    Point3d u = points[k] - points[0];
    double l = length(u);
    if (l == 0.0) throw Error(std::string(measure) + ": a ligand on the central atom");
    bonds.lengths.push_back(l);
    bonds.directions.push_back((1.0 / l) * u);
  }
  return bonds;
}

// The gradient of f = sum_i c_i l_i over all points.
std::vector<Point3d> length_gradient(const Bonds& bonds, std::span<const double> coefficients) {
  std::vector<Point3d> gradient(bonds.lengths.size() + 1, Point3d{});
  for (std::size_t i = 0; i < bonds.lengths.size(); ++i) {
    add_to(gradient[i + 1], bonds.directions[i], coefficients[i]);
    add_to(gradient[0], bonds.directions[i], -coefficients[i]);
  }
  return gradient;
}

// Triangles of the ligands' hull as indices into the ligand list, each
// ordered so that (b - a) x (c - a) points outwards.
std::vector<std::array<int, 3>> hull_triangles(std::span<const Point3d> ligands, const Point3d& inside) {
  // Relative to the interior point, for qhull's precision with cells far
  // from the origin.
  std::vector<coordT> coordinates(3 * ligands.size());
  for (std::size_t k = 0; k < ligands.size(); ++k)
    for (int j = 0; j < 3; ++j) coordinates[3 * k + j] = ligands[k][j] - inside[j];

  qhT state;
  qhT* qh = &state;
  qh_zero(qh, stderr);
  char options[] = "qhull Qt";
  int status = qh_new_qhull(qh, 3, static_cast<int>(ligands.size()), coordinates.data(), False, options, nullptr, stderr);
  std::vector<std::array<int, 3>> triangles;
  if (status == 0) {
    facetT* facet;
    FORALLfacets {
      std::array<int, 3> triangle{};
      int count = 0;
      vertexT *vertex, **vertexp;
      FOREACHvertex_(facet->vertices) {
        if (count < 3) triangle[count] = qh_pointid(qh, vertex->point);
        ++count;
      }
      if (count != 3) {
        status = -1;
        break;
      }
      // Outwards by qhull's facet normal (a triangle of a merged coplanar
      // facet keeps that facet's normal), which holds for a sliver too,
      // where the sign of the triple product is noise.
      Point3d a = ligands[triangle[0]] - inside, b = ligands[triangle[1]] - inside, c = ligands[triangle[2]] - inside;
      double turn = facet->normal ? dot(Point3d{facet->normal[0], facet->normal[1], facet->normal[2]}, cross(b - a, c - a))
                                  : dot(a, cross(b, c));
      if (turn < 0.0) std::swap(triangle[1], triangle[2]);
      triangles.push_back(triangle);
    }
  }
  qh_freeqhull(qh, !qh_ALL);
  int still_long = 0, total_long = 0;
  qh_memfreeshort(qh, &still_long, &total_long);
  if (status != 0) throw Error("polyhedron volume: qhull could not build the hull of " + std::to_string(ligands.size()) + " ligands");
  return triangles;
}

// True when the points span a solid: the largest tetrahedron on them has a
// volume above a tiny fraction of the cube of their extent.
bool spans_a_solid(std::span<const Point3d> ligands) {
  if (ligands.size() < 4) return false;
  double extent = 0.0;
  for (const Point3d& p : ligands) extent = std::max(extent, length(p - ligands[0]));
  // The farthest point from the first, then the farthest from that line,
  // then the farthest from that plane.
  std::size_t b = 0;
  for (std::size_t k = 1; k < ligands.size(); ++k)
    if (length(ligands[k] - ligands[0]) > length(ligands[b] - ligands[0])) b = k;
  Point3d ab = ligands[b] - ligands[0];
  std::size_t c = 0;
  double widest = 0.0;
  for (std::size_t k = 0; k < ligands.size(); ++k) {
    double area = length(cross(ab, ligands[k] - ligands[0]));
    if (area > widest) widest = area, c = k;
  }
  Point3d normal = cross(ab, ligands[c] - ligands[0]);
  double tallest = 0.0;
  for (const Point3d& p : ligands) tallest = std::max(tallest, std::abs(dot(normal, p - ligands[0])));
  return tallest > 1e-9 * extent * extent * extent;
}

// 4 or 6 ligands, and the 4 a tetrahedron as the header says.
bool tetrahedron_or_octahedron(std::span<const Point3d> points) {
  if (points.size() == 7) return true;
  if (points.size() != 5) return false;
  double mean = mean_bond_length(points).value;
  double regular = 8.0 * mean * mean * mean / (9.0 * std::sqrt(3.0));
  return polyhedron_volume(points).value >= 0.5 * regular;
}

}  // namespace

PointMeasure mean_bond_length(std::span<const Point3d> points) {
  Bonds bonds = bonds_of(points, "mean bond length");
  double n = static_cast<double>(bonds.lengths.size());
  PointMeasure mean;
  for (double l : bonds.lengths) mean.value += l / n;
  std::vector<double> coefficients(bonds.lengths.size(), 1.0 / n);
  mean.gradient = length_gradient(bonds, coefficients);
  return mean;
}

PointMeasure polyhedron_volume(std::span<const Point3d> points) {
  if (points.empty()) throw Error("polyhedron volume: no points");
  PointMeasure volume;
  volume.gradient.assign(points.size(), Point3d{});
  std::span<const Point3d> ligands = points.subspan(1);
  if (!spans_a_solid(ligands)) return volume;
  Point3d inside{};
  for (const Point3d& p : ligands) add_to(inside, p, 1.0 / static_cast<double>(ligands.size()));
  for (const std::array<int, 3>& t : hull_triangles(ligands, inside)) {
    // Relative to the interior point; the sum over a closed surface does not
    // depend on the reference, so neither does the gradient.
    Point3d a = ligands[t[0]] - inside, b = ligands[t[1]] - inside, c = ligands[t[2]] - inside;
    volume.value += dot(a, cross(b, c)) / 6.0;
    add_to(volume.gradient[t[0] + 1], cross(b, c), 1.0 / 6.0);
    add_to(volume.gradient[t[1] + 1], cross(c, a), 1.0 / 6.0);
    add_to(volume.gradient[t[2] + 1], cross(a, b), 1.0 / 6.0);
  }
  return volume;
}

PointMeasure distortion_index(std::span<const Point3d> points) {
  Bonds bonds = bonds_of(points, "distortion index");
  std::size_t count = bonds.lengths.size();
  double n = static_cast<double>(count);
  double mean = 0.0;
  for (double l : bonds.lengths) mean += l / n;
  double spread = 0.0, signs = 0.0;
  std::vector<double> sign(count);
  for (std::size_t i = 0; i < count; ++i) {
    double d = bonds.lengths[i] - mean;
    spread += std::abs(d);
    sign[i] = d > 0.0 ? 1.0 : d < 0.0 ? -1.0 : 0.0;
    signs += sign[i];
  }
  PointMeasure index;
  index.value = spread / (n * mean);
  // A = sum |l_i - <l>|: dA/dl_j = s_j - (1/n) sum s_i; D = A / (n <l>).
  std::vector<double> coefficients(count);
  for (std::size_t j = 0; j < count; ++j)
    coefficients[j] = (sign[j] - signs / n) / (n * mean) - spread / (n * mean * mean) / n;
  index.gradient = length_gradient(bonds, coefficients);
  return index;
}

std::optional<PointMeasure> quadratic_elongation(std::span<const Point3d> points) {
  if (!tetrahedron_or_octahedron(points)) return std::nullopt;
  std::size_t count = points.size() - 1;
  PointMeasure volume = polyhedron_volume(points);
  if (!(volume.value > 0.0)) return std::nullopt;
  double shape = count == 4 ? 9.0 * std::sqrt(3.0) / 8.0 : 3.0 / 4.0;  // l_0^3 = shape V
  double l0_squared = std::pow(shape * volume.value, 2.0 / 3.0);
  Bonds bonds = bonds_of(points, "quadratic elongation");
  double n = static_cast<double>(count);
  PointMeasure elongation;
  std::vector<double> coefficients(count);
  for (std::size_t i = 0; i < count; ++i) {
    elongation.value += bonds.lengths[i] * bonds.lengths[i] / (n * l0_squared);
    coefficients[i] = 2.0 * bonds.lengths[i] / (n * l0_squared);
  }
  elongation.gradient = length_gradient(bonds, coefficients);
  // l_0^2 grows as V^(2/3): d<lambda> = ... - (2/3) <lambda> dV / V
  for (std::size_t k = 0; k < points.size(); ++k)
    add_to(elongation.gradient[k], volume.gradient[k], -2.0 / 3.0 * elongation.value / volume.value);
  return elongation;
}

PointMeasure bond_angle(const Point3d& centre, const Point3d& a, const Point3d& b) {
  Point3d u = a - centre, v = b - centre;
  double lu = length(u), lv = length(v);
  if (lu == 0.0 || lv == 0.0) throw Error("bond angle: a ligand on the central atom");
  double sine = length(cross(u, v)) / (lu * lv), cosine = dot(u, v) / (lu * lv);
  PointMeasure angle;
  angle.value = std::atan2(sine, cosine) * degrees_per_radian;
  angle.gradient.assign(3, Point3d{});
  if (sine == 0.0) return angle;  // straight or folded: no direction to turn in
  // d theta / du = (cos u^ - v^) / (|u| sin), likewise for v
  Point3d du = (degrees_per_radian / (lu * sine)) * ((cosine / lu) * u - (1.0 / lv) * v);
  Point3d dv = (degrees_per_radian / (lv * sine)) * ((cosine / lv) * v - (1.0 / lu) * u);
  angle.gradient[1] = du;
  angle.gradient[2] = dv;
  angle.gradient[0] = -1.0 * (du + dv);
  return angle;
}

std::optional<PointMeasure> bond_angle_variance(std::span<const Point3d> points) {
  if (!tetrahedron_or_octahedron(points)) return std::nullopt;
  std::size_t count = points.size() - 1;
  struct Angle {
    PointMeasure measure;
    std::size_t first, second;  // point indices
  };
  std::vector<Angle> angles;
  for (std::size_t i = 1; i <= count; ++i)
    for (std::size_t j = i + 1; j <= count; ++j) angles.push_back({bond_angle(points[0], points[i], points[j]), i, j});
  double ideal = std::acos(-1.0 / 3.0) * degrees_per_radian;
  if (count == 6) {
    std::stable_sort(angles.begin(), angles.end(),
                     [](const Angle& x, const Angle& y) { return x.measure.value < y.measure.value; });
    angles.resize(12);
    ideal = 90.0;
  }
  double m = static_cast<double>(angles.size());
  PointMeasure variance;
  variance.gradient.assign(points.size(), Point3d{});
  for (const Angle& angle : angles) {
    double d = angle.measure.value - ideal;
    variance.value += d * d / (m - 1.0);
    double factor = 2.0 * d / (m - 1.0);
    add_to(variance.gradient[0], angle.measure.gradient[0], factor);
    add_to(variance.gradient[angle.first], angle.measure.gradient[1], factor);
    add_to(variance.gradient[angle.second], angle.measure.gradient[2], factor);
  }
  return variance;
}

PolyhedronMeasures measure_polyhedron(std::span<const Point3d> points) {
  PolyhedronMeasures m;
  m.coordination_number = static_cast<int>(points.size()) - 1;
  m.mean_bond = mean_bond_length(points);
  m.volume = polyhedron_volume(points);
  m.distortion_index = distortion_index(points);
  m.quadratic_elongation = quadratic_elongation(points);
  m.angle_variance = bond_angle_variance(points);
  return m;
}

const char* sharing_name(SharingKind kind) {
  switch (kind) {
    case SharingKind::corner: return "corner";
    case SharingKind::edge: return "edge";
    case SharingKind::face: return "face";
    case SharingKind::none: break;
  }
  return "";
}

}  // namespace vesk
