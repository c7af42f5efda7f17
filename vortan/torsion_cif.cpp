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

std::string symmetry_text(const CifSite& site) { return site.symmetry.empty() ? "?" : site.symmetry; }

const std::string& label(const CifBlock& block, int atom) { return block.labels[static_cast<std::size_t>(atom - 1)]; }

// Columns lined up, one row a line.
void write_loop(const std::vector<std::string>& tags, const std::vector<std::vector<std::string>>& rows,
                std::string& out) {
  out += "\nloop_\n";
  for (const std::string& tag : tags) out += tag + "\n";
  std::vector<std::size_t> widths(tags.size(), 0);
  for (const auto& row : rows)
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      if (c > 0) line += ' ';
      line += row[c];
      if (c + 1 < row.size()) line.append(widths[c] - row[c].size(), ' ');
    }
    out += line + "\n";
  }
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

void write_torsion_loops(const CifBlock& block, std::string& out) {
  if (!block.torsions.empty()) {
    std::vector<std::vector<std::string>> rows;
    for (const CifTorsion& t : block.torsions) {
      std::vector<std::string> row;
      for (int atom : t.atoms) row.push_back(cif_value(label(block, atom)));
      row.push_back(t.angle);
      for (const CifSite& site : t.sites) row.push_back(symmetry_text(site));
      row.push_back(t.published ? "yes" : "no");
      rows.push_back(std::move(row));
    }
    write_loop({"_geom_torsion_atom_site_label_1", "_geom_torsion_atom_site_label_2",
                "_geom_torsion_atom_site_label_3", "_geom_torsion_atom_site_label_4", "_geom_torsion",
                "_geom_torsion_site_symmetry_1", "_geom_torsion_site_symmetry_2", "_geom_torsion_site_symmetry_3",
                "_geom_torsion_site_symmetry_4", "_geom_torsion_publ_flag"},
               rows, out);
  }
  if (!block.hbonds.empty()) {
    std::vector<std::vector<std::string>> rows;
    for (const CifHbond& h : block.hbonds)
      rows.push_back({cif_value(label(block, h.donor)), cif_value(label(block, h.hydrogen)),
                      cif_value(label(block, h.acceptor)), h.dh, h.ha, h.da, h.angle, symmetry_text(h.donor_site),
                      symmetry_text(h.hydrogen_site), symmetry_text(h.acceptor_site), h.published ? "yes" : "no"});
    write_loop({"_geom_hbond_atom_site_label_D", "_geom_hbond_atom_site_label_H", "_geom_hbond_atom_site_label_A",
                "_geom_hbond_distance_DH", "_geom_hbond_distance_HA", "_geom_hbond_distance_DA",
                "_geom_hbond_angle_DHA", "_geom_hbond_site_symmetry_D", "_geom_hbond_site_symmetry_H",
                "_geom_hbond_site_symmetry_A", "_geom_hbond_publ_flag"},
               rows, out);
  }
}

}  // namespace vesk
