// What a paper says about an inorganic structure, from a phase's geometry
// model: the oxidation states, each cation-anion bond's valence
// s = exp((R0 - R) / b), every atom's bond-valence sum and its deviation from
// the formal valence, the global instability index, each cation's
// coordination polyhedron and a short table of checks. Every value carries
// its s.u. through the one propagation of geometry/measure.hpp: a sum is
// one measure over the atom and all its ligands, so the correlated
// distances of one polyhedron are propagated together.
//
// Bond valences are taken where they mean something: on a phase of ions
// (no molecular part: no carbon bonded to anything but oxygen), on atoms
// whose states the type symbols or OXID give, and on the metal atoms of
// complexes with their donor atoms (N, O, S, P, the halogens, ...). States
// are never assigned to the atoms of an organic molecule, a metal bonded
// to carbon or hydrogen gets no sum (those bonds have no parameters), and
// hydrogen atoms are left out (their X-ray positions are too short for
// bond valences). Every atom left out is named with the reason.
//
// An atom's partners are the distances the search lists to atoms of the
// opposite sign (a donor atom counts as an anion for a metal's sum),
// those that are chemical bonds making the ligands of its polyhedron.
#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>
#include "crystal/phase.hpp"
#include "geometry/molecule_analysis.hpp"
#include "geometry/oxidation_states.hpp"

namespace vesk {

// Thresholds of the checks; control words change them. Levels mean what
// they say: A almost certainly an error of the structure (a sum off by
// more than five times the limit, half the valence by default;
// displacements that are not positive definite; two atoms closer than any
// bond); B what a referee would ask about (a sum off by more than three
// times the limit, a GII over twice its limit, a short contact); C for the
// record (a sum or a GII past its limit, an atom with no partner, a
// rigid-bond failure, a pair without parameter, states assigned, charges
// that do not balance).
struct CheckThresholds {
  // A sum off the formal valence by more than this fraction of it and by
  // more than `valence_sigmas` s.u.'s. Brown, "The Chemical Bond in
  // Inorganic Chemistry" (2002), ch. 3: sums of well-refined structures lie
  // within some 0.1 of the valence, about 5%.
  double valence_fraction = 0.10;
  double valence_sigmas = 3.0;
  // Salinas-Sanchez et al., J. Solid State Chem. 100 (1992) 201: GII
  // above 0.2 v.u. marks a strained structure, often a wrong one.
  double gii_limit = 0.2;
  // Non-bonded contacts shorter than the van der Waals sum less this, A
  // (geometry/short_contacts.hpp).
  double contact_margin = 0.5;
  // From this pressure on, GPa, a short contact is graded C: van der Waals
  // radii are those of atoms at ambient pressure, and under pressure
  // non-bonded contacts shrink far more than bonds.
  double high_pressure = 1.0;
};

struct InorganicOptions {
  std::map<std::string, int> control_states;  // element -> state, from OXID
  CheckThresholds thresholds;
  // Some table asks for the valences (BVAL, POLY or CHKS not N): without,
  // no state is looked for and only the contacts are checked.
  bool valences = true;
  // The pressure the structure was measured at, GPa, and what says so.
  std::optional<double> pressure_gpa;
  std::string pressure_from;
};

struct ValenceBond {
  AnalysisImage anion;           // the other end (the ligand)
  MeasuredValue distance;        // Angstrom
  double r0 = 0, b = 0;
  std::string source;            // the table's reference code
  MeasuredValue valence;         // v.u.
  bool bonded = true;            // a chemical bond too: a ligand of the polyhedron
};

struct AtomValence {
  int atom = 0;                  // from 1
  int state = 0;
  std::string state_from;        // "type symbol", "control record" or "assigned"
  std::vector<ValenceBond> bonds;
  MeasuredValue sum;
  MeasuredValue deviation;       // sum - |state|
  std::string unchecked;         // why the sum, incomplete, is not checked; empty when it is
};

// An atom without a bond-valence sum, and why.
struct LeftOutAtom {
  int atom = 0;                  // from 1
  std::string reason;
};

// A site shared by several atoms: their occupancy-weighted sum against
// their occupancy-weighted valence.
struct SiteValence {
  std::vector<int> atoms;        // from 1
  double valence = 0;            // v.u.
  MeasuredValue sum;
  MeasuredValue deviation;       // sum - valence
};

// A polyhedron sharing with this one: its centre's image, seen from this
// centre (at its own place).
struct SharedWith {
  AnalysisImage centre;
  std::string kind;              // "corner", "edge", "face"
};

struct PolyhedronRow {
  int atom = 0;
  std::vector<AnalysisImage> ligands;
  MeasuredValue mean_bond, volume, distortion_index;
  std::optional<MeasuredValue> quadratic_elongation, angle_variance;
  std::vector<SharedWith> shares;
};

struct SharingRow {
  int first = 0, second = 0;     // central atoms, from 1
  std::string kind;              // "corner", "edge", "face"
};

struct CheckRow {
  char level = 'C';
  std::string rule;
  std::vector<int> atoms;
  std::vector<AnalysisImage> images;  // the atoms as the check sees them, when an image is among them
  std::string text;              // the rule's evidence: the values and what they are held against
};

struct InorganicAnalysis {
  bool computed = false;         // some atom has a bond-valence sum
  bool ionic = false;            // the phase is wholly of ions: its charges balance, it has a GII
  // Why nothing was computed when the phase's input is at fault (a type
  // symbol whose charge does not read); empty otherwise.
  std::string not_computed;
  // The checks that apply to every phase (short contacts) are made even
  // when nothing else is computed.
  std::string states_from;       // "type symbols", "control record", "assigned", or those joined by " and "
  std::vector<AtomValence> atoms;  // every atom with a state, in the order of the phase
  std::vector<LeftOutAtom> left_out;
  std::vector<SiteValence> mixed_sites;
  MeasuredValue gii{0, 0, false};  // over the sites, mixed ones by their weighted deviation
  std::vector<PolyhedronRow> polyhedra;
  std::vector<SharingRow> sharing;
  std::vector<CheckRow> checks;
};

// The element of an atom type symbol as geometry/hydrogen_bonds reads it
// ("SI" silicon, "OW" oxygen), with the charge that follows its letters
// ("FE+3", "Fe3+", "O2-"); nullopt for a Fourier peak, a symbol that names
// no element or a malformed charge.
std::optional<TypeSymbol> element_and_charge(std::string_view type_symbol);

InorganicAnalysis analyse_inorganic(const PhaseDescription& phase, const PhaseGeometry& geometry,
                                    const CellCovariance& cell, const ParameterCovariance& covariance,
                                    const InorganicOptions& options, const MoleculeAnalysis* molecules = nullptr);

}  // namespace vesk
