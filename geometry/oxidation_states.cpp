#include "geometry/oxidation_states.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <string>

#include "geometry/bond_valence.hpp"
#include "recio/error.hpp"

namespace vesk {

namespace {

bool same_symbol(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Walks every combination of one choice per slot (the first slot fastest);
// stops when `visit` returns false or after `limit` combinations.
void each_combination(const std::vector<std::vector<int>>& choices, std::size_t limit,
                      const std::function<void(const std::vector<int>&)>& visit) {
  std::vector<std::size_t> at(choices.size(), 0);
  std::vector<int> pick(choices.size());
  for (const auto& c : choices)
    if (c.empty()) return;
  for (std::size_t tried = 0; tried < limit; ++tried) {
    for (std::size_t k = 0; k < choices.size(); ++k) pick[k] = choices[k][at[k]];
    visit(pick);
    std::size_t k = 0;
    while (k < choices.size() && ++at[k] == choices[k].size()) at[k++] = 0;
    if (k == choices.size()) return;
  }
}

}  // namespace

namespace {

// The letters of the element, then what follows them.
std::string_view after_element(std::string_view symbol) {
  std::size_t i = symbol.empty() ? 0 : 1;
  if (i < symbol.size() && std::islower(static_cast<unsigned char>(symbol[i]))) ++i;
  return symbol.substr(i);
}

// The charge of what follows the element's letters; nullopt when it carries
// no sign, `fault` set when it does not read.
std::optional<int> charge_of(std::string_view rest, std::string& fault) {
  const std::size_t sign_at = rest.find_first_of("+-");
  if (sign_at == std::string_view::npos) return std::nullopt;  // "Fe", "Fe1": no charge
  const std::string_view before = rest.substr(0, sign_at), after = rest.substr(sign_at + 1);
  auto digits = [](std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
  };
  std::string_view number;
  if (before.empty() && digits(after))
    number = after;  // "Fe+3", "Na+"
  else if (after.empty() && digits(before))
    number = before;  // "Fe3+"
  else {
    fault = "its charge \"" + std::string(rest) + "\" is not a whole number written before or after its sign";
    return std::nullopt;
  }
  const int sign = rest[sign_at] == '-' ? -1 : 1;
  const int magnitude = number.empty() ? 1 : number.size() > 3 ? 1000 : std::stoi(std::string(number));
  if (magnitude > kLargestOxidationState) {
    fault = "its charge \"" + std::string(rest) + "\" is outside the oxidation states -8 to 8";
    return std::nullopt;
  }
  return sign * magnitude;
}

}  // namespace

std::string type_symbol_charge_fault(std::string_view symbol) {
  // After the letters that may name the element, whatever their case ("SI4+", "OW2-").
  std::size_t letters = 0;
  while (letters < symbol.size() && letters < 2 && std::isalpha(static_cast<unsigned char>(symbol[letters])))
    ++letters;
  std::string fault;
  charge_of(symbol.substr(letters), fault);
  return fault;
}

std::optional<TypeSymbol> parse_type_symbol(std::string_view symbol) {
  if (symbol.empty() || !std::isalpha(static_cast<unsigned char>(symbol[0]))) return std::nullopt;
  TypeSymbol type;
  const std::string_view rest = after_element(symbol);
  type.element += static_cast<char>(std::toupper(static_cast<unsigned char>(symbol[0])));
  if (rest.size() + 2 == symbol.size()) type.element += symbol[1];
  std::string fault;
  type.charge = charge_of(rest, fault);
  if (!fault.empty()) return std::nullopt;
  return type;
}

std::vector<int> candidate_oxidation_states(const BondValenceTable& table, std::string_view element) {
  std::vector<int> states;
  auto add = [&](int state) {
    if (state != 9 && state != 0 && std::find(states.begin(), states.end(), state) == states.end()) states.push_back(state);
  };
  for (const BondValenceParameter& p : table.entries) {
    if (same_symbol(p.cation, element)) add(p.cation_state);
    if (same_symbol(p.anion, element)) add(p.anion_state);
  }
  return states;
}

double gii_from_distances(std::span<const OxidationSite> sites, std::span<const SiteBond> bonds,
                          std::span<const int> states, const BondValenceTable& table) {
  if (states.size() != sites.size())
    throw Error("oxidation states: " + std::to_string(states.size()) + " states for " + std::to_string(sites.size()) + " sites");
  std::vector<double> sums(sites.size(), 0.0);
  for (const SiteBond& bond : bonds) {
    if (bond.site >= sites.size() || bond.neighbour >= sites.size())
      throw Error("oxidation states: a bond names a site beyond the " + std::to_string(sites.size()) + " sites");
    int q = states[bond.site], partner = states[bond.neighbour];
    if ((q > 0) == (partner > 0)) continue;
    bool cation_here = q > 0;
    const OxidationSite& cation = sites[cation_here ? bond.site : bond.neighbour];
    const OxidationSite& anion = sites[cation_here ? bond.neighbour : bond.site];
    const BondValenceParameter* p = find_bond_valence_parameter(table, cation.element, cation_here ? q : partner,
                                                                anion.element, cation_here ? partner : q);
    if (!p) return std::numeric_limits<double>::quiet_NaN();
    sums[bond.site] += bond_valence(bond.distance, {p->r0, p->b});
  }
  double weights = 0.0, squares = 0.0;
  for (std::size_t i = 0; i < sites.size(); ++i) {
    double w = sites[i].occupancy * sites[i].multiplicity, d = sums[i] - std::abs(states[i]);
    weights += w;
    squares += w * d * d;
  }
  return weights > 0.0 ? std::sqrt(squares / weights) : std::numeric_limits<double>::quiet_NaN();
}

std::optional<OxidationAssignment> assign_oxidation_states(
    std::span<const OxidationSite> sites, const BondValenceTable& table,
    const std::function<double(std::span<const int> states)>& gii_of, std::size_t limit) {
  std::vector<std::string> elements;
  std::vector<std::size_t> element_of(sites.size());
  double total_weight = 0.0;
  for (std::size_t i = 0; i < sites.size(); ++i) {
    auto found = std::find_if(elements.begin(), elements.end(), [&](const std::string& e) { return same_symbol(e, sites[i].element); });
    element_of[i] = static_cast<std::size_t>(found - elements.begin());
    if (found == elements.end()) elements.push_back(sites[i].element);
    total_weight += sites[i].occupancy * sites[i].multiplicity;
  }
  std::vector<std::vector<int>> per_element;
  for (const std::string& e : elements) {
    per_element.push_back(candidate_oxidation_states(table, e));
    if (per_element.back().empty()) return std::nullopt;
  }
  // Occupancies are refined numbers: balance within a small fraction of a
  // charge per atom.
  double tolerance = 1e-3 * std::max(1.0, total_weight);

  OxidationAssignment best;
  std::vector<int> states(sites.size());
  auto score = [&](bool per_site) {
    double charge = 0.0;
    for (std::size_t i = 0; i < sites.size(); ++i) charge += sites[i].occupancy * sites[i].multiplicity * states[i];
    if (std::abs(charge) > tolerance) return;
    double gii = gii_of(states);
    if (std::isnan(gii)) return;
    ++best.balanced;
    if (best.states.empty() || gii < best.gii) {
      best.states = states;
      best.gii = gii;
      best.per_site = per_site;
    }
  };
  each_combination(per_element, limit, [&](const std::vector<int>& pick) {
    for (std::size_t i = 0; i < sites.size(); ++i) states[i] = pick[element_of[i]];
    score(false);
  });
  if (!best.states.empty()) return best;
  std::vector<std::vector<int>> per_site;
  for (std::size_t i = 0; i < sites.size(); ++i) per_site.push_back(per_element[element_of[i]]);
  each_combination(per_site, limit, [&](const std::vector<int>& pick) {
    states = pick;
    score(true);
  });
  if (best.states.empty()) return std::nullopt;
  return best;
}

}  // namespace vesk
