#include "report/rows.hpp"

#include <algorithm>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "geometry/hydrogen_bonds.hpp"
#include "geometry/measure.hpp"
#include "recio/error.hpp"

namespace vesk {

namespace {

// In the order of RowKind.
const RowKindValues kRowValues[] = {
    // 0 bond
    {1, {{{"distance", EsdKind::Distance}, {"", EsdKind::Distance}, {"", EsdKind::Distance}, {"", EsdKind::Distance}}}},
    // 1 angle
    {1, {{{"angle", EsdKind::Angle}, {"", EsdKind::Angle}, {"", EsdKind::Angle}, {"", EsdKind::Angle}}}},
    // 2 torsion
    {1, {{{"angle", EsdKind::Angle}, {"", EsdKind::Angle}, {"", EsdKind::Angle}, {"", EsdKind::Angle}}}},
    // 3 hydrogen bond: D-H, H...A, D...A, D-H...A
    {4, {{{"d_h", EsdKind::Distance}, {"h_a", EsdKind::Distance}, {"d_a", EsdKind::Distance}, {"angle", EsdKind::Angle}}}},
};

RowSite site_of(const PhaseRows& rows, int atom, const ImageName& image) {
  return {atom, image, site_symmetry_code(rows.numbering, image.code, image.n)};
}

// The central atom of a bond or an angle, in its own place.
RowSite own_site(int atom) { return {atom, ImageName{1, {}}, "."}; }

int cell_of(const ImageName& image) { return cell_code(image.n[0], image.n[1], image.n[2]); }

// The atoms of a value of a row by their place in the row: a hydrogen
// bond's D-H is over D and H, H...A over H and A, D...A over D and A, the
// angle over all three; every other kind's one value over all its atoms.
std::vector<std::size_t> value_atoms(RowKind kind, std::size_t value) {
  if (kind != RowKind::hbond) {
    std::vector<std::size_t> all(row_kind_name(kind).atoms);
    for (std::size_t k = 0; k < all.size(); ++k) all[k] = k;
    return all;
  }
  static const std::vector<std::size_t> kOver[] = {{0, 1}, {1, 2}, {0, 2}, {0, 1, 2}};
  return kOver[value];
}

// The row's disorder and constraint flags from its atoms.
void flag_row(const PhaseRows& rows, Row& row) {
  const std::size_t atoms = row_kind_name(row.kind).atoms;
  auto group = [&rows](int atom) {
    const auto k = static_cast<std::size_t>(atom - 1);
    return k < rows.disorder_groups.size() ? rows.disorder_groups[k] : 0;
  };
  auto rides = [&rows](int atom) {
    const auto k = static_cast<std::size_t>(atom - 1);
    return k < rows.riding.size() && rows.riding[k];
  };
  row.crosses_disorder = false;
  for (std::size_t a = 0; a < atoms; ++a)
    for (std::size_t b = a + 1; b < atoms; ++b) {
      const int ga = group(row.sites[a].atom), gb = group(row.sites[b].atom);
      if (ga != 0 && gb != 0 && ga != gb) row.crosses_disorder = true;
    }
  for (std::size_t v = 0; v < row_values(row.kind).count; ++v) {
    row.values[v].constrained = false;
    for (std::size_t a : value_atoms(row.kind, v))
      if (rides(row.sites[a].atom)) row.values[v].constrained = true;
  }
}

bool any_marked(const RunMarks& marks, int phase, const Row& row) {
  for (const RecordKey& record : row_records(phase, row))
    if (is_marked(marks, record)) return true;
  return false;
}

// Labels and codes as one key (a code that cannot be written is "?").
std::string identity_key(const std::vector<std::string>& labels, const std::vector<std::string>& codes) {
  std::string key;
  for (const std::string& label : labels) key += label + '\n';
  for (const std::string& code : codes) key += code + '\n';
  return key;
}

std::string phase_list(const std::vector<int>& phases) {
  std::string text;
  for (std::size_t k = 0; k < phases.size(); ++k)
    text += (k == 0 ? "" : k + 1 == phases.size() ? " and " : ", ") + std::to_string(phases[k]);
  return text;
}

}  // namespace

const RowKindValues& row_values(RowKind kind) { return kRowValues[static_cast<std::size_t>(kind)]; }

std::string row_value_text(const Row& row, std::size_t k) {
  const RowValue& v = row.values[k];
  const NumberStyle& style = row_values(row.kind).values[k].esd == EsdKind::Angle ? kAngleStyle : kDistanceStyle;
  return v.constrained ? constrained_text(v.value, style) : journal_text(v.value, v.su, style);
}

const char* covariance_name(CovarianceSource source) {
  switch (source) {
    case CovarianceSource::full:
      return "full";
    case CovarianceSource::diagonal:
      return "diagonal from the CIF's s.u.'s";
    case CovarianceSource::none:
      return "none: s.u.'s from the cell alone";
  }
  return "";
}

PhaseRows& start_phase_rows(RunRows& rows, const PhaseDescription& phase) {
  PhaseRows phase_rows;
  phase_rows.numbering = number_sites(phase, rows.paper);
  rows.phases.push_back(std::move(phase_rows));
  return rows.phases.back();
}

void add_bond_row(RowBuilder& builder, int central, const Bond& bond, double distance, float sigma, bool chemical) {
  const PhaseDescription& phase = builder.phase;
  // The same bond from the neighbour: the central atom's image under the
  // inverse operation, named as the search names it.
  const Vec3& from = phase.atoms[static_cast<std::size_t>(central - 1)].x;
  const std::optional<ImageName> back =
      image_name(phase.group, from, image_of(inverse(operation_of(phase.group, bond.code, bond.n)), from));
  const ImageName reverse = back ? *back : ImageName{0, {}};
  const bool other_seen =
      back && builder.bond_records.count({bond.atom, central, reverse.code, reverse.n}) != 0;
  builder.bond_records.insert({central, bond.atom, bond.code, bond.n});
  if (other_seen) return;
  Row row;
  row.kind = RowKind::bond;
  row.values[0] = {distance, sigma};
  row.chemical = chemical;
  if (central > bond.atom && back) {
    // The other direction was not searched (a type with a negative radius):
    // the row starts at the atom that comes first all the same.
    row.sites[0] = own_site(bond.atom);
    row.sites[1] = site_of(builder.rows, central, reverse);
    row.reverse = ImageName{bond.code, bond.n};
  } else {
    row.sites[0] = own_site(central);
    row.sites[1] = site_of(builder.rows, bond.atom, ImageName{bond.code, bond.n});
    row.reverse = reverse;
  }
  row.marked = any_marked(builder.marks, phase.number, row);
  flag_row(builder.rows, row);
  builder.rows.of(RowKind::bond).push_back(std::move(row));
}

void add_angle_row(RowBuilder& builder, int central, const Bond& first, const Bond& second, double degrees,
                   float sigma, bool chemical) {
  Row row;
  row.kind = RowKind::angle;
  row.sites[0] = site_of(builder.rows, first.atom, ImageName{first.code, first.n});
  row.sites[1] = own_site(central);
  row.sites[2] = site_of(builder.rows, second.atom, ImageName{second.code, second.n});
  row.values[0] = {degrees, sigma};
  row.chemical = chemical;
  row.marked = any_marked(builder.marks, builder.phase.number, row);
  flag_row(builder.rows, row);
  builder.rows.of(RowKind::angle).push_back(std::move(row));
}

void add_torsion_row(RowBuilder& builder, const TorsionAtoms& atoms, double degrees, float sigma) {
  Row row;
  row.kind = RowKind::torsion;
  for (std::size_t k = 0; k < 4; ++k) row.sites[k] = site_of(builder.rows, atoms.atoms[k], atoms.names[k]);
  row.values[0] = {degrees, sigma};
  if (!builder.hydrogen_torsions)
    row.hydrogen_chain = std::any_of(atoms.atoms.begin(), atoms.atoms.end(), [&](int atom) {
      return is_hydrogen(element_of_type(builder.phase.atoms[static_cast<std::size_t>(atom - 1)].type_symbol));
    });
  row.marked = any_marked(builder.marks, builder.phase.number, row);
  flag_row(builder.rows, row);
  builder.rows.of(RowKind::torsion).push_back(std::move(row));
}

void add_hbond_row(RowBuilder& builder, const HydrogenBond& hbond, const std::array<double, 4>* values) {
  Row row;
  row.kind = RowKind::hbond;
  row.sites[0] = site_of(builder.rows, hbond.donor.point.atom, hbond.donor.name);
  row.sites[1] = site_of(builder.rows, hbond.hydrogen.point.atom, hbond.hydrogen.name);
  row.sites[2] = site_of(builder.rows, hbond.acceptor.point.atom, hbond.acceptor.name);
  const std::array<double, 4> own{hbond.dh, hbond.ha, hbond.da, hbond.angle};
  const std::array<double, 4>& v = values != nullptr ? *values : own;
  row.values = {RowValue{v[0], hbond.dh_sigma}, RowValue{v[1], hbond.ha_sigma}, RowValue{v[2], hbond.da_sigma},
                RowValue{v[3], hbond.angle_sigma}};
  row.marked = any_marked(builder.marks, builder.phase.number, row);
  flag_row(builder.rows, row);
  builder.rows.of(RowKind::hbond).push_back(std::move(row));
}

namespace {

// The double-precision measures of the rows, from the 32-bit coordinates
// and cell as the geometry takes them (geometry/measure.hpp), so that a
// distance reads the same here as in the bond valences.
struct RowMeasures {
  const PhaseDescription& phase;
  CellFrame frame;

  explicit RowMeasures(const PhaseDescription& p) : phase(p), frame(cell_frame(p.abc, p.cosines)) {}
  ImagePoint point(int atom, const ImageName& name) const {
    return image_point(frame, atom, phase.atoms[static_cast<std::size_t>(atom - 1)].x,
                       operation_of(phase.group, name.code, name.n), {});
  }
  ImagePoint own(int atom) const { return point(atom, ImageName{1, {}}); }
};

}  // namespace

void build_phase_rows(PhaseRows& rows, const PhaseDescription& phase, const PhaseGeometry& geometry,
                      const RunMarks& marks, const std::vector<bool>& riding) {
  if (!geometry.computed) return;
  rows.riding = riding;
  rows.disorder_groups = geometry.options.disorder_groups;
  RowBuilder builder{rows, phase, marks};
  builder.hydrogen_torsions = geometry.options.torsions == TorsionChoice::All;
  const RowMeasures measures(phase);
  const bool exact = measures.frame.usable;
  const int atoms = static_cast<int>(phase.atoms.size());
  for (int i = 1; i <= atoms; ++i) {
    const std::vector<Bond>& bonded = geometry.bonds.bonds_of(i);
    auto is_bond = [&bonded](int atom, int code, const LatticeTranslation& n) {
      return std::any_of(bonded.begin(), bonded.end(),
                         [&](const Bond& b) { return b.atom == atom && b.code == code && b.n == n; });
    };
    for (const Contact& c : geometry.contacts_of(i)) {
      const double d =
          exact ? measure_distance(measures.frame, measures.own(i), measures.point(c.atom, {c.code, c.n})).value : c.d;
      add_bond_row(builder, i, Bond{c.atom, c.code, c.n, c.x, c.d}, d, c.sigma, is_bond(c.atom, c.code, c.n));
    }
    const std::vector<Bond> kept = kept_neighbours(geometry, i);
    for_each_angle(geometry, i, kept, [&](const Bond& first, const Bond& second, const AngleValue& angle) {
      add_angle_row(builder, i, first, second, angle.degrees, angle.sigma,
                    is_bond(first.atom, first.code, first.n) && is_bond(second.atom, second.code, second.n));
    });
  }
  for (const Torsion& t : geometry.torsions) {
    const TorsionAtoms a = torsion_atoms(geometry, t);
    double degrees = t.degrees;
    if (exact)
      degrees = measure_torsion(measures.point(a.atoms[0], a.names[0]), measures.point(a.atoms[1], a.names[1]),
                                measures.point(a.atoms[2], a.names[2]), measures.point(a.atoms[3], a.names[3]))
                    .value *
                kDegreesPerRadian;
    add_torsion_row(builder, a, degrees, t.sigma);
  }
  for (const HydrogenBond& h : geometry.hbonds) {
    if (!exact) {
      add_hbond_row(builder, h);
      continue;
    }
    const ImagePoint d = measures.point(h.donor.point.atom, h.donor.name);
    const ImagePoint hydrogen = measures.point(h.hydrogen.point.atom, h.hydrogen.name);
    const ImagePoint a = measures.point(h.acceptor.point.atom, h.acceptor.name);
    const std::array<double, 4> values{measure_distance(measures.frame, d, hydrogen).value,
                                       measure_distance(measures.frame, hydrogen, a).value,
                                       measure_distance(measures.frame, d, a).value,
                                       measure_angle(measures.frame, d, hydrogen, a).value * kDegreesPerRadian};
    add_hbond_row(builder, h, &values);
  }
}

bool Row::constrained() const {
  for (std::size_t v = 0; v < row_values(kind).count; ++v)
    if (values[v].constrained) return true;
  return false;
}

bool in_paper(const Row& row) {
  if (row.crosses_disorder) return false;
  switch (row.kind) {
    case RowKind::bond:
    case RowKind::angle:
      return row.chemical || row.marked;
    case RowKind::torsion:
      return !row.hydrogen_chain || row.marked;
    case RowKind::hbond:
      return true;
  }
  return false;
}

std::vector<RecordKey> row_records(int phase, const Row& row) {
  const auto& s = row.sites;
  switch (row.kind) {
    case RowKind::bond: {
      // The record from the row's first atom, then the one from the other
      // end (absent when that direction was not searched; the same record
      // for a bond to an image its own operation takes back).
      std::vector<RecordKey> records{
          {phase, 0, {s[0].atom, s[1].atom, s[1].image.code, cell_of(s[1].image)}}};
      const RecordKey other{phase, 0, {s[1].atom, s[0].atom, row.reverse.code, cell_of(row.reverse)}};
      if (row.reverse.code != 0 && !(other == records.front())) records.push_back(other);
      return records;
    }
    case RowKind::angle:
      return {{phase, 1,
               {s[0].atom, s[1].atom, s[2].atom, s[0].image.code, cell_of(s[0].image), s[2].image.code,
                cell_of(s[2].image)}}};
    case RowKind::torsion:
      return {{phase, kTorsionKind,
               {s[0].atom, s[1].atom, s[2].atom, s[3].atom, s[0].image.code, cell_of(s[0].image), s[2].image.code,
                cell_of(s[2].image), s[3].image.code, cell_of(s[3].image)}}};
    case RowKind::hbond:
      return {{phase, kHbondKind,
               {s[0].atom, s[1].atom, s[2].atom, s[0].image.code, cell_of(s[0].image), s[2].image.code,
                cell_of(s[2].image)}}};
  }
  return {};
}

RowIdentity row_identity(const PhaseRows& rows, const Row& row) {
  RowIdentity identity;
  identity.kind = row_kind_name(row.kind).name;
  identity.phase = rows.phase();
  for (std::size_t k = 0; k < row_kind_name(row.kind).atoms; ++k) {
    identity.labels.push_back(rows.numbering.label(row.sites[k].atom));
    identity.site_codes.push_back(row.sites[k].code.empty() ? std::string("?") : row.sites[k].code);
  }
  return identity;
}

struct RowFinder {
  // (phase, kind) -> identity key -> the rows, in their order
  std::map<std::pair<int, RowKind>, std::unordered_map<std::string, std::vector<std::size_t>>> rows;
};

std::shared_ptr<RowFinder> new_row_finder() { return std::make_shared<RowFinder>(); }

namespace {

// The rows of a phase and kind that have the identity.
std::vector<std::size_t> rows_of(const PhaseRows& rows, RowKind kind, const RowIdentity& identity,
                                 RowFinder* finder) {
  const std::vector<Row>& of_kind = rows.of(kind);
  const std::string wanted = identity_key(identity.labels, identity.site_codes);
  auto key_of = [&rows](const Row& row) {
    const RowIdentity named = row_identity(rows, row);
    return identity_key(named.labels, named.site_codes);
  };
  if (finder == nullptr) {
    std::vector<std::size_t> found;
    for (std::size_t r = 0; r < of_kind.size(); ++r)
      if (key_of(of_kind[r]) == wanted) found.push_back(r);
    return found;
  }
  auto [at, fresh] = finder->rows.try_emplace({rows.phase(), kind});
  if (fresh)
    for (std::size_t r = 0; r < of_kind.size(); ++r) at->second[key_of(of_kind[r])].push_back(r);
  const auto found = at->second.find(wanted);
  return found == at->second.end() ? std::vector<std::size_t>{} : found->second;
}

}  // namespace

FoundRow find_row(RunRows& rows, const RowIdentity& identity, RowFinder* finder) {
  check_row_form(identity);
  const RowKind kind = *row_kind(identity.kind);
  std::vector<FoundRow> found;
  std::vector<int> phases;
  for (PhaseRows& phase_rows : rows.phases) {
    if (identity.phase != 0 && phase_rows.phase() != identity.phase) continue;
    const std::vector<std::size_t> matches = rows_of(phase_rows, kind, identity, finder);
    if (matches.size() > 1)
      throw AmbiguousRow("The row \"" + describe_row(identity) + "\" names " + std::to_string(matches.size()) +
                         " rows of phase " + std::to_string(phase_rows.phase()) +
                         " (sites whose code cannot be written)");
    if (matches.empty()) continue;
    found.push_back({&phase_rows, &phase_rows.of(kind)[matches.front()]});
    phases.push_back(phase_rows.phase());
  }
  if (found.empty()) throw UnknownRow("No row of this run is \"" + describe_row(identity) + "\"");
  if (found.size() > 1)
    throw AmbiguousRow("The row \"" + describe_row(identity) + "\" is in phases " + phase_list(phases) +
                       "; name the phase of the one to mark");
  return found.front();
}

bool mark_row(RunRows& rows, const MarksFiles& files, const RowIdentity& identity, bool publish, RowFinder* finder) {
  const FoundRow found = find_row(rows, identity, finder);
  const bool changed = set_row_mark(files, row_records(found.phase->phase(), *found.row), identity, publish);
  found.row->marked = publish;
  return changed;
}

RowMarksChange mark_rows(PhaseRows& rows, RowKind kind, std::span<const std::size_t> indices,
                         const MarksFiles& files, bool publish) {
  std::vector<Row>& of_kind = rows.of(kind);
  std::vector<RowMark> marks;
  marks.reserve(indices.size());
  for (std::size_t index : indices) {
    if (index >= of_kind.size())
      throw Error("Phase " + std::to_string(rows.phase()) + " has " + std::to_string(of_kind.size()) + " rows of " +
                  row_kind_name(kind).name + "; there is no row " + std::to_string(index));
    marks.push_back({row_records(rows.phase(), of_kind[index]), row_identity(rows, of_kind[index])});
  }
  RowMarksChange change{rows.phase(), kind, publish, {}, set_row_marks(files, marks, publish)};
  // The rows whose records changed; the others were as asked already.
  std::unordered_set<RecordKey, RecordKeyHash> changed;
  for (const MarkChange& record : change.records) changed.insert(record.record);
  for (std::size_t k = 0; k < indices.size(); ++k) {
    const auto& records = marks[k].records;
    if (std::any_of(records.begin(), records.end(), [&](const RecordKey& r) { return changed.count(r) != 0; }))
      change.rows.push_back(indices[k]);
    of_kind[indices[k]].marked = publish;
  }
  return change;
}

void undo_mark_rows(PhaseRows& rows, const RowMarksChange& change, const MarksFiles& files, bool undo) {
  put_back_marks(files, change.records, undo);
  for (std::size_t index : change.rows) rows.of(change.kind)[index].marked = undo ? !change.publish : change.publish;
}

}  // namespace vesk
