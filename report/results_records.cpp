#include "report/results_records.hpp"

#include "report/tables.hpp"

namespace vesk {

namespace {

int cell_code_of(const ImageName& name) { return cell_code(name.n[0], name.n[1], name.n[2]); }

}  // namespace

TorsionKey torsion_key(int phase, const TorsionAtoms& t) {
  return TorsionKey{phase,          t.atoms[0],   t.atoms[1],
                    t.atoms[2],     t.atoms[3],   t.names[0].code,
                    cell_code_of(t.names[0]), t.names[2].code, cell_code_of(t.names[2]),
                    t.names[3].code, cell_code_of(t.names[3])};
}

HbondKey hbond_key(int phase, const HydrogenBond& h) {
  return HbondKey{phase,           h.donor.point.atom,        h.hydrogen.point.atom, h.acceptor.point.atom,
                  h.donor.name.code, cell_code_of(h.donor.name), h.acceptor.name.code, cell_code_of(h.acceptor.name)};
}

void write_results_records(const ResultsFile& results, const PhaseGeometry& geometry) {
  if (!geometry.computed) return;
  const int phase = geometry.phase;
  const int atoms = static_cast<int>(geometry.bonds.of_atom.size());
  for (int i = 1; i <= atoms; ++i) {
    for (const Contact& c : geometry.contacts_of(i))
      write_distance_record(results, phase, c.d, c.sigma, i, c.atom, c.code, cell_code(c.n[0], c.n[1], c.n[2]));
    const std::vector<Bond> kept = kept_neighbours(geometry, i);
    for_each_angle(geometry, i, kept, [&](const Bond& first, const Bond& second, const AngleValue& angle) {
      // The codes as the marks were always kept, 16-bit.
      write_angle_record(results, phase, angle.degrees, angle.sigma, first.atom, i, second.atom,
                         static_cast<short>(first.code), static_cast<short>(cell_code(first.n[0], first.n[1], first.n[2])),
                         static_cast<short>(second.code),
                         static_cast<short>(cell_code(second.n[0], second.n[1], second.n[2])));
    });
  }
}

void write_marks_records(const GeometryMarks& marks, const PhaseGeometry& geometry, TorsionChoice torsions) {
  if (!geometry.computed) return;
  std::vector<TorsionKey> published;  // marked in the previous file and written again
  for (const Torsion& t : geometry.torsions) {
    const TorsionKey key = torsion_key(geometry.phase, torsion_atoms(geometry, t));
    if (write_torsion_record(marks, key, t.degrees, t.sigma)) published.push_back(key);
  }
  if (torsions == TorsionChoice::NoHydrogen || torsions == TorsionChoice::None)
    keep_marked_torsions(marks, geometry.phase, published);
  for (const HydrogenBond& h : geometry.hbonds)
    write_hbond_record(marks, hbond_key(geometry.phase, h), h.ha, h.ha_sigma, h.angle, h.angle_sigma);
}

}  // namespace vesk
