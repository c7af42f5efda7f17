// The road of one vortan run: start-up, the phase loop, the end of the run.
//
// Per phase, process_phase() reads the phase, computes its geometry model
// (geometry/phase_geometry.hpp) and its analyses, builds its rows
// (report/rows.hpp) and hands them to each output's writer: the listing,
// the results and marks files, the publication CIF, NAME.json and the
// drawing. The marks are kept at the end of the run.
#pragma once
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "crystal/limits.hpp"
#include "crystal/phase.hpp"
#include "expfile/covariance.hpp"
#include "geometry/phase_geometry.hpp"
#include "marks/row_marks.hpp"
#include "marks/run_marks.hpp"
#include "page/page_server.hpp"
#include "recio/units.hpp"
#include "report/drawing.hpp"
#include "report/json_output.hpp"
#include "report/rows.hpp"
#include "report/phase_controls.hpp"

namespace vesk {

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
  RunMarks marks;  // the results file (distances, angles) and the marks file (torsions, H bonds)
  bool first_phase = true;
  int computed_phases = 0;  // whose distances were computed
  int failed_phases = 0;    // asked for, but refused for their values
  int phase_number = 0;
  PhaseControls controls;
  PhaseDescription phase;
  bool publication_cif = false;  // --cif: also write stem + "_geom.cif"
  std::string paper_cif;         // --cif=FILE: the paper whose numbering the site codes take
  RunRows rows;                  // the rows of every phase, numbered as the publication CIF's
  bool drawings = false;             // --svg: stem + "_phaseN.svg" per phase
  std::vector<PhaseDrawing> pending_drawings;  // written whole at the end of the run
  bool json = false;                 // --json: stem + ".json"
  JsonResults json_results;
  bool serve = false;                // --serve
  std::vector<MarkRequest> mark_requests;
  std::vector<PagePhase> page_phases;  // what the page shows of each phase besides its rows
  // Disorder groups by atom label of the structure cif2exp converted into
  // phase 1, from stem + ".CIFSRC".
  std::vector<std::pair<std::string, std::string>> disorder_groups;
  // Labels of the atoms of phase 1 that rode on others in the refinement,
  // from stem + ".CIFSRC": their rows are shown without s.u.'s.
  std::vector<std::string> riding_atoms;
  // The pressure phase 1 was measured at, GPa, and the CIF item that says
  // it, from stem + ".CIFSRC".
  std::optional<double> pressure_gpa;
  std::string pressure_item;
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
// no row of the run stops it with nothing replaced. With `serve` the page is
// served once every file is written, the experiment locked until it ends.
void run_vortan(const VortanOptions& options = {});

// The rows are built for this run (the CIF, NAME.json, --mark or the page).
bool collects_rows(const VortanRun& run);
// The page of a --serve run, from the finished run.
PageContext page_context(VortanRun& run);
// What a run leaves behind however it ended: the new results and marks files
// of a run that did not finish are removed and the experiment's lock is
// given up. For main, after the units are closed.
void leave_experiment();

void start_run(VortanRun& run);
void process_phase(VortanRun& run);
// Every output of a phase from its geometry model.
void write_phase_outputs(VortanRun& run, const PhaseGeometry& geometry);
void finish_run(VortanRun& run);

}  // namespace vesk
