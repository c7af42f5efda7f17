// Oxidation states of the atoms of a phase: read from a charged type symbol
// ("Fe+3", "O-2", "Fe3+", "Na+"), or assigned.
//
// Assignment: each element may take the oxidation states for which the
// bundled bond-valence table lists parameters (its cation states, 9 left
// out, and its anion states), in the table's order. Of the combinations
// that balance the charge, sum over sites of occupancy x multiplicity x
// state = 0, the one with the lowest global instability index wins; the
// first in enumeration order on a tie. Every site of an element takes the
// same state first; only when no such combination balances are the sites
// given states of their own, which lets a mixed-valence compound such as
// Fe3O4 come out with Fe(II) and Fe(III) on different sites (an average
// state such as 2.5 on one site is not reached).
#pragma once
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "geometry/bond_valence_parameters.hpp"

namespace vesk {

struct TypeSymbol {
  std::string element;        // the first letter (made upper case) and a lower-case second
  std::optional<int> charge;  // none when the symbol carries no sign
};

// Oxidation states and charges run from -8 to 8 (OXID, type symbols).
constexpr int kLargestOxidationState = 8;

// The charge of a type symbol is a whole number from 0 to 8 written before
// or after its sign ("Fe3+", "Fe+3", "Na+"), after the letters that name
// the element (one or two, "SI4+" as "Si4+"); a symbol without a sign
// carries none ("Fe", "Fe1", "OW"). Empty when the
// charge reads or there is none, else what is wrong with it, for a message:
// "Mn3.5+", "Mn3+a", "Fe+3+", "Mn33+", "Mn300+".
std::string type_symbol_charge_fault(std::string_view symbol);

// nullopt when the symbol does not start with a letter or its charge does
// not read (type_symbol_charge_fault).
std::optional<TypeSymbol> parse_type_symbol(std::string_view symbol);

// The states the element may take, from the table as above; empty for an
// element the table does not know.
std::vector<int> candidate_oxidation_states(const BondValenceTable& table, std::string_view element);

struct OxidationSite {
  std::string element;
  double occupancy = 1.0;
  double multiplicity = 1.0;  // positions in the cell
};

// One bond as seen from `site`: each bond is listed once from either end
// (from the cation and from the anion) so that both sums are complete.
struct SiteBond {
  std::size_t site = 0;
  std::size_t neighbour = 0;  // the neighbour's site in the asymmetric unit
  double distance = 0.0;      // Angstrom
};

// The GII of a trial assignment from precomputed distances, each site
// weighted by occupancy x multiplicity. Bonds between two atoms of the same
// sign are left out. NaN when a cation-anion bond has no parameter; throws
// vesk::Error when the states or a bond's sites do not fit the sites.
double gii_from_distances(std::span<const OxidationSite> sites, std::span<const SiteBond> bonds,
                          std::span<const int> states, const BondValenceTable& table);

struct OxidationAssignment {
  std::vector<int> states;     // one per site
  double gii = 0.0;
  bool per_site = false;       // sites of one element took different states
  std::size_t balanced = 0;    // how many balanced combinations were scored
};

// gii_of scores one trial (one state per site; NaN when it cannot be
// scored). nullopt when no combination balances the charge and scores, or an
// element has no candidate state. At most `limit` combinations are tried in
// each of the two passes.
std::optional<OxidationAssignment> assign_oxidation_states(
    std::span<const OxidationSite> sites, const BondValenceTable& table,
    const std::function<double(std::span<const int> states)>& gii_of, std::size_t limit = 200000);

}  // namespace vesk
