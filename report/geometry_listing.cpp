#include "report/geometry_listing.hpp"

#include "console/page.hpp"
#include "recio/format.hpp"
#include "recio/units.hpp"
#include "report/geometry_tables.hpp"
#include "report/tables.hpp"

namespace vesk {

namespace {

const std::string& label_of(const PhaseDescription& phase, int atom) {
  return phase.atoms[static_cast<std::size_t>(atom - 1)].label;
}

void write_refusal(int listing_unit, int terminal_unit, const std::string& text) {
  LINECHK(listing_unit, 1);
  recio::check(recio::write(listing_unit, "(A)", {text}), listing_unit);
  if (terminal_unit != listing_unit) recio::check(recio::write(terminal_unit, "(A)", {text}), terminal_unit);
}

void write_atom_tables(int listing_unit, int terminal_unit, const PhaseDescription& phase,
                       const PhaseGeometry& geometry, DistanceTable& table, int i) {
  const AtomSite& central = phase.atoms[static_cast<std::size_t>(i - 1)];
  for (const Contact& c : geometry.contacts_of(i)) {
    const AtomSite& neighbour = phase.atoms[static_cast<std::size_t>(c.atom - 1)];
    if (c.negative_variance) write_negative_variance(listing_unit, terminal_unit, central.type, neighbour.type);
    // The star: within the angle limit, but not among the nearest 25.
    write_distance_line(listing_unit, table, central.label, neighbour.label, c.beyond_kept, c.d, c.sigma,
                        location_text(c.code, c.n[0], c.n[1], c.n[2]),
                        printed_vector(phase, central.x, c.x, table.orthonormal));
  }
  const std::vector<Bond> kept = kept_neighbours(geometry, i);
  if (kept.size() >= kMaxKeptNeighbours) write_neighbour_notice(listing_unit);
  if (kept.size() < 2) return;
  start_angle_table(listing_unit, table);
  for_each_angle(geometry, i, kept, [&](const Bond& first, const Bond& second, const AngleValue& angle) {
    write_angle_line(listing_unit, label_of(phase, first.atom), central.label, label_of(phase, second.atom),
                     angle.degrees, angle.sigma, location_text(first.code, first.n[0], first.n[1], first.n[2]),
                     location_text(second.code, second.n[0], second.n[1], second.n[2]));
  });
}

void write_torsion_table(int unit, const PhaseDescription& phase, const PhaseGeometry& geometry) {
  if (geometry.torsions.empty()) return;
  start_torsion_table(unit);
  for (const Torsion& t : geometry.torsions) {
    const TorsionAtoms atoms = torsion_atoms(geometry, t);
    TorsionLine line;
    for (std::size_t k = 0; k < 4; ++k) line.labels[k] = label_of(phase, atoms.atoms[k]);
    line.degrees = t.degrees;
    line.sigma = t.sigma;
    line.locations[0] = atoms.names[0];
    line.locations[1] = atoms.names[2];
    line.locations[2] = atoms.names[3];
    write_torsion_line(unit, line);
  }
}

void write_hbond_table(int unit, const PhaseDescription& phase, const PhaseGeometry& geometry) {
  if (geometry.hbonds.empty()) return;
  start_hbond_table(unit);
  for (const HydrogenBond& h : geometry.hbonds) {
    HbondLine line;
    line.donor = label_of(phase, h.donor.point.atom);
    line.hydrogen = label_of(phase, h.hydrogen.point.atom);
    line.acceptor = label_of(phase, h.acceptor.point.atom);
    line.dh = h.dh;
    line.dh_sigma = h.dh_sigma;
    line.ha = h.ha;
    line.ha_sigma = h.ha_sigma;
    line.da = h.da;
    line.da_sigma = h.da_sigma;
    line.angle = h.angle;
    line.angle_sigma = h.angle_sigma;
    line.donor_location = h.donor.name;
    line.acceptor_location = h.acceptor.name;
    write_hbond_line(unit, line);
  }
}

}  // namespace

std::string refusal_text(int phase, const SearchRefusal& refusal) {
  // A limit too long for F10.3 in E notation rather than asterisks.
  const std::string where =
      recio::write_string(refusal.longest < 99999.0f ? "(A,I2,A,F10.3,A)" : "(A,I2,A,E10.3,A)",
                          {" Phase", phase, ": the search limit", refusal.longest, " A"});
  if (refusal.reason == SearchRefusal::Reason::TooLong)
    return where + " is longer than 50 A; no distances are searched in this phase";
  return where + " needs more than 10000 lattice translations; no distances are searched in this phase";
}

void write_geometry_listing(int listing_unit, int terminal_unit, const PhaseDescription& phase,
                            const PhaseGeometry& geometry, bool orthonormal) {
  if (geometry.refusal.refused()) {
    write_refusal(listing_unit, terminal_unit, refusal_text(phase.number, geometry.refusal));
    return;
  }
  if (!geometry.computed) return;
  DistanceTable table;
  table.orthonormal = orthonormal;
  for (int i = 1; i <= static_cast<int>(phase.atoms.size()); ++i)
    write_atom_tables(listing_unit, terminal_unit, phase, geometry, table, i);
  // How the bonds were chosen, before the torsion table (or where it would be).
  bool any_bond = false;
  for (const std::vector<Bond>& bonds : geometry.bonds.of_atom) any_bond = any_bond || !bonds.empty();
  if (geometry.options.torsions != TorsionChoice::None && any_bond) {
    LINECHK(listing_unit, 2);
    recio::check(recio::write(listing_unit, "(/,A)",
                              {bond_rule_text(geometry.options.search.bond_tolerance, geometry.options.metal_torsions,
                                              geometry.disorder)}),
                 listing_unit);
  }
  write_torsion_table(listing_unit, phase, geometry);
  write_hbond_table(listing_unit, phase, geometry);
}

}  // namespace vesk
