#include "vortan/esd.hpp"

#include <cmath>
#include <cstdlib>

#include "crystal/spacegroup.hpp"
#include "vortan/kept_neighbours.hpp"

namespace vesk {

CellCovariance cell_covariance(PhaseDescription& phase) {
  CellCovariance cell;
  const int laue = phase.group.laue;
  Vec3& abc = phase.abc_sigma;
  Vec3& cosines = phase.cosine_sigma;
  if (laue > kLaueMmm) {  // a = b from the tetragonal classes on
    abc[1] = abc[0];
    cell.at(1, 2) = abc[0] * abc[0];
    const bool rhombohedral = laue == kLaue3barRhombohedral || laue == kLaue3barMRhombohedral;
    if (rhombohedral || laue == kLaueM3bar || laue == kLaueM3barM) {
      // a = b = c is one parameter: with c left free, distances that the
      // symmetry makes equal would get different standard deviations.
      abc[2] = abc[0];
      cell.at(1, 3) = abc[0] * abc[0];
      cell.at(2, 3) = abc[0] * abc[0];
    }
    if (rhombohedral) {
      // Rhombohedral axes: one angle, refined as one parameter.
      cosines[1] = cosines[0];
      cosines[2] = cosines[0];
      const float tie = cosines[0] * cosines[0];
      cell.at(4, 5) = tie;
      cell.at(4, 6) = tie;
      cell.at(5, 6) = tie;
    } else if (hexagonal_axes(laue)) {
      // Hexagonal axes: the angles are fixed by symmetry.
      cosines = {0, 0, 0};
    }
  }
  for (int r = 1; r <= 3; ++r) cell.at(r, r) = abc[r - 1] * abc[r - 1];
  for (int r = 4; r <= 6; ++r) cell.at(r, r) = cosines[r - 4] * cosines[r - 4];
  for (int r = 1; r <= 6; ++r)
    for (int s = r + 1; s <= 6; ++s) cell.at(s, r) = cell.at(r, s);
  return cell;
}

void set_cell_block(WorkCovariance& work, const CellCovariance& cell) {
  for (int r = 1; r <= 6; ++r)
    for (int s = 1; s <= 6; ++s) work.at(r, s) = cell.at(r, s);
}

namespace {

using Mat3d = std::array<std::array<double, 3>, 3>;  // [row][column]

// Below this sine the three atoms are taken to lie on a line: far below what
// 32-bit coordinates can express, far above the rounding of an exact image.
constexpr double kCollinearSine = 1.0E-10;

double dot(const Vec3d& p, const Vec3d& q) { return p[0] * q[0] + p[1] * q[1] + p[2] * q[2]; }

Vec3d cross(const Vec3d& p, const Vec3d& q) {
  return {p[1] * q[2] - p[2] * q[1], p[2] * q[0] - p[0] * q[2], p[0] * q[1] - p[1] * q[0]};
}

Vec3d scaled(const Vec3d& p, double s) { return {p[0] * s, p[1] * s, p[2] * s}; }

Vec3d product(const Mat3d& m, const Vec3d& p) {
  Vec3d out{};
  for (std::size_t i = 0; i < 3; ++i) out[i] = m[i][0] * p[0] + m[i][1] * p[1] + m[i][2] * p[2];
  return out;
}

Vec3d transposed_product(const Mat3d& m, const Vec3d& p) {
  Vec3d out{};
  for (std::size_t j = 0; j < 3; ++j) out[j] = m[0][j] * p[0] + m[1][j] * p[1] + m[2][j] * p[2];
  return out;
}

// R^T g: a gradient with respect to an image carried back to the atom's own
// coordinates (the image is R x + t).
Vec3d transposed_product(const IntMat3& r, const Vec3d& g) {
  Vec3d out{};
  for (std::size_t j = 0; j < 3; ++j) out[j] = r[0][j] * g[0] + r[1][j] * g[1] + r[2][j] * g[2];
  return out;
}

Vec3d difference(const Vec3d& to, const Vec3& from) {
  return {to[0] - static_cast<double>(from[0]), to[1] - static_cast<double>(from[1]),
          to[2] - static_cast<double>(from[2])};
}

// The cell in double precision: the metric tensor G, its derivatives with
// respect to a, b, c, cos(alpha), cos(beta), cos(gamma), and the upper
// triangular orthogonalisation M (Cartesian = M x, M^T M = G).
struct ExactCell {
  double a, b, c, ca, cb, cg;
  Mat3d g{};
  Mat3d m{};

  explicit ExactCell(const PhaseDescription& phase)
      : a(phase.abc[0]), b(phase.abc[1]), c(phase.abc[2]), ca(phase.cosines[0]), cb(phase.cosines[1]),
        cg(phase.cosines[2]) {
    g = {{{a * a, a * b * cg, a * c * cb}, {a * b * cg, b * b, b * c * ca}, {a * c * cb, b * c * ca, c * c}}};
    const double sg = std::sqrt(std::fmax(0.0, 1 - cg * cg));
    const double volume = std::sqrt(std::fmax(0.0, 1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg));
    m = {{{a, b * cg, c * cb}, {0, b * sg, c * (ca - cb * cg) / sg}, {0, 0, c * volume / sg}}};
  }

  // dG / d(parameter k), k = 0..5 in the order of the cell covariance.
  Mat3d metric_derivative(int k) const {
    switch (k) {
      case 0: return {{{2 * a, b * cg, c * cb}, {b * cg, 0, 0}, {c * cb, 0, 0}}};
      case 1: return {{{0, a * cg, 0}, {a * cg, 2 * b, c * ca}, {0, c * ca, 0}}};
      case 2: return {{{0, 0, a * cb}, {0, 0, b * ca}, {a * cb, b * ca, 2 * c}}};
      case 3: return {{{0, 0, 0}, {0, 0, b * c}, {0, b * c, 0}}};
      case 4: return {{{0, 0, a * c}, {0, 0, 0}, {a * c, 0, 0}}};
      default: return {{{0, a * b, 0}, {a * b, 0, 0}, {0, 0, 0}}};
    }
  }

  // M^-1 p by back substitution.
  Vec3d solve(const Vec3d& p) const {
    Vec3d x{};
    x[2] = p[2] / m[2][2];
    x[1] = (p[1] - m[1][2] * x[2]) / m[1][1];
    x[0] = (p[0] - m[0][1] * x[1] - m[0][2] * x[2]) / m[0][0];
    return x;
  }
};

// p^T A q
double bilinear(const Vec3d& p, const Mat3d& a, const Vec3d& q) { return dot(p, product(a, q)); }

}  // namespace

double propagate(const double* derivatives, const WorkCovariance& work, int n) {
  double var = 0;
  for (int r = 1; r <= n; ++r)
    for (int s = 1; s <= n; ++s) var += derivatives[r - 1] * derivatives[s - 1] * static_cast<double>(work.at(r, s));
  return var;
}

DistanceSigma distance_sigma(const PhaseDescription& phase, const Vec3& central, const Vec3& atom, int operator_code,
                             const LatticeTranslation& n, const WorkCovariance& work) {
  const ExactCell cell(phase);
  const SymmetryOperation op = operation_of(phase.group, operator_code, n);
  DistanceSigma result;
  result.image = image_of(op, atom);
  const Vec3d f = difference(result.image, central);
  const double d = std::sqrt(bilinear(f, cell.g, f));
  result.distance = d;
  DistanceDerivatives& out = result.derivatives;
  // d^2 = f^T G f: dd/dp = f^T (dG/dp) f / 2d, dd/df = G f / d.
  for (int k = 0; k < 6; ++k) out[static_cast<std::size_t>(k)] = bilinear(f, cell.metric_derivative(k), f) / (2 * d);
  const Vec3d along = scaled(product(cell.g, f), 1 / d);
  const Vec3d own = transposed_product(op.rotation, along);
  for (std::size_t i = 0; i < 3; ++i) {
    out[6 + i] = -along[i];
    out[9 + i] = own[i];
  }
  const double variance = propagate(out.data(), work, 12);
  result.variance = static_cast<float>(variance);
  result.sigma = static_cast<float>(std::sqrt(std::fabs(variance)));
  return result;
}

namespace {

// d(theta) with respect to the cell, the central atom and the two atoms, for
// the Cartesian gradients gu, gv of theta with respect to the two arms.
std::array<double, 15> angle_derivatives(const ExactCell& cell, const Vec3d& f1, const Vec3d& f2, const Vec3d& gu,
                                         const Vec3d& gv, const IntMat3& r1, const IntMat3& r2) {
  std::array<double, 15> e{};
  // A strain dG moves the arms by dM f with dM = M^-T dG / 2 (up to a
  // rotation, which leaves the angle alone).
  const Vec3d alpha = cell.solve(gu), beta = cell.solve(gv);
  for (int k = 0; k < 6; ++k) {
    const Mat3d dg = cell.metric_derivative(k);
    e[static_cast<std::size_t>(k)] = 0.5 * (bilinear(alpha, dg, f1) + bilinear(beta, dg, f2));
  }
  const Vec3d h1 = transposed_product(cell.m, gu), h2 = transposed_product(cell.m, gv);
  const Vec3d own1 = transposed_product(r1, h1), own2 = transposed_product(r2, h2);
  for (std::size_t i = 0; i < 3; ++i) {
    e[6 + i] = -(h1[i] + h2[i]);
    e[9 + i] = own1[i];
    e[12 + i] = own2[i];
  }
  return e;
}

// Two unit vectors perpendicular to the unit vector u and to each other.
std::array<Vec3d, 2> perpendiculars(const Vec3d& u) {
  // Start from the axis least parallel to u.
  Vec3d axis{0, 0, 0};
  std::size_t smallest = 0;
  for (std::size_t i = 1; i < 3; ++i)
    if (std::fabs(u[i]) < std::fabs(u[smallest])) smallest = i;
  axis[smallest] = 1;
  Vec3d p = cross(u, axis);
  p = scaled(p, 1 / std::sqrt(dot(p, p)));
  return {p, cross(u, p)};
}

}  // namespace

Angle bond_angle(const PhaseDescription& phase, const Vec3& central, const NeighbourEntry& first,
                 const NeighbourEntry& second, const WorkCovariance& work, float degrees_per_radian) {
  const ExactCell cell(phase);
  const Vec3d f1 = difference(first.image, central), f2 = difference(second.image, central);
  const Vec3d u = product(cell.m, f1), v = product(cell.m, f2);
  const double lu = std::sqrt(dot(u, u)), lv = std::sqrt(dot(v, v));
  const Vec3d normal = cross(u, v);
  const double sine_part = std::sqrt(dot(normal, normal));
  const double theta = std::atan2(sine_part, dot(u, v));
  const IntMat3 r1 = operation_of(phase.group, first.code, first.n).rotation;
  const IntMat3 r2 = operation_of(phase.group, second.code, second.n).rotation;
  const Vec3d unit_u = scaled(u, 1 / lu), unit_v = scaled(v, 1 / lv);

  // Turning an arm about the plane's normal n changes theta by the turn:
  // d theta / du = -(n x u^) / |u|, d theta / dv = (n x v^) / |v|.
  auto variance_for = [&](const Vec3d& n) {
    const Vec3d gu = scaled(cross(n, unit_u), -1 / lu), gv = scaled(cross(n, unit_v), 1 / lv);
    const std::array<double, 15> e = angle_derivatives(cell, f1, f2, gu, gv, r1, r2);
    return propagate(e.data(), work, 15);
  };
  double var = 0;
  if (sine_part > kCollinearSine * lu * lv) {
    var = variance_for(scaled(normal, 1 / sine_part));
  } else {
    const std::array<Vec3d, 2> bends = perpendiculars(unit_u);
    var = 0.5 * (variance_for(bends[0]) + variance_for(bends[1]));
  }
  if (var < 0) var = 0;
  const double per_radian = degrees_per_radian;
  Angle angle;
  angle.degrees = static_cast<float>(theta * per_radian);
  angle.sigma = static_cast<float>(per_radian * std::sqrt(var));
  angle.cosine = static_cast<float>(std::cos(theta));
  return angle;
}

}  // namespace vesk
