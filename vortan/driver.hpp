// The road of one vortan run: start-up, the phase loop, the end of the run.
//
// Per phase, process_phase() reads the phase, computes its geometry model
// (geometry/phase_geometry.hpp) and hands the model to each output's writer:
// the listing tables, the results and marks files, the publication CIF and
// the drawing.
#pragma once
#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "crystal/limits.hpp"
#include "crystal/phase.hpp"
#include "expfile/covariance.hpp"
#include "recio/units.hpp"
#include "geometry/chemical_bonds.hpp"
#include "vortan/cif_output.hpp"
#include "vortan/analysis_listing.hpp"
#include "vortan/drawing.hpp"
#include "vortan/json_output.hpp"
#include "geometry/hydrogen_bonds.hpp"
#include "geometry/phase_geometry.hpp"
#include "vortan/geometry_marks.hpp"
#include "vortan/page_server.hpp"
#include "vortan/results_file.hpp"
#include "vortan/row_marks.hpp"

namespace vesk {

// Run controls of one phase, from its record "  VRTN CDAT" + phase digit.
struct PhaseControls {
  bool dmax_given = false;   // else DMAX comes from the radii, per pair of atoms
  float dmax = 0;            // Angstrom
  bool dagl_given = false;   // else DAGL comes from the radii, per pair of atoms
  float dagl = 0;            // Angstrom
  std::string fourier_mode = std::string(4, ' ');  // "FORA" adds the Fourier peaks
  std::string print_option = "DFLT";                // "ONCR": orthonormal neighbour vectors
  int iagl = 0;
  HbondControls hbonds;      // keyword words HMAX, HANG, DONR, ACPT
  TorsionChoice torsions = TorsionChoice::All;  // keyword TORS ALL, NOH or NONE
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

// A mark of --mark (publish) or --unmark.
struct MarkRequest {
  RowIdentity row;
  bool publish = true;
};

// What the command line asks of a run besides the experiment.
struct VortanOptions {
  bool publication_cif = false;    // --cif: also write stem + "_geom.cif"
  std::string paper_cif;           // --cif=FILE: the paper whose numbering the site codes take
  bool drawings = false;           // --svg: stem + "_phaseN.svg" per phase
  bool json = false;               // --json: stem + ".json"
  bool serve = false;              // --serve: the page, once the run's files are written
  std::vector<MarkRequest> marks;  // --mark, --unmark, applied in their order
  // What --serve calls with the finished run's page, the experiment still
  // locked; serve_page when empty.
  std::function<void(const PageContext&)> page;
};

// Everything a run keeps from start to end.
struct VortanRun {
  int experiment_unit = 0;
  int listing_unit = 0;
  int terminal_unit = recio::kTerminalOut;
  std::array<int, kMaxPhases> phase_flags{};  // [0] is phase 1
  std::string stem;                           // experiment file name without ".EXP"
  int cycle = 0;                              // least-squares cycle of the covariance file
  int covariance_words = 0;                   // size of the packed matrix it announces
  CovarianceData covariance;                  // .read false without a usable file
  bool ls_run_present = false;
  std::string ls_run_record = std::string(68, ' ');  // value of "  RFFN  RUN "
  float r_factor = 0;
  ResultsFile results;
  GeometryMarks geometry_marks;  // marks of torsion angles and hydrogen bonds
  bool first_phase = true;
  int phase_number = 0;
  PhaseControls controls;
  PhaseDescription phase;
  bool publication_cif = false;  // --cif: also write stem + "_geom.cif"
  std::string paper_cif;         // --cif=FILE: the paper whose numbering the site codes take
  CifCollector cif;
  bool drawings = false;             // --svg: stem + "_phaseN.svg" per phase
  std::vector<PhaseDrawing> pending_drawings;  // written whole at the end of the run
  bool json = false;                 // --json: stem + ".json"
  JsonResults json_results;
  bool serve = false;                // --serve
  std::vector<MarkRequest> mark_requests;
  std::vector<std::pair<int, std::string>> page_drawings;  // per phase, with the rows' names
  // Disorder groups by atom label of the structure cif2exp converted into
  // phase 1, from stem + ".CIFSRC".
  std::vector<std::pair<std::string, std::string>> disorder_groups;
};

// The whole run on the experiment named by the command arguments (see
// set_command_arguments) or asked for. A run that cannot go on throws
// vesk::Error or vesk::Stop; a run that returns has replaced its files. With
// `publication_cif` the distances and angles also go to stem + "_geom.cif",
// their site codes numbered as the operators of `paper_cif` when it is given,
// else of the CIF that stem + ".CIFSRC" names when that is at hand (also the
// numbering of the rows --mark and --serve name); with `drawings` each phase
// is drawn into stem + "_phaseN.svg". With `json`, everything the run
// computes also goes to stem + ".json". The marks of `marks` are set in the
// run's new marks files before the CIF and the JSON are written, so that
// they show them, and before anything replaces the old files; a row that is
// no row of the run stops it with nothing replaced. With `serve` the page is served once every file is
// written, the experiment locked until it ends.
void run_vortan(const VortanOptions& options = {});

// The rows are collected (the publication CIF's collector) for this run.
bool collects_rows(const VortanRun& run);
// The page of a --serve run, from the finished run.
PageContext page_context(VortanRun& run);
// What a run leaves behind however it ended: the new results and marks files
// of a run that did not finish are removed and the experiment's lock is
// given up. For main, after the units are closed.
void leave_experiment();

// The paper's CIF of a --cif run, as run_vortan finds it.
void load_paper_cif(VortanRun& run);

void start_run(VortanRun& run);
void process_phase(VortanRun& run);
// Every output of a phase from its geometry model.
void write_phase_outputs(VortanRun& run, const PhaseGeometry& geometry);
void finish_run(VortanRun& run);

}  // namespace vesk
