#include "geometry/phase_geometry.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>

#include "crystal/bounded_list.hpp"
#include "geometry/image_grid.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"

namespace vesk {

std::span<const Contact> PhaseGeometry::contacts_of(int atom) const {
  const auto k = static_cast<std::size_t>(atom - 1);
  return std::span(contacts).subspan(first_contact[k], first_contact[k + 1] - first_contact[k]);
}

std::span<const AngleValue> PhaseGeometry::angles_of(int atom) const {
  const auto k = static_cast<std::size_t>(atom - 1);
  return std::span(angles).subspan(first_angle[k], first_angle[k + 1] - first_angle[k]);
}

TorsionAtoms torsion_atoms(const PhaseGeometry& geometry, const Torsion& torsion) {
  const std::vector<Bond>& bonds = geometry.bonds.bonds_of(torsion.central);
  const Bond& a = bonds[torsion.a_bond];
  const Bond& c = bonds[torsion.c_bond];
  TorsionAtoms out;
  out.atoms = {a.atom, torsion.central, c.atom, torsion.d.atom};
  out.names[0] = ImageName{a.code, a.n};
  out.names[1] = ImageName{1, {0, 0, 0}};
  out.names[2] = ImageName{c.code, c.n};
  out.names[3] = ImageName{torsion.d.code, {torsion.d.n[0], torsion.d.n[1], torsion.d.n[2]}};
  return out;
}

std::vector<Bond> kept_neighbours(const PhaseGeometry& geometry, int atom) {
  std::vector<Bond> kept;
  for (const Contact& c : geometry.contacts_of(atom))
    if (c.kept) kept.push_back({c.atom, c.code, c.n, c.x, c.d});
  return kept;
}

namespace {

// A neighbour kept for the angles, with what they need again: its exact
// image and the covariance of its coordinates with the central atom's.
struct NeighbourEntry {
  ImagePoint point;
  CoordinateBlock with_central{};  // the central atom's coordinates (rows) with these
};

using KeptNeighbours = BoundedList<NeighbourEntry, kMaxKeptNeighbours>;

// A distance of the central atom, held until the kept neighbours are chosen.
struct FoundNeighbour {
  FoundDistance hit;
  ImagePoint image;
  CoordinateBlock with_central{};
  Contact contact;
};

// What the distances and angles of a phase share from atom to atom.
struct AtomWork {
  const PhaseDescription& phase;
  const GeometryOptions& options;
  CellFrame frame;
  CellCovariance6 cell{};
  const ParameterCovariance& covariance;
  OwnBlocks own_blocks;
  ImageGrid grid;
  KeptNeighbours kept;
  std::vector<FoundNeighbour> found;       // the central atom's distances in search order
  std::vector<BondingAtom> bonding_atoms;  // [atom - 1]: element, covalent radius, disorder group
};

// The points of an angle as the propagation takes them: the central atom
// first, then the two neighbours (measure_angle has the vertex between).
PointMeasure central_first(PointMeasure m) {
  std::swap(m.gradient[0], m.gradient[1]);
  if (!m.crosswise.empty()) std::swap(m.crosswise[0], m.crosswise[1]);
  return m;
}

void distances_and_angles(AtomWork& work, PhaseGeometry& geometry, int i) {
  const PhaseDescription& phase = work.phase;
  const AtomSite& central = phase.atoms[static_cast<std::size_t>(i - 1)];
  const ImagePoint centre = image_point(work.frame, i, central.x, SymmetryOperation{}, central.x_position);
  const CoordinateBlock& own_central = work.own_blocks.of(work.covariance, i, central.x_position);
  work.kept.clear();

  // The search first: which neighbours are kept (the 25 nearest within the
  // angle limit) is known only at its end.
  std::vector<FoundNeighbour>& found = work.found;
  found.clear();
  search_image_grid(work.grid, phase, i, [&](const FoundDistance& hit) {
    const AtomSite& neighbour = phase.atoms[static_cast<std::size_t>(hit.atom - 1)];
    FoundNeighbour f;
    f.hit = hit;
    f.image = image_point(work.frame, hit.atom, neighbour.x, operation_of(phase.group, hit.code, hit.n),
                          neighbour.x_position);
    f.with_central = coordinate_block(work.covariance, central.x_position, neighbour.x_position);
    PointBlocks blocks;
    blocks.of[0][0] = &own_central;
    blocks.of[0][1] = &f.with_central;
    blocks.of[1][1] = &work.own_blocks.of(work.covariance, hit.atom, neighbour.x_position);
    const std::array<ImagePoint, 2> points{centre, f.image};
    const PointMeasure m = measure_distance(work.frame, centre, f.image);
    const double variance = propagated_variance(work.frame, points, m, work.cell, work.covariance, {}, &blocks);
    Contact& contact = f.contact;
    contact.atom = hit.atom;
    contact.code = hit.code;
    contact.n = hit.n;
    contact.x = hit.x;
    contact.d = static_cast<float>(m.value);
    contact.sigma = static_cast<float>(std::sqrt(std::fabs(variance)));
    contact.negative_variance = variance < kNegativeVarianceLimit;
    found.push_back(f);
  });
  std::vector<float> within_angle_limit;
  std::vector<std::size_t> candidates;
  for (std::size_t k = 0; k < found.size(); ++k)
    if (found[k].hit.vec.d <= found[k].hit.limits.angle) {
      candidates.push_back(k);
      within_angle_limit.push_back(found[k].hit.vec.d);
    }
  for (std::size_t k : nearest_kept(within_angle_limit, kMaxKeptNeighbours)) found[candidates[k]].contact.kept = true;

  std::vector<Bond>& bonds = geometry.bonds.of_atom[static_cast<std::size_t>(i - 1)];
  bonds.clear();
  const std::vector<BondingAtom>& bonding = work.bonding_atoms;
  for (FoundNeighbour& f : found) {
    Contact& c = f.contact;
    c.beyond_kept = !c.kept && f.hit.vec.d <= f.hit.limits.angle;
    geometry.contacts.push_back(c);
    if (!c.kept) continue;
    work.kept.push_back(NeighbourEntry{f.image, f.with_central}, "neighbours kept for angles");
    PairPlace place{c.code != 1 || c.n != LatticeTranslation{}, c.atom == i};
    const BondingAtom& other = bonding[static_cast<std::size_t>(c.atom - 1)];
    if (place.through_symmetry && bonding[static_cast<std::size_t>(i - 1)].partial && other.partial) {
      // How far each atom lies from its own image under this operation.
      const SymmetryOperation op = operation_of(phase.group, c.code, c.n);
      auto from_image = [&](const Vec3& x) {
        const Vec3d own{x[0], x[1], x[2]};
        const Vec3d image = image_of(op, x);
        return static_cast<float>(vec3::length(vec3::minus(cartesian(work.frame, own), cartesian(work.frame, image))));
      };
      place.first_from_image = from_image(central.x);
      place.second_from_image = from_image(phase.atoms[static_cast<std::size_t>(c.atom - 1)].x);
    }
    if (chemically_bonded(bonding[static_cast<std::size_t>(i - 1)], bonding[static_cast<std::size_t>(c.atom - 1)], c.d,
                          work.options.search.bond_tolerance, place))
      bonds.push_back({c.atom, c.code, c.n, c.x, c.d});
  }
  geometry.first_contact.push_back(static_cast<std::uint32_t>(geometry.contacts.size()));

  // The angles between the kept neighbours, each pair m1 < m2.
  const std::size_t count = work.kept.size();
  for (std::size_t m1 = 0; m1 + 1 < count; ++m1)
    for (std::size_t m2 = m1 + 1; m2 < count; ++m2) {
      const NeighbourEntry& first = work.kept[m1];
      const NeighbourEntry& second = work.kept[m2];
      const CoordinateBlock between = coordinate_block(work.covariance, first.point.positions, second.point.positions);
      PointBlocks blocks;
      blocks.of[0][0] = &own_central;
      blocks.of[0][1] = &first.with_central;
      blocks.of[0][2] = &second.with_central;
      blocks.of[1][1] = &work.own_blocks.of(work.covariance, first.point.atom, first.point.positions);
      blocks.of[1][2] = &between;
      blocks.of[2][2] = &work.own_blocks.of(work.covariance, second.point.atom, second.point.positions);
      const std::array<ImagePoint, 3> points{centre, first.point, second.point};
      const PointMeasure m = central_first(measure_angle(work.frame, first.point, centre, second.point));
      double variance = propagated_variance(work.frame, points, m, work.cell, work.covariance, {}, &blocks);
      if (variance < 0) variance = 0;
      geometry.angles.push_back({m.value * kDegreesPerRadian, static_cast<float>(kDegreesPerRadian * std::sqrt(variance))});
    }
  geometry.first_angle.push_back(static_cast<std::uint32_t>(geometry.angles.size()));
}

std::int16_t narrow(int value, const char* what) {
  if (value < std::numeric_limits<std::int16_t>::min() || value > std::numeric_limits<std::int16_t>::max())
    throw Error(std::string("A torsion angle's ") + what + " of " + std::to_string(value) + " is out of range");
  return static_cast<std::int16_t>(value);
}

// [atom], from 1: the atoms whose chains TORS NOH leaves out, H and D.
std::vector<bool> hydrogen_atoms(const PhaseDescription& phase) {
  std::vector<bool> hydrogen(phase.atoms.size() + 1, false);
  for (std::size_t i = 1; i <= phase.atoms.size(); ++i)
    hydrogen[i] = is_hydrogen(element_of_type(phase.atoms[i - 1].type_symbol));
  return hydrogen;
}

void torsions_and_hydrogen_bonds(AtomWork& work, PhaseGeometry& geometry) {
  GeometryContext context;
  context.phase = &work.phase;
  context.bonds = &geometry.bonds;
  context.frame = work.frame;
  context.cell = work.cell;
  context.covariance = work.covariance;
  context.own_blocks = &work.own_blocks;
  if (!context.frame.usable) return;
  const TorsionChoice choice = work.options.torsions;
  if (choice != TorsionChoice::None) {
    const std::vector<bool> left_out =
        choice == TorsionChoice::NoHydrogen ? hydrogen_atoms(work.phase) : std::vector<bool>();
    // Chains through a metal atom (at B or C) only when asked for.
    std::vector<bool> not_middle;
    if (!work.options.metal_torsions) {
      not_middle.assign(work.phase.atoms.size() + 1, false);
      for (std::size_t i = 1; i <= work.phase.atoms.size(); ++i) not_middle[i] = work.bonding_atoms[i - 1].metal;
    }
    for_each_torsion(context, left_out, [&geometry](const TorsionAngle& t) {
      Torsion row;
      row.central = t.atoms[1].point.atom;
      row.a_bond = static_cast<std::uint8_t>(t.a_bond);
      row.c_bond = static_cast<std::uint8_t>(t.c_bond);
      const NamedImage& d = t.atoms[3];
      row.d.atom = d.point.atom;
      row.d.code = narrow(d.name.code, "operator code");
      for (std::size_t k = 0; k < 3; ++k) row.d.n[k] = narrow(d.name.n[k], "lattice translation");
      row.degrees = t.degrees;
      row.sigma = t.sigma;
      geometry.torsions.push_back(row);
    }, not_middle);
  }
  geometry.hbonds = find_hydrogen_bonds(context, work.options.hbonds);
}

}  // namespace

PhaseGeometry compute_phase_geometry(const PhaseDescription& phase, const CellCovariance& cell,
                                     const ParameterCovariance& covariance, const GeometryOptions& options,
                                     const std::function<void(int)>& progress) {
  PhaseGeometry geometry;
  geometry.phase = phase.number;
  geometry.options = options;
  const std::size_t atoms = phase.atoms.size();
  start_bond_graph(geometry.bonds, atoms);
  geometry.refusal = check_search_limits(phase, options.search);
  if (geometry.refusal.refused() || phase.group.failed()) {
    // Drawn all the same, each atom on its own.
    if (options.molecules) geometry.molecules = complete_molecules(phase, geometry.bonds);
    return geometry;
  }
  // The work of the search and the propagation, given back before the
  // model is written.
  auto work = std::make_unique<AtomWork>(AtomWork{phase, options, cell_frame(phase.abc, phase.cosines),
                                                  in_double(cell), covariance, OwnBlocks{}, ImageGrid{},
                                                  KeptNeighbours{}, {}, {}});
  work->own_blocks.reset(atoms);
  for (std::size_t k = 0; k < atoms; ++k) {
    const AtomSite& atom = phase.atoms[k];
    // A point of occupancy 0 is no atom: it bonds to nothing.
    BondingAtom bonding = bonding_atom(element_of_type(atom.type_symbol),
                                       recio::equal_padded(atom.type_symbol, "FrPk") || atom.fraction == 0);
    bonding.partial = atom.fraction < 1;
    if (k < options.disorder_groups.size()) {
      bonding.disorder_group = std::abs(options.disorder_groups[k]);
      bonding.negative_group = options.disorder_groups[k] < 0;
    }
    geometry.disorder = geometry.disorder || bonding.disorder_group != 0;
    work->bonding_atoms.push_back(bonding);
  }
  build_image_grid(work->grid, phase, options.search);
  geometry.first_contact.assign(1, 0);
  geometry.first_angle.assign(1, 0);
  for (int i = 1; i <= static_cast<int>(atoms); ++i) {
    if (progress) progress(i);
    distances_and_angles(*work, geometry, i);
  }
  work->grid = ImageGrid{};
  torsions_and_hydrogen_bonds(*work, geometry);
  if (options.molecules) geometry.molecules = complete_molecules(phase, geometry.bonds);
  geometry.computed = true;
  return geometry;
}

}  // namespace vesk
