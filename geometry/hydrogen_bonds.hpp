// Hydrogen bonds of a phase: a hydrogen atom bonded (in the bond graph) to
// a donor atom D, and an acceptor atom A of an acceptor element within the
// H...A limit, with the angle D-H...A above the minimum. Acceptors are
// searched around every hydrogen atom through all images within the limit,
// whatever the angle limit of the bonds.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "geometry/torsions.hpp"

namespace vesk {

struct HbondControls {
  float limit = 0;            // H...A below this (Angstrom); 0: the van der Waals sum of H and A
  float min_angle = 110;      // D-H...A above this (degrees)
  std::string donors = "N/O/F/S/Cl";     // element symbols joined by "/"
  std::string acceptors = "N/O/F/S/Cl";
};

// The element numbers of a list such as "N/O/Cl"; empty when a symbol is
// not an element, with `bad` naming it.
std::vector<int> element_list(std::string_view text, std::string& bad);
// The element number of an atom type symbol ("O", "O2-", "CL", "Fe3+"): its
// leading letters; 0 for a Fourier peak or a symbol that names no element.
int element_of_type(std::string_view symbol);
// Hydrogen or deuterium.
bool is_hydrogen(int element);

// Van der Waals radius (Angstrom) of an element number, gemmi's table
// (Bondi, J. Phys. Chem. 68 (1964) 441, completed by Mantina et al.,
// J. Phys. Chem. A 113 (2009) 5806).
float van_der_waals_radius(int element);

struct HydrogenBond {
  NamedImage donor, hydrogen, acceptor;
  float dh = 0, dh_sigma = 0;
  float ha = 0, ha_sigma = 0;
  float da = 0, da_sigma = 0;
  float angle = 0, angle_sigma = 0;   // D-H...A, degrees
};

// Throws vesk::Error for a donor or acceptor list that names no element.
std::vector<HydrogenBond> find_hydrogen_bonds(const GeometryContext& context, const HbondControls& controls);

}  // namespace vesk
