#include "vortan/cif_rows.hpp"

#include <algorithm>
#include <vector>

#include "recio/error.hpp"
#include "vortan/results_records.hpp"

namespace vesk {

namespace {

CifBlock& current_block(CifCollector& cif) {
  if (cif.blocks.empty()) throw Error("Publication CIF: a torsion angle or hydrogen bond came before its phase");
  return cif.blocks.back();
}

CifSite site_of(const CifBlock& block, const PhaseDescription&, const NamedImage& image) {
  return cif_site(block, image.name.code, image.name.n);
}

}  // namespace

void collect_torsion(CifCollector& cif, const TorsionAtoms& atoms, float degrees, float sigma, bool published) {
  CifBlock& block = current_block(cif);
  CifTorsion row;
  for (std::size_t k = 0; k < 4; ++k) {
    row.atoms[k] = atoms.atoms[k];
    row.sites[k] = cif_site(block, atoms.names[k].code, atoms.names[k].n);
  }
  row.angle = cif_number(degrees, sigma, EsdKind::Angle);
  if (std::any_of(atoms.atoms.begin(), atoms.atoms.end(), [&](int atom) { return rides(block, atom); })) {
    row.angle = constrained_number(degrees, EsdKind::Angle);
    ++block.riding_rows;
  }
  row.value = degrees;
  row.sigma = sigma;
  row.published = published;
  block.torsions.push_back(std::move(row));
}

void collect_hbond(CifCollector& cif, const PhaseDescription& phase, const HydrogenBond& hbond, bool published) {
  CifBlock& block = current_block(cif);
  CifHbond row;
  row.donor = hbond.donor.point.atom;
  row.hydrogen = hbond.hydrogen.point.atom;
  row.acceptor = hbond.acceptor.point.atom;
  row.dh = cif_number(hbond.dh, hbond.dh_sigma, EsdKind::Distance);
  row.ha = cif_number(hbond.ha, hbond.ha_sigma, EsdKind::Distance);
  row.da = cif_number(hbond.da, hbond.da_sigma, EsdKind::Distance);
  row.angle = cif_number(hbond.angle, hbond.angle_sigma, EsdKind::Angle);
  row.value = {hbond.dh, hbond.ha, hbond.da, hbond.angle};
  row.sigma = {hbond.dh_sigma, hbond.ha_sigma, hbond.da_sigma, hbond.angle_sigma};
  // A riding hydrogen atom: its distances and the angle at it were
  // constrained; D...A keeps its s.u.
  if (rides(block, row.hydrogen)) {
    row.dh = constrained_number(hbond.dh, EsdKind::Distance);
    row.ha = constrained_number(hbond.ha, EsdKind::Distance);
    row.angle = constrained_number(hbond.angle, EsdKind::Angle);
    ++block.riding_rows;
  }
  row.donor_site = site_of(block, phase, hbond.donor);
  row.hydrogen_site = site_of(block, phase, hbond.hydrogen);
  row.acceptor_site = site_of(block, phase, hbond.acceptor);
  row.published = published;
  block.hbonds.push_back(std::move(row));
}

void collect_phase_rows(CifCollector& cif, const PhaseDescription& phase, const PhaseGeometry& geometry,
                        const PublishLists& publish, const GeometryMarks& marks) {
  if (!geometry.computed) return;
  const int atoms = static_cast<int>(phase.atoms.size());
  for (int i = 1; i <= atoms; ++i) {
    const std::vector<Bond>& bonded = geometry.bonds.bonds_of(i);
    for (const Contact& c : geometry.contacts_of(i)) {
      collect_bond(cif, phase, publish, i, Bond{c.atom, c.code, c.n, c.x, c.d}, c.sigma);
      cif.blocks.back().bonds.back().chemical = std::any_of(bonded.begin(), bonded.end(), [&](const Bond& b) {
        return b.atom == c.atom && b.code == c.code && b.n == c.n;
      });
    }
    const std::vector<Bond> kept = kept_neighbours(geometry, i);
    for_each_angle(geometry, i, kept, [&](const Bond& first, const Bond& second, const AngleValue& angle) {
      collect_angle(cif, phase, publish, i, first, second, angle.degrees, angle.sigma);
    });
  }
  for (const Torsion& t : geometry.torsions) {
    const TorsionAtoms atoms_of = torsion_atoms(geometry, t);
    collect_torsion(cif, atoms_of, t.degrees, t.sigma, is_published(marks, torsion_key(phase.number, atoms_of)));
  }
  for (const HydrogenBond& h : geometry.hbonds)
    collect_hbond(cif, phase, h, is_published(marks, hbond_key(phase.number, h)));
}

}  // namespace vesk
