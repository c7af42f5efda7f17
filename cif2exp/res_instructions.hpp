// The refinement instructions of a SHELXL .res file (as a CIF embeds them
// in _shelx_res_file), as far as cif2exp rebuilds the refinement from them:
// TITL, CELL, ZERR, LATT, SYMM, SFAC (short and long forms), DISP, UNIT,
// FVAR (the overall scale and free variables), atoms with their parameter
// codes (occupancy and Uiso may follow a free variable: 21, -21, 20.5),
// AFIX riding atoms (m = 0-4, 8, 9, 12-16; n = 3 or 7, and 8 for the
// rotating groups 13 and 14), AFIX 56 and 66 rigid pentagons and hexagons
// (with AFIX 55 and 65 where their atoms go on after others), PART n (negative too; with an occupancy its
// atoms carry), EADP, EXYZ, SUMP, the restraints DFIX, DANG, SADI, DELU,
// RIGU, SIMU, ISOR, FLAT and SAME (atom lists and ranges "A > B"), WGHT, EXTI,
// OMIT, SHEL, MERG, DAMP, TWIN and BASF (with HKLF 4), HKLF 3 or 4 and END;
// BUMP is read over. Atom names in restraints and constraints may carry a
// part suffix: C1^a is the atom C1 of PART 1, ^b of PART 2, ... ^z of PART 26.
// Instructions that only steer the listing or the next run (L.S., LIST,
// PLAN, ACTA, BOND, CONF, HTAB, ...) are read over; every other one is
// named as unsupported, and the caller does not rebuild the refinement.
#pragma once
#include <array>
#include <limits>
#include <string>
#include <vector>

namespace cif2exp {

struct ResAtom {
  std::string label;             // the name, with "_n" in residue n (as the CIF labels it)
  std::string name;              // as the instructions name it within its residue
  int residue = 0;               // RESI number, 0: none
  std::string residue_class;     // RESI class
  int sfac = 0;                  // from 1
  std::array<double, 3> x{};
  std::array<bool, 3> x_fixed{};
  double sof = 1;                // site occupation factor
  bool sof_fixed = false;
  bool anisotropic = false;
  double uiso = 0;
  bool uiso_fixed = false;
  double riding_u = 0;           // Uiso = riding_u * Ueq of u_pivot (0: its own)
  int u_pivot = -1;              // index of the atom
  std::array<double, 6> u{};     // U11 U22 U33 U12 U13 U23 (the CIF's order)
  std::array<bool, 6> u_fixed{};
  int pivot = -1;                // the atom whose coordinates these ride on
  int rigid_group = -1;          // index into ResInstructions::rigid_groups, -1: none
  // Occupancy or Uiso that follow a free variable: value = constant +
  // coefficient * fv(k + 2), k the index into ResInstructions::fvar beyond
  // the scale (-1: none).
  int sof_free_variable = -1;
  double sof_coefficient = 0;
  int uiso_free_variable = -1;
  double uiso_coefficient = 0;
  int part = 0;                  // PART n, negative for disorder across a special position
  int line = 0;
};

// A group of atoms an instruction names: EADP and EXYZ (the first leads),
// DFIX, DANG and SADI (pairs), DELU, RIGU, SIMU, ISOR (every atom when
// they name none), FLAT and SAME, as indices into ResInstructions::atoms,
// ranges written out.
struct ResAtomGroup {
  std::string instruction;       // "DFIX"
  std::vector<int> atoms;
  std::vector<double> numbers;   // the numbers before the atoms (DFIX: d [s]; SADI: [s])
  int line = 0;
  // SAME: the atoms made the same as `atoms`, one for each: the atoms other
  // than hydrogen that follow the instruction, in order.
  std::vector<int> following;
};

// AFIX m6: a rigid group of the m = 5 or 6 atoms (a regular pentagon or
// hexagon) that follow, refined with three translations and three
// rotations; AFIX m5 goes on with the group's atoms after others (a
// hydrogen atom riding on one of them) have come between.
struct ResRigidGroup {
  int afix = 0;                  // 56, 66
  std::vector<int> atoms;        // indices into ResInstructions::atoms
  int line = 0;                  // of the AFIX m6
};

// SUMP c s c1 m1 c2 m2 ...: sum c_i fv(m_i) = c, with s.u. s.
struct ResSump {
  double target = 0, sigma = 0;
  std::vector<double> coefficients;
  std::vector<int> free_variables;  // m_i - 2
  int line = 0;
};

struct ResScatterer {
  std::string symbol;
  bool tabulated = true;         // short form: from the tables
  std::array<double, 9> coefficients{};  // long form: a1 b1 a2 b2 a3 b3 a4 b4 c
  double f_prime = 0, f_double_prime = 0;
  bool dispersion = false;       // f', f'' given (long form or DISP)
};

struct ResInstructions {
  std::string title;
  bool has_cell = false;
  double wavelength = 0;
  std::array<double, 6> cell{};
  int latt = 1;                  // lattice type, negative: non-centrosymmetric
  std::vector<std::string> symm;
  std::vector<ResScatterer> sfac;
  std::vector<double> fvar;      // the overall scale, then the free variables 2, 3, ...
  std::vector<ResAtom> atoms;
  double wght_a = 0.1, wght_b = 0;
  bool exti = false;
  double exti_value = 0;
  std::vector<std::array<int, 3>> omitted;
  double two_theta_max = 180;
  double shel_low = std::numeric_limits<double>::infinity(), shel_high = 0;
  int merg = 2;
  double damp = 0.7;             // DAMP: the matrix's diagonal times 1 + damp / 1000 before inversion
  int hklf = 0;                  // 0: no HKLF instruction
  double hklf_scale = 1;
  std::array<double, 9> hklf_matrix{1, 0, 0, 0, 1, 0, 0, 0, 1};  // h' = h M, row by row
  // TWIN [R] [N] (R the inversion and N 2 by default): the matrices, row by
  // row, that give each domain's indices R^k h (h a column), k = 0 ... N - 1,
  // or for negative N the |N| / 2 of R^k and then their opposites -R^k.
  // Empty: no TWIN.
  std::vector<std::array<int, 9>> twin_domains;
  std::vector<double> basf;      // the fractions of domains 2, 3, ...
  std::vector<bool> basf_fixed;
  int rotating_groups = 0;       // AFIX m7 groups: one refined torsion each
  std::vector<ResAtomGroup> groups;
  std::vector<ResRigidGroup> rigid_groups;
  std::vector<ResSump> sumps;
  // What the instructions use beyond this reader, each once, in order.
  struct Unsupported {
    std::string what;   // "DFIX", "AFIX 66", "free variables"
    int line = 0;       // its first line
    int count = 0;
  };
  std::vector<Unsupported> unsupported;
  std::vector<std::string> notes;        // what was read over that the user may want to know
};

// `where` names the text in messages ("data_x, _shelx_res_file"). Throws
// vesk::Error, naming the line, for a record that does not read as its
// instruction (a CELL with a word for a number, an atom without coordinates),
// and for a rigid group with too few or too many atoms, or an AFIX m5 that
// goes on with none.
ResInstructions read_res_instructions(const std::string& text, const std::string& where);

// True when atom `a` of the instructions is hydrogen or deuterium (by its
// SFAC type).
bool hydrogen_atom(const ResInstructions& res, int a);

}  // namespace cif2exp
