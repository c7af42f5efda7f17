#include "lsq/refinement.hpp"

#include <algorithm>
#include <cmath>
#include <thread>

#include "lsq/normal_matrix.hpp"
#include "lsq/restraints.hpp"
#include "lsq/structure_factors.hpp"
#include "recio/error.hpp"

namespace lsq {

double shelxl_weight(const Weighting& weighting, double fo2, double sigma, double fc2, double scale) {
  // On the absolute scale of Fc^2, where SHELXL applies its scheme: Fo^2
  // and s(Fo^2) divided by scale^2.
  const double k2 = scale * scale;
  const double p = (std::max(fo2, 0.0) + 2 * fc2) / (3 * k2);
  const double s = sigma / k2;
  const double denominator = s * s + weighting.a * weighting.a * p * p + weighting.b * p;
  // The weight of the observation on its own scale.
  return denominator > 0 ? 1 / (denominator * k2 * k2) : 0;
}

namespace {

// What one thread adds up over its reflections.
struct Sums {
  std::vector<double> rhs;  // sum w (Fo^2 - Fc^2) g
  double weighted_residuals = 0, weighted_observed = 0;
  double r_all = 0, fo_all = 0, r_gt = 0, fo_gt = 0;
  int observed_gt = 0;
};

// The weighted design rows of observations [begin, end) of the block into
// `rows` (row i - first at rows + (i - first) * p).
void fill_rows(const StructureFactors& sf, StructureFactors::Scratch& scratch, const Model& model,
               std::span<const Observation> observations, std::size_t first, std::size_t begin, std::size_t end,
               int p, double* rows, Sums& sums) {
  for (std::size_t i = begin; i < end; ++i) {
    const Observation& o = observations[i];
    double* g = rows + (i - first) * static_cast<std::size_t>(p);
    const double fc2 = sf.fc_squared(o.h, g, scratch);
    const double w = shelxl_weight(model.weighting, o.intensity, o.sigma, fc2, model.scale);
    const double residual = o.intensity - fc2;
    const double root = std::sqrt(w);
    for (int v = 0; v < p; ++v) {
      sums.rhs[static_cast<std::size_t>(v)] += w * residual * g[v];
      g[v] *= root;
    }
    sums.weighted_residuals += w * residual * residual;
    sums.weighted_observed += w * o.intensity * o.intensity;
    const double fo = std::sqrt(std::max(o.intensity, 0.0)), fc = std::sqrt(fc2);
    sums.r_all += std::fabs(fo - fc);
    sums.fo_all += fo;
    if (o.intensity > 2 * o.sigma) {
      sums.r_gt += std::fabs(fo - fc);
      sums.fo_gt += fo;
      ++sums.observed_gt;
    }
  }
}

// In a polar space group nothing fixes the origin along the polar
// directions: the structure moved along one as a whole gives the same
// intensities, and the normal matrix is singular. As refinement programs
// do, the centroid of the atoms weighted by their scattering power
// (occupancy times f0 at sin(theta)/lambda = 0) is held along each such
// direction: a restraint so strong that it acts as a constraint. Added to
// the matrix scaled to unit diagonal (`scale` per variable).
void fix_floating_origin(const Model& model, const ParameterMap& map, const std::vector<double>& scale,
                         NormalMatrix& normal) {
  constexpr double kWeight = 1e8;  // against diagonal elements of 1
  const int p = map.count();
  for (const Vec3& d : floating_origin_directions(model.group)) {
    std::vector<double> row(static_cast<std::size_t>(p), 0.0);
    double length = 0;
    for (int v = 0; v < p; ++v) {
      const Variable& variable = map.variables[static_cast<std::size_t>(v)];
      if (variable.kind != VariableKind::Atom || variable.slot > kZ) continue;
      const Atom& atom = model.atoms[static_cast<std::size_t>(variable.atom)];
      const ScatteringFactor& f = model.types[static_cast<std::size_t>(atom.type)];
      const double power = atom.occupancy * map.site_order[static_cast<std::size_t>(variable.atom)] * f.f0(0);
      row[static_cast<std::size_t>(v)] = power * d[static_cast<std::size_t>(variable.slot)] * scale[static_cast<std::size_t>(v)];
      length += row[static_cast<std::size_t>(v)] * row[static_cast<std::size_t>(v)];
    }
    if (length == 0) continue;
    for (double& value : row) value *= std::sqrt(kWeight / length);
    normal.add_rows(row.data(), 1);
  }
}

}  // namespace

std::vector<Vec3> floating_origin_directions(const SpaceGroup& group) {
  if (group.centric) return {};
  // The directions every rotation leaves in place: the image of the
  // average of the rotations.
  Mat3 average{};
  for (const Operator& op : group.operators)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) average[i][j] += op.rotation[i][j] / static_cast<double>(group.operators.size());
  std::vector<Vec3> directions;
  for (int j = 0; j < 3; ++j) {
    Vec3 column{average[0][j], average[1][j], average[2][j]};
    for (const Vec3& d : directions) {
      double dot = 0;
      for (int i = 0; i < 3; ++i) dot += d[i] * column[i];
      for (int i = 0; i < 3; ++i) column[i] -= dot * d[i];
    }
    double norm = 0;
    for (double c : column) norm += c * c;
    if (norm < 1e-12) continue;
    for (double& c : column) c /= std::sqrt(norm);
    directions.push_back(column);
  }
  return directions;
}

CycleResult least_squares_cycle(const Model& model, const ParameterMap& map, std::span<const Observation> observations,
                                const CycleOptions& options) {
  CycleResult result;
  const int p = map.count();
  result.observations = static_cast<int>(observations.size());
  result.parameters = p + map.uncounted;
  if (result.observations <= result.parameters)
    throw vesk::Error(std::to_string(result.observations) + " reflections for " + std::to_string(result.parameters) +
                      " parameters: too few to determine them");

  const StructureFactors sf(model, map);
  const int threads = std::max(1, options.threads > 0 ? options.threads
                                                      : static_cast<int>(std::thread::hardware_concurrency()));
  std::vector<StructureFactors::Scratch> scratch;
  std::vector<Sums> sums(static_cast<std::size_t>(threads));
  for (int t = 0; t < threads; ++t) {
    scratch.push_back(sf.scratch());
    sums[static_cast<std::size_t>(t)].rhs.assign(static_cast<std::size_t>(p), 0.0);
  }

  NormalMatrix normal(p);
  const std::size_t block = static_cast<std::size_t>(std::max(1, options.block_rows));
  std::vector<double> rows(block * static_cast<std::size_t>(p));
  for (std::size_t first = 0; first < observations.size(); first += block) {
    const std::size_t last = std::min(observations.size(), first + block);
    const std::size_t share = (last - first + static_cast<std::size_t>(threads) - 1) / static_cast<std::size_t>(threads);
    std::vector<std::jthread> workers;
    for (int t = 1; t < threads; ++t) {
      const std::size_t begin = std::min(last, first + share * static_cast<std::size_t>(t));
      const std::size_t end = std::min(last, begin + share);
      if (begin >= end) break;
      workers.emplace_back([&, t, begin, end] {
        fill_rows(sf, scratch[static_cast<std::size_t>(t)], model, observations, first, begin, end, p, rows.data(),
                  sums[static_cast<std::size_t>(t)]);
      });
    }
    fill_rows(sf, scratch[0], model, observations, first, first, std::min(last, first + share), p, rows.data(), sums[0]);
    workers.clear();  // joined
    normal.add_rows(rows.data(), static_cast<int>(last - first));
  }

  // The restraints: observations of their own, weighted 1 / s^2.
  double restraint_sum = 0;
  const std::vector<RestraintRow> restrained = restraint_rows(model, map);
  for (const RestraintRow& row : restrained) {
    std::vector<double> weighted = row.gradient;
    const double root = std::sqrt(row.weight);
    for (int v = 0; v < p; ++v) {
      sums[0].rhs[static_cast<std::size_t>(v)] += row.weight * row.residual * row.gradient[static_cast<std::size_t>(v)];
      weighted[static_cast<std::size_t>(v)] *= root;
    }
    normal.add_rows(weighted.data(), 1);
    restraint_sum += row.weight * row.residual * row.residual;
  }
  // Each restraint row counts, but n equal distances count as the
  // n (n - 1) / 2 differences their rows stand for.
  result.restraints = static_cast<int>(restrained.size());
  for (const Restraint& r : model.restraints)
    if (r.kind == RestraintKind::EqualDistances) {
      const int n = static_cast<int>(r.atoms.size() / 2);
      result.restraints += n * (n - 1) / 2 - n;
    }

  Sums total = std::move(sums[0]);
  for (std::size_t t = 1; t < sums.size(); ++t) {
    for (int v = 0; v < p; ++v) total.rhs[static_cast<std::size_t>(v)] += sums[t].rhs[static_cast<std::size_t>(v)];
    total.weighted_residuals += sums[t].weighted_residuals;
    total.weighted_observed += sums[t].weighted_observed;
    total.r_all += sums[t].r_all;
    total.fo_all += sums[t].fo_all;
    total.r_gt += sums[t].r_gt;
    total.fo_gt += sums[t].fo_gt;
    total.observed_gt += sums[t].observed_gt;
  }
  result.r1_all = total.fo_all > 0 ? total.r_all / total.fo_all : 0;
  result.r1_gt = total.fo_gt > 0 ? total.r_gt / total.fo_gt : 0;
  result.observed_gt = total.observed_gt;
  result.wr2 = total.weighted_observed > 0 ? std::sqrt(total.weighted_residuals / total.weighted_observed) : 0;
  result.goof = std::sqrt(total.weighted_residuals / (result.observations - result.parameters));
  result.restrained_goof = std::sqrt((total.weighted_residuals + restraint_sum) /
                                     (result.observations + result.restraints - result.parameters));

  // To unit diagonal, factorised, solved and inverted.
  std::vector<double> scale(static_cast<std::size_t>(p));
  for (int v = 0; v < p; ++v) {
    const double d = normal.diagonal(v);
    if (!(d > 0))
      throw vesk::Error("the normal matrix is singular: the reflections do not depend on " +
                        variable_name(model, map.variables[static_cast<std::size_t>(v)]));
    scale[static_cast<std::size_t>(v)] = 1 / std::sqrt(d);
  }
  normal.scale_symmetric(scale);
  fix_floating_origin(model, map, scale, normal);
  if (model.damping > 0) normal.add_to_diagonal(model.damping);  // the diagonal is 1 now
  if (const int bad = normal.factorise(); bad > 0)
    throw vesk::Error("the normal matrix is singular: " +
                      variable_name(model, map.variables[static_cast<std::size_t>(bad - 1)]) +
                      " is not determined apart from the variables before it");
  std::vector<double> shifts(static_cast<std::size_t>(p));
  for (int v = 0; v < p; ++v) shifts[static_cast<std::size_t>(v)] = total.rhs[static_cast<std::size_t>(v)] * scale[static_cast<std::size_t>(v)];
  normal.solve(shifts);
  for (int v = 0; v < p; ++v) shifts[static_cast<std::size_t>(v)] *= scale[static_cast<std::size_t>(v)];
  normal.invert();
  result.covariance = normal.release();
  const double goof = model.restrained_goof && result.restraints > 0 ? result.restrained_goof : result.goof;
  const double goof2 = goof * goof;
  for (int j = 0; j < p; ++j)
    for (int i = 0; i < p; ++i)
      result.covariance[static_cast<std::size_t>(j) * p + i] *= scale[static_cast<std::size_t>(i)] *
                                                                   scale[static_cast<std::size_t>(j)] * goof2;
  result.shifts = std::move(shifts);
  for (int v = 0; v < p; ++v) {
    const double su = std::sqrt(result.covariance_at(v, v));
    const double ratio = su > 0 ? std::fabs(result.shifts[static_cast<std::size_t>(v)]) / su : 0;
    if (ratio > result.largest_shift_ratio) {
      result.largest_shift_ratio = ratio;
      result.largest_shift = v;
    }
  }
  return result;
}

}  // namespace lsq
