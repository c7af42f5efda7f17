// Which of a central atom's neighbours are kept for its angles, and which
// of those are chemical bonds. The bonds feed torsion angles, hydrogen-bond
// donors and the molecules of the drawings; angles keep every pair of kept
// neighbours. Pure functions of distances and elements: no file, no listing.
#pragma once
#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace vesk {

// Bonded: the distance is within the sum of the covalent radii (Cordero et
// al., Dalton Trans. 2008, 2832) plus this tolerance, as cif2exp's angle
// radii assume. Control word BTOL changes it, within [0, 2] A.
constexpr float kDefaultBondTolerance = 0.4f;
constexpr float kLongestBondTolerance = 2.0f;

// How an atom takes part in bonds, from the element of its type.
enum class Bonding {
  Covalent,     // an element with a covalent radius
  Never,        // a Fourier peak: a place of density, not an atom
  AngleLimit,   // a type that names no element: bonded within the angle limit alone
};

struct BondingAtom {
  Bonding bonding = Bonding::AngleLimit;
  int element = 0;          // atomic number; 0 when none
  float radius = 0;         // covalent radius, Angstrom
  bool hydrogen = false;    // H or D
  bool metal = false;
  int disorder_group = 0;   // 0: none
  bool negative_group = false;  // a negative group (PART -1): bonded to no other image of it
  bool partial = false;     // occupancy below 1: possibly an alternative of another atom
};

// Closer than this fraction of the covalent radii sum two atoms are no
// bond: alternatives of a disordered part (C5A and C5B, an atom and its
// own image next to a special position), or an error the checks name.
// The shortest bonds (C-C triple 0.79 of the sum, O-H from X-rays some
// 0.75) lie well above it.
constexpr float kClosestBondFraction = 0.6f;
// A partly occupied atom closer to its own image than this fraction of its
// covalent diameter (1.22 A for C) is not bonded to it: the two are the
// alternative places of a part disordered about a special position.
constexpr float kClosestOwnImageFraction = 0.8f;

// `element` 0 and `peak` false: a type symbol that names no element.
BondingAtom bonding_atom(int element, bool peak);

// Metals for the torsion rule: alkali and alkaline-earth metals, Al, Ga,
// In, Sn, Tl, Pb, Bi, Po, every transition metal, lanthanoid and actinoid;
// not the metalloids B, Si, Ge, As, Sb, Te.
bool is_metal(int element);

// How the second atom of a pair lies: through a symmetry operation (any
// but the identity without translation), and whether it is an image of
// the first atom itself.
struct PairPlace {
  bool through_symmetry = false;
  bool own_image = false;
  // How far each atom lies from its own image under the operation that
  // places the second, Angstrom; negative when not known.
  float first_from_image = -1;
  float second_from_image = -1;
};

// Closer to its own image than this an atom lies on the special position
// itself (the image is the atom), as coordinates printed to three or four
// decimals leave it.
constexpr float kOnSpecialPosition = 0.03f;

// Two neighbours already within the angle limit of each other: bonded when
// within the covalent radii and the tolerance, and no closer than
// kClosestBondFraction of the radii; never two hydrogen atoms, never a
// Fourier peak or a point of occupancy 0, never two partly occupied atoms
// of different disorder groups (the alternative places of one part of the
// structure; an atom of full occupancy belongs to every alternative),
// never a partly occupied atom to its own image closer than
// kClosestOwnImageFraction of its diameter, and never an atom of a
// negative group to an image of that group reached through a symmetry
// operation, the refinement programs' rule for a part disordered about a
// special position. Nor are two partly occupied atoms bonded through an
// operation that takes either of them to a place it cannot share with
// itself (its own image closer than kClosestOwnImageFraction of its
// diameter, but not on the special position): that operation turns the
// part into its alternative, and the bond would join the two (a solvent
// molecule of quarter occupancy disordered about a twofold axis).
bool chemically_bonded(const BondingAtom& first, const BondingAtom& second, float distance, float tolerance,
                       PairPlace place = {});

// The neighbours kept for angles out of `distances` (those within the angle
// limit, in search order): the `most` nearest, ties in the order found,
// given back as indices in search order.
std::vector<std::size_t> nearest_kept(std::span<const float> distances, std::size_t most);

// The listing's line on how the phase's bonds were chosen; `disorder` when
// the phase has atoms of disorder groups.
std::string bond_rule_text(float tolerance, bool metal_torsions, bool disorder = false);

}  // namespace vesk
