#include "vortan/driver.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "console/free_number.hpp"
#include "console/page.hpp"
#include "console/text_utils.hpp"
#include "expfile/experiment.hpp"
#include "expfile/keys.hpp"
#include "expfile/lsctrl.hpp"
#include "expfile/phase_reader.hpp"
#include "expfile/record_store.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"
#include "recio/status.hpp"
#include "recio/unformatted.hpp"
#include "recio/units.hpp"
#include "vortan/tables.hpp"

namespace vesk {

namespace {

// A word of the control record without the delimiter NEXTTOKEN leaves on it.
std::string next_word(std::string_view text, int& position) {
  std::string token(80, ' ');
  int length = 0;
  NEXTTOKEN(text, position, token, length);
  return token.substr(0, token.find_first_of(" ,\t"));
}

float word_value(const std::string& word, std::string_view key, std::string_view item) {
  std::string text = recio::pad(word, 80);
  int error = 0;
  float value = TOKREAL(text, static_cast<int>(word.size()), error);
  if (error != 0)
    throw Error("The " + std::string(item) + " value \"" + word + "\" of the control record \"" + std::string(key) +
                "\" is not a number");
  return value;
}

// The stem is the file name without its ".EXP"; a name of another form
// keeps the whole name as its stem.
std::string stem_of(std::string_view file) {
  std::string name(recio::trim_right(file));
  if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".EXP") == 0) name.resize(name.size() - 4);
  return name;
}

// The covariance file's two leading records: the cycle and the size of the
// packed matrix. A file that does not hold them is treated as no file.
bool read_covariance_header(VortanRun& run, const std::string& file) {
  int unit = run.experiment_unit + 1;
  FREEUNIT(unit);
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::Old;
  spec.form = recio::Form::Unformatted;
  int status = recio::open(unit, file, spec);
  std::int32_t cycle = 0;
  std::int32_t words = 0;
  bool complete = false;
  if (status == 0) {
    std::vector<std::uint8_t> record;
    // Only the leading word of each record: the matrix is read once, by CMTREAD.
    auto skip_rest = [](std::span<const std::uint8_t>, std::size_t) { return std::span<std::uint8_t>(); };
    if ((status = recio::read_unformatted(unit, 4, record, skip_rest)) == 0 && recio::RecordCursor(record).get(cycle) &&
        (status = recio::read_unformatted(unit, 4, record, skip_rest)) == 0 && recio::RecordCursor(record).get(words))
      complete = true;
    recio::close(unit);
  }
  if (!complete) {
    recio::write(6, "(A)", {" The covariance file " + file + " cannot be read (" +
                            (status != 0 ? recio::status_text(status) : std::string("records too short")) +
                            "); standard deviations come from the cell alone"});
    return false;
  }
  run.cycle = cycle;
  run.covariance_words = words;
  return true;
}

}  // namespace

PhaseControls parse_phase_controls(std::string_view value, std::string_view key) {
  PhaseControls controls;
  int position = 1;
  // Positional: a word standing where "DMAX" or "DAGL" is expected only
  // fills that slot when it is something else.
  if (next_word(value, position) == "DMAX") {
    controls.dmax = word_value(next_word(value, position), key, "DMAX");
    controls.dmax_given = true;
  }
  if (next_word(value, position) == "DAGL") {
    controls.dagl = word_value(next_word(value, position), key, "DAGL");
    controls.dagl_given = true;
  }
  controls.fourier_mode = recio::pad(next_word(value, position), 4);
  std::string option = next_word(value, position);
  controls.print_option = option.empty() ? std::string("DFLT") : recio::pad(option, 4);
  return controls;
}

void start_run(VortanRun& run) {
  run.degrees_per_radian = 45.0f / std::atan(1.0f);
  STRTRN("VORTAN", "READ", "LIST", run.experiment_unit, run.listing_unit, run.terminal_unit);

  std::string value(68, ' ');
  READEXP(run.experiment_unit, "      DESCR ", value);
  set_page_title(value.substr(2, 66));
  PAGEHEAD(run.listing_unit);
  BANNER(run.listing_unit, "VORTAN", "Crystal structure distance and angle program");
  LASTHIST(run.experiment_unit, run.listing_unit);

  // The peak-exclusion radii of types 1 to 20 (1.0E-4) and the covariance
  // work matrix are set up by the phase reader and the esd code.
  NPHASRD(run.experiment_unit, run.phase_flags);
  run.stem = stem_of(recio::file_name(run.experiment_unit));
  run.cif.name = std::filesystem::path(run.stem).filename().string();

  const std::string covariance_file = run.stem + ".CMT";
  run.covariance = CovarianceData{};
  if (recio::exists(covariance_file) && read_covariance_header(run, covariance_file)) {
    // The reader sizes the matrix from the file itself and refuses a file
    // whose counts do not fit what it holds; run.covariance.read is false
    // for a refused file or one that belongs to an older refinement.
    CMTREAD(run.listing_unit, run.experiment_unit, run.covariance);
  }

  open_results_file(run.results, run.stem, run.experiment_unit + 1);

  run.ls_run_present = READEXP(run.experiment_unit, "  RFFN  RUN ", run.ls_run_record) == 0;
  run.r_factor = 0;
  if (run.ls_run_present && recio::read_string(run.ls_run_record.substr(49, 15), "(F15.0)", {run.r_factor}) != 0) {
    recio::write(6, "(A)", {" The R value in the record \"  RFFN  RUN \" does not read as a number: \"" +
                            run.ls_run_record.substr(49, 15) + "\"; taken as 0.0"});
    run.r_factor = 0;
  }
  write_results_header(run.results, run.cycle, run.r_factor);
}

void process_phase(VortanRun& run) {
  RDPHASE(run.experiment_unit, run.listing_unit, run.phase_number, run.phase_flags[run.phase_number - 1],
          run.controls.fourier_mode, run.covariance, run.phase);

  if (run.ls_run_present) {
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

  // A bond radius below the angle radius would hide neighbours that the
  // angles need.
  for (AtomType& type : run.phase.types) type.bond_radius = std::max(type.bond_radius, type.angle_radius);

  write_radius_table(run.listing_unit, run.phase);
  SearchControls search;
  search.dmax_given = run.controls.dmax_given;
  search.dmax = run.controls.dmax;
  search.dagl_given = run.controls.dagl_given;
  search.dagl = run.controls.dagl;
  search.orthonormal = recio::equal_padded(run.controls.print_option, "ONCR");
  run.distances.listing_unit = run.listing_unit;
  run.distances.terminal_unit = run.terminal_unit;
  run.distances.degrees_per_radian = run.degrees_per_radian;
  // The cell covariance also ties the cell sigmas that the lattice block shows.
  start_distance_work(run.distances, run.phase, search);
  run.distances.cif = run.publication_cif ? &run.cif : nullptr;
  if (run.publication_cif) start_cif_phase(run.cif, run.phase);
  write_lattice_block(run.listing_unit, run.phase, search.dmax_given ? search.dmax : 0.0f,
                      search.dagl_given ? search.dagl : 0.0f);
  write_atom_list(run.listing_unit, run.phase);  // with the site symmetries

  // The distances of a phase always begin on a fresh page.
  set_line_count(run.listing_unit, 700);

  // A phase whose distances cannot be computed (a symbol that could not be
  // read, a refused limit) keeps the records and marks of the previous run.
  if (run.phase.group.failed() || !run.distances.refusal.empty()) {
    if (!run.distances.refusal.empty()) write_refusal(run.distances);
    keep_previous_records(run.results, run.phase_number);
    return;
  }
  const int atoms = static_cast<int>(run.phase.atoms.size());
  for (int atom = 1; atom <= atoms; ++atom) {
    if (atom % 100 == 0) recio::write(6, "(A,I5,A,$)", {" Processing atom ", atom, "\r"});
    process_atom(run, atom);
  }
  if (run.publication_cif) write_cif_notes(run.listing_unit, run.cif);
}

void process_atom(VortanRun& run, int atom) {
  distances_and_angles(run.distances, run.phase, run.covariance, run.results, atom);
}

void finish_run(VortanRun& run) {
  close_results_file(run.results);
  if (run.publication_cif) {
    const std::string file = cif_file_name(run.stem);
    write_cif_file(run.cif, file);
    recio::write(6, "(A)", {" The distances and angles are in the publication CIF " + file});
  }
  recio::stop("VORTAN successful completion", 0);
}

void run_vortan(bool publication_cif) {
  static VortanRun run;  // lives for the whole run, as every file and list does
  run.publication_cif = publication_cif;
  start_run(run);
  for (int phase = 1; phase <= kMaxPhases; ++phase) {
    const std::string key = recio::write_string("(A,I1)", {"  VRTN CDAT", phase});
    std::string value(68, ' ');
    if (READEXP(run.experiment_unit, key, value) != 0 || run.phase_flags[phase - 1] <= 0) continue;
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
  finish_run(run);
}

}  // namespace vesk
