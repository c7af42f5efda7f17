#include "vortan/atom_work.hpp"

#include <vector>

#include "console/page.hpp"
#include "expfile/covariance.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/units.hpp"
#include "vortan/chemical_bonds.hpp"
#include "vortan/cif_output.hpp"
#include "vortan/esd.hpp"
#include "vortan/hydrogen_bonds.hpp"
#include "vortan/image_grid.hpp"
#include "vortan/results_file.hpp"

namespace vesk {

void start_distance_work(DistanceWork& work, PhaseDescription& phase, const SearchControls& controls) {
  work.controls = controls;
  work.work = WorkCovariance{};
  set_cell_block(work.work, cell_covariance(phase));
  work.table = DistanceTable{};
  work.table.orthonormal = controls.orthonormal;
  work.kept.clear();
  start_bond_graph(work.bonds, phase.atoms.size());
  work.bonding_atoms.clear();
  for (const AtomSite& atom : phase.atoms) {
    BondingAtom bonding = bonding_atom(element_of_type(atom.type_symbol), recio::equal_padded(atom.type_symbol, "FrPk"));
    const std::size_t k = work.bonding_atoms.size();
    if (k < work.disorder_groups.size()) bonding.disorder_group = work.disorder_groups[k];
    work.bonding_atoms.push_back(bonding);
  }
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

  // The search first: which neighbours are kept (the 25 nearest within the
  // angle limit) is known only at its end, and the listing stars the others.
  std::vector<FoundNeighbour>& found = work.found;
  found.clear();
  search_image_grid(*work.grid, phase, i, [&](const FoundDistance& hit) {
    const AtomSite& neighbour = phase.atoms[static_cast<std::size_t>(hit.atom - 1)];
    set_positions(work.work, 10, neighbour.x_position);
    FoundNeighbour f;
    f.hit = hit;
    f.with_central = coordinate_block(covariance, central.x_position, neighbour.x_position);
    put_block(work.work, 7, 10, f.with_central);
    put_block(work.work, 10, 10, work.own_blocks.of(covariance, hit.atom, neighbour.x_position));
    f.sigma = distance_sigma(phase, central.x, neighbour.x, hit.code, hit.n, work.work);
    found.push_back(f);
  });
  std::vector<float> within_angle_limit;
  std::vector<std::size_t> candidates;
  for (std::size_t k = 0; k < found.size(); ++k)
    if (found[k].hit.vec.d <= found[k].hit.limits.angle) {
      candidates.push_back(k);
      within_angle_limit.push_back(found[k].hit.vec.d);
    }
  for (std::size_t k : nearest_kept(within_angle_limit, kMaxKeptNeighbours)) found[candidates[k]].kept = true;

  std::vector<Bond>& bonds = work.bonds.of_atom[static_cast<std::size_t>(i - 1)];
  bonds.clear();
  for (const FoundNeighbour& f : found) {
    const FoundDistance& hit = f.hit;
    const AtomSite& neighbour = phase.atoms[static_cast<std::size_t>(hit.atom - 1)];
    const auto d = static_cast<float>(f.sigma.distance);
    if (f.sigma.variance < kNegativeVarianceLimit)
      write_negative_variance(work.listing_unit, work.terminal_unit, central.type, neighbour.type);
    const std::string location = location_text(hit.code, hit.n[0], hit.n[1], hit.n[2]);
    const int cell = cell_code(hit.n[0], hit.n[1], hit.n[2]);
    const bool left_out = !f.kept && hit.vec.d <= hit.limits.angle;
    write_distance_line(work.listing_unit, work.table, central.label, neighbour.label, left_out, d,
                        f.sigma.sigma, location, printed_vector(phase, central.x, hit.x, work.controls.orthonormal));
    write_distance_record(results, phase.number, d, f.sigma.sigma, i, hit.atom, hit.code, cell);
    if (work.cif != nullptr) collect_bond(*work.cif, phase, results.publish, i, hit, d, f.sigma.sigma);
    if (!f.kept) continue;
    NeighbourEntry entry;
    entry.location = location;
    entry.code = hit.code;
    entry.code16 = static_cast<short>(hit.code);
    entry.cell_code = static_cast<short>(cell);
    entry.n = hit.n;
    entry.x = hit.x;
    entry.image = f.sigma.image;
    entry.d = d;
    entry.derivatives = f.sigma.derivatives;
    entry.positions = neighbour.x_position;
    entry.with_central = f.with_central;
    entry.atom = hit.atom;
    work.kept.push_back(entry, "neighbours kept for angles");
    const auto& atoms = work.bonding_atoms;
    if (chemically_bonded(atoms[static_cast<std::size_t>(i - 1)], atoms[static_cast<std::size_t>(hit.atom - 1)], d,
                          work.controls.bond_tolerance))
      bonds.push_back({entry.atom, entry.code, entry.n, entry.x, entry.d});
  }
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
