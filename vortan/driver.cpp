#include "vortan/driver.hpp"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "console/page.hpp"
#include "expfile/control_records.hpp"
#include "expfile/experiment.hpp"
#include "expfile/experiment_lock.hpp"
#include "expfile/keys.hpp"
#include "expfile/lsctrl.hpp"
#include "expfile/phase_reader.hpp"
#include "expfile/record_store.hpp"
#include "geometry/cell_covariance.hpp"
#include "geometry/inorganic_analysis.hpp"
#include "geometry/molecule_analysis.hpp"
#include "marks/record_index.hpp"
#include "recio/error.hpp"
#include "recio/file_replace.hpp"
#include "recio/format.hpp"
#include "recio/status.hpp"
#include "report/analysis_listing.hpp"
#include "report/cif_output.hpp"
#include "report/geometry_listing.hpp"
#include "report/results_records.hpp"
#include "report/submission_cif.hpp"
#include "report/tables.hpp"
#include "vortan/experiment_unit.hpp"
#include "vortan/phase_checks.hpp"
#include "vortan/run_inputs.hpp"
#include "vortan/user_planes.hpp"

namespace vesk {

namespace {

// A report for the user: in the listing and, when that is a file, on the terminal.
void report(const VortanRun& run, const std::string& text) {
  LINECHK(run.listing_unit, 1);
  recio::check(recio::write(run.listing_unit, "(A)", {text}), run.listing_unit);
  if (run.terminal_unit != run.listing_unit)
    recio::check(recio::write(run.terminal_unit, "(A)", {text}), run.terminal_unit);
}

// Everything the listing holds is in place before the run reports success; a
// listing file is closed and replaces the old one, the terminal only flushed.
void close_listing(VortanRun& run) {
  if (run.listing_unit != run.terminal_unit) return keep_listing();
  if (const int status = recio::flush(run.listing_unit); status != 0) {
    const std::string reason = recio::system_reason(run.listing_unit);
    throw Error("The listing on the terminal cannot be written: " + (reason.empty() ? recio::status_text(status) : reason));
  }
}

// A phase this run does not compute still keeps its marks.
void keep_skipped_phase(VortanRun& run, int phase, const std::string& why) {
  const int kept = keep_previous_records(run.marks.results, phase);
  keep_previous_geometry_records(run.marks.geometry, phase);
  if (kept > 0)
    report(run, " Phase " + std::to_string(phase) + " is not computed in this run (" + why + "); its " +
                    std::to_string(kept) + " records of the previous results file are kept");
}

// COVEL of the run's covariance file (every covariance 0 without one).
ParameterCovariance coordinate_covariance(const CovarianceData& covariance) {
  return [&covariance](int p, int q) { return COVEL(covariance, p, q); };
}

// Every hundredth atom on the terminal while a large phase is computed.
void show_progress(int atom) {
  if (atom % 100 == 0) recio::write(recio::kTerminalOut, "(A,I5,A,$)", {" Processing atom ", atom, "\r"});
}

GeometryOptions geometry_options(const VortanRun& run) {
  GeometryOptions options;
  options.search = search_controls(run.controls);
  options.torsions = run.controls.torsions;
  options.hbonds = run.controls.hbonds;
  options.metal_torsions = run.controls.metal_torsions;
  options.molecules = run.drawings || run.serve;
  // Only phase 1 is the structure cif2exp converted.
  if (run.phase_number == 1) options.disorder_groups = disorder_group_numbers(run.phase, run.disorder_groups);
  return options;
}

// The refinement's run and controls, before a phase's tables.
void write_refinement(const VortanRun& run) {
  LINECHK(run.listing_unit, 2);
  recio::write(run.listing_unit, "(' RAFFIN was run ',A,/)", {run.ls_run_record.substr(0, 50)});
  recio::write(run.listing_unit, "(2A,/)", {" The Current Least-Squares ", "controls are"});
  LINECHK(run.listing_unit, 2);
  LSCTRL(run.experiment_unit, run.listing_unit);
  LINECHK(run.listing_unit, 1);
  recio::write(run.listing_unit, "(A)", {" "});
  if (!run.covariance.read) {
    recio::write(run.listing_unit, "(2A,/)", {" The CMT file for this cycle", " was not found."});
    LINECHK(run.listing_unit, 2);
  }
}

// The phase's drawing, kept until the end of the run; its summary goes on
// the listing now.
void draw(VortanRun& run, const PhaseGeometry& geometry) {
  PhaseDrawing drawing =
      draw_phase(run.phase, geometry.molecules, run.controls.view, drawing_file_name(run.stem, run.phase_number));
  write_drawing_summary(run.listing_unit, drawing);
  run.pending_drawings.push_back(std::move(drawing));
}

// A marks file edited while the run went on stays as it stands; the run's
// version of it goes beside it.
std::string keep_beside(MarkedFile& marked, const std::string& contents) {
  return " The " + marked.what + " " + marked.file +
         " was changed while this run went on; it is left as it stands and the new " + contents + " are in " +
         keep_new_file_beside(marked);
}

// Said only once the copy exists.
void keep_and_report_previous(VortanRun& run, MarkedFile& marked, ReplaceOutcome& outcome) {
  if (const std::string text = keep_previous_copy(marked, outcome); !text.empty()) report(run, text);
}

// Where the s.u.'s come from, said where the outputs meant for a paper
// (the publication CIF, NAME.json, the page) use them: a run without the
// refinement's covariance gives s.u.'s from the cell alone, which look real
// and are far too small. A run with the listing alone keeps the listing's
// own note.
void report_covariance(VortanRun& run, const std::string& covariance_file) {
  if (!run.covariance.read) {
    run.rows.covariance = CovarianceSource::none;
  } else {
    run.rows.covariance = has_correlations(run.covariance) ? CovarianceSource::full : CovarianceSource::diagonal;
  }
  // In the listing's header, whatever the outputs: the key NAME.json gives
  // and the sentence of the publication CIF, in lines of at most 100 columns.
  std::vector<std::string> lines{" ", " S.u.'s (covariance): " + std::string(covariance_name(run.rows.covariance)) + "."};
  const std::string details = covariance_details(run.rows.covariance);
  for (std::string_view rest = details; !rest.empty();) {
    std::size_t cut = rest.size();
    if (cut > 99) cut = rest.rfind(' ', 99);
    lines.push_back(" " + std::string(rest.substr(0, cut)));
    rest.remove_prefix(std::min(rest.size(), cut + 1));
  }
  LINECHK(run.listing_unit, static_cast<int>(lines.size()));
  for (const std::string& line : lines) recio::check(recio::write(run.listing_unit, "(A)", {line}), run.listing_unit);
  if (!(run.publication_cif || run.json || run.serve)) return;
  // On the terminal as well, for the outputs meant for a paper.
  std::string text;
  if (run.rows.covariance == CovarianceSource::none)
    text = " No covariance of the refinement (" + covariance_file +
           (recio::exists(covariance_file) ? " is not used" : " is absent") +
           "): the s.u.'s of distances and angles come from the cell alone and leave out the uncertainty of the "
           "coordinates";
  else if (run.rows.covariance == CovarianceSource::diagonal)
    text = " The covariance in " + covariance_file +
           " is diagonal (from the CIF's s.u.'s, without their correlations): the s.u.'s are approximate";
  if (!text.empty()) recio::write(recio::kTerminalOut, "(A)", {text});
}

}  // namespace

void start_run(VortanRun& run) {
  open_experiment("VORTAN", "READ", run.experiment_unit, run.terminal_unit);
  // Before any file of the experiment is written, the listing included: a
  // second run of the experiment stops here and leaves the first run's
  // files alone.
  run.stem = stem_of(recio::file_name(run.experiment_unit));
  lock_experiment(run.stem, "vortan");
  refuse_unfinished_replace(run.stem);
  refuse_outputs_that_are_inputs(run.stem, run.paper_cif);
  open_listing("LIST", run.listing_unit);

  std::string value(68, ' ');
  READEXP(run.experiment_unit, "      DESCR ", value);
  set_page_title(value.substr(2, 66));
  PAGEHEAD(run.listing_unit);
  BANNER(run.listing_unit, "VORTAN", "Crystal structure distance and angle program");
  LASTHIST(run.experiment_unit, run.listing_unit);

  // The peak-exclusion radii of types 1 to 20 (1.0E-4) and the covariance
  // work matrix are set up by the phase reader and the esd code.
  NPHASRD(run.experiment_unit, run.phase_flags);
  run.rows.name = std::filesystem::path(run.stem).filename().string();
  // Every output that names rows by site codes (the CIF, NAME.json, --mark
  // and the page) numbers them alike: as the publication CIF does.
  if (collects_rows(run)) {
    run.rows.paper = load_paper_cif(run.stem, run.paper_cif);
    recio::remove_stale_temporaries(cif_file_name(run.stem));
  }

  const std::string covariance_file = run.stem + ".CMT";
  run.covariance = CovarianceData{};
  if (recio::exists(covariance_file)) {
    if (const std::optional<CovarianceHeader> header = read_covariance_header(run.experiment_unit + 1, covariance_file)) {
      run.cycle = header->cycle;
      run.covariance_words = header->words;
      // The reader sizes the matrix from the file itself and refuses a file
      // whose counts do not fit what it holds; run.covariance.read is false
      // for a refused file or one that belongs to an older refinement.
      CMTREAD(run.listing_unit, run.experiment_unit, run.covariance);
    }
  }
  report_covariance(run, covariance_file);

  ConversionInputs conversion = read_conversion_inputs(run.stem, run.publication_cif);
  run.disorder_groups = std::move(conversion.disorder_groups);
  run.riding_atoms = std::move(conversion.riding_atoms);
  run.pressure_gpa = conversion.pressure_gpa;
  run.pressure_item = std::move(conversion.pressure_item);
  // The marks a conversion set aside, for atoms that are still there.
  run.marks.results.carry = std::move(conversion.results_carry);
  run.marks.geometry.carry = std::move(conversion.marks_carry);
  open_results_file(run.marks.results, run.stem, run.experiment_unit + 1);
  open_geometry_marks(run.marks.geometry, run.stem, run.marks.results.unit + 1);
  for (const std::string& text : {unreadable_lines_report(run.marks.results), unreadable_lines_report(run.marks.geometry)})
    if (!text.empty()) report(run, text);
  for (const MarkedFile* marked : {static_cast<const MarkedFile*>(&run.marks.results), static_cast<const MarkedFile*>(&run.marks.geometry)}) {
    const MarksCarry& carry = marked->carry;
    if (carry.carried + carry.left == 0) continue;
    report(run, " " + std::to_string(carry.carried) + " of the " + std::to_string(carry.carried + carry.left) +
                    " marks of " + carry.file + ", set aside by the last conversion, are of atoms that are still " +
                    "there and are carried to " + marked->file + "; " + carry.file + " keeps them all");
  }

  run.ls_run_present = READEXP(run.experiment_unit, "  RFFN  RUN ", run.ls_run_record) == 0;
  run.r_factor = 0;
  if (run.ls_run_present && recio::read_string(run.ls_run_record.substr(49, 15), "(F15.0)", {run.r_factor}) != 0) {
    recio::write(recio::kTerminalOut, "(A)", {" The R value in the record \"  RFFN  RUN \" does not read as a number: \"" +
                            run.ls_run_record.substr(49, 15) + "\"; taken as 0.0"});
    run.r_factor = 0;
  }
  write_results_header(run.marks.results, run.cycle, run.r_factor);
}

void process_phase(VortanRun& run) {
  RDPHASE(run.experiment_unit, run.listing_unit, run.phase_number, run.phase_flags[run.phase_number - 1],
          run.controls.fourier_mode, run.covariance, run.phase);
  const SearchControls search = search_controls(run.controls);
  const std::string nonsense = check_phase_values(run.experiment_unit, run.phase, search, run.covariance);
  if (!nonsense.empty()) {
    report(run, nonsense);
    ++run.failed_phases;
    keep_previous_records(run.marks.results, run.phase_number);
    keep_previous_geometry_records(run.marks.geometry, run.phase_number);
    return;
  }
  if (run.ls_run_present) write_refinement(run);

  // A bond radius below the angle radius would hide neighbours that the
  // angles need.
  for (AtomType& type : run.phase.types) type.bond_radius = std::max(type.bond_radius, type.angle_radius);

  write_radius_table(run.listing_unit, run.phase);
  // Also ties the cell sigmas that the lattice block shows.
  const CellCovariance cell = cell_covariance(run.phase);
  // The rows' numbering also numbers the site codes of PLAN.
  if (collects_rows(run) || !run.controls.plans.empty()) start_phase_rows(run.rows, run.phase);
  write_phase_outputs(run, compute_phase_geometry(run.phase, cell, coordinate_covariance(run.covariance),
                                                  geometry_options(run), show_progress));
}

void write_phase_outputs(VortanRun& run, const PhaseGeometry& geometry) {
  const SearchControls search = search_controls(run.controls);
  write_lattice_block(run.listing_unit, run.phase, search.dmax_given ? search.dmax : 0.0f,
                      search.dagl_given ? search.dagl : 0.0f);
  write_atom_list(run.listing_unit, run.phase);  // with the site symmetries

  // The distances of a phase always begin on a fresh page.
  set_line_count(run.listing_unit, 700);
  write_geometry_listing(run.listing_unit, run.terminal_unit, run.phase, geometry, search.orthonormal);
  const std::vector<std::vector<AnalysisImage>> planes =
      run.controls.plans.empty() ? std::vector<std::vector<AnalysisImage>>{}
                                 : user_planes(run.controls.plans, run.phase, run.rows.phases.back().numbering);
  const MoleculeAnalysis analysis = analyse_molecules(run.phase, geometry, cell_covariance(run.phase),
                                                      coordinate_covariance(run.covariance), planes,
                                                      run.controls.molecules);
  for (const std::string& note : analysis.notes) report(run, " Phase " + std::to_string(run.phase_number) + ": " + note);
  write_analysis_tables(run.listing_unit, run.phase, analysis, run.controls.tables);
  // Oxidation states only for a table that shows what they give.
  InorganicOptions inorganic_options = run.controls.inorganic;
  const InorganicTables& shown = run.controls.inorganic_tables;
  inorganic_options.valences = shown.bond_valences || shown.polyhedra || shown.checks;
  if (run.phase_number == 1 && run.pressure_gpa) {
    inorganic_options.pressure_gpa = *run.pressure_gpa;
    inorganic_options.pressure_from = "the CIF's " + run.pressure_item;
  }
  const InorganicAnalysis inorganic =
      analyse_inorganic(run.phase, geometry, cell_covariance(run.phase), coordinate_covariance(run.covariance),
                        inorganic_options, &analysis);
  write_inorganic_tables(run.listing_unit, run.phase, inorganic, run.controls.inorganic_tables);
  const InorganicTables& asked = run.controls.inorganic_tables;
  if (!inorganic.not_computed.empty() && (asked.bond_valences || asked.polyhedra || asked.checks))
    report(run, " The bond valences, polyhedra and checks of phase " + std::to_string(run.phase_number) +
                    " are not computed: " + inorganic.not_computed);
  if (geometry.computed) ++run.computed_phases;
  else ++run.failed_phases;
  if (!geometry.computed) {
    // A phase whose distances cannot be computed (a symbol that could not
    // be read, a refused limit) keeps the records and marks of the previous run.
    keep_previous_records(run.marks.results, run.phase_number);
    keep_previous_geometry_records(run.marks.geometry, run.phase_number);
  } else {
    write_results_records(run.marks.results, geometry);
    write_marks_records(run.marks.geometry, geometry, run.controls.torsions);
    if (collects_rows(run)) {
      PhaseRows& rows = run.rows.phases.back();
      // Only phase 1 is the structure cif2exp converted.
      build_phase_rows(rows, run.phase, geometry, run.marks,
                       run.phase_number == 1 ? atoms_named(run.phase, run.riding_atoms) : std::vector<bool>{});
      if (run.publication_cif) {
        write_cif_notes(run.listing_unit, rows);
        for (const std::string& line : constrained_notes(rows, run.rows.name + ".CIFSRC")) {
          LINECHK(run.listing_unit, 1);
          recio::check(recio::write(run.listing_unit, "(A)", {line}), run.listing_unit);
        }
      }
      if (run.json || run.serve) collect_json_phase(run.json_results, run.phase, rows.numbering, analysis, &inorganic);
    }
  }
  if (run.drawings) draw(run, geometry);
  if (run.serve && geometry.computed) {
    // The page's drawing names its atoms and bonds as the rows do; its
    // filter knows each atom's element.
    PagePhase page;
    page.phase = run.phase_number;
    for (const AtomSite& atom : run.phase.atoms) {
      const std::optional<TypeSymbol> type = element_and_charge(atom.type_symbol);
      page.elements.push_back(type ? type->element : std::string());
    }
    page.drawing = drawing_model(run.phase, geometry.molecules, run.controls.view, run.rows.phases.back());
    run.page_phases.push_back(std::move(page));
  }
}

void finish_run(VortanRun& run) {
  // Nothing replaces a file of the user before every output is complete.
  ReplaceOutcome outcome = complete_results_file(run.marks.results);
  ReplaceOutcome marks_outcome = complete_geometry_marks(run.marks.geometry);
  if (outcome.changed || marks_outcome.changed) {
    std::vector<std::string> lines;
    if (outcome.changed) lines.push_back(keep_beside(run.marks.results, "results"));
    if (marks_outcome.changed) lines.push_back(keep_beside(run.marks.geometry, "marks"));
    std::string message;
    for (const std::string& line : lines) {
      LINECHK(run.listing_unit, 1);
      recio::write(run.listing_unit, "(A)", {line});
      message += (message.empty() ? "" : ";") + line;
    }
    close_listing(run);
    throw Error(message.substr(1));
  }
  // A row that is no row of this run stops it before any file is replaced.
  for (const MarkRequest& request : run.mark_requests) find_row(run.rows, request.row);
  keep_and_report_previous(run, run.marks.results, outcome);
  keep_and_report_previous(run, run.marks.geometry, marks_outcome);
  // A run that computed no phase has nothing to put in a publication CIF:
  // an earlier one stays as it is.
  const bool write_cif = run.publication_cif && run.computed_phases > 0;
  const std::string cif_file = cif_file_name(run.stem);
  if (run.publication_cif && !write_cif)
    report(run, " No phase was computed in this run; the publication CIF " + cif_file + " is not written");
  // Each mark through the one writer, into the complete new marks files
  // before they replace the old ones, so that the CIF and the JSON written
  // next show it and a failure of any output leaves every file as it was.
  MarksFiles new_files{run.marks.results.new_file, run.marks.geometry.new_file};
  new_files.results_name = run.marks.results.file;
  new_files.marks_name = run.marks.geometry.file;
  new_files.index = std::make_shared<MarksFilesIndex>();
  std::vector<std::string> marked;
  for (const MarkRequest& request : run.mark_requests) {
    const bool changed = mark_row(run.rows, new_files, request.row, request.publish);
    marked.push_back(std::string(request.publish ? " Marked for publication: " : " Mark cleared: ") +
                     describe_row(request.row) + (changed ? "" : " (as it was)"));
  }
  // With the paper's CIF named: its block with our geometry, to submit; made
  // before any output is written, so that one that cannot be made leaves
  // every file as it was.
  // One that cannot be made (the paper's CIF changed since the conversion)
  // is said, and the run's other outputs are written.
  bool write_submission = write_cif && !run.paper_cif.empty();
  std::string submission;
  if (write_submission) {
    try {
      submission = submission_cif_text(run.rows);
    } catch (const Error& error) {
      write_submission = false;
      recio::write(recio::kTerminalOut, "(A)",
                   {" The CIF to submit, " + submission_file_name(run.stem) + ", is not written: " + error.what()});
    }
  }
  close_listing(run);
  if (write_cif) write_cif_file(run.rows, cif_file);
  if (write_submission) write_submission_cif(submission, submission_file_name(run.stem));
  for (const PhaseDrawing& drawing : run.pending_drawings) write_drawing_file(drawing);
  if (run.json) write_json_file(run.json_results, run.rows, json_file_name(run.stem));
  replace_marked_file(run.marks.geometry);
  replace_marked_file(run.marks.results);
  for (const std::string& line : marked) recio::write(recio::kTerminalOut, "(A)", {line});
  if (write_cif)
    recio::write(recio::kTerminalOut, "(A)", {" The distances and angles are in the publication CIF " + cif_file});
  if (write_submission)
    recio::write(recio::kTerminalOut, "(A)", {" The paper's block with these geometry loops, to submit, is in " +
                                              submission_file_name(run.stem)});
  for (const PhaseDrawing& drawing : run.pending_drawings)
    recio::write(recio::kTerminalOut, "(A)", {" The drawing is in " + drawing.file});
}

bool collects_rows(const VortanRun& run) {
  return run.publication_cif || run.json || run.serve || !run.mark_requests.empty();
}

PageContext page_context(VortanRun& run) {
  PageContext context;
  context.experiment = run.rows.name;
  context.rows = &run.rows;
  context.files = MarksFiles{run.marks.results.file, run.marks.geometry.file};
  context.files.index = std::make_shared<MarksFilesIndex>();
  context.phases = std::move(run.page_phases);
  context.summary_json = [&run] { return json_text(run.json_results, run.rows, false); };
  context.rows_json = [](const PhaseRows& rows, RowKind kind, std::span<const std::size_t> indices) {
    Json list = Json::array();
    for (std::size_t index : indices) list.push_back(std::move(json_rows(rows, kind, index, 1).front()));
    return list.dump(-1, ' ', false, Json::error_handler_t::replace);
  };
  context.write_cif = [&run] {
    const std::string file = cif_file_name(run.stem);
    write_cif_file(run.rows, file);
    return file;
  };
  return context;
}

void run_vortan(const VortanOptions& options) {
  static VortanRun run;  // lives for the whole run, as every file and list does
  run.publication_cif = options.publication_cif;
  run.drawings = options.drawings;
  run.json = options.json;
  run.paper_cif = options.paper_cif;
  run.serve = options.serve;
  run.mark_requests = options.marks;
  run.first_phase = true;
  run.computed_phases = run.failed_phases = 0;
  start_run(run);
  run.json_results.experiment = run.rows.name;
  for (int phase = 1; phase <= kMaxPhases; ++phase) {
    const std::string key = control_key(phase, 1);
    std::string value;
    const bool has_controls = read_control_text(run.experiment_unit, phase, value);
    if (!has_controls || run.phase_flags[phase - 1] <= 0) {
      keep_skipped_phase(run, phase,
                         has_controls ? "its phase flag is " + std::to_string(run.phase_flags[phase - 1])
                                      : "it has no control record \"" + key + "\"");
      continue;
    }
    if (run.first_phase) {
      run.first_phase = false;
    } else {
      LINECHK(run.listing_unit, 200);
      LINECHK(run.listing_unit, -200);
    }
    run.phase_number = phase;
    run.controls = parse_phase_controls(value, key);
    process_phase(run);
  }
  if (run.computed_phases == 0) {
    // Values that leave nothing to compute are a failure, not a result.
    if (run.failed_phases > 0)
      throw Error("No phase was computed in this run, for the reasons above; the results and marks files are "
                  "left as they were");
    report(run, " No phase is computed in this run: every phase is switched off (its phase flag is 0, or it has "
                "no control record)");
  }
  finish_run(run);
  if (run.serve) {
    // Under the experiment's lock, which main gives up once this returns:
    // a second vortan or cif2exp is refused while the page is open.
    const PageContext context = page_context(run);
    if (options.page) options.page(context);
    else serve_page(context);
  }
}

void leave_experiment() {
  recio::remove_pending_temporaries();  // the results and marks files of a run that did not finish
  release_experiment_lock();
}

}  // namespace vesk
