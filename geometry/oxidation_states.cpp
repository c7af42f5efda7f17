#include "geometry/oxidation_states.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "recio/fixed_text.hpp"

namespace vesk {

namespace {

// The table's anions in decreasing Pauling electronegativity (F 3.98, O
// 3.44, Cl 3.16, N 3.04, Br 2.96, I 2.66, S 2.58, Se 2.55, C 2.55, H 2.20,
// P 2.19, As 2.18, Te 2.1).
const char* const kAnionsByElectronegativity[] = {"F", "O", "Cl", "N", "Br", "I", "S",
                                                  "Se", "C", "H", "P", "As", "Te"};

// Weighted squares of (sum - state) over the cations at their states; NaN
// when a state has no finite sum.
double misfit(std::span<const CationChoice> cations, const std::vector<std::size_t>& pick) {
  double total = 0;
  for (std::size_t i = 0; i < cations.size(); ++i) {
    if (cations[i].states.empty()) continue;
    const double d = cations[i].sums[pick[i]] - cations[i].states[pick[i]];
    total += cations[i].weight * d * d;
  }
  return total;
}

double charge_of(std::span<const CationChoice> cations, const std::vector<std::size_t>& pick, double fixed) {
  double charge = fixed;
  for (std::size_t i = 0; i < cations.size(); ++i)
    if (!cations[i].states.empty()) charge += cations[i].weight * cations[i].states[pick[i]];
  return charge;
}

// Each cation's own best state: the least |sum - state| among those with a
// finite sum (the first state when none has one).
std::size_t own_best(const CationChoice& c) {
  std::size_t best = 0;
  double least = std::numeric_limits<double>::infinity();
  for (std::size_t k = 0; k < c.states.size(); ++k)
    if (std::isfinite(c.sums[k]) && std::abs(c.sums[k] - c.states[k]) < least) {
      least = std::abs(c.sums[k] - c.states[k]);
      best = k;
    }
  return best;
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
    if (recio::equal_ignoring_case(p.cation, element)) add(p.cation_state);
    if (recio::equal_ignoring_case(p.anion, element)) add(p.anion_state);
  }
  return states;
}

std::optional<int> anion_state(const BondValenceTable& table, std::string_view element) {
  std::vector<std::pair<int, int>> counts;  // state, entries
  for (const BondValenceParameter& p : table.entries) {
    if (!recio::equal_ignoring_case(p.anion, element) || p.anion_state >= 0) continue;
    auto found = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == p.anion_state; });
    if (found == counts.end())
      counts.emplace_back(p.anion_state, 1);
    else
      ++found->second;
  }
  if (counts.empty()) return std::nullopt;
  return std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.second < b.second; })
      ->first;
}

int electronegativity_rank(std::string_view element) {
  const int count = static_cast<int>(std::size(kAnionsByElectronegativity));
  for (int k = 0; k < count; ++k)
    if (recio::equal_ignoring_case(kAnionsByElectronegativity[k], element)) return count - k;
  return 0;
}

CationStates assign_cation_states(std::span<const CationChoice> cations, double fixed_charge, bool balance) {
  double cell_atoms = 0;
  for (const CationChoice& c : cations) cell_atoms += c.weight;
  // Occupancies are refined numbers: balanced within a small fraction of a
  // charge per atom.
  const double tolerance = 1e-3 * std::max(1.0, cell_atoms);
  const std::size_t count = cations.size();

  // One state per element: the least weighted misfit over its atoms among
  // the states every one of them has a finite sum for.
  std::vector<std::size_t> pick(count, 0);
  std::vector<std::string> elements;
  for (const CationChoice& c : cations)
    if (std::none_of(elements.begin(), elements.end(), [&](const std::string& e) { return recio::equal_ignoring_case(e, c.element); }))
      elements.push_back(c.element);
  for (const std::string& element : elements) {
    std::vector<std::size_t> atoms;
    for (std::size_t i = 0; i < count; ++i)
      if (recio::equal_ignoring_case(cations[i].element, element) && !cations[i].states.empty()) atoms.push_back(i);
    if (atoms.empty()) continue;
    const std::vector<int>& states = cations[atoms.front()].states;
    double least = std::numeric_limits<double>::infinity();
    std::optional<int> best;
    for (int state : states) {
      double total = 0;
      for (std::size_t i : atoms) {
        const auto at = std::find(cations[i].states.begin(), cations[i].states.end(), state);
        const double sum = at == cations[i].states.end()
                               ? std::numeric_limits<double>::quiet_NaN()
                               : cations[i].sums[static_cast<std::size_t>(at - cations[i].states.begin())];
        total += cations[i].weight * (sum - state) * (sum - state);
      }
      if (std::isfinite(total) && total < least) {
        least = total;
        best = state;
      }
    }
    for (std::size_t i : atoms) {
      const auto at = best ? std::find(cations[i].states.begin(), cations[i].states.end(), *best)
                           : cations[i].states.end();
      pick[i] = at == cations[i].states.end() ? own_best(cations[i])
                                              : static_cast<std::size_t>(at - cations[i].states.begin());
    }
  }
  auto result = [&](const std::vector<std::size_t>& chosen, bool per_site) {
    CationStates out;
    for (std::size_t i = 0; i < count; ++i) out.states.push_back(cations[i].states.empty() ? 0 : cations[i].states[chosen[i]]);
    out.per_site = per_site;
    out.charge = charge_of(cations, chosen, fixed_charge);
    return out;
  };
  if (!balance || std::abs(charge_of(cations, pick, fixed_charge)) <= tolerance) return result(pick, false);

  // Each atom its own best state, then single changes towards balance.
  std::vector<std::size_t> own(count);
  for (std::size_t i = 0; i < count; ++i) own[i] = cations[i].states.empty() ? 0 : own_best(cations[i]);
  for (std::size_t step = 0; step < count * 8 + 8; ++step) {
    const double charge = charge_of(cations, own, fixed_charge);
    if (std::abs(charge) <= tolerance) return result(own, own != pick);
    std::optional<std::pair<std::size_t, std::size_t>> change;
    double best_charge = std::abs(charge), best_cost = std::numeric_limits<double>::infinity();
    const double before = misfit(cations, own);
    for (std::size_t i = 0; i < count; ++i)
      for (std::size_t k = 0; k < cations[i].states.size(); ++k) {
        if (k == own[i] || !std::isfinite(cations[i].sums[k])) continue;
        std::vector<std::size_t> trial = own;
        trial[i] = k;
        const double left = std::abs(charge_of(cations, trial, fixed_charge));
        const double cost = misfit(cations, trial) - before;
        if (left < best_charge - tolerance || (std::abs(left - best_charge) <= tolerance && change && cost < best_cost)) {
          best_charge = left;
          best_cost = cost;
          change = std::make_pair(i, k);
        }
      }
    if (!change) break;
    own[change->first] = change->second;
  }
  return result(pick, false);
}

}  // namespace vesk
