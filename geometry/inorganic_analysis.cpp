#include "geometry/inorganic_analysis.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <set>
#include <tuple>

#include <gemmi/elem.hpp>

#include "geometry/bond_valence.hpp"
#include "geometry/bond_valence_parameters.hpp"
#include "geometry/hydrogen_bonds.hpp"
#include "geometry/measure.hpp"
#include "geometry/oxidation_states.hpp"
#include "geometry/polyhedra.hpp"
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
SiteSums site_sums(const std::vector<AtomValence>& atoms, const std::vector<AtomSums>& own,
                   const std::vector<int>& members, SiteOf site_of) {
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
    site.valence += w * std::abs(static_cast<double>(atoms[static_cast<std::size_t>(atom - 1)].state));
    for (const ParameterDerivative& e : sums.fractions) site.fractions.push_back({e.position, w * e.value});
  }
  site.deviation = site.sum;
  site.deviation.value = site.sum.value - site.valence;
  std::vector<ParameterDerivative> sum_fractions = site.fractions;
  if (members.size() > 1 && weighed)
    for (int atom : members)
      if (const int position = site_of(atom).fraction_position; position != 0) {
        const AtomSums& sums = own[static_cast<std::size_t>(atom - 1)];
        const double q = std::abs(static_cast<double>(atoms[static_cast<std::size_t>(atom - 1)].state));
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

InorganicAnalysis analyse_ionic(const PhaseDescription& phase, const PhaseGeometry& geometry,
                                const CellCovariance& cell, const ParameterCovariance& covariance,
                                const InorganicOptions& options, const MoleculeAnalysis* molecules) {
  InorganicAnalysis analysis;
  if (!geometry.computed) return analysis;
  const AnalysisFrame work(phase, cell, covariance);
  if (!work.frame.usable) return analysis;
  const BondValenceTable& table = bundled_bond_valence_table();
  const int count = static_cast<int>(phase.atoms.size());

  // Oxidation states: charged type symbols, else OXID, else assigned.
  std::vector<std::string> element(static_cast<std::size_t>(count));
  std::vector<std::optional<int>> symbol_charge(static_cast<std::size_t>(count));
  for (int i = 1; i <= count; ++i) {
    const std::optional<TypeSymbol> parsed = element_and_charge(work.site(i).type_symbol);
    if (!parsed) {
      const std::string symbol(recio::trim_right(work.site(i).type_symbol));
      const std::string fault = type_symbol_charge_fault(symbol);
      analysis.not_computed = "atom " + trimmed_label(work.site(i)) + " has the type symbol \"" + symbol + "\"; " +
                              (fault.empty() ? "it names no element" : fault);
      return analysis;
    }
    element[static_cast<std::size_t>(i - 1)] = parsed->element;
    symbol_charge[static_cast<std::size_t>(i - 1)] = parsed->charge;
  }
  const std::vector<std::vector<int>> site_of = co_occupants(phase);
  const std::vector<std::vector<Partner>> partners = partners_of(geometry, site_of);
  std::vector<int> state(static_cast<std::size_t>(count));
  const bool all_charged = std::all_of(symbol_charge.begin(), symbol_charge.end(),
                                       [](const std::optional<int>& c) { return c.has_value(); });
  const bool all_controlled = !options.control_states.empty() &&
                              std::all_of(element.begin(), element.end(), [&](const std::string& e) {
                                return options.control_states.count(e) > 0;
                              });
  if (all_charged) {
    for (std::size_t k = 0; k < state.size(); ++k) state[k] = *symbol_charge[k];
    analysis.states_from = "type symbols";
  } else if (all_controlled) {
    for (std::size_t k = 0; k < state.size(); ++k) state[k] = options.control_states.at(element[k]);
    analysis.states_from = "control record";
  } else {
    std::vector<OxidationSite> sites;
    std::vector<SiteBond> bonds;
    for (int i = 1; i <= count; ++i) {
      sites.push_back({element[static_cast<std::size_t>(i - 1)], work.site(i).fraction,
                       static_cast<double>(site_multiplicity(phase.group, work.site(i).x))});
      for (const Partner& partner : partners[static_cast<std::size_t>(i - 1)])
        bonds.push_back({static_cast<std::size_t>(i - 1), static_cast<std::size_t>(partner.bond.atom - 1),
                         partner.bond.d});
    }
    const auto assigned = assign_oxidation_states(sites, table, [&](std::span<const int> states) {
      return gii_from_distances(sites, bonds, states, table);
    });
    if (!assigned) return analysis;
    state = assigned->states;
    analysis.states_from = "assigned";
  }
  for (std::size_t k = 0; k < state.size(); ++k) analysis.states.emplace(element[k], state[k]);
  std::string unnamed;
  if (!all_charged && !all_controlled && !options.control_states.empty())
    for (const auto& [e, s] : analysis.states)
      if (options.control_states.count(e) == 0) unnamed += (unnamed.empty() ? "" : ", ") + e;

  // Bonds of every atom to the opposite sign with a parameter. A
  // neighbour on a partly occupied site brings that fraction f of its
  // valence, f exp((R0 - R)/b) = exp((R0 + b ln f - R)/b); a refined f adds
  // its derivative exp((R0 - R)/b) to the propagation.
  std::vector<AtomSums> own(static_cast<std::size_t>(count));
  bool cation_bond = false;
  std::set<std::pair<std::string, std::string>> missing;  // cation and anion with their states
  for (int i = 1; i <= count; ++i) {
    const std::size_t k = static_cast<std::size_t>(i - 1);
    AtomValence row;
    row.atom = i;
    row.state = state[k];
    AtomSums& sums = own[k];
    sums.points = {work.point({i, SymmetryOperation{}})};
    std::vector<ValenceParameters> parameters;
    for (const Partner& partner : partners[k]) {
      const Bond& bond = partner.bond;
      const std::size_t j = static_cast<std::size_t>(bond.atom - 1);
      if (state[k] == 0 || state[j] == 0 || (state[k] > 0) == (state[j] > 0)) continue;
      const bool cation = state[k] > 0;
      const BondValenceParameter* p =
          cation ? preferred_parameter(table, element[k], state[k], element[j], state[j])
                 : preferred_parameter(table, element[j], state[j], element[k], state[k]);
      if (p == nullptr) {
        const std::string c = element[cation ? k : j] + std::to_string(state[cation ? k : j]);
        const std::string a = element[cation ? j : k] + std::to_string(state[cation ? j : k]);
        missing.insert({c, a});
        continue;
      }
      const AnalysisImage ligand{bond.atom, bond_operation(phase.group, bond)};
      const ImagePoint q = work.point(ligand);
      const double f = work.site(bond.atom).fraction;
      const ValenceParameters vp{f > 0 && f < 1 ? p->r0 + p->b * std::log(f) : p->r0, p->b};
      const std::array<ImagePoint, 2> pair{sums.points.front(), q};
      const std::array<Point3d, 2> pair_cart{cart(sums.points.front()), cart(q)};
      const std::array<ValenceParameters, 1> one{vp};
      const PointMeasure distance = measure_distance(work.frame, sums.points.front(), q);
      std::vector<ParameterDerivative> by_fraction;
      if (const int position = work.site(bond.atom).fraction_position; position != 0 && f > 0)
        by_fraction.push_back({position, std::exp((p->r0 - distance.value) / p->b)});
      row.bonds.push_back({ligand, work.measured(pair, distance), p->r0, p->b, p->reference,
                           work.measured(pair, bond_valence_sum(pair_cart, one), 1, by_fraction), partner.bonded});
      sums.points.push_back(q);
      sums.fractions.insert(sums.fractions.end(), by_fraction.begin(), by_fraction.end());
      parameters.push_back(vp);
      if (cation) cation_bond = true;
    }
    std::vector<Point3d> carts;
    for (const ImagePoint& p : sums.points) carts.push_back(cart(p));
    if (!row.bonds.empty()) {
      sums.sum = bond_valence_sum(carts, parameters);
      sums.deviation = valence_deviation(carts, parameters, state[k]);
      row.sum = work.measured(sums.points, sums.sum, 1, sums.fractions);
      row.deviation = work.measured(sums.points, sums.deviation, 1, sums.fractions);
    } else {
      row.sum = MeasuredValue{0, 0, true};
      row.deviation = MeasuredValue{-std::abs(static_cast<double>(state[k])), 0, true};
    }
    analysis.atoms.push_back(std::move(row));
  }
  // Assigned states need bonds with parameters to mean anything; states
  // the user or the type symbols gave are reported on, with what lacks.
  if (!cation_bond && (analysis.states_from == "assigned" || missing.empty())) return analysis;
  analysis.computed = true;

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
    const auto k = static_cast<std::size_t>(row.atom - 1);
    const auto other = std::find_if(site_of[k].begin(), site_of[k].end(), [&](int m) {
      return site_number[static_cast<std::size_t>(m - 1)] >= 0 && (state[static_cast<std::size_t>(m - 1)] > 0) == (row.state > 0);
    });
    if (other == site_of[k].end()) {
      site_number[k] = static_cast<int>(sites.size());
      sites.push_back({row.atom});
    } else {
      site_number[k] = site_number[static_cast<std::size_t>(*other - 1)];
      sites[static_cast<std::size_t>(site_number[k])].push_back(row.atom);
    }
  }
  std::vector<SiteDeviation> site_deviations;
  std::vector<ImagePoint> all_points;
  std::vector<std::vector<ParameterDerivative>> site_fractions;  // d deviation / d refined occupancy
  std::vector<std::vector<std::pair<int, double>>> weight_fractions;  // d weight / d refined occupancy
  for (const std::vector<int>& members : sites) {
    const SiteSums site = site_sums(analysis.atoms, own, members, [&](int atom) -> const AtomSite& {
      return work.site(atom);
    });
    if (members.size() > 1) {
      SiteValence row;
      row.atoms = members;
      row.valence = site.valence;
      row.sum = work.measured(site.points, site.sum, 1, site.sum_fractions);
      row.deviation = work.measured(site.points, site.deviation, 1, site.fractions);
      analysis.mixed_sites.push_back(std::move(row));
    }
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
  // A ligand is named by its atom and its position (to 1.0E-3 of a cell
  // edge: an atom on a special position given to four decimals comes back
  // from its site symmetry a few 1.0E-5 away); another polyhedron is reached
  // through a ligand's own bonds to cations.
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

  // Checks.
  const CheckThresholds& t = options.thresholds;
  if (!unnamed.empty())
    analysis.checks.push_back({'C', "oxidation states assigned", {},
                               "OXID names no state for " + unnamed + "; every state was assigned instead"});
  for (const auto& [c, a] : missing)
    analysis.checks.push_back({'A', "no bond-valence parameter", {},
                               "the table has no parameter for " + c + " - " + a + " (a wrong oxidation state?)"});
  auto on_mixed_site = [&](int atom) {
    return std::any_of(analysis.mixed_sites.begin(), analysis.mixed_sites.end(), [atom](const SiteValence& site) {
      return std::find(site.atoms.begin(), site.atoms.end(), atom) != site.atoms.end();
    });
  };
  auto check_sum = [&](const std::vector<int>& atoms, const std::string& label, const MeasuredValue& sum,
                       const MeasuredValue& deviation, double valence, const std::string& against) {
    const double off = std::abs(deviation.value);
    if (off > t.valence_fraction * valence && off > t.valence_sigmas * deviation.su)
      analysis.checks.push_back({off > 2 * t.valence_fraction * valence ? 'A' : 'B', "bond-valence sum", atoms,
                                 label + ": BVS " + with_su(sum) + " v.u. against " + against + ", off by more than " +
                                     fixed(100 * t.valence_fraction, 0) + "% and " + fixed(t.valence_sigmas, 0) +
                                     " s.u."});
  };
  for (const AtomValence& row : analysis.atoms) {
    const std::string label = trimmed_label(work.site(row.atom));
    const double valence = std::abs(static_cast<double>(row.state));
    if (row.state != 0 && row.bonds.empty()) {
      analysis.checks.push_back({'C', "no ligand", {row.atom}, label + " has no ligand within the bond limit"});
      continue;
    }
    if (row.bonds.empty() || on_mixed_site(row.atom)) continue;
    check_sum({row.atom}, label, row.sum, row.deviation, valence, std::to_string(std::abs(row.state)));
  }
  for (const SiteValence& site : analysis.mixed_sites) {
    std::string labels;
    for (int atom : site.atoms) labels += (labels.empty() ? "" : "/") + trimmed_label(work.site(atom));
    check_sum(site.atoms, labels, site.sum, site.deviation, site.valence, fixed(site.valence, 3) + " (the site's mean)");
  }
  if (analysis.gii.defined && analysis.gii.value > t.gii_limit)
    analysis.checks.push_back({analysis.gii.value > 2 * t.gii_limit ? 'A' : 'B', "global instability index", {},
                               "GII " + with_su(analysis.gii) + " v.u. above " + fixed(t.gii_limit, 2) + " v.u."});
  for (int i = 1; i <= count; ++i)
    if (work.site(i).kind[0] != 'I' && !positive_definite(work.site(i)))
      analysis.checks.push_back({'A', "displacements not positive definite", {i},
                                 trimmed_label(work.site(i)) + ": the Uij are not positive definite"});
  // Two ions of one sign (Ca-Ca within the covalent radii) are no bond for
  // Hirshfeld's test; a pair reached through several images is named once,
  // by its worst image.
  if (molecules != nullptr) {
    std::map<std::pair<int, int>, const RigidBondRow*> worst;
    for (const RigidBondRow& rb : molecules->rigid_bond) {
      if (!rb.flagged) continue;
      const int sa = state[static_cast<std::size_t>(rb.a.atom - 1)], sb = state[static_cast<std::size_t>(rb.b.atom - 1)];
      if ((sa > 0 && sb > 0) || (sa < 0 && sb < 0)) continue;
      auto score = [](const RigidBondRow& r) { return std::abs(r.delta.value) / std::max(r.delta.su, 1e-12); };
      const RigidBondRow*& kept = worst[std::minmax(rb.a.atom, rb.b.atom)];
      if (kept == nullptr || score(rb) > score(*kept)) kept = &rb;
    }
    for (const auto& [pair, rb] : worst)
      analysis.checks.push_back({'C', "rigid bond", {rb->a.atom, rb->b.atom},
                                 trimmed_label(work.site(rb->a.atom)) + " - " + trimmed_label(work.site(rb->b.atom)) +
                                     ": Delta " + fixed(rb->delta.value, 4) + "(" + fixed(rb->delta.su, 4) +
                                     ") A**2"});
  }
  return analysis;
}

}  // namespace

InorganicAnalysis analyse_inorganic(const PhaseDescription& phase, const PhaseGeometry& geometry,
                                    const CellCovariance& cell, const ParameterCovariance& covariance,
                                    const InorganicOptions& options, const MoleculeAnalysis* molecules) {
  InorganicAnalysis analysis = analyse_ionic(phase, geometry, cell, covariance, options, molecules);
  for (const ShortContact& c : short_contacts(phase, geometry, options.thresholds.contact_margin))
    analysis.checks.push_back(
        {'B', "short contact", {c.first, c.second},
         trimmed_label(phase.atoms[static_cast<std::size_t>(c.first - 1)]) + " ... " +
             trimmed_label(phase.atoms[static_cast<std::size_t>(c.second - 1)]) + ": " +
             with_su(MeasuredValue{c.d, c.sigma, true}) + " A, under the van der Waals sum " + fixed(c.radii, 2) +
             " A less " + fixed(options.thresholds.contact_margin, 2) + " A"});
  return analysis;
}

}  // namespace vesk
