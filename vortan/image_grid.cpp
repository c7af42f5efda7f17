#include "vortan/image_grid.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "crystal/equivalent_positions.hpp"
#include "recio/error.hpp"
#include "vortan/esd.hpp"

namespace vesk {

namespace {

// Bins per image at most: a short limit in a large cell must not make the
// grid larger than the structure.
constexpr double kBinsPerImage = 4;
// Beyond this many bins (or lattice translations) along one axis the limit is
// out of all proportion to the cell; the driver refuses such phases first.
constexpr double kLongestBinRange = 1.0e6;

int floor_div(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

void set_metric(ImageGrid& grid, const PhaseDescription& phase) {
  const double a = phase.abc[0], b = phase.abc[1], c = phase.abc[2];
  const double ca = phase.cosines[0], cb = phase.cosines[1], cg = phase.cosines[2];
  const double sa = std::sqrt(std::max(0.0, 1 - ca * ca));
  const double sb = std::sqrt(std::max(0.0, 1 - cb * cb));
  const double sg = std::sqrt(std::max(0.0, 1 - cg * cg));
  const double root = std::sqrt(std::max(1.0E-12, 1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg));
  // The same bounds as the translation window: a* = bc sin(alpha) / V and so on.
  grid.reach = {sa / (a * root), sb / (b * root), sg / (c * root)};

  // Upper-triangular factor of the metric tensor of the distance formula, so
  // that |U (xi - x')| is the distance the exact test computes.
  grid.metric_usable = false;
  if (!(sg > 1.0E-6) || !(a > 0) || !(b > 0) || !(c > 0)) return;
  const double u23 = (ca - cb * cg) / sg;
  const double last = 1 - cb * cb - u23 * u23;
  if (!(last > 1.0E-12)) return;
  grid.upper = {a, b * cg, c * cb, b * sg, c * u23, c * std::sqrt(last)};
  grid.metric_usable = true;
}

std::array<double, 3> to_cartesian(const ImageGrid& grid, double x, double y, double z) {
  const auto& u = grid.upper;
  return {u[0] * x + u[1] * y + u[2] * z, u[3] * y + u[4] * z, u[5] * z};
}

std::array<int, 3> choose_bins(const ImageGrid& grid, float longest, std::size_t images) {
  std::array<int, 3> bins{1, 1, 1};
  if (!(longest > 0)) return bins;
  for (int k = 0; k < 3; ++k) {
    const double width = static_cast<double>(longest) * grid.reach[static_cast<std::size_t>(k)] + grid.fraction_slack;
    const double count = std::floor(1 / width);
    bins[static_cast<std::size_t>(k)] = count >= 1 ? static_cast<int>(std::min(count, 1024.0)) : 1;
  }
  const double most = std::max(8.0, kBinsPerImage * static_cast<double>(images));
  while (static_cast<double>(bins[0]) * bins[1] * bins[2] > most) {
    auto widest = std::max_element(bins.begin(), bins.end());
    *widest = std::max(1, *widest / 2);
  }
  return bins;
}

int bin_of(double reduced, int bins) { return std::min(static_cast<int>(reduced * bins), bins - 1); }

struct Hit {
  int image = 0;
  FoundDistance found;
};

}  // namespace

void build_image_grid(ImageGrid& grid, const PhaseDescription& phase, const SearchControls& controls) {
  grid = ImageGrid{};
  set_metric(grid, phase);

  grid.type_count = static_cast<int>(phase.types.size());
  const auto types = static_cast<std::size_t>(grid.type_count);
  std::vector<bool> present(types + 1, false);
  for (const AtomSite& atom : phase.atoms) {
    if (atom.type < 1 || atom.type > grid.type_count)
      throw Error("Atom " + atom.label + " has a type outside the type list of phase " + std::to_string(phase.number));
    present[static_cast<std::size_t>(atom.type)] = true;
  }
  grid.pair.resize(types * types);
  grid.central_limit.assign(types, 0.0f);
  float longest = 0;
  for (int ti = 1; ti <= grid.type_count; ++ti) {
    float central = -1;
    for (int tj = 1; tj <= grid.type_count; ++tj) {
      const PairLimits limits = pair_limits(phase, controls, ti, tj);
      grid.pair[static_cast<std::size_t>((ti - 1) * grid.type_count + (tj - 1))] = limits;
      if (present[static_cast<std::size_t>(tj)]) central = std::max(central, limits.search());
    }
    grid.central_limit[static_cast<std::size_t>(ti - 1)] = central;
    if (present[static_cast<std::size_t>(ti)] && phase.types[static_cast<std::size_t>(ti - 1)].bond_radius >= 0)
      longest = std::max(longest, central);
  }

  // Every image once, in search order.
  EquivalentPositions positions;
  double largest = 1;
  for (std::size_t j = 0; j < phase.atoms.size(); ++j) {
    positions.clear();
    GENEQ(phase.atoms[j].x, phase.group, GeneqMode::Distinct, positions);
    for (const EquivalentPosition& p : positions) {
      ImageGrid::Image image;
      image.x = p.x;
      image.atom = static_cast<int>(j) + 1;
      image.code = p.code;
      grid.images.push_back(image);
      for (int k = 0; k < 3; ++k) {
        largest = std::max(largest, std::fabs(static_cast<double>(p.x[static_cast<std::size_t>(k)])));
        largest = std::max(largest, std::fabs(static_cast<double>(phase.atoms[j].x[static_cast<std::size_t>(k)])));
      }
    }
  }
  // The exact test rounds coordinates of this size to single precision; the
  // coarse test must keep whatever that rounding could let in.
  grid.fraction_slack = 1.0E-3 + 1.0E-6 * largest;
  grid.length_slack = 1.0E-3 + grid.fraction_slack * (static_cast<double>(phase.abc[0]) + phase.abc[1] + phase.abc[2]);

  grid.bins = choose_bins(grid, longest, grid.images.size());
  const int nx = grid.bins[0], ny = grid.bins[1], nz = grid.bins[2];
  std::vector<int> bin_of_image(grid.images.size());
  grid.first.assign(static_cast<std::size_t>(nx) * ny * nz + 1, 0);
  for (std::size_t m = 0; m < grid.images.size(); ++m) {
    ImageGrid::Image& image = grid.images[m];
    std::array<int, 3> cell{};
    std::array<double, 3> reduced{};
    for (std::size_t k = 0; k < 3; ++k) {
      const double x = image.x[k];
      const double whole = std::floor(x);
      image.offset[k] = static_cast<int>(whole);
      reduced[k] = x - whole;
      cell[k] = bin_of(reduced[k], grid.bins[k]);
    }
    const int bin = (cell[0] * ny + cell[1]) * nz + cell[2];
    bin_of_image[m] = bin;
    ++grid.first[static_cast<std::size_t>(bin) + 1];
  }
  for (std::size_t b = 1; b < grid.first.size(); ++b) grid.first[b] += grid.first[b - 1];
  grid.binned.resize(grid.images.size());
  std::vector<int> next(grid.first.begin(), grid.first.end() - 1);
  for (std::size_t m = 0; m < grid.images.size(); ++m) {
    const ImageGrid::Image& image = grid.images[m];
    ImageGrid::Binned& entry = grid.binned[static_cast<std::size_t>(next[static_cast<std::size_t>(bin_of_image[m])]++)];
    entry.image = static_cast<int>(m);
    if (grid.metric_usable) {
      const auto cart = to_cartesian(grid, image.x[0] - static_cast<double>(image.offset[0]),
                                     image.x[1] - static_cast<double>(image.offset[1]),
                                     image.x[2] - static_cast<double>(image.offset[2]));
      entry.cart = {static_cast<float>(cart[0]), static_cast<float>(cart[1]), static_cast<float>(cart[2])};
    }
  }
}

void search_image_grid(const ImageGrid& grid, const PhaseDescription& phase, int i,
                       const std::function<void(const FoundDistance&)>& found) {
  const AtomSite& central = phase.atoms[static_cast<std::size_t>(i - 1)];
  const auto ti = static_cast<std::size_t>(central.type - 1);
  if (phase.types[ti].bond_radius < 0) return;
  const float longest = grid.central_limit[ti];
  // Nothing passes d >= 1.0E-4 and d <= limit (a NaN limit included).
  if (!(longest >= 1.0E-4f)) return;
  const Vec3 xi = central.x;

  std::array<int, 3> low{}, high{};
  for (std::size_t k = 0; k < 3; ++k) {
    const double r = static_cast<double>(longest) * grid.reach[k] + grid.fraction_slack;
    const double from = std::floor((xi[k] - r) * grid.bins[k]);
    const double to = std::floor((xi[k] + r) * grid.bins[k]);
    if (!(to - from < kLongestBinRange) || !(std::fabs(from) < kLongestBinRange) ||
        !(std::fabs(to) < kLongestBinRange))
      throw Error("The search limit of atom " + central.label + " is out of all proportion to the cell");
    low[k] = static_cast<int>(from);
    high[k] = static_cast<int>(to);
  }
  const double coarse = static_cast<double>(longest) + grid.length_slack;
  const float coarse_squared = static_cast<float>(coarse * coarse);
  const auto centre = grid.metric_usable ? to_cartesian(grid, xi[0], xi[1], xi[2]) : std::array<double, 3>{};

  std::vector<Hit> hits;
  const int ny = grid.bins[1], nz = grid.bins[2];
  for (int bx = low[0]; bx <= high[0]; ++bx) {
    const int sx = floor_div(bx, grid.bins[0]);
    const int cx = bx - sx * grid.bins[0];
    for (int by = low[1]; by <= high[1]; ++by) {
      const int sy = floor_div(by, ny);
      const int cy = by - sy * ny;
      for (int bz = low[2]; bz <= high[2]; ++bz) {
        const int sz = floor_div(bz, nz);
        const int cz = bz - sz * nz;
        const int bin = (cx * ny + cy) * nz + cz;
        const int begin = grid.first[static_cast<std::size_t>(bin)];
        const int end = grid.first[static_cast<std::size_t>(bin) + 1];
        if (begin == end) continue;
        std::array<float, 3> shift{};
        if (grid.metric_usable) {
          const auto t = to_cartesian(grid, sx, sy, sz);
          for (std::size_t k = 0; k < 3; ++k) shift[k] = static_cast<float>(t[k] - centre[k]);
        }
        for (int e = begin; e < end; ++e) {
          const ImageGrid::Binned& entry = grid.binned[static_cast<std::size_t>(e)];
          if (grid.metric_usable) {
            const float dx = entry.cart[0] + shift[0];
            const float dy = entry.cart[1] + shift[1];
            const float dz = entry.cart[2] + shift[2];
            if (dx * dx + dy * dy + dz * dz > coarse_squared) continue;
          }
          const ImageGrid::Image& image = grid.images[static_cast<std::size_t>(entry.image)];
          // The exact test of the plain loop nest, with its own arithmetic.
          Hit hit;
          FoundDistance& f = hit.found;
          f.n = {sx - image.offset[0], sy - image.offset[1], sz - image.offset[2]};
          f.x = {image.x[0] + static_cast<float>(f.n[0]), image.x[1] + static_cast<float>(f.n[1]),
                 image.x[2] + static_cast<float>(f.n[2])};
          f.vec = cell_vector(phase, xi, f.x);
          const int tj = phase.atoms[static_cast<std::size_t>(image.atom - 1)].type;
          f.limits = grid.pair[ti * static_cast<std::size_t>(grid.type_count) + static_cast<std::size_t>(tj - 1)];
          const float limit = f.limits.search();
          if (!(f.vec.d >= 1.0E-4f && f.vec.d <= limit)) continue;
          const TranslationWindow window = translation_window(phase, xi, image.x, limit);
          bool inside = true;
          for (std::size_t k = 0; k < 3; ++k) inside = inside && f.n[k] >= window.low[k] && f.n[k] <= window.high[k];
          if (!inside) continue;
          f.atom = image.atom;
          f.code = image.code;
          hit.image = entry.image;
          hits.push_back(hit);
        }
      }
    }
  }
  std::sort(hits.begin(), hits.end(), [](const Hit& p, const Hit& q) {
    if (p.image != q.image) return p.image < q.image;
    return p.found.n < q.found.n;
  });
  for (const Hit& hit : hits) found(hit.found);
}

}  // namespace vesk
