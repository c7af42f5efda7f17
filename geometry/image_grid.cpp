#include "geometry/image_grid.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <string>

#include "crystal/equivalent_positions.hpp"
#include "recio/error.hpp"

namespace vesk {

namespace {

// Bins per image at most: a short limit in a large cell must not make the
// grid larger than the structure.
constexpr double kBinsPerImage = 4;
// Bins as wide as the reach of the longest limit: narrower bins scan less
// volume but cost more in bins visited, and measured no faster.
constexpr double kBinsPerReach = 1;
// Beyond this many bins (or lattice translations) along one axis the limit is
// out of all proportion to the cell; the driver refuses such phases first.
constexpr double kLongestBinRange = 1.0e6;
// Candidates given the coarse test together.
constexpr int kBlock = 8;

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
    const double count = std::floor(kBinsPerReach / width);
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

// An accepted distance before the sort into search order.
struct Hit {
  int entry = 0;             // into grid.binned
  int image = 0;
  std::array<int, 3> n{};
  CellVector vec;
  bool operator<(const Hit& other) const { return image != other.image ? image < other.image : n < other.n; }
};

// The search order of a hit packed into one integer, with room for the hit's
// own number in the lowest bits: image (20 bits), nx, ny, nz (11 bits each
// while within +-1023), hit number (8 bits).
constexpr int kPackedTranslation = 1023;
constexpr std::size_t kPackedHits = 256;
constexpr std::size_t kRankedHits = 48;
std::uint64_t packed_order(const Hit& hit, std::size_t number) {
  std::uint64_t key = static_cast<std::uint64_t>(hit.image);
  for (int n : hit.n) key = (key << 11) | static_cast<std::uint64_t>(n + 1024);
  return (key << 8) | number;
}

// The image moved by the lattice translation n, as the plain loop moves it.
Vec3 translated(const ImageGrid::Binned& image, const std::array<int, 3>& n) {
  return {image.x[0] + static_cast<float>(n[0]), image.x[1] + static_cast<float>(n[1]),
          image.x[2] + static_cast<float>(n[2])};
}

// One run of bins along an axis that shares a lattice translation.
struct BinRun {
  int first = 0, last = 0;     // bins within the cell
  int shift = 0;               // lattice translation
  std::array<double, 3> cart{};  // the translation's Cartesian vector (A)
};

// The bins low..high (counted across cells) as runs within one cell each.
void bin_runs(const ImageGrid& grid, std::size_t axis, int low, int high, std::vector<BinRun>& runs) {
  runs.clear();
  const int bins = grid.bins[axis];
  for (int b = low; b <= high;) {
    BinRun run;
    run.shift = floor_div(b, bins);
    run.first = b - run.shift * bins;
    run.last = std::min(bins - 1, run.first + (high - b));
    if (grid.metric_usable) {
      std::array<double, 3> s{};
      s[axis] = run.shift;
      run.cart = to_cartesian(grid, s[0], s[1], s[2]);
    }
    runs.push_back(run);
    b += run.last - run.first + 1;
  }
}

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
  grid.inner.resize(types * types);
  grid.central_limit.assign(types, 0.0f);
  float longest = 0;
  for (int ti = 1; ti <= grid.type_count; ++ti) {
    float central = -1;
    for (int tj = 1; tj <= grid.type_count; ++tj) {
      const PairLimits limits = pair_limits(phase, controls, ti, tj);
      const auto pair = static_cast<std::size_t>((ti - 1) * grid.type_count + (tj - 1));
      grid.pair[pair] = limits;
      // Limit x reach, shortened by more than the rounding of the single-
      // precision window test of the search.
      for (std::size_t k = 0; k < 3; ++k)
        grid.inner[pair][k] = static_cast<float>(static_cast<double>(limits.search()) * grid.reach[k] * (1 - 1.0E-6));
      if (present[static_cast<std::size_t>(tj)]) central = std::max(central, limits.search());
    }
    grid.central_limit[static_cast<std::size_t>(ti - 1)] = central;
    if (present[static_cast<std::size_t>(ti)] && phase.types[static_cast<std::size_t>(ti - 1)].bond_radius >= 0)
      longest = std::max(longest, central);
  }

  // Every image once, in search order.
  EquivalentPositions positions;
  std::vector<ImageGrid::Binned> unbinned;
  std::vector<std::array<float, 3>> unbinned_cart;
  double largest = 1;
  for (std::size_t j = 0; j < phase.atoms.size(); ++j) {
    positions.clear();
    GENEQ(phase.atoms[j].x, phase.group, GeneqMode::Distinct, positions);
    for (const EquivalentPosition& p : positions) {
      ImageGrid::Binned entry;
      entry.x = p.x;
      entry.type = phase.atoms[j].type;
      entry.image = static_cast<int>(grid.images.size());
      unbinned.push_back(entry);
      grid.images.push_back({static_cast<int>(j) + 1, p.code});
      for (std::size_t k = 0; k < 3; ++k) {
        largest = std::max(largest, std::fabs(static_cast<double>(p.x[k])));
        largest = std::max(largest, std::fabs(static_cast<double>(phase.atoms[j].x[k])));
      }
    }
  }
  // The exact test rounds coordinates of this size to single precision; the
  // coarse tests must keep whatever that rounding could let in.
  // Single precision keeps about 7 digits; the slacks allow some 100 times
  // the rounding of coordinates of this size.
  const double edges = static_cast<double>(phase.abc[0]) + phase.abc[1] + phase.abc[2];
  grid.fraction_slack = 1.0E-3 + 1.0E-6 * largest;
  grid.length_slack = 1.0E-3 + 1.0E-5 * largest * edges;

  grid.bins = choose_bins(grid, longest, unbinned.size());
  const int ny = grid.bins[1], nz = grid.bins[2];
  std::vector<int> bin_of_image(unbinned.size());
  grid.first.assign(static_cast<std::size_t>(grid.bins[0]) * ny * nz + 1, 0);
  for (std::size_t m = 0; m < unbinned.size(); ++m) {
    ImageGrid::Binned& entry = unbinned[m];
    std::array<int, 3> cell{};
    std::array<double, 3> reduced{};
    for (std::size_t k = 0; k < 3; ++k) {
      const double x = entry.x[k];
      const double whole = std::floor(x);
      entry.offset[k] = static_cast<int>(whole);
      reduced[k] = x - whole;
      cell[k] = bin_of(reduced[k], grid.bins[k]);
    }
    const auto cart = grid.metric_usable ? to_cartesian(grid, reduced[0], reduced[1], reduced[2])
                                         : std::array<double, 3>{};
    unbinned_cart.push_back({static_cast<float>(cart[0]), static_cast<float>(cart[1]), static_cast<float>(cart[2])});
    const int bin = (cell[0] * ny + cell[1]) * nz + cell[2];
    bin_of_image[m] = bin;
    ++grid.first[static_cast<std::size_t>(bin) + 1];
  }
  for (std::size_t b = 1; b < grid.first.size(); ++b) grid.first[b] += grid.first[b - 1];
  grid.binned.resize(unbinned.size());
  std::vector<int> next(grid.first.begin(), grid.first.end() - 1);
  // Padded by a block of far-away entries: the coarse test reads in blocks.
  for (auto& axis : grid.cart) axis.assign(unbinned.size() + kBlock, 1.0e30f);
  for (std::size_t m = 0; m < unbinned.size(); ++m) {
    const auto e = static_cast<std::size_t>(next[static_cast<std::size_t>(bin_of_image[m])]++);
    grid.binned[e] = unbinned[m];
    for (std::size_t k = 0; k < 3; ++k) grid.cart[k][e] = unbinned_cart[m][k];
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

  // Bins of every axis, as runs that share a translation.
  static std::array<std::vector<BinRun>, 3> runs;
  for (std::size_t k = 0; k < 3; ++k) {
    const double r = static_cast<double>(longest) * grid.reach[k] + grid.fraction_slack;
    const double from = std::floor((xi[k] - r) * grid.bins[k]);
    const double to = std::floor((xi[k] + r) * grid.bins[k]);
    if (!(to - from < kLongestBinRange) || !(std::fabs(from) < kLongestBinRange) ||
        !(std::fabs(to) < kLongestBinRange))
      throw Error("The search limit of atom " + central.label + " is out of all proportion to the cell");
    bin_runs(grid, k, static_cast<int>(from), static_cast<int>(to), runs[k]);
  }
  const double coarse = static_cast<double>(longest) + grid.length_slack;
  const float coarse_squared = static_cast<float>(coarse * coarse);
  const auto centre = grid.metric_usable ? to_cartesian(grid, xi[0], xi[1], xi[2]) : std::array<double, 3>{};

  const std::size_t row_of_pairs = ti * static_cast<std::size_t>(grid.type_count);
  const PairLimits* const limits = grid.pair.data() + row_of_pairs;
  const std::array<float, 3>* const inner = grid.inner.data() + row_of_pairs;
  static std::vector<Hit> hits;
  static std::vector<std::uint64_t> order;
  hits.clear();
  bool packable = kMaxEquivalents * kMaxAtoms < (1u << 20);

  // First the coarse test, collecting candidates: an entry with the lattice
  // translation of its bin run.
  static std::vector<int> candidate_entry, candidate_shift;
  static std::vector<std::array<int, 3>> shifts;
  shifts.clear();
  std::size_t count = 0;
  const int ny = grid.bins[1], nz = grid.bins[2];
  const float* cart_x = grid.cart[0].data();
  const float* cart_y = grid.cart[1].data();
  const float* cart_z = grid.cart[2].data();
  for (const BinRun& x_run : runs[0])
    for (const BinRun& y_run : runs[1])
      for (const BinRun& z_run : runs[2]) {
        const int shift = static_cast<int>(shifts.size());
        shifts.push_back({x_run.shift, y_run.shift, z_run.shift});
        float t[3];
        for (std::size_t k = 0; k < 3; ++k)
          t[k] = static_cast<float>(x_run.cart[k] + y_run.cart[k] + z_run.cart[k] - centre[k]);
        for (int cx = x_run.first; cx <= x_run.last; ++cx)
          for (int cy = y_run.first; cy <= y_run.last; ++cy) {
            // One run of bins along z is one stretch of the binned images.
            const int row = (cx * ny + cy) * nz;
            const int begin = grid.first[static_cast<std::size_t>(row + z_run.first)];
            const int end = grid.first[static_cast<std::size_t>(row + z_run.last) + 1];
            if (candidate_entry.size() < count + static_cast<std::size_t>(end - begin + kBlock)) {
              candidate_entry.resize(2 * (count + static_cast<std::size_t>(end - begin + kBlock)));
              candidate_shift.resize(candidate_entry.size());
            }
            int* const entry_out = candidate_entry.data();
            int* const shift_out = candidate_shift.data();
            if (!grid.metric_usable) {
              for (int e = begin; e < end; ++e, ++count) {
                entry_out[count] = e;
                shift_out[count] = shift;
              }
              continue;
            }
            // Whole blocks, which the compiler can do side by side; the
            // candidates are written without branches, as most fail.
            for (int first = begin; first < end; first += kBlock) {
              std::array<float, kBlock> squared;
              for (int k = 0; k < kBlock; ++k) {
                const float dx = cart_x[first + k] + t[0];
                const float dy = cart_y[first + k] + t[1];
                const float dz = cart_z[first + k] + t[2];
                squared[static_cast<std::size_t>(k)] = dx * dx + dy * dy + dz * dz;
              }
              // The block may run into the next bins.
              const int last = end - first;
              for (int k = 0; k < kBlock; ++k) {
                entry_out[count] = first + k;
                shift_out[count] = shift;
                count += squared[static_cast<std::size_t>(k)] <= coarse_squared && k < last ? 1 : 0;
              }
            }
          }
      }

  // Then the exact test of the plain loop nest, with its own arithmetic, on
  // the images moved by their translations.
  for (std::size_t c = 0; c < count; ++c) {
    const int e = candidate_entry[c];
    const ImageGrid::Binned& image = grid.binned[static_cast<std::size_t>(e)];
    const std::array<int, 3>& s = shifts[static_cast<std::size_t>(candidate_shift[c])];
    Hit hit;
    hit.entry = e;
    hit.image = image.image;
    hit.n = {s[0] - image.offset[0], s[1] - image.offset[1], s[2] - image.offset[2]};
    hit.vec = cell_vector(phase, xi, translated(image, hit.n));
    const auto tj = static_cast<std::size_t>(image.type - 1);
    const float limit = limits[tj].search();
    if (!(hit.vec.d >= 1.0E-4f && hit.vec.d <= limit)) continue;
    // Translations within limit x reach of the difference lie inside the
    // plain search's window; only others need the window itself.
    // (n - difference rounds relative to itself: n is exact.)
    bool inside = true;
    for (std::size_t k = 0; k < 3; ++k) {
      const float difference = xi[k] - image.x[k];
      inside = inside && std::fabs(static_cast<float>(hit.n[k]) - difference) <= inner[tj][k];
    }
    if (!inside) {
      const TranslationWindow window = translation_window(phase, xi, image.x, limit);
      inside = true;
      for (std::size_t k = 0; k < 3; ++k)
        inside = inside && hit.n[k] >= window.low[k] && hit.n[k] <= window.high[k];
      if (!inside) continue;
    }
    for (int n : hit.n) packable = packable && n >= -kPackedTranslation && n <= kPackedTranslation;
    hits.push_back(hit);
  }
  order.clear();
  if (packable && hits.size() <= kRankedHits) {
    // Few distances: each one's place is the number of smaller keys (the
    // keys differ), counted without branches; cheaper than a sort's
    // mispredicted comparisons.
    std::array<std::uint64_t, kRankedHits> keys;
    const std::size_t count = hits.size();
    for (std::size_t h = 0; h < count; ++h) keys[h] = packed_order(hits[h], 0);
    order.resize(count);
    for (std::size_t h = 0; h < count; ++h) {
      std::size_t rank = 0;
      for (std::size_t g = 0; g < count; ++g) rank += keys[g] < keys[h] ? 1 : 0;
      order[rank] = h;
    }
  } else if (packable && hits.size() <= kPackedHits) {
    for (std::size_t h = 0; h < hits.size(); ++h) order.push_back(packed_order(hits[h], h));
    std::sort(order.begin(), order.end());
    for (std::uint64_t& key : order) key &= kPackedHits - 1;
  } else {
    std::sort(hits.begin(), hits.end());
    for (std::size_t h = 0; h < hits.size(); ++h) order.push_back(h);
  }
  FoundDistance f;
  for (const std::uint64_t h : order) {
    const Hit& hit = hits[static_cast<std::size_t>(h)];
    const ImageGrid::Binned& image = grid.binned[static_cast<std::size_t>(hit.entry)];
    f.atom = grid.images[static_cast<std::size_t>(hit.image)].atom;
    f.code = grid.images[static_cast<std::size_t>(hit.image)].code;
    f.n = hit.n;
    f.x = translated(image, hit.n);
    f.vec = hit.vec;
    f.limits = limits[static_cast<std::size_t>(image.type - 1)];
    found(f);
  }
}

void search_neighbours(const PhaseDescription& phase, int i, const SearchControls& controls,
                       const std::function<void(const FoundDistance&)>& found) {
  // The images of every atom binned for this one search; the driver keeps
  // one grid for the whole phase instead.
  ImageGrid grid;
  build_image_grid(grid, phase, controls);
  search_image_grid(grid, phase, i, found);
}

}  // namespace vesk
