#include "geometry/inorganic_analysis.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <tuple>

#include <gemmi/elem.hpp>

#include "crystal/symmetric_eigen.hpp"
#include "geometry/bond_valence.hpp"
#include "geometry/bond_valence_parameters.hpp"
#include "geometry/disjoint_sets.hpp"
#include "geometry/hydrogen_bonds.hpp"
#include "geometry/measure.hpp"
#include "geometry/oxidation_states.hpp"
#include "geometry/polyhedra.hpp"
#include "geometry/rigid_bond.hpp"
#include "geometry/short_contacts.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"

namespace vesk {

namespace {

Point3d cart(const ImagePoint& p) { return {p.cart[0], p.cart[1], p.cart[2]}; }

// Positions of the atom in the cell: the distinct images of the group's
// operations, reduced into the cell.
int site_multiplicity(const SpaceGroupInfo& group, const Vec3& x) {
  std::vector<Vec3d> seen;
  auto reduced = [](Vec3d p) {
    for (double& c : p) {
      c -= std::floor(c);
      if (c > 1 - 1e-5) c = 0;
    }
    return p;
  };
  auto same = [](const Vec3d& a, const Vec3d& b) {
    for (int k = 0; k < 3; ++k) {
      double d = std::abs(a[static_cast<std::size_t>(k)] - b[static_cast<std::size_t>(k)]);
      d = std::min(d, 1 - d);
      if (d > 1e-4) return false;
    }
    return true;
  };
  for (int centring = 1; centring <= std::max(group.ncent, 1); ++centring)
    for (int sign = 1; sign >= (group.centric ? -1 : 1); sign -= 2)
      for (int op = 1; op <= std::max(group.nsym, 1); ++op) {
        const int code = sign * (op + 100 * (centring - 1));
        const Vec3d p = reduced(image_of(operation_of(group, code, LatticeTranslation{}), x));
        if (std::none_of(seen.begin(), seen.end(), [&](const Vec3d& q) { return same(p, q); })) seen.push_back(p);
      }
  return static_cast<int>(std::max<std::size_t>(seen.size(), 1));
}

// True when the group's operations that leave the atom in place fix every
// coordinate of it (Cs and Cl of a cubic perovskite): distances between
// such atoms follow from the cell alone.
bool fixed_by_symmetry(const SpaceGroupInfo& group, const Vec3& x) {
  std::array<std::array<long, 3>, 3> m{};  // sum of (R - I)^T (R - I) over the stabiliser
  for (int centring = 1; centring <= std::max(group.ncent, 1); ++centring)
    for (int sign = 1; sign >= (group.centric ? -1 : 1); sign -= 2)
      for (int op = 1; op <= std::max(group.nsym, 1); ++op) {
        const SymmetryOperation operation = operation_of(group, sign * (op + 100 * (centring - 1)), LatticeTranslation{});
        const Vec3d p = image_of(operation, x);
        bool in_place = true;
        for (std::size_t k = 0; k < 3; ++k) {
          const double d = p[k] - x[k];
          in_place = in_place && std::abs(d - std::round(d)) < 1e-3;
        }
        if (!in_place) continue;
        for (std::size_t r = 0; r < 3; ++r)
          for (std::size_t c = 0; c < 3; ++c)
            for (std::size_t k = 0; k < 3; ++k)
              m[r][c] += static_cast<long>(operation.rotation[k][r] - (k == r)) * (operation.rotation[k][c] - (k == c));
      }
  const long det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                   m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  return det != 0;
}

// Sylvester's criterion on the Uij: N U N (the CIF's U to U*) keeps it.
bool positive_definite(const AtomSite& atom) {
  const auto& u = atom.u;
  const double m1 = u[0];
  const double m2 = u[0] * u[1] - u[3] * u[3];
  const double m3 = u[0] * (u[1] * u[2] - u[5] * u[5]) - u[3] * (u[3] * u[2] - u[5] * u[4]) +
                    u[4] * (u[3] * u[5] - u[1] * u[4]);
  return m1 > 0 && m2 > 0 && m3 > 0;
}

std::string fixed(double v, int digits) {
  char text[40];
  std::snprintf(text, sizeof text, "%.*f", digits, v);
  return text;
}

// value(esd): the s.u. in one digit, two when it starts with 1.
std::string with_su(const MeasuredValue& m) {
  if (!(m.su > 0)) return fixed(m.value, 4);
  const int e = static_cast<int>(std::floor(std::log10(m.su)));
  const int k = std::clamp(-e + (m.su / std::pow(10.0, e) < 2 ? 1 : 0), 0, 8);
  return fixed(m.value, k) + "(" + std::to_string(std::lround(m.su * std::pow(10.0, k))) + ")";
}

// The entry that serves a pair here: of the table's entries for the exact
// cation, anion and states, Brese & O'Keeffe, Acta Cryst. B47 (1991) 192
// (code "b": one consistent fit over all pairs with b = 0.37) first, then
// Brown & Altermatt, Acta Cryst. B41 (1985) 244 (code "a"), then the first
// entry from the literature before a private communication, then the
// table's order; without an exact entry, the table's own rule (a
// state-free entry). The table's first Al(III)-O entry, a private
// communication, gives Al in spinel some 2.6 v.u.; Allmann's published one
// gives 2.8.
const BondValenceParameter* preferred_parameter(const BondValenceTable& table, const std::string& cation,
                                                int cation_state, const std::string& anion, int anion_state) {
  std::vector<const BondValenceParameter*> exact;
  for (const BondValenceParameter& p : table.entries)
    if (p.cation == cation && p.cation_state == cation_state && p.anion == anion && p.anion_state == anion_state)
      exact.push_back(&p);
  for (const char* code : {"b", "a"})
    for (const BondValenceParameter* p : exact)
      if (p->reference == code) return p;
  for (const BondValenceParameter* p : exact) {
    const auto ref = table.references.find(p->reference);
    std::string citation = ref == table.references.end() ? std::string() : ref->second;
    std::transform(citation.begin(), citation.end(), citation.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (citation.find("private communication") == std::string::npos) return p;
  }
  if (!exact.empty()) return exact.front();
  return find_bond_valence_parameter(table, cation, cation_state, anion, anion_state);
}

// One atom's sums as measures over its points (the atom, then its
// ligands), with the derivatives by the refined occupancies of its ligands.
struct AtomSums {
  std::vector<ImagePoint> points;
  PointMeasure sum, deviation;
  std::vector<ParameterDerivative> fractions;
};

// A site's occupancy-weighted sum, valence and deviation over the points
// of all its atoms.
struct SiteSums {
  std::vector<ImagePoint> points;
  PointMeasure sum, deviation;
  std::vector<ParameterDerivative> fractions;      // of the deviation
  std::vector<ParameterDerivative> sum_fractions;  // of the sum
  double valence = 0;
  double occupancy = 0;  // of all its atoms together
};

// With F = sum f_i: B = sum f_i S_i / F, V = sum f_i |q_i| / F, D = B - V,
// and by a refined f_i of the site's own atoms dB/df_i = (S_i - B) / F,
// dD/df_i = (d_i - D) / F. One atom alone gives its own sum.
template <class SiteOf>
SiteSums site_sums(const std::vector<int>& state, const std::vector<AtomSums>& own, const std::vector<int>& members,
                   SiteOf site_of) {
  SiteSums site;
  for (int atom : members) site.occupancy += site_of(atom).fraction;
  const bool weighed = site.occupancy > 0;
  const double total = weighed ? site.occupancy : static_cast<double>(members.size());
  auto share = [&](int atom) { return (weighed ? site_of(atom).fraction : 1.0) / total; };
  for (int atom : members) {
    const AtomSums& sums = own[static_cast<std::size_t>(atom - 1)];
    const double w = share(atom);
    site.points.insert(site.points.end(), sums.points.begin(), sums.points.end());
    for (const Cart3& g : sums.sum.gradient) site.sum.gradient.push_back(vec3::scaled(g, w));
    site.sum.value += w * sums.sum.value;
    site.valence += w * std::abs(static_cast<double>(state[static_cast<std::size_t>(atom - 1)]));
    for (const ParameterDerivative& e : sums.fractions) site.fractions.push_back({e.position, w * e.value});
  }
  site.deviation = site.sum;
  site.deviation.value = site.sum.value - site.valence;
  std::vector<ParameterDerivative> sum_fractions = site.fractions;
  if (members.size() > 1 && weighed)
    for (int atom : members)
      if (const int position = site_of(atom).fraction_position; position != 0) {
        const AtomSums& sums = own[static_cast<std::size_t>(atom - 1)];
        const double q = std::abs(static_cast<double>(state[static_cast<std::size_t>(atom - 1)]));
        sum_fractions.push_back({position, (sums.sum.value - site.sum.value) / total});
        site.fractions.push_back({position, (sums.sum.value - q - site.deviation.value) / total});
      }
  site.sum_fractions = std::move(sum_fractions);
  return site;
}

std::string trimmed_label(const AtomSite& atom) {
  std::string text = atom.label;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// A partner of an atom in the sums: one of the distances the search
// lists (within its limit, DMAX or the radii: the bond limit of the sums,
// so that a long Ca-O of 3 A still counts), and whether it is a chemical
// bond too, which makes it a ligand of the polyhedron.
struct Partner {
  Bond bond;
  bool bonded = false;
};

// How much of a partner is there when the atom is. Of one disorder group,
// all of it (they come and go together); of another, none (alternatives
// never meet); else its occupancy fj, the averaged structure's view, exact
// where every alternative is in the model (spinel's O sees Mg on the
// tetrahedral site 0.78 of the time; a perchlorate's O sees the Cl of both
// orientations, at the one place, in their proportions).
double present_with(int group_i, int group_j, double fi, double fj) {
  if (group_i != 0 && group_j != 0 && fi < 1 && fj < 1) return group_i == group_j ? 1.0 : 0.0;
  return fj;
}

// Each atom's site: the atoms at its position (within 1.0E-3 of a cell
// edge), from 1, the atom itself first.
std::vector<std::vector<int>> co_occupants(const PhaseDescription& phase) {
  const std::size_t count = phase.atoms.size();
  std::vector<std::size_t> order(count);
  for (std::size_t k = 0; k < count; ++k) order[k] = k;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return phase.atoms[a].x[0] < phase.atoms[b].x[0]; });
  std::vector<std::vector<int>> site_of(count);  // atoms from 1, the atom itself first
  for (std::size_t k = 0; k < count; ++k) site_of[k].push_back(static_cast<int>(k + 1));
  for (std::size_t a = 0; a < count; ++a)
    for (std::size_t b = a + 1; b < count; ++b) {
      const Vec3& x = phase.atoms[order[a]].x;
      const Vec3& y = phase.atoms[order[b]].x;
      if (y[0] - x[0] >= 1e-3f) break;
      if (std::abs(x[1] - y[1]) < 1e-3f && std::abs(x[2] - y[2]) < 1e-3f) {
        site_of[order[a]].push_back(static_cast<int>(order[b] + 1));
        site_of[order[b]].push_back(static_cast<int>(order[a] + 1));
      }
    }
  return site_of;
}

// Atoms that share one site share one coordination: each takes the
// partners of all of them, found with its own radii, so that Mg on a Ca
// site sees Ca's long bonds too.
std::vector<std::vector<Partner>> partners_of(const PhaseGeometry& geometry,
                                              const std::vector<std::vector<int>>& site_of) {
  const std::size_t count = site_of.size();
  auto same = [](const Bond& a, int atom, int code, const LatticeTranslation& n) {
    return a.atom == atom && a.code == code && a.n == n;
  };
  std::vector<std::vector<Partner>> partners(count);
  for (std::size_t k = 0; k < count; ++k) {
    std::vector<Partner>& list = partners[k];
    for (int member : site_of[k])
      for (const Contact& c : geometry.contacts_of(member)) {
        if (std::any_of(site_of[k].begin(), site_of[k].end(), [&](int m) { return m == c.atom; }) && c.d < 0.5f)
          continue;  // a co-occupant of the site
        if (std::any_of(list.begin(), list.end(), [&](const Partner& p) { return same(p.bond, c.atom, c.code, c.n); }))
          continue;
        bool bonded = false;
        for (int m : site_of[k])
          for (const Bond& b : geometry.bonds.bonds_of(m)) bonded = bonded || same(b, c.atom, c.code, c.n);
        list.push_back({Bond{c.atom, c.code, c.n, c.x, c.d}, bonded});
      }
  }
  return partners;
}

}  // namespace

std::optional<TypeSymbol> element_and_charge(std::string_view type_symbol) {
  const int z = element_of_type(type_symbol);
  if (z == 0) return std::nullopt;
  const char* name = gemmi::element_name(static_cast<gemmi::El>(z));
  // The charge is what follows the letters, whichever of them named the element.
  const std::string_view symbol = recio::trim_right(type_symbol);
  std::size_t letters = 0;
  while (letters < symbol.size() && letters < 2 && std::isalpha(static_cast<unsigned char>(symbol[letters])))
    ++letters;
  std::optional<TypeSymbol> parsed = parse_type_symbol(std::string(name) + std::string(symbol.substr(letters)));
  if (parsed) parsed->element = name;
  return parsed;
}

namespace {

constexpr int kCarbon = 6;

// What an atom is for the bond valences.
enum class Role {
  None,    // left out (its reason says why)
  Cation,
  Anion,
  Donor,   // an atom of a molecule bonded to a metal: an anion for the metal's sum, with no sum of its own
};

struct AtomRole {
  Role role = Role::None;
  std::string element;
  int z = 0;
  std::optional<int> given;      // the state the type symbol or OXID gives
  std::string given_from;        // "type symbol", "control record"
  std::string reason;            // why it is left out
  int state = 0;                 // its state (a donor's as an anion); 0 with none
  std::string state_from;
};

std::string label_of(const PhaseDescription& phase, int atom) {
  return trimmed_label(phase.atoms[static_cast<std::size_t>(atom - 1)]);
}

// The atoms of a molecule: the parts the bonds other than those to metal
// atoms join, that hold a carbon atom bonded to anything but oxygen (or to
// nothing at all); a carbonate's carbon bonded to its three O alone is an
// ion's.
std::vector<bool> molecular_atoms(const PhaseDescription& phase, const PhaseGeometry& geometry,
                                  const std::vector<AtomRole>& roles) {
  const std::size_t count = phase.atoms.size();
  DisjointSets parts(count);
  auto metal = [&](int atom) { return is_metal(roles[static_cast<std::size_t>(atom - 1)].z); };
  std::vector<bool> organic_part(count, false);
  for (int i = 1; i <= static_cast<int>(count); ++i) {
    if (metal(i)) continue;
    for (const Bond& bond : geometry.bonds.bonds_of(i))
      if (!metal(bond.atom)) parts.join(static_cast<std::size_t>(i - 1), static_cast<std::size_t>(bond.atom - 1));
  }
  for (int i = 1; i <= static_cast<int>(count); ++i) {
    if (roles[static_cast<std::size_t>(i - 1)].z != kCarbon) continue;
    const std::vector<Bond>& bonds = geometry.bonds.bonds_of(i);
    const bool oxo = !bonds.empty() && std::all_of(bonds.begin(), bonds.end(), [&](const Bond& b) {
      return roles[static_cast<std::size_t>(b.atom - 1)].element == "O";
    });
    if (!oxo) organic_part[parts.root(static_cast<std::size_t>(i - 1))] = true;
  }
  std::vector<bool> organic(count);
  for (std::size_t k = 0; k < count; ++k) organic[k] = organic_part[parts.root(k)];
  return organic;
}

std::string joined_labels(const PhaseDescription& phase, const std::vector<int>& atoms) {
  std::string text;
  for (int atom : atoms) text += (text.empty() ? "" : ", ") + label_of(phase, atom);
  return text;
}

// Which polyhedra share a corner, an edge or a face. A ligand is named by
// its atom and its position (to 1.0E-3 of a cell edge: an atom on a special
// position given to four decimals comes back from its site symmetry a few
// 1.0E-5 away); another polyhedron is reached through a ligand's own bonds
// to cations.
void name_sharing(const PhaseDescription& phase, const PhaseGeometry& geometry, const AnalysisFrame& work,
                  InorganicAnalysis& analysis) {
  struct Place {
    int atom = 0;
    Vec3d x{};
    bool operator==(const Place& o) const {
      return atom == o.atom && std::abs(x[0] - o.x[0]) < 1e-3 && std::abs(x[1] - o.x[1]) < 1e-3 &&
             std::abs(x[2] - o.x[2]) < 1e-3;
    }
  };
  auto place = [&](int atom, const SymmetryOperation& op) { return Place{atom, image_of(op, work.site(atom).x)}; };
  std::map<int, const PolyhedronRow*> polyhedron_of;
  for (const PolyhedronRow& poly : analysis.polyhedra) polyhedron_of[poly.atom] = &poly;
  std::set<std::tuple<int, int, std::string>> named;
  for (PolyhedronRow& poly : analysis.polyhedra) {
    std::vector<Place> own;
    for (const AnalysisImage& l : poly.ligands) own.push_back(place(l.atom, l.op));
    std::vector<Place> visited{place(poly.atom, SymmetryOperation{})};
    std::set<std::pair<int, std::string>> named_here;
    for (const AnalysisImage& l : poly.ligands)
      for (const Bond& bond : geometry.bonds.bonds_of(l.atom)) {
        const auto other = polyhedron_of.find(bond.atom);
        if (other == polyhedron_of.end()) continue;
        const SymmetryOperation op = compose(l.op, bond_operation(phase.group, bond));
        const Place reached = place(bond.atom, op);
        if (std::find(visited.begin(), visited.end(), reached) != visited.end()) continue;
        visited.push_back(reached);
        // Alternative occupants of one site (Mg and Al of an inverse
        // spinel) share no polyhedron with each other.
        if (Place{0, reached.x} == Place{0, image_of(SymmetryOperation{}, work.site(poly.atom).x)}) continue;
        std::vector<Place> theirs;
        for (const AnalysisImage& m : other->second->ligands) theirs.push_back(place(m.atom, compose(op, m.op)));
        const SharingKind kind = polyhedra_sharing<Place>(own, theirs);
        if (kind == SharingKind::none) continue;
        const int a = std::min(poly.atom, bond.atom), b = std::max(poly.atom, bond.atom);
        if (named.insert({a, b, sharing_name(kind)}).second) analysis.sharing.push_back({a, b, sharing_name(kind)});
        // Each polyhedron names the first image of a neighbour found for each kind.
        if (named_here.insert({bond.atom, sharing_name(kind)}).second)
          poly.shares.push_back({{bond.atom, op}, sharing_name(kind)});
      }
  }
}

InorganicAnalysis analyse_valences(const PhaseDescription& phase, const PhaseGeometry& geometry,
                                   const CellCovariance& cell, const ParameterCovariance& covariance,
                                   const InorganicOptions& options) {
  InorganicAnalysis analysis;
  if (!geometry.computed || !options.valences) return analysis;
  const AnalysisFrame work(phase, cell, covariance);
  if (!work.frame.usable) return analysis;
  const BondValenceTable& table = bundled_bond_valence_table();
  const int count = static_cast<int>(phase.atoms.size());
  auto at = [](int atom) { return static_cast<std::size_t>(atom - 1); };
  auto group = [&](int atom) {
    return at(atom) < geometry.options.disorder_groups.size() ? std::abs(geometry.options.disorder_groups[at(atom)]) : 0;
  };

  // The atoms, their elements and the states given them.
  std::vector<AtomRole> roles(static_cast<std::size_t>(count));
  for (int i = 1; i <= count; ++i) {
    AtomRole& r = roles[at(i)];
    const AtomSite& site = work.site(i);
    const std::optional<TypeSymbol> parsed = element_and_charge(site.type_symbol);
    if (!parsed) {
      // A charge that does not read is the input's fault: nothing is
      // computed, and the run says why. A type that names no element is
      // left out, as a Fourier peak is.
      const std::string symbol(recio::trim_right(site.type_symbol));
      if (const std::string fault = type_symbol_charge_fault(symbol); !fault.empty()) {
        analysis.not_computed = "atom " + trimmed_label(site) + " has the type symbol \"" + symbol + "\"; " + fault;
        return analysis;
      }
      r.reason = recio::equal_padded(site.type_symbol, "FrPk") ? "a Fourier peak" : "its type names no element";
      continue;
    }
    r.element = parsed->element;
    r.z = element_of_type(site.type_symbol);
    if (site.fraction == 0) {
      r.z = 0;
      r.reason = "occupancy 0: a point, not an atom";
      continue;
    }
    if (parsed->charge) {
      r.given = *parsed->charge;
      r.given_from = "type symbol";
    } else if (const auto found = options.control_states.find(r.element); found != options.control_states.end()) {
      r.given = found->second;
      r.given_from = "control record";
    }
  }
  const std::vector<bool> organic = molecular_atoms(phase, geometry, roles);
  bool molecular = false, unknown = false;
  for (int i = 1; i <= count; ++i) {
    molecular = molecular || organic[at(i)];
    unknown = unknown || (roles[at(i)].z == 0 && !recio::equal_padded(work.site(i).type_symbol, "FrPk"));
  }
  analysis.ionic = !molecular && !unknown;

  // Roles. In a phase of ions an atom is an anion when no atom bonded to
  // it is more electronegative (O of a silicate, S of a sulfide; not the
  // S of a sulfate), else a cation. In a phase with molecules only metal
  // atoms get states (with their donor atoms as anions), and atoms whose
  // states are given.
  // What the table says of each element, looked up once per element.
  struct ElementStates {
    std::optional<int> as_anion;
    std::vector<int> as_cation;  // positive states, in the table's order
  };
  std::map<std::string, ElementStates> table_states;
  auto states_of = [&](const std::string& element) -> const ElementStates& {
    auto [at, added] = table_states.emplace(element, ElementStates{});
    if (added) {
      at->second.as_anion = anion_state(table, element);
      for (int q : candidate_oxidation_states(table, element))
        if (q > 0) at->second.as_cation.push_back(q);
    }
    return at->second;
  };
  std::vector<double> hydrogen_charge(static_cast<std::size_t>(count), 0);
  for (int i = 1; i <= count; ++i) {
    AtomRole& r = roles[at(i)];
    if (r.z == 0) continue;
    const std::vector<Bond>& bonds = geometry.bonds.bonds_of(i);
    std::vector<int> to_carbon;
    bool to_metal = false, more_electronegative = false, more_electronegative_besides_ch = false;
    for (const Bond& b : bonds) {
      const AtomRole& other = roles[at(b.atom)];
      const bool carbon_or_hydrogen = other.z == kCarbon || is_hydrogen(other.z);
      if (carbon_or_hydrogen && std::find(to_carbon.begin(), to_carbon.end(), b.atom) == to_carbon.end())
        to_carbon.push_back(b.atom);
      to_metal = to_metal || is_metal(other.z);
      const bool above = electronegativity_rank(other.element) > electronegativity_rank(r.element);
      more_electronegative = more_electronegative || above;
      more_electronegative_besides_ch = more_electronegative_besides_ch || (above && !carbon_or_hydrogen);
    }
    const std::optional<int> as_anion = states_of(r.element).as_anion;
    if (is_hydrogen(r.z)) {
      // Its charge still counts for the balance: +1 on an anion, -1 on a metal (a hydride).
      hydrogen_charge[at(i)] = to_metal ? -1 : 1;
      r.reason = "hydrogen: X-ray positions are too short for bond valences";
      continue;
    }
    if (is_metal(r.z) && !to_carbon.empty()) {
      r.reason = "bonded to " + joined_labels(phase, to_carbon) + ": bonds to carbon and hydrogen have no parameters";
      continue;
    }
    if (r.given) {
      r.role = *r.given > 0 ? Role::Cation : *r.given < 0 ? Role::Anion : Role::None;
      if (r.role == Role::None) r.reason = "oxidation state 0";
      r.state = *r.given;
      r.state_from = r.given_from;
      continue;
    }
    if (!analysis.ionic) {
      // A donor gives a metal its lone pair: N of an amine or a pyridine,
      // O of a carboxylate or water, S of a thiolate, P of a phosphine, a
      // halide; not the N of a nitrate nor the S of a sulfate, which are
      // bonded to something more electronegative than carbon or hydrogen.
      if (is_metal(r.z)) {
        r.role = Role::Cation;
      } else {
        if (as_anion && r.z != kCarbon && !more_electronegative_besides_ch) {
          r.role = Role::Donor;
          r.state = *as_anion;
        }
        r.reason = organic[at(i)] ? "an atom of a molecule: no state is assigned to it"
                                  : "an ion beside molecules, its state not given: none is assigned";
      }
      continue;
    }
    const bool has_cation_state = !states_of(r.element).as_cation.empty();
    if (as_anion && (!more_electronegative || !has_cation_state)) {
      r.role = Role::Anion;
      r.state = *as_anion;
      r.state_from = "assigned";
    } else if (has_cation_state) {
      r.role = Role::Cation;
    } else {
      r.reason = "the table has no oxidation state for " + r.element;
    }
  }
  // An anion bonded to an atom of its own element is part of a polyanion
  // (the N-N chains of a nitride, a persulfide's S2, a peroxide's O2): its
  // state is not the table's, and the states of the phase around it cannot
  // be assigned from the table. Only states given stay.
  if (analysis.ionic) {
    std::string polyanion;
    for (int i = 1; i <= count && polyanion.empty(); ++i) {
      const AtomRole& r = roles[at(i)];
      if (r.role != Role::Anion || r.given) continue;
      for (const Bond& b : geometry.bonds.bonds_of(i))
        if (roles[at(b.atom)].element == r.element) {
          polyanion = label_of(phase, i) + "-" + label_of(phase, b.atom);
          break;
        }
    }
    if (!polyanion.empty())
      for (AtomRole& r : roles)
        if ((r.role == Role::Cation || r.role == Role::Anion) && !r.given) {
          r.role = Role::None;
          r.reason = "the phase holds a polyanion (" + polyanion + "): no state is assigned";
        }
  }
  // The metal atom of a complex needs a bond to a donor atom: a metal with
  // contacts alone (an ion held in the pocket of a molecule) has no
  // coordination its sum would describe.
  if (!analysis.ionic)
    for (int i = 1; i <= count; ++i) {
      AtomRole& r = roles[at(i)];
      if (r.role != Role::Cation || r.given || !is_metal(r.z)) continue;
      const std::vector<Bond>& bonds = geometry.bonds.bonds_of(i);
      if (std::none_of(bonds.begin(), bonds.end(), [&](const Bond& b) { return roles[at(b.atom)].role == Role::Donor; })) {
        r.role = Role::None;
        r.reason = "a metal atom bonded to no donor atom";
      }
    }

  if (std::none_of(roles.begin(), roles.end(),
                   [](const AtomRole& r) { return r.role == Role::Cation || r.role == Role::Anion; })) {
    // Nothing to sum: a phase of molecules without metal atoms, of points or of no elements.
    for (int i = 1; i <= count; ++i)
      if (!roles[at(i)].reason.empty()) analysis.left_out.push_back({i, roles[at(i)].reason});
    return analysis;
  }
  const std::vector<std::vector<int>> site_of = co_occupants(phase);
  const std::vector<std::vector<Partner>> partners = partners_of(geometry, site_of);
  auto opposite = [&](const AtomRole& a, const AtomRole& b) {
    if (a.role == Role::Cation) return b.role == Role::Anion || b.role == Role::Donor;
    if (a.role == Role::Anion) return b.role == Role::Cation;
    return false;
  };
  // The valence of one partner's bond at the atom's state, with the
  // partner's occupancy; nullptr without a parameter.
  auto parameter_for = [&](const AtomRole& a, int a_state, const AtomRole& b) -> const BondValenceParameter* {
    return a.role == Role::Cation ? preferred_parameter(table, a.element, a_state, b.element, b.state)
                                  : preferred_parameter(table, b.element, b.state, a.element, a_state);
  };

  // The cations' states, each element's fitted to its sums.
  std::vector<int> choosing;
  std::vector<CationChoice> choices;
  double fixed_charge = 0;
  for (int i = 1; i <= count; ++i) {
    const AtomRole& r = roles[at(i)];
    const double weight = work.site(i).fraction * site_multiplicity(phase.group, work.site(i).x);
    fixed_charge += weight * hydrogen_charge[at(i)];
    if (r.role == Role::Anion || (r.role == Role::Cation && r.given)) fixed_charge += weight * r.state;
    if (r.role != Role::Cation || r.given) continue;
    CationChoice choice{r.element, weight, {}, {}};
    for (int q : states_of(r.element).as_cation) {
      double sum = 0;
      for (const Partner& partner : partners[at(i)]) {
        const AtomRole& other = roles[at(partner.bond.atom)];
        if (!opposite(r, other)) continue;
        const BondValenceParameter* p = parameter_for(r, q, other);
        const double f = present_with(group(i), group(partner.bond.atom), work.site(i).fraction,
                                      work.site(partner.bond.atom).fraction);
        sum = p == nullptr ? std::numeric_limits<double>::quiet_NaN()
                           : sum + f * std::exp((p->r0 - partner.bond.d) / p->b);
      }
      choice.states.push_back(q);
      choice.sums.push_back(sum);
    }
    choosing.push_back(i);
    choices.push_back(std::move(choice));
  }
  const CationStates assigned = assign_cation_states(choices, fixed_charge, analysis.ionic);
  for (std::size_t c = 0; c < choosing.size(); ++c) {
    AtomRole& r = roles[at(choosing[c])];
    r.state = assigned.states[c];
    r.state_from = "assigned";
    if (r.state == 0) {
      r.role = Role::None;
      r.reason = "the table has no oxidation state for " + r.element;
    }
  }

  // Bonds of every atom to the opposite sign with a parameter. A
  // neighbour on a partly occupied site brings that fraction f of its
  // valence, f exp((R0 - R)/b) = exp((R0 + b ln f - R)/b); a refined f adds
  // its derivative exp((R0 - R)/b) to the propagation.
  std::vector<AtomSums> own(static_cast<std::size_t>(count));
  std::vector<int> state(static_cast<std::size_t>(count), 0);  // of the atoms with sums
  std::vector<std::size_t> row_of(static_cast<std::size_t>(count), static_cast<std::size_t>(-1));
  std::set<std::pair<std::string, std::string>> missing;  // cation and anion with their states
  std::set<std::string> froms;
  for (int i = 1; i <= count; ++i) {
    const std::size_t k = at(i);
    const AtomRole& r = roles[k];
    if (r.role != Role::Cation && r.role != Role::Anion) {
      if (r.role == Role::Donor || !r.reason.empty()) analysis.left_out.push_back({i, r.reason});
      continue;
    }
    state[k] = r.state;
    froms.insert(r.state_from == "type symbol" ? "type symbols" : r.state_from);
    AtomValence row;
    row.atom = i;
    row.state = r.state;
    row.state_from = r.state_from;
    AtomSums& sums = own[k];
    sums.points = {work.point({i, SymmetryOperation{}})};
    std::vector<ValenceParameters> parameters;
    std::vector<std::string> without;  // partners without a parameter, or without a sum of their own
    for (const Partner& partner : partners[k]) {
      const Bond& bond = partner.bond;
      const AtomRole& other = roles[at(bond.atom)];
      if (r.role == Role::Anion && other.role == Role::None && is_metal(other.z) &&
          std::find(without.begin(), without.end(), label_of(phase, bond.atom)) == without.end())
        without.push_back(label_of(phase, bond.atom));
      if (r.role == Role::Anion && is_hydrogen(other.z) && partner.bonded &&
          std::find(without.begin(), without.end(), label_of(phase, bond.atom)) == without.end())
        without.push_back(label_of(phase, bond.atom));
      if (!opposite(r, other)) continue;
      const bool cation = r.role == Role::Cation;
      const BondValenceParameter* p = parameter_for(r, r.state, other);
      if (p == nullptr) {
        const std::string c = (cation ? r.element : other.element) + std::to_string(cation ? r.state : other.state);
        const std::string a = (cation ? other.element : r.element) + std::to_string(cation ? other.state : r.state);
        missing.insert({c, a});
        if (std::find(without.begin(), without.end(), label_of(phase, bond.atom)) == without.end())
          without.push_back(label_of(phase, bond.atom));
        continue;
      }
      const AnalysisImage ligand{bond.atom, bond_operation(phase.group, bond)};
      const ImagePoint q = work.point(ligand);
      const double fj = work.site(bond.atom).fraction;
      const double f = present_with(group(i), group(bond.atom), work.site(i).fraction, fj);
      if (f == 0) continue;  // an alternative of the atom's own part
      const ValenceParameters vp{f < 1 ? p->r0 + p->b * std::log(f) : p->r0, p->b};
      const std::array<ImagePoint, 2> pair{sums.points.front(), q};
      const std::array<Point3d, 2> pair_cart{cart(sums.points.front()), cart(q)};
      const std::array<ValenceParameters, 1> one{vp};
      const PointMeasure distance = measure_distance(work.frame, sums.points.front(), q);
      std::vector<ParameterDerivative> by_fraction;
      if (const int position = work.site(bond.atom).fraction_position; position != 0 && f == fj && fj > 0)
        by_fraction.push_back({position, std::exp((p->r0 - distance.value) / p->b)});
      row.bonds.push_back({ligand, work.measured(pair, distance), p->r0, p->b, p->reference,
                           work.measured(pair, bond_valence_sum(pair_cart, one), 1, by_fraction), partner.bonded});
      sums.points.push_back(q);
      sums.fractions.insert(sums.fractions.end(), by_fraction.begin(), by_fraction.end());
      parameters.push_back(vp);
    }
    // An acceptor of hydrogen bonds misses what they bring it.
    if (r.role == Role::Anion)
      for (const HydrogenBond& h : geometry.hbonds)
        if (h.acceptor.point.atom == i &&
            std::find(without.begin(), without.end(), label_of(phase, h.hydrogen.point.atom)) == without.end())
          without.push_back(label_of(phase, h.hydrogen.point.atom));
    if (!without.empty()) {
      std::string names;
      for (const std::string& name : without) names += (names.empty() ? "" : ", ") + name;
      row.unchecked = "without " + names;
    }
    std::vector<Point3d> carts;
    for (const ImagePoint& p : sums.points) carts.push_back(cart(p));
    if (!row.bonds.empty()) {
      sums.sum = bond_valence_sum(carts, parameters);
      sums.deviation = valence_deviation(carts, parameters, r.state);
      row.sum = work.measured(sums.points, sums.sum, 1, sums.fractions);
      row.deviation = work.measured(sums.points, sums.deviation, 1, sums.fractions);
    } else {
      row.sum = MeasuredValue{0, 0, true};
      row.deviation = MeasuredValue{-std::abs(static_cast<double>(r.state)), 0, true};
    }
    row_of[k] = analysis.atoms.size();
    analysis.atoms.push_back(std::move(row));
  }
  for (const std::string& from : froms) analysis.states_from += (analysis.states_from.empty() ? "" : " and ") + from;
  // No partner of the opposite sign anywhere, and none without a
  // parameter: nothing to show.
  analysis.computed = !missing.empty() || std::any_of(analysis.atoms.begin(), analysis.atoms.end(),
                                                      [](const AtomValence& row) { return !row.bonds.empty(); });
  if (!analysis.computed) {
    analysis.atoms.clear();
    return analysis;
  }
  auto valence_row = [&](int atom) -> const AtomValence* {
    const std::size_t r = row_of[at(atom)];
    return r == static_cast<std::size_t>(-1) ? nullptr : &analysis.atoms[r];
  };

  // Sites: atoms with bonds at one position (to 1.0E-3 of a cell edge, as
  // the polyhedra below name places), cations and anions apart. Of a site
  // shared by several atoms (Mg and Al of a partly inverse spinel), the
  // occupancy-weighted mean of their sums is compared with the
  // occupancy-weighted mean of their valences, as for an averaged ion
  // (Brown, "The Chemical Bond in Inorganic Chemistry", Oxford 2002, on
  // sites of mixed occupancy): a minority ion held to its own formal
  // valence in a site shaped for the majority's raises a false alarm.
  std::vector<std::vector<int>> sites;
  std::vector<int> site_number(static_cast<std::size_t>(count), -1);  // [atom - 1] into sites
  for (const AtomValence& row : analysis.atoms) {
    if (row.bonds.empty()) continue;
    const std::size_t k = at(row.atom);
    const auto other = std::find_if(site_of[k].begin(), site_of[k].end(), [&](int m) {
      return site_number[at(m)] >= 0 && (state[at(m)] > 0) == (row.state > 0);
    });
    if (other == site_of[k].end()) {
      site_number[k] = static_cast<int>(sites.size());
      sites.push_back({row.atom});
    } else {
      site_number[k] = site_number[at(*other)];
      sites[static_cast<std::size_t>(site_number[k])].push_back(row.atom);
    }
  }
  auto site_checked = [&](const std::vector<int>& members) {
    return std::all_of(members.begin(), members.end(), [&](int m) { return valence_row(m)->unchecked.empty(); });
  };
  std::vector<SiteDeviation> site_deviations;
  std::vector<ImagePoint> all_points;
  std::vector<std::vector<ParameterDerivative>> site_fractions;  // d deviation / d refined occupancy
  std::vector<std::vector<std::pair<int, double>>> weight_fractions;  // d weight / d refined occupancy
  std::vector<const std::vector<int>*> gii_sites;
  const bool gii_wanted = analysis.ionic && std::all_of(sites.begin(), sites.end(), site_checked);
  for (const std::vector<int>& members : sites) {
    const SiteSums site = site_sums(state, own, members, [&](int atom) -> const AtomSite& { return work.site(atom); });
    if (members.size() > 1) {
      SiteValence row;
      row.atoms = members;
      row.valence = site.valence;
      row.sum = work.measured(site.points, site.sum, 1, site.sum_fractions);
      row.deviation = work.measured(site.points, site.deviation, 1, site.fractions);
      analysis.mixed_sites.push_back(std::move(row));
    }
    // The GII of a phase of ions whose sums are all complete.
    if (!gii_wanted) continue;
    const double multiplicity = site_multiplicity(phase.group, work.site(members.front()).x);
    SiteDeviation deviation{site.deviation, {}, multiplicity * site.occupancy};
    for (std::size_t p = 0; p < site.points.size(); ++p) deviation.point_index.push_back(all_points.size() + p);
    all_points.insert(all_points.end(), site.points.begin(), site.points.end());
    site_deviations.push_back(std::move(deviation));
    site_fractions.push_back(site.fractions);
    std::vector<std::pair<int, double>> by_weight;
    for (int atom : members)
      if (work.site(atom).fraction_position != 0) by_weight.push_back({work.site(atom).fraction_position, multiplicity});
    weight_fractions.push_back(std::move(by_weight));
    gii_sites.push_back(&members);
  }
  double weights = 0;
  for (const SiteDeviation& site : site_deviations) weights += site.weight;
  if (weights > 0) {  // none for sites of occupancy 0 alone
    const PointMeasure gii = global_instability_index(site_deviations, all_points.size());
    // Through the occupancies: d GII = sum_S (W_S D_S dD_S + dW_S (D_S^2 - GII^2) / 2) / (W GII).
    std::vector<ParameterDerivative> fractions;
    if (gii.value > 0)
      for (std::size_t n = 0; n < site_deviations.size(); ++n) {
        const double d = site_deviations[n].deviation.value;
        for (const ParameterDerivative& e : site_fractions[n])
          fractions.push_back({e.position, site_deviations[n].weight * d * e.value / (weights * gii.value)});
        for (const auto& [position, dw] : weight_fractions[n])
          fractions.push_back({position, dw * (d * d - gii.value * gii.value) / (2 * weights * gii.value)});
      }
    analysis.gii = work.measured(all_points, gii, 1, fractions);
  }

  // Polyhedra of the cations, and what they share.
  for (const AtomValence& row : analysis.atoms) {
    if (row.state <= 0 || std::none_of(row.bonds.begin(), row.bonds.end(), [](const ValenceBond& b) { return b.bonded; }))
      continue;
    PolyhedronRow poly;
    poly.atom = row.atom;
    std::vector<ImagePoint> points{work.point({row.atom, SymmetryOperation{}})};
    for (const ValenceBond& bond : row.bonds) {
      if (!bond.bonded) continue;
      poly.ligands.push_back(bond.anion);
      points.push_back(work.point(bond.anion));
    }
    std::vector<Point3d> carts;
    for (const ImagePoint& p : points) carts.push_back(cart(p));
    poly.mean_bond = work.measured(points, mean_bond_length(carts));
    poly.distortion_index = work.measured(points, distortion_index(carts));
    poly.volume = MeasuredValue{0, 0, false};
    if (carts.size() >= 5) {
      try {
        poly.volume = work.measured(points, polyhedron_volume(carts));
      } catch (const Error&) {  // flat: no hull
      }
    }
    if (const auto qe = quadratic_elongation(carts)) poly.quadratic_elongation = work.measured(points, *qe);
    if (const auto av = bond_angle_variance(carts))
      poly.angle_variance = work.measured(points, *av);  // already square degrees
    analysis.polyhedra.push_back(std::move(poly));
  }
  name_sharing(phase, geometry, work, analysis);

  // Checks.
  const CheckThresholds& t = options.thresholds;
  std::set<std::string> assigned_elements;
  for (const AtomRole& r : roles)
    if ((r.role == Role::Cation || r.role == Role::Anion) && r.state_from == "assigned") assigned_elements.insert(r.element);
  if (!options.control_states.empty() && !assigned_elements.empty()) {
    std::string unnamed;
    for (const std::string& e : assigned_elements) unnamed += (unnamed.empty() ? "" : ", ") + e;
    analysis.checks.push_back({'C', "oxidation states assigned", {}, {},
                               "OXID names no state for " + unnamed + "; theirs were assigned"});
  }
  if (analysis.ionic && std::abs(assigned.charge) > 1e-3 * std::max(1.0, static_cast<double>(count)) &&
      !choosing.empty())
    analysis.checks.push_back({'C', "charge not balanced", {}, {},
                               "the assigned states leave a charge of " + fixed(assigned.charge, 2) +
                                   " per cell (atoms missing from the model, or states no sum can tell?)"});
  // States given that leave the phase of ions charged (V +2 with S -2 in
  // a mixed-valence sulfide) are formal: a sum off one of them is no
  // evidence against the structure, and is named at level C alone.
  double positive = 0;
  for (int i = 1; i <= count; ++i) {
    const AtomRole& r = roles[at(i)];
    if ((r.role == Role::Cation || r.role == Role::Anion) && r.state > 0)
      positive += work.site(i).fraction * site_multiplicity(phase.group, work.site(i).x) * r.state;
  }
  const bool formal_states = analysis.ionic && choosing.empty() && std::abs(assigned.charge) > 0.05 * positive;
  if (formal_states)
    analysis.checks.push_back({'C', "charge not balanced", {}, {},
                               "the states given leave a charge of " + fixed(assigned.charge, 2) +
                                   " per cell (mixed valence, or formal states?); sums off them are not graded above C"});
  for (const auto& [c, a] : missing)
    analysis.checks.push_back({'C', "no bond-valence parameter", {}, {},
                               "the table has no parameter for " + c + " - " + a +
                                   " (a wrong oxidation state?); sums without those bonds are not checked"});
  auto on_mixed_site = [&](int atom) {
    return std::any_of(analysis.mixed_sites.begin(), analysis.mixed_sites.end(), [atom](const SiteValence& site) {
      return std::find(site.atoms.begin(), site.atoms.end(), atom) != site.atoms.end();
    });
  };
  // How strongly a sum off its valence speaks: a state assigned to the
  // metal atom of a complex is the best guess among its states (C at
  // most); a partly occupied site's position is an average of where its
  // atoms are (B at most).
  auto strongest = [&](const std::vector<int>& atoms) {
    double occupancy = 0;
    bool guessed = false;
    for (int atom : atoms) {
      occupancy += work.site(atom).fraction;
      guessed = guessed || (!analysis.ionic && valence_row(atom)->state_from == "assigned");
    }
    return guessed || formal_states ? 'C' : occupancy < 0.9 ? 'B' : 'A';
  };
  // A sum whose every distance the symmetry fixes (the atom and all its
  // partners on positions without a free coordinate) measures the cell,
  // not the refined model: it cannot show an atom misplaced (C at most).
  std::vector<signed char> fixed_site(static_cast<std::size_t>(count), -1);
  auto fixed_at = [&](int atom) {
    signed char& known = fixed_site[at(atom)];
    if (known < 0) known = fixed_by_symmetry(phase.group, work.site(atom).x) ? 1 : 0;
    return known == 1;
  };
  auto symmetry_fixed = [&](const std::vector<int>& atoms) {
    return std::all_of(atoms.begin(), atoms.end(), [&](int atom) {
      const AtomValence* row = valence_row(atom);
      return fixed_at(atom) && std::all_of(row->bonds.begin(), row->bonds.end(),
                                           [&](const ValenceBond& b) { return fixed_at(b.anion.atom); });
    });
  };
  auto check_sum = [&](const std::vector<int>& atoms, const std::string& label, const MeasuredValue& sum,
                       const MeasuredValue& deviation, double valence, const std::string& against,
                       std::size_t bonds) {
    const double off = std::abs(deviation.value);
    if (!(off > t.valence_fraction * valence && off > t.valence_sigmas * deviation.su)) return;
    const bool by_symmetry = symmetry_fixed(atoms);
    const char level = std::max(
        off > 5 * t.valence_fraction * valence ? 'A' : off > 3 * t.valence_fraction * valence ? 'B' : 'C',
        by_symmetry ? 'C' : strongest(atoms));
    std::string text = label + ": BVS " + with_su(sum) + " v.u. against " + against + " over " + std::to_string(bonds) +
                       " bond" + (bonds == 1 ? "" : "s") + ", off by " + fixed(100 * off / valence, 1) + "%";
    if (deviation.su > 0) text += " (" + fixed(off / deviation.su, 0) + " s.u.)";
    if (by_symmetry) text += "; every distance fixed by the symmetry: the sum measures the cell, not the atoms' places";
    analysis.checks.push_back({level, "bond-valence sum", atoms, {}, text});
  };
  for (const AtomValence& row : analysis.atoms) {
    const std::string label = label_of(phase, row.atom);
    const double valence = std::abs(static_cast<double>(row.state));
    if (row.bonds.empty()) {
      analysis.checks.push_back({'C', "no ligand", {row.atom}, {}, label + " has no partner within the search limit"});
      continue;
    }
    if (!row.unchecked.empty() || on_mixed_site(row.atom)) continue;
    check_sum({row.atom}, label, row.sum, row.deviation, valence,
              std::to_string(std::abs(row.state)) + " (" + row.state_from + ")", row.bonds.size());
  }
  for (const SiteValence& site : analysis.mixed_sites) {
    if (!site_checked(site.atoms)) continue;
    std::size_t bonds = 0;
    for (int atom : site.atoms) bonds = std::max(bonds, valence_row(atom)->bonds.size());
    std::string labels;
    for (int atom : site.atoms) labels += (labels.empty() ? "" : "/") + label_of(phase, atom);
    check_sum(site.atoms, labels, site.sum, site.deviation, site.valence, fixed(site.valence, 3) + " (the site's mean)",
              bonds);
  }
  if (analysis.gii.defined && analysis.gii.value > t.gii_limit) {
    std::size_t worst = 0;
    for (std::size_t n = 1; n < site_deviations.size(); ++n)
      if (std::abs(site_deviations[n].deviation.value) > std::abs(site_deviations[worst].deviation.value)) worst = n;
    std::string labels;
    for (int atom : *gii_sites[worst]) labels += (labels.empty() ? "" : "/") + label_of(phase, atom);
    const double d = site_deviations[worst].deviation.value;
    analysis.checks.push_back({analysis.gii.value > 2 * t.gii_limit && !formal_states ? 'B' : 'C',
                               "global instability index", {}, {},
                               "GII " + with_su(analysis.gii) + " v.u. above " + fixed(t.gii_limit, 2) + " v.u. over " +
                                   std::to_string(site_deviations.size()) + " sites; largest deviation " + labels + " " +
                                   (d > 0 ? "+" : "") + fixed(d, 2) + " v.u."});
  }
  return analysis;
}

// Checks that need no oxidation state: displacements that are not
// positive definite and rigid-bond failures, on atoms that are atoms.
void displacement_checks(const PhaseDescription& phase, const InorganicAnalysis& valences,
                         const MoleculeAnalysis* molecules, std::vector<CheckRow>& checks) {
  const CellFrame frame = cell_frame(phase.abc, phase.cosines);
  for (int i = 1; i <= static_cast<int>(phase.atoms.size()); ++i) {
    const AtomSite& site = phase.atoms[static_cast<std::size_t>(i - 1)];
    if (site.kind[0] == 'I' || site.fraction == 0 || element_of_type(site.type_symbol) == 0) continue;
    if (positive_definite(site)) continue;
    const SymmetricEigen principal = symmetric_eigen(cartesian_displacement(frame.m, site.u).u);
    checks.push_back({'A', "displacements not positive definite", {i}, {},
                      label_of(phase, i) + ": the Uij are not positive definite (smallest principal value " +
                          fixed(principal.values[0], 4) + " A**2)"});
  }
  // Two ions of one sign (Ca-Ca within the covalent radii) are no bond for
  // Hirshfeld's test; a pair reached through several images is named once,
  // by its worst image.
  if (molecules == nullptr) return;
  std::map<int, int> state;
  for (const AtomValence& row : valences.atoms) state[row.atom] = row.state;
  std::map<std::pair<int, int>, const RigidBondRow*> worst;
  for (const RigidBondRow& rb : molecules->rigid_bond) {
    if (!rb.flagged) continue;
    const int sa = state[rb.a.atom], sb = state[rb.b.atom];
    if ((sa > 0 && sb > 0) || (sa < 0 && sb < 0)) continue;
    auto score = [](const RigidBondRow& r) { return std::abs(r.delta.value) / std::max(r.delta.su, 1e-12); };
    const RigidBondRow*& kept = worst[std::minmax(rb.a.atom, rb.b.atom)];
    if (kept == nullptr || score(rb) > score(*kept)) kept = &rb;
  }
  for (const auto& [pair, rb] : worst)
    checks.push_back({'C', "rigid bond", {rb->a.atom, rb->b.atom}, {rb->a, rb->b},
                      label_of(phase, rb->a.atom) + " - " + label_of(phase, rb->b.atom) + ": Delta " +
                          fixed(rb->delta.value, 4) + "(" + fixed(rb->delta.su, 4) + ") A**2"});
}

}  // namespace

InorganicAnalysis analyse_inorganic(const PhaseDescription& phase, const PhaseGeometry& geometry,
                                    const CellCovariance& cell, const ParameterCovariance& covariance,
                                    const InorganicOptions& options, const MoleculeAnalysis* molecules) {
  InorganicAnalysis analysis = analyse_valences(phase, geometry, cell, covariance, options);
  displacement_checks(phase, analysis, molecules, analysis.checks);
  // The pairs of one bond-valence sum are bonds, however long.
  SummedPairs summed;
  for (const AtomValence& row : analysis.atoms)
    for (const ValenceBond& bond : row.bonds) {
      const std::optional<ImageName> name = operation_name(phase.group, bond.anion.op);
      if (name) summed.insert({row.atom, bond.anion.atom, name->code, name->n});
    }
  // Under pressure contacts shrink below the radii of ambient pressure;
  // atoms that overlap are an error at any pressure.
  const bool compressed = options.pressure_gpa && *options.pressure_gpa >= options.thresholds.high_pressure;
  const std::string under_pressure =
      compressed ? "; at " + fixed(*options.pressure_gpa, *options.pressure_gpa < 10 ? 1 : 0) + " GPa (" +
                       options.pressure_from + "), where the radii of ambient pressure do not hold"
                 : std::string();
  for (const ShortContact& c : short_contacts(phase, geometry, options.thresholds.contact_margin, summed)) {
    const AnalysisImage first{c.first, SymmetryOperation{}};
    const AnalysisImage second{c.second, operation_of(phase.group, c.code, c.n)};
    const bool image = c.code != 1 || c.n != LatticeTranslation{};
    analysis.checks.push_back(
        {c.overlap ? 'A' : compressed ? 'C' : 'B', c.overlap ? "atoms overlap" : "short contact", {c.first, c.second},
         image ? std::vector<AnalysisImage>{first, second} : std::vector<AnalysisImage>{},
         label_of(phase, c.first) + " ... " + label_of(phase, c.second) +
             (image ? " (operator " + std::to_string(c.code) + ", cell " + std::to_string(c.n[0]) + " " +
                          std::to_string(c.n[1]) + " " + std::to_string(c.n[2]) + ")"
                    : std::string()) +
             ": " + with_su(MeasuredValue{c.d, c.sigma, true}) + " A, under the van der Waals sum " +
             fixed(c.radii, 2) + " A less " + fixed(options.thresholds.contact_margin, 2) + " A" +
             (c.overlap ? std::string() : under_pressure)});
  }
  return analysis;
}

}  // namespace vesk
