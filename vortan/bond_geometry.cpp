#include "vortan/bond_geometry.hpp"

#include "console/page.hpp"
#include "expfile/covariance.hpp"
#include "recio/error.hpp"
#include "recio/format.hpp"
#include "recio/units.hpp"
#include "vortan/chemical_bonds.hpp"
#include "vortan/geometry_tables.hpp"
#include "vortan/torsion_cif.hpp"
#include "vortan/torsions.hpp"

namespace vesk {

namespace {

int cell_code_of(const NamedImage& image) { return cell_code(image.name.n[0], image.name.n[1], image.name.n[2]); }

const std::string& label_of(const PhaseDescription& phase, const NamedImage& image) {
  return phase.atoms[static_cast<std::size_t>(image.point.atom - 1)].label;
}

// [atom], from 1: the atoms whose chains a TORS NOH run leaves out, H and D.
std::vector<bool> hydrogen_atoms(const PhaseDescription& phase) {
  std::vector<bool> hydrogen(phase.atoms.size() + 1, false);
  for (std::size_t i = 1; i <= phase.atoms.size(); ++i)
    hydrogen[i] = is_hydrogen(element_of_type(phase.atoms[i - 1].type_symbol));
  return hydrogen;
}

}  // namespace

GeometryContext geometry_context(DistanceWork& work, const PhaseDescription& phase,
                                 const CovarianceData& covariance) {
  GeometryContext context;
  context.phase = &phase;
  context.bonds = &work.bonds;
  context.frame = cell_frame(phase.abc, phase.cosines);
  // The cell block of the distance work: the phase's sigmas with the ties
  // of its Laue class.
  for (int r = 0; r < 6; ++r)
    for (int s = 0; s < 6; ++s) context.cell[r][s] = work.work.at(r + 1, s + 1);
  context.covariance = &covariance;
  context.own_blocks = &work.own_blocks;
  return context;
}

void torsions_and_hydrogen_bonds(DistanceWork& work, const PhaseDescription& phase,
                                 const CovarianceData& covariance, TorsionChoice torsions,
                                 const HbondControls& hbonds, const GeometryMarks& marks, bool metal_torsions) {
  const GeometryContext context = geometry_context(work, phase, covariance);
  if (!context.frame.usable) return;
  // How the bonds were chosen, before the torsion table (or where it would be).
  bool any_bond = false, disorder = false;
  for (const std::vector<Bond>& bonds : work.bonds.of_atom) any_bond = any_bond || !bonds.empty();
  for (const BondingAtom& atom : work.bonding_atoms) disorder = disorder || atom.disorder_group != 0;
  if (torsions != TorsionChoice::None && any_bond) {
    LINECHK(work.listing_unit, 2);
    recio::check(recio::write(work.listing_unit, "(/,A)",
                              {bond_rule_text(work.controls.bond_tolerance, metal_torsions, disorder)}),
                 work.listing_unit);
  }

  bool table_started = false;
  std::vector<TorsionKey> published_keys;  // marked in the previous file and written again
  const std::vector<bool> left_out =
      torsions == TorsionChoice::NoHydrogen ? hydrogen_atoms(phase) : std::vector<bool>();
  auto write_torsion = [&](const TorsionAngle& t) {
    if (!table_started) start_torsion_table(work.listing_unit);
    table_started = true;
    const auto& [a, b, c, d] = t.atoms;
    TorsionLine line;
    for (int k = 0; k < 4; ++k) line.labels[k] = label_of(phase, t.atoms[static_cast<std::size_t>(k)]);
    line.degrees = t.degrees;
    line.sigma = t.sigma;
    line.locations[0] = a.name;
    line.locations[1] = c.name;
    line.locations[2] = d.name;
    write_torsion_line(work.listing_unit, line);
    const TorsionKey key{phase.number,      a.point.atom,     b.point.atom,   c.point.atom,
                         d.point.atom,      a.name.code,      cell_code_of(a), c.name.code,
                         cell_code_of(c),   d.name.code,      cell_code_of(d)};
    const bool published = write_torsion_record(marks, key, t.degrees, t.sigma);
    if (published) published_keys.push_back(key);
    if (work.cif != nullptr) collect_torsion(*work.cif, phase, t, published);
  };
  std::vector<bool> not_middle;
  if (!metal_torsions) {
    not_middle.assign(phase.atoms.size() + 1, false);
    for (std::size_t i = 1; i <= phase.atoms.size(); ++i) not_middle[i] = work.bonding_atoms[i - 1].metal;
  }
  if (torsions != TorsionChoice::None) for_each_torsion(context, left_out, write_torsion, not_middle);
  if (torsions != TorsionChoice::All) keep_marked_torsions(marks, phase.number, published_keys);

  const std::vector<HydrogenBond> found = find_hydrogen_bonds(context, hbonds);
  if (!found.empty()) start_hbond_table(work.listing_unit);
  for (const HydrogenBond& h : found) {
    HbondLine line;
    line.donor = label_of(phase, h.donor);
    line.hydrogen = label_of(phase, h.hydrogen);
    line.acceptor = label_of(phase, h.acceptor);
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
    write_hbond_line(work.listing_unit, line);
    const HbondKey key{phase.number,         h.donor.point.atom, h.hydrogen.point.atom, h.acceptor.point.atom,
                       h.donor.name.code,    cell_code_of(h.donor), h.acceptor.name.code, cell_code_of(h.acceptor)};
    const bool published = write_hbond_record(marks, key, h.ha, h.ha_sigma, h.angle, h.angle_sigma);
    if (work.cif != nullptr) collect_hbond(*work.cif, phase, h, published);
  }
}

}  // namespace vesk
