// Oxidation states of the atoms of a phase: read from a charged type symbol
// ("Fe+3", "O-2", "Fe3+", "Na+"), or assigned, in time that grows with the
// number of atoms times the states an element may take.
//
// Assignment. An anion takes the state the bundled bond-valence table
// gives its element as an anion (O -2, N -3, Cl -1, ...). A cation takes,
// of the states the table lists for its element, the one its bond-valence
// sums fit best: every atom of an element the same state, the one with the
// least occupancy-weighted sum of (sum - state)^2 over them. When the
// charges are to balance and do not, each cation takes its own best state
// (a mixed-valence compound such as Fe3O4, Fe(II) and Fe(III) on different
// sites), and then, while one does, the single change of one atom's state
// that brings the total charge nearest to zero at the least cost in fit;
// what still does not balance is reported, not forced.
#pragma once
#include <cstddef>
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

// The state of an element as an anion, from the table's anions (O -2, F
// -1, N -3, S -2, C -4, H -1, ...); nullopt for an element it lists as no
// anion.
std::optional<int> anion_state(const BondValenceTable& table, std::string_view element);

// Where an element stands in electronegativity among the table's anions
// (Pauling's scale: F, O, Cl, N, Br, I, S, Se, C, H, P, As, Te, highest
// first): a larger number for a more electronegative element, 0 for every
// element not among them.
int electronegativity_rank(std::string_view element);

// A cation to be given a state: for each state its element may take, the
// sum of its bond valences at that state (NaN where a partner has no
// parameter for it).
struct CationChoice {
  std::string element;
  double weight = 1.0;           // occupancy x multiplicity: its share of the cell's charge
  std::vector<int> states;
  std::vector<double> sums;      // one per state
};

struct CationStates {
  std::vector<int> states;       // one per cation; 0 where no state has a finite sum
  bool per_site = false;         // atoms of one element took different states
  double charge = 0;             // the cell's charge left with them and `fixed_charge`
};

// The states as described above. `fixed_charge`: the cell's charge of
// every other atom (anions, states given); `balance`: whether the charges
// should come to zero (a phase wholly of ions). Charge is balanced within
// 1.0E-3 per atom of the cell.
CationStates assign_cation_states(std::span<const CationChoice> cations, double fixed_charge, bool balance);

}  // namespace vesk
