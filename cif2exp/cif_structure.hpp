// What cif2exp takes from one CIF data block: cell, symmetry, atoms with
// their s.u.'s, and a few words about the refinement.
#pragma once
#include <array>
#include <string>
#include <vector>

#include <gemmi/cifdoc.hpp>

#include "cif2exp/cif_number.hpp"

namespace cif2exp {

struct CifAtom {
  std::string label;
  std::string type_symbol;  // as the CIF writes it, or the label's element
  std::string element;      // "Fe"
  std::array<CifNumber, 3> x;
  CifNumber occupancy;      // value 1 when the CIF gives none
  bool anisotropic = false;
  bool uiso_given = false;         // U or B iso given
  double uiso = 0;                 // square Angstrom
  double uiso_su = 0;
  std::array<double, 6> u{};       // U11, U22, U33, U12, U13, U23
  std::array<double, 6> u_su{};
  // _atom_site_site_symmetry_multiplicity (or the older _symmetry_
  // form, which some programs filled with the site-symmetry order), 0 when absent
  int declared_multiplicity = 0;
  int declared_order = 0;          // _atom_site_site_symmetry_order, 0 when absent
  // A negative _atom_site_disorder_group: a disordered atom refined off the
  // special position it lies near; its declared multiplicity is that site's.
  bool off_special_position = false;
  // _atom_site_disorder_group without its sign; empty for none (0, '.', '?').
  std::string disorder_group;
  // The position was calculated or rode on another atom's in the refinement
  // (_atom_site_calc_flag calc, R in _atom_site_refinement_flags_posn).
  bool riding = false;
  std::string attached;  // _atom_site_calc_attached_atom, empty when absent
};

struct CifStructure {
  std::string file;         // as named on the command line
  std::string block_name;
  std::string title;
  std::string phase_name;
  std::array<CifNumber, 6> cell;   // a, b, c, alpha, beta, gamma
  std::string space_group_name;    // Hermann-Mauguin, as given
  std::string hall;                // Hall symbol, as given
  std::vector<std::string> operators;  // "x,y,z" triplets of the operator loop
  std::vector<CifAtom> atoms;
  double r_factor = 0;             // R1 (gt, else all), 0 when absent
  std::string refined_on;          // _refine_ls_structure_factor_coef
  double sigma_cutoff = 0;         // from _reflns_threshold_expression, 0 when absent
  std::vector<std::string> warnings;   // what was read with a correction the user should check
};

// Tags are read in both the underscore and the dotted form
// ("_cell_length_a", "_cell.length_a"). Throws vesk::Error naming the file,
// the block, the item and the atom when the block lacks what an experiment
// file needs or holds what cannot go into one.
CifStructure read_cif_structure(const gemmi::cif::Block& block, const std::string& file);

// Why the block holds no structure ("no cell", "no atom coordinates", "no
// symmetry"), or blank when it holds a cell, symmetry and coordinates.
std::string missing_structure(const gemmi::cif::Block& block);

// The block with every dotted tag in the underscore form.
gemmi::cif::Block underscore_tags(const gemmi::cif::Block& block);

// Printable ASCII, blanks collapsed, the first line of a text field.
std::string plain_text(const std::string& raw);
// The text without the CIF's markup: tags (<i>N</i>), sub- and superscript
// marks (C~6~, Cu^2+^), Greek letters (\a alpha), accents (\'e e) and
// signs (\%A A, \\times x).
std::string without_markup(const std::string& text);
// plain_text of the text without its markup.
std::string plain_title(const std::string& raw);

}  // namespace cif2exp
