#include "geometry/measure.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "recio/error.hpp"

namespace vesk {

namespace {

Vec3d sub(const Vec3d& p, const Vec3d& q) { return {p[0] - q[0], p[1] - q[1], p[2] - q[2]}; }
Vec3d scale(const Vec3d& p, double s) { return {p[0] * s, p[1] * s, p[2] * s}; }
Vec3d add(const Vec3d& p, const Vec3d& q) { return {p[0] + q[0], p[1] + q[1], p[2] + q[2]}; }
double dot(const Vec3d& p, const Vec3d& q) { return p[0] * q[0] + p[1] * q[1] + p[2] * q[2]; }
Vec3d cross(const Vec3d& p, const Vec3d& q) {
  return {p[1] * q[2] - p[2] * q[1], p[2] * q[0] - p[0] * q[2], p[0] * q[1] - p[1] * q[0]};
}
double norm(const Vec3d& p) { return std::sqrt(dot(p, p)); }

Vec3d times(const CellFrame::Mat3d& m, const Vec3d& x) {
  Vec3d r{};
  for (int i = 0; i < 3; ++i) r[i] = m[i][0] * x[0] + m[i][1] * x[1] + m[i][2] * x[2];
  return r;
}

// Below this sine a chain is linear and its torsion undefined: well inside
// what a 32-bit coordinate can place off a line.
constexpr double kLinearSine = 1.0E-7;
// Below this sine the three atoms of an angle are taken to lie on a line:
// far below what 32-bit coordinates can express, far above the rounding of
// an exact image.
constexpr double kCollinearSine = 1.0E-10;

// Two unit vectors perpendicular to the unit vector u and to each other.
std::array<Vec3d, 2> perpendiculars(const Vec3d& u) {
  // Start from the axis least parallel to u.
  Vec3d axis{0, 0, 0};
  std::size_t smallest = 0;
  for (std::size_t i = 1; i < 3; ++i)
    if (std::fabs(u[i]) < std::fabs(u[smallest])) smallest = i;
  axis[smallest] = 1;
  const Vec3d p = cross(u, axis);
  const Vec3d unit = scale(p, 1 / norm(p));
  return {unit, cross(u, unit)};
}
// Below this tangent a torsion angle is 0 or 180 degrees: double rounding of
// exact images, far below what a 32-bit coordinate can resolve.
constexpr double kPlanar = 1.0E-12;

}  // namespace

CellFrame cell_frame(const Vec3& abc, const Vec3& cosines) {
  CellFrame f;
  const double a = abc[0], b = abc[1], c = abc[2];
  const double ca = cosines[0], cb = cosines[1], cg = cosines[2];
  const double sg2 = 1 - cg * cg;
  if (!(a > 0 && b > 0 && c > 0 && sg2 > 0)) return f;
  const double sg = std::sqrt(sg2);
  const double u23 = (ca - cb * cg) / sg;
  const double w2 = 1 - cb * cb - u23 * u23;
  if (!(w2 > 0)) return f;
  const double w = std::sqrt(w2);
  f.m = {{{a, b * cg, c * cb}, {0, b * sg, c * u23}, {0, 0, c * w}}};
  // d/da, d/db, d/dc: one column each.
  f.dm[0][0][0] = 1;
  f.dm[1][0][1] = cg;
  f.dm[1][1][1] = sg;
  f.dm[2][0][2] = cb;
  f.dm[2][1][2] = u23;
  f.dm[2][2][2] = w;
  // d/dcos(alpha)
  double du = 1 / sg;
  f.dm[3][1][2] = c * du;
  f.dm[3][2][2] = c * (-u23 * du / w);
  // d/dcos(beta)
  du = -cg / sg;
  f.dm[4][0][2] = c;
  f.dm[4][1][2] = c * du;
  f.dm[4][2][2] = c * ((-cb - u23 * du) / w);
  // d/dcos(gamma)
  du = -cb / sg + u23 * cg / sg2;
  f.dm[5][0][1] = b;
  f.dm[5][1][1] = -b * cg / sg;
  f.dm[5][1][2] = c * du;
  f.dm[5][2][2] = c * (-u23 * du / w);
  f.usable = true;
  return f;
}

Vec3d cartesian(const CellFrame& frame, const Vec3d& fractional) { return times(frame.m, fractional); }

ImagePoint image_point(const CellFrame& frame, int atom, const Vec3& own, const SymmetryOperation& op,
                       const std::array<int, 3>& positions) {
  ImagePoint p;
  p.atom = atom;
  p.op = op;
  p.x = image_of(op, own);
  p.cart = cartesian(frame, p.x);
  p.positions = positions;
  return p;
}

PointMeasure measure_distance(const CellFrame& frame, const ImagePoint& p, const ImagePoint& q) {
  PointMeasure m;
  const Vec3d d = times(frame.m, sub(p.x, q.x));
  m.value = norm(d);
  const Vec3d g = m.value > 0 ? scale(d, 1 / m.value) : Vec3d{};
  m.gradient = {g, scale(g, -1)};
  return m;
}

PointMeasure measure_angle(const CellFrame& frame, const ImagePoint& p, const ImagePoint& vertex, const ImagePoint& q) {
  PointMeasure m;
  const Vec3d u = times(frame.m, sub(p.x, vertex.x));
  const Vec3d v = times(frame.m, sub(q.x, vertex.x));
  const double lu = norm(u), lv = norm(v);
  const Vec3d normal = cross(u, v);
  const double sine_part = norm(normal);
  m.value = std::atan2(sine_part, dot(u, v));
  m.gradient.assign(3, Vec3d{});
  if (!(lu > 0 && lv > 0)) return m;
  const Vec3d unit_u = scale(u, 1 / lu), unit_v = scale(v, 1 / lv);
  // Turning an arm about the plane's normal n changes the angle by the
  // turn: d/du = -(n x u^) / |u|, d/dv = (n x v^) / |v|.
  auto bend = [&](const Vec3d& n, std::vector<Vec3d>& gradient) {
    gradient.assign(3, Vec3d{});
    gradient[0] = scale(cross(n, unit_u), -1 / lu);
    gradient[2] = scale(cross(n, unit_v), 1 / lv);
    gradient[1] = scale(add(gradient[0], gradient[2]), -1);
  };
  if (sine_part > kCollinearSine * lu * lv) {
    bend(scale(normal, 1 / sine_part), m.gradient);
  } else {
    const std::array<Vec3d, 2> bends = perpendiculars(unit_u);
    bend(bends[0], m.gradient);
    bend(bends[1], m.crosswise);
  }
  return m;
}

PointMeasure measure_torsion(const ImagePoint& a, const ImagePoint& b, const ImagePoint& c, const ImagePoint& d) {
  PointMeasure m;
  const Vec3d f = sub(a.cart, b.cart), g = sub(b.cart, c.cart), h = sub(d.cart, c.cart);
  const Vec3d n1 = cross(f, g), n2 = cross(h, g);
  const double lg = norm(g);
  const double n1sq = dot(n1, n1), n2sq = dot(n2, n2);
  if (!(lg > 0) || std::sqrt(n1sq) < kLinearSine * norm(f) * lg || std::sqrt(n2sq) < kLinearSine * norm(h) * lg) {
    m.defined = false;
    return m;
  }
  m.gradient.resize(4);
  // With b1 = b - a, b2 = c - b, b3 = d - c: atan2(|b2| b1 . (b2 x b3), (b1 x b2) . (b2 x b3)).
  const Vec3d b1 = scale(f, -1), b2 = scale(g, -1);
  const double y = lg * dot(b1, cross(b2, h)), x = dot(cross(b1, b2), cross(b2, h));
  // A torsion angle that the symmetry makes 0 or 180 degrees comes out as
  // such, not as -0 or -180 from the rounding of the images.
  m.value = std::fabs(y) <= kPlanar * std::fabs(x) ? (x < 0 ? M_PI : 0.0) : std::atan2(y, x);
  const Vec3d ga = scale(n1, -lg / n1sq);
  const Vec3d gd = scale(n2, lg / n2sq);
  const Vec3d p = scale(n1, dot(f, g) / (n1sq * lg));
  const Vec3d q = scale(n2, dot(h, g) / (n2sq * lg));
  m.gradient[0] = ga;
  m.gradient[1] = sub(add(scale(ga, -1), p), q);
  m.gradient[2] = sub(sub(q, p), gd);
  m.gradient[3] = gd;
  return m;
}

namespace {

// One refined parameter of a measure: its covariance position, the
// derivative, and the point and coordinate it was first met at (point -1:
// a parameter of `extra`).
struct ParameterTerm {
  int position = 0;
  double derivative = 0;
  int point = 0;
  int coordinate = 0;
};

// J C J^T with the cell part first, then the parameters in the order they
// are met. Two images of one atom (one covariance position) add up to one
// term. With `blocks`, the parameters are those of every point in turn (x,
// y, z each) when no two points share a position, none is 0 and there is no
// extra derivative: the covariance of parameters p = 3k + r and q = 3l + s
// is then element (r, s) of block (k, l), read row by row in the same order
// as the general sum.
double variance_of(const CellFrame& frame, std::span<const ImagePoint> points, std::span<const Vec3d> gradient,
                   const CellCovariance6& cell, const ParameterCovariance& covariance,
                   std::span<const ParameterDerivative> extra, const PointBlocks* blocks) {
  std::array<double, 6> dcell{};
  // Room for four points without a heap allocation, the common case.
  std::array<ParameterTerm, 12> small;
  std::vector<ParameterTerm> large;
  const std::size_t room = 3 * points.size() + extra.size();
  if (room > small.size()) large.resize(room);
  ParameterTerm* terms = room > small.size() ? large.data() : small.data();
  std::size_t count = 0;
  auto add_parameter = [terms, &count](int position, double value, int point, int coordinate) {
    if (position == 0) return;
    for (std::size_t k = 0; k < count; ++k)
      if (terms[k].position == position) {
        terms[k].derivative += value;
        return;
      }
    terms[count++] = ParameterTerm{position, value, point, coordinate};
  };
  for (std::size_t k = 0; k < points.size(); ++k) {
    const Vec3d& g = gradient[k];
    const ImagePoint& point = points[k];
    for (std::size_t c = 0; c < 6; ++c) dcell[c] += dot(g, times(frame.dm[c], point.x));
    // dX/dx' = M, dx'/dx = R: the own-coordinate gradient is R^T M^T g.
    Vec3d mg{};
    for (std::size_t j = 0; j < 3; ++j) mg[j] = frame.m[0][j] * g[0] + frame.m[1][j] * g[1] + frame.m[2][j] * g[2];
    for (std::size_t j = 0; j < 3; ++j) {
      double own = 0;
      for (std::size_t i = 0; i < 3; ++i) own += point.op.rotation[i][j] * mg[i];
      add_parameter(point.positions[j], own, static_cast<int>(k), static_cast<int>(j));
    }
  }
  for (const ParameterDerivative& e : extra) add_parameter(e.position, e.value, -1, 0);
  double variance = 0;
  for (std::size_t r = 0; r < 6; ++r)
    for (std::size_t s = 0; s < 6; ++s) variance += dcell[r] * dcell[s] * cell[r][s];
  const std::size_t n = points.size();
  bool regular = blocks != nullptr && n <= 4 && count == 3 * n;
  for (std::size_t p = 0; regular && p < count; ++p)
    regular = static_cast<std::size_t>(terms[p].point) == p / 3 && static_cast<std::size_t>(terms[p].coordinate) == p % 3;
  if (regular) {
    for (std::size_t k = 0; k < n; ++k)
      for (std::size_t r = 0; r < 3; ++r) {
        const double dp = terms[3 * k + r].derivative;
        for (std::size_t l = 0; l < n; ++l) {
          // Row r of block (k, l), or column r of block (l, k).
          const float* row = k <= l ? blocks->of[k][l]->data() + 3 * r : blocks->of[l][k]->data() + r;
          const std::size_t step = k <= l ? 1 : 3;
          const ParameterTerm* q = &terms[3 * l];
          variance += dp * q[0].derivative * static_cast<double>(row[0]);
          variance += dp * q[1].derivative * static_cast<double>(row[step]);
          variance += dp * q[2].derivative * static_cast<double>(row[2 * step]);
        }
      }
    return variance;
  }
  for (std::size_t p = 0; p < count; ++p)
    for (std::size_t q = 0; q < count; ++q)
      if (covariance) variance += terms[p].derivative * terms[q].derivative * covariance(terms[p].position, terms[q].position);
  return variance;
}

}  // namespace

double propagated_variance(const CellFrame& frame, std::span<const ImagePoint> points, std::span<const Vec3d> gradient,
                           const CellCovariance6& cell, const ParameterCovariance& covariance,
                           std::span<const ParameterDerivative> extra, const PointBlocks* blocks) {
  if (gradient.size() != points.size())
    throw Error("A measure of " + std::to_string(points.size()) + " points came with a gradient of " +
                std::to_string(gradient.size()));
  return variance_of(frame, points, gradient, cell, covariance, extra, blocks);
}

double propagated_variance(const CellFrame& frame, std::span<const ImagePoint> points, const PointMeasure& measure,
                           const CellCovariance6& cell, const ParameterCovariance& covariance,
                           std::span<const ParameterDerivative> extra, const PointBlocks* blocks) {
  const double variance = propagated_variance(frame, points, measure.gradient, cell, covariance, extra, blocks);
  if (measure.crosswise.empty()) return variance;
  return 0.5 * (variance + propagated_variance(frame, points, measure.crosswise, cell, covariance, extra, blocks));
}

double propagated_sigma(const CellFrame& frame, std::span<const ImagePoint> points, const PointMeasure& measure,
                        const CellCovariance6& cell, const ParameterCovariance& covariance, const PointBlocks* blocks) {
  return std::sqrt(std::fabs(propagated_variance(frame, points, measure, cell, covariance, {}, blocks)));
}

}  // namespace vesk
