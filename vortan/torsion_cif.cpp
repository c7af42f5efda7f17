#include "vortan/torsion_cif.hpp"

#include <algorithm>
#include <vector>

#include "recio/error.hpp"

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

void collect_torsion(CifCollector& cif, const PhaseDescription& phase, const TorsionAngle& torsion, bool published) {
  CifBlock& block = current_block(cif);
  CifTorsion row;
  for (std::size_t k = 0; k < 4; ++k) {
    row.atoms[k] = torsion.atoms[k].point.atom;
    row.sites[k] = site_of(block, phase, torsion.atoms[k]);
  }
  row.angle = cif_number(torsion.degrees, torsion.sigma, EsdKind::Angle);
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
  row.donor_site = site_of(block, phase, hbond.donor);
  row.hydrogen_site = site_of(block, phase, hbond.hydrogen);
  row.acceptor_site = site_of(block, phase, hbond.acceptor);
  row.published = published;
  block.hbonds.push_back(std::move(row));
}

}  // namespace vesk
