// The least-squares model of a refined crystal structure, as a refinement
// program held it in its last cycle: cell and wavelength, the space group's
// operators, scattering factors, atoms with what was refined of each, the
// overall scale, extinction and the weighting scheme. Everything in double.
// This room computes and never reads or writes a file: a caller builds the
// model from whatever instructions it read.
#pragma once
#include <array>
#include <string>
#include <vector>

namespace lsq {

using Vec3 = std::array<double, 3>;
using IntMat3 = std::array<std::array<int, 3>, 3>;  // [row][column]
using Mat3 = std::array<std::array<double, 3>, 3>;
using Miller = std::array<int, 3>;

// x' = R x + t on fractional coordinates.
struct Operator {
  IntMat3 rotation{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  Vec3 translation{};
};

struct SpaceGroup {
  std::vector<Operator> operators;  // the listed ones, identity first, without the inversion
  bool centric = false;             // each listed operator also follows the inversion through the origin
  std::vector<Vec3> centring{{0, 0, 0}};  // lattice translations, the null one first

  // Every operator of the group: listed, then inverted, each with every
  // centring translation (translations reduced into [0, 1)).
  std::vector<Operator> expanded() const;
};

// f0(s) = sum a_i exp(-b_i s^2) + c with s = sin(theta)/lambda, and the
// dispersion terms f' and f'' of the wavelength.
struct ScatteringFactor {
  std::string symbol;
  std::array<double, 4> a{}, b{};
  double c = 0;
  double f_prime = 0, f_double_prime = 0;
  double f0(double s_squared) const;
};

// The parameters of an atom, in this order (Uij as CIF writes them).
enum Slot { kX, kY, kZ, kOccupancy, kUiso, kU11, kU22, kU33, kU12, kU13, kU23, kSlots };

struct Atom {
  std::string label;
  int type = 0;                 // index into Model::types
  Vec3 site{};                  // fractional
  // The refinement's site occupation factor: the chemical occupancy
  // divided by the order of the site's symmetry (0.5 for a full atom on a
  // twofold axis), since the structure factor sums over every operator.
  double occupancy = 1;
  bool anisotropic = false;
  double uiso = 0;              // square Angstrom
  std::array<double, 6> u{};    // U11 U22 U33 U12 U13 U23
  std::array<bool, kSlots> refined{};  // as the instructions say; special positions tie some further
  int riding_pivot = -1;        // coordinates ride on this atom (index), -1: their own
  int u_pivot = -1;             // Uiso = u_factor * Ueq(u_pivot), -1: its own
  double u_factor = 0;
  // A parameter that follows a free variable: its value moves by
  // `coefficient` times the variable's shift (occupancy and Uiso only).
  struct Link {
    int free_variable = -1;     // index into Model::free_variables, -1: none
    double coefficient = 0;
  };
  Link occupancy_link, uiso_link;
  int same_site_as = -1;        // coordinates shared with this atom (index), -1: their own
  int same_u_as = -1;           // displacement parameters shared with this atom
};

// A restraint: an observation of a function of the atom parameters (or of
// the free variables) with its s.u.
enum class RestraintKind {
  Distance,        // |x_a - x_b| = target (pairs: atoms[2k], atoms[2k + 1])
  EqualDistances,  // the distances of the pairs equal, each against their mean with weight n / ((n - 1) sigma^2)
  FreeVariableSum, // sum coefficients_k fv_k = target
  RigidBond,       // the mean-square displacements of each pair along their join equal (U along the
                   // bond of a minus that of b = 0); position derivatives neglected
  RigidBody,       // as RigidBond, and the two components of U that couple the join to the directions
                   // across it equal too (three observations a pair), sigma scaled by the join's
                   // length and the atoms' Ueq; position derivatives neglected
  SimilarU,        // each pair's Cartesian Uij equal (six observations; one, Uiso or Ueq, when an atom
                   // of the pair is isotropic); `sigmas` gives one s.u. a pair
  IsotropicU,      // each anisotropic atom's Cartesian U near Ueq times the unit matrix (six
                   // observations an atom: Uii - Ueq and Uij); `sigmas` gives one s.u. an atom
  Planar,          // the volume (x2 - x1) . [(x3 - x1) x (x4 - x1)] (cubic Angstrom) of the first
                   // three atoms with each further one is 0
};

struct Restraint {
  RestraintKind kind = RestraintKind::Distance;
  std::vector<int> atoms;            // pairs of atom indices (IsotropicU, Planar: single atoms)
  std::vector<int> free_variables;   // FreeVariableSum: indices into Model::free_variables
  std::vector<double> coefficients;  // FreeVariableSum: one per free variable
  double target = 0;
  double sigma = 0.02;
  std::string name;                  // for messages: "DFIX (line 18)"
  std::vector<double> sigmas{};      // SimilarU, IsotropicU: an s.u. for each pair or atom
};

// A crystal of twin domains whose reflections coincide (merohedral twins,
// inversion twins): the intensity measured at h is sum_k f_k Fc^2(h_k),
// h_k = R_k h with h a column of indices, R_0 the identity. The fractions
// f_1, f_2, ... are given; f_0 = 1 - their sum.
struct Twin {
  std::vector<IntMat3> domains;     // R_k, the identity first; empty: a single crystal
  std::vector<double> fractions;    // f_k for k >= 1
  std::vector<bool> fraction_refined;
};

// Atoms whose coordinates move together as one rigid body (a phenyl ring
// kept a regular hexagon): three translations along a, b, c (fractions of
// the cell edges) and three rotations (radians) about Cartesian axes x, y,
// z through the first atom. Their displacement parameters and occupancies
// stay their own.
struct RigidGroup {
  std::vector<int> atoms;   // indices into Model::atoms, the pivot first
  bool translated = true;   // false: the pivot stays, the group only turns about it
  std::string name;         // for messages: "AFIX 66 (line 162)"
};

// SHELXL's weights: w = 1 / [s^2(Fo^2) + (aP)^2 + bP], P = (max(Fo^2, 0) + 2 Fc^2) / 3.
struct Weighting {
  double a = 0.1, b = 0;
};

struct Model {
  std::array<double, 6> cell{};  // a, b, c (Angstrom), alpha, beta, gamma (degrees)
  double wavelength = 0.71073;   // Angstrom
  SpaceGroup group;
  std::vector<ScatteringFactor> types;
  std::vector<Atom> atoms;
  // Fc^2 on the scale of the observations is scale^2 |F|^2 (the overall
  // scale factor multiplies F, as SHELXL's FVAR gives it).
  double scale = 1;
  bool scale_refined = true;
  // SHELXL's extinction x: F* = F (1 + 0.001 x F^2 lambda^3 / sin 2theta)^(-1/4).
  double extinction = 0;
  bool extinction_refined = false;
  Twin twin;
  Weighting weighting;
  // Free variables beyond the overall scale, with whether each is refined.
  std::vector<double> free_variables;
  std::vector<bool> free_variable_refined;
  std::vector<Restraint> restraints;
  std::vector<RigidGroup> rigid_groups;
  // The covariance is scaled by the GooF squared of the restrained fit
  // (reflections and restraints, n + r - p) rather than of the reflections
  // alone.
  bool restrained_goof = true;
  // The normal matrix's diagonal is multiplied by 1 + damping before it is
  // solved and inverted (SHELXL's DAMP, divided by 1000: 0.0007 by
  // default), which bounds the s.u.'s of nearly undetermined parameters.
  double damping = 0;
  // Atoms within this distance (Angstrom) of a special position are placed
  // on it and tied by its symmetry.
  double special_position_tolerance = 0.1;
};

// The metric of a cell: reciprocal lengths, the direct and reciprocal
// metric tensors, the orthogonalisation matrix (Cartesian = M x).
struct Metric {
  Vec3 reciprocal{};  // a*, b*, c*
  Mat3 direct{};      // G_ij = a_i . a_j
  Mat3 inverse{};     // G*
  Mat3 orthogonal{};
  double volume = 0;
};
// Throws vesk::Error for a cell that is none.
Metric metric_of(const std::array<double, 6>& cell);

// (sin(theta) / lambda)^2 of a reflection.
double s_squared(const Metric& metric, const Miller& h);

// Ueq = (1/3) sum_ij U_ij a*_i a*_j a_i.a_j, and its derivative by each Uij
// (U11 U22 U33 U12 U13 U23).
double u_equivalent(const Metric& metric, const std::array<double, 6>& u);
std::array<double, 6> u_equivalent_gradient(const Metric& metric);

}  // namespace lsq
