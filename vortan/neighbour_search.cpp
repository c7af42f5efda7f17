#include "vortan/neighbour_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "console/page.hpp"
#include "expfile/covariance.hpp"
#include "recio/format.hpp"
#include "recio/line_builder.hpp"
#include "recio/units.hpp"
#include "vortan/cif_output.hpp"
#include "vortan/image_grid.hpp"
#include "vortan/results_file.hpp"

namespace vesk {

int cell_code(int nx, int ny, int nz) { return 100 * (nx + 5) + 10 * (ny + 5) + (nz + 5); }

std::string location_text(int operator_code, int nx, int ny, int nz) {
  recio::LineBuilder text;  // "(I4,3I2)"
  text.i(operator_code, 4).i(nx, 2).i(ny, 2).i(nz, 2);
  return std::string(text.text.view());
}

PairLimits pair_limits(const PhaseDescription& phase, const SearchControls& controls, int central_type,
                       int neighbour_type) {
  const AtomType& ti = phase.types[static_cast<std::size_t>(central_type - 1)];
  const AtomType& tj = phase.types[static_cast<std::size_t>(neighbour_type - 1)];
  PairLimits limits;
  limits.distance = controls.dmax_given ? controls.dmax : std::fabs(ti.bond_radius) + tj.bond_radius;
  limits.angle = controls.dagl_given ? controls.dagl : std::fabs(ti.angle_radius) + tj.angle_radius;
  return limits;
}

namespace {

// How far, in cell edges along each axis, a vector of length 1 A can reach:
// the lengths of the reciprocal cell vectors.
std::array<double, 3> reciprocal_lengths(const PhaseDescription& phase) {
  const double ca = phase.cosines[0], cb = phase.cosines[1], cg = phase.cosines[2];
  const double sa = std::sqrt(std::max(0.0, 1 - ca * ca));
  const double sb = std::sqrt(std::max(0.0, 1 - cb * cb));
  const double sg = std::sqrt(std::max(0.0, 1 - cg * cg));
  const double root = std::sqrt(std::max(1.0E-12, 1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg));
  // V = abc root; a* = bc sin(alpha) / V and so on.
  return {sa / (phase.abc[0] * root), sb / (phase.abc[1] * root), sg / (phase.abc[2] * root)};
}

// Slack on the bounds, in cell edges: rounding of the single-precision
// distance must never make the wide window narrower than the accepted set.
constexpr double kWindowSlack = 1.0E-3;

}  // namespace

long TranslationWindow::count() const {
  long n = 1;
  for (int k = 0; k < 3; ++k) n *= high[k] - low[k] + 1;
  return n;
}

namespace {

TranslationWindow window_with_reach(const std::array<double, 3>& reach, const Vec3& central, const Vec3& image,
                                    float limit) {
  TranslationWindow window;
  for (int k = 0; k < 3; ++k) {
    const float difference = central[k] - image[k];
    const int truncated = static_cast<int>(difference);
    const double r = static_cast<double>(limit) * reach[k] + kWindowSlack;
    // The 27-cell window stays inside, so where it already suffices the
    // distances found, and their order, do not change.
    window.low[k] = std::min(truncated - 1, static_cast<int>(std::ceil(difference - r)));
    window.high[k] = std::max(truncated + 1, static_cast<int>(std::floor(difference + r)));
  }
  return window;
}

}  // namespace

TranslationWindow translation_window(const PhaseDescription& phase, const Vec3& central, const Vec3& image,
                                     float limit) {
  return window_with_reach(reciprocal_lengths(phase), central, image, limit);
}

std::string check_search_limits(const PhaseDescription& phase, const SearchControls& controls) {
  // The longest limit of any pair that occurs in the phase.
  std::array<bool, kMaxAtomTypes + 1> present{};
  for (const AtomSite& atom : phase.atoms)
    if (atom.type >= 1 && atom.type <= static_cast<int>(phase.types.size()))
      present[static_cast<std::size_t>(atom.type)] = true;
  float longest = 0;
  for (std::size_t ti = 1; ti <= phase.types.size(); ++ti) {
    if (!present[ti] || phase.types[ti - 1].bond_radius < 0) continue;
    for (std::size_t tj = 1; tj <= phase.types.size(); ++tj)
      if (present[tj])
        longest = std::max(longest, pair_limits(phase, controls, static_cast<int>(ti), static_cast<int>(tj)).search());
  }
  // A limit too long for F10.3 in E notation rather than asterisks.
  const std::string where = recio::write_string(longest < 99999.0f ? "(A,I2,A,F10.3,A)" : "(A,I2,A,E10.3,A)",
                                                {" Phase", phase.number, ": the search limit", longest, " A"});
  if (!(longest <= kLongestSearchLimit))
    return where + " is longer than 50 A; no distances are searched in this phase";
  const auto reach = reciprocal_lengths(phase);
  // In double, compared before any conversion: a cell edge of 0 or 1e-40
  // gives an infinite or huge count.
  double count = 1;
  for (int k = 0; k < 3; ++k) {
    // Bound for any image: the window lies within max(2, r) cells of the difference.
    const double r = std::max(2.0, static_cast<double>(longest) * reach[k] + kWindowSlack);
    count *= std::floor(2 * r) + 1;
  }
  if (!(count <= static_cast<double>(kMostTranslations)))
    return where + " needs more than 10000 lattice translations; no distances are searched in this phase";
  return {};
}

void search_neighbours(const PhaseDescription& phase, int i, const SearchControls& controls,
                       const std::function<void(const FoundDistance&)>& found) {
  // The images of every atom binned for this one search; the driver keeps
  // one grid for the whole phase instead.
  ImageGrid grid;
  build_image_grid(grid, phase, controls);
  search_image_grid(grid, phase, i, found);
}

Vec3 printed_vector(const PhaseDescription& phase, const Vec3& central, const Vec3& image, bool orthonormal) {
  if (!orthonormal) return image;
  return VECMAT3(VECSUB(central, image), phase.orthogonal);
}

void start_distance_work(DistanceWork& work, PhaseDescription& phase, const SearchControls& controls) {
  work.controls = controls;
  work.work = WorkCovariance{};
  set_cell_block(work.work, cell_covariance(phase));
  work.table = DistanceTable{};
  work.table.orthonormal = controls.orthonormal;
  work.kept.clear();
  start_bond_graph(work.bonds, phase.atoms.size());
  work.own_blocks.reset(phase.atoms.size());
  work.refusal = check_search_limits(phase, controls);
  auto grid = std::make_shared<ImageGrid>();
  if (work.refusal.empty()) build_image_grid(*grid, phase, controls);
  work.grid = grid;
}

void write_refusal(const DistanceWork& work) {
  LINECHK(work.listing_unit, 1);
  recio::check(recio::write(work.listing_unit, "(A)", {work.refusal}), work.listing_unit);
  if (work.terminal_unit != work.listing_unit)
    recio::check(recio::write(work.terminal_unit, "(A)", {work.refusal}), work.terminal_unit);
}

namespace {

void set_positions(WorkCovariance& work, int first_row, const std::array<int, 3>& positions) {
  for (int k = 0; k < 3; ++k) work.positions[static_cast<std::size_t>(first_row - 1 + k)] = positions[static_cast<std::size_t>(k)];
}

}  // namespace

void distances_and_angles(DistanceWork& work, const PhaseDescription& phase, const CovarianceData& covariance,
                          const ResultsFile& results, int i) {
  if (!work.refusal.empty()) return;
  const AtomSite& central = phase.atoms[static_cast<std::size_t>(i - 1)];
  if (!work.grid) throw Error("The distance work of phase " + std::to_string(phase.number) + " was not started");
  work.kept.clear();
  set_positions(work.work, 7, central.x_position);
  // Rows 7-9 hold the central atom for all its distances and angles.
  put_block(work.work, 7, 7, work.own_blocks.of(covariance, i, central.x_position));

  search_image_grid(*work.grid, phase, i, [&](const FoundDistance& hit) {
    const AtomSite& neighbour = phase.atoms[static_cast<std::size_t>(hit.atom - 1)];
    set_positions(work.work, 10, neighbour.x_position);
    const CoordinateBlock with_central = coordinate_block(covariance, central.x_position, neighbour.x_position);
    put_block(work.work, 7, 10, with_central);
    put_block(work.work, 10, 10, work.own_blocks.of(covariance, hit.atom, neighbour.x_position));
    const DistanceSigma sigma = distance_sigma(phase, central.x, neighbour.x, hit.code, hit.n, work.work);
    const auto d = static_cast<float>(sigma.distance);
    if (sigma.variance < kNegativeVarianceLimit)
      write_negative_variance(work.listing_unit, work.terminal_unit, central.type, neighbour.type);
    const std::string location = location_text(hit.code, hit.n[0], hit.n[1], hit.n[2]);
    const int cell = cell_code(hit.n[0], hit.n[1], hit.n[2]);
    write_distance_line(work.listing_unit, work.table, central.label, neighbour.label, work.kept.full(), d,
                        sigma.sigma, location, printed_vector(phase, central.x, hit.x, work.controls.orthonormal));
    write_distance_record(results, phase.number, d, sigma.sigma, i, hit.atom, hit.code, cell);
    if (work.cif != nullptr) collect_bond(*work.cif, phase, results.publish, i, hit, d, sigma.sigma);
    if (hit.vec.d <= hit.limits.angle && !work.kept.full()) {
      NeighbourEntry entry;
      entry.location = location;
      entry.code = hit.code;
      entry.code16 = static_cast<short>(hit.code);
      entry.cell_code = static_cast<short>(cell);
      entry.n = hit.n;
      entry.x = hit.x;
      entry.image = sigma.image;
      entry.d = d;
      entry.derivatives = sigma.derivatives;
      entry.positions = neighbour.x_position;
      entry.with_central = with_central;
      entry.atom = hit.atom;
      work.kept.push_back(entry, "neighbours kept for angles");
    }
  });
  std::vector<Bond>& bonds = work.bonds.of_atom[static_cast<std::size_t>(i - 1)];
  bonds.clear();
  for (const NeighbourEntry& entry : work.kept) bonds.push_back({entry.atom, entry.code, entry.n, entry.x, entry.d});
  if (work.kept.full()) write_neighbour_notice(work.listing_unit);
  if (work.kept.size() < 2) return;

  start_angle_table(work.listing_unit, work.table);
  for (std::size_t m1 = 0; m1 + 1 < work.kept.size(); ++m1)
    for (std::size_t m2 = m1 + 1; m2 < work.kept.size(); ++m2) {
      const NeighbourEntry& first = work.kept[m1];
      const NeighbourEntry& second = work.kept[m2];
      set_positions(work.work, 10, first.positions);
      set_positions(work.work, 13, second.positions);
      put_block(work.work, 7, 10, first.with_central);
      put_block(work.work, 7, 13, second.with_central);
      put_block(work.work, 10, 10, work.own_blocks.of(covariance, first.atom, first.positions));
      put_block(work.work, 13, 13, work.own_blocks.of(covariance, second.atom, second.positions));
      put_block(work.work, 10, 13, coordinate_block(covariance, first.positions, second.positions));
      const Angle angle = bond_angle(phase, central.x, first, second, work.work, work.degrees_per_radian);
      const AtomSite& a1 = phase.atoms[static_cast<std::size_t>(first.atom - 1)];
      const AtomSite& a3 = phase.atoms[static_cast<std::size_t>(second.atom - 1)];
      write_angle_line(work.listing_unit, a1.label, central.label, a3.label, angle.degrees, angle.sigma,
                       first.location, second.location);
      write_angle_record(results, phase.number, angle.degrees, angle.sigma, first.atom, i, second.atom, first.code16,
                         first.cell_code, second.code16, second.cell_code);
      if (work.cif != nullptr) collect_angle(*work.cif, phase, results.publish, i, first, second, angle);
    }
}

}  // namespace vesk
