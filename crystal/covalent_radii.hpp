// Covalent radii of the elements (Cordero et al. 2008), by symbol or by
// atomic number: the search radii of cif2exp and the bonds of vortan.
#pragma once
#include <string_view>

namespace vesk {

// Covalent radius in Angstrom of an element symbol ("C", "Fe"; "D" counts
// as hydrogen); 0 when the table has none (elements past curium).
float covalent_radius(std::string_view element);
// The same by atomic number (1 hydrogen, 96 curium); 0 outside the table.
float covalent_radius(int atomic_number);

}  // namespace vesk
