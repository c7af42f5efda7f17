// The run controls of one phase, read from its record "  VRTN CDAT" +
// phase digit: the limits of the distance search, what the listing shows
// and how the analyses run.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "geometry/chemical_bonds.hpp"
#include "geometry/hydrogen_bonds.hpp"
#include "geometry/inorganic_analysis.hpp"
#include "geometry/neighbour_search.hpp"
#include "geometry/phase_geometry.hpp"
#include "report/analysis_listing.hpp"
#include "report/drawing.hpp"

namespace vesk {

struct PhaseControls {
  bool dmax_given = false;   // else DMAX comes from the radii, per pair of atoms
  float dmax = 0;            // Angstrom
  bool dagl_given = false;   // else DAGL comes from the radii, per pair of atoms
  float dagl = 0;            // Angstrom
  std::string fourier_mode = std::string(4, ' ');  // "FORA" adds the Fourier peaks
  std::string print_option = "DFLT";                // "ONCR": orthonormal neighbour vectors
  int iagl = 0;
  HbondControls hbonds;      // keyword words HMAX, HANG, DONR, ACPT
  TorsionChoice torsions = TorsionChoice::Default;  // keyword TORS ALL, NOH or NONE
  float bond_tolerance = kDefaultBondTolerance;  // keyword BTOL: Angstrom beyond the covalent radii
  bool metal_torsions = false;                   // keyword MTOR Y: chains through metal atoms too
  DrawingView view;          // "VIEW a|b|c|u v w" for --svg
  AnalysisTables tables;     // RING, PLNS, PANG, RIGB N: a table of the molecule analysis left out
  MoleculeOptions molecules;  // RING N: no ring search; PANG Y, ALL or N: which angles between planes
  InorganicTables inorganic_tables;  // BVAL, POLY, CHKS N: an inorganic table left out
  InorganicOptions inorganic;        // OXID Fe 3 O -2; BVSF, BVSS, GIIL: thresholds of the checks
  std::vector<std::vector<std::string>> plans;  // PLAN C1 C2 C3 ...: labels, with site codes n_klm
};

// The control record's value read word by word: four positional words
// (DMAX and its value or a placeholder, DAGL and its value or a
// placeholder, the Fourier mode, the print option), then keyword words, each
// followed by its value. `key` names the record in the message of a value
// that does not read or a word that is not known (vesk::Error).
PhaseControls parse_phase_controls(std::string_view value, std::string_view key);

// A keyword word of the control record (HMAX, TORS, PLAN, ...), in any case.
bool is_control_keyword(std::string_view word);

// The limits of the distance search the controls give.
SearchControls search_controls(const PhaseControls& controls);

}  // namespace vesk
