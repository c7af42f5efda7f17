#include "vortan/driver.hpp"

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cmath>
#include <iterator>
#include <memory>
#include <mutex>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <system_error>
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
#include "recio/file_replace.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"
#include "recio/status.hpp"
#include "recio/unformatted.hpp"
#include "recio/units.hpp"
#include "geometry/cell_covariance.hpp"
#include "geometry/inorganic_analysis.hpp"
#include "geometry/oxidation_states.hpp"
#include "vortan/cif_rows.hpp"
#include "vortan/geometry_listing.hpp"
#include "vortan/paper_cif.hpp"
#include "vortan/phase_checks.hpp"
#include "expfile/experiment_lock.hpp"
#include "vortan/experiment_unit.hpp"
#include "vortan/results_records.hpp"
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
    recio::write(recio::kTerminalOut, "(A)", {" The covariance file " + file + " cannot be read (" +
                            (status != 0 ? recio::status_text(status) : std::string("records too short")) +
                            "); standard deviations come from the cell alone"});
    return false;
  }
  run.cycle = cycle;
  run.covariance_words = words;
  return true;
}

// The words of the control record after its four positional ones, read in
// turn; each keyword takes the words that follow it.
struct ControlWords {
  std::string_view value;
  std::string_view key;
  int position = 1;
  std::string next() { return next_word(value, position); }
};

std::string upper(std::string text) {
  for (char& ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return text;
}

// The one word a keyword takes.
std::string keyword_value(ControlWords& words, const char* keyword) {
  std::string value = words.next();
  if (value.empty())
    throw Error("The keyword " + std::string(keyword) + " of the control record \"" + std::string(words.key) +
                "\" has no value");
  return value;
}

std::string elements_word(ControlWords& words, const char* item) {
  const std::string word = keyword_value(words, item);
  // "N/O/", "/O", "N//O" would read as a list with an empty symbol, and an
  // empty symbol as no list at all.
  if (word.front() == '/' || word.back() == '/' || word.find("//") != std::string::npos)
    throw Error("The " + std::string(item) + " value \"" + word + "\" of the control record \"" +
                std::string(words.key) + "\" has an empty element symbol; write the symbols joined by single /, "
                "as in N/O/Cl");
  std::string bad;
  element_list(word, bad);
  if (!bad.empty())
    throw Error("The " + std::string(item) + " value \"" + word + "\" of the control record \"" +
                std::string(words.key) + "\": \"" + bad + "\" is not an element symbol");
  return word;
}

// VIEW a, VIEW b, VIEW c or VIEW u v w: the direction a drawing looks along.
void read_view(PhaseControls& controls, ControlWords& words) {
  const std::string first = words.next();
  std::string axis = first;
  for (char& c : axis) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  controls.view = DrawingView{true, {0, 0, 0}};
  if (axis == "a" || axis == "b" || axis == "c") {
    controls.view.direction[static_cast<std::size_t>(axis[0] - 'a')] = 1;
    return;
  }
  if (first.empty())
    throw Error("VIEW in the control record \"" + std::string(words.key) + "\" needs a, b, c or three numbers");
  controls.view.direction[0] = word_value(first, words.key, "VIEW");
  controls.view.direction[1] = word_value(words.next(), words.key, "VIEW");
  controls.view.direction[2] = word_value(words.next(), words.key, "VIEW");
  const Vec3& d = controls.view.direction;
  if (!std::isfinite(d[0]) || !std::isfinite(d[1]) || !std::isfinite(d[2]))
    throw Error("VIEW in the control record \"" + std::string(words.key) +
                "\" has a component too large for a single-precision real; give a direction such as 1 -1 0");
  if (d[0] == 0 && d[1] == 0 && d[2] == 0)
    throw Error("VIEW 0 0 0 in the control record \"" + std::string(words.key) + "\" is no direction");
}

struct ControlKeyword {
  const char* word;
  void (*read)(PhaseControls&, ControlWords&);
};

static const ControlKeyword kControlKeywords[] = {
    // 0: the direction a drawing looks along
    {"VIEW", read_view},
    // 1: H...A limit of hydrogen bonds, Angstrom
    {"HMAX", [](PhaseControls& c, ControlWords& words) {
       const std::string v = keyword_value(words, "HMAX");
       c.hbonds.limit = word_value(v, words.key, "HMAX");
       if (!(c.hbonds.limit > 0 && c.hbonds.limit <= kLongestSearchLimit))
         throw Error("The HMAX value \"" + v + "\" of the control record \"" + std::string(words.key) +
                     "\" is not a distance between 0 and 50 A");
     }},
    // 2: smallest D-H...A angle of hydrogen bonds, degrees
    {"HANG", [](PhaseControls& c, ControlWords& words) {
       const std::string v = keyword_value(words, "HANG");
       c.hbonds.min_angle = word_value(v, words.key, "HANG");
       if (!(c.hbonds.min_angle >= 0 && c.hbonds.min_angle < 180))
         throw Error("The HANG value \"" + v + "\" of the control record \"" + std::string(words.key) +
                     "\" is not an angle from 0 up to (not including) 180 degrees");
     }},
    // 3: donor elements, "N/O/Cl"
    {"DONR", [](PhaseControls& c, ControlWords& words) { c.hbonds.donors = elements_word(words, "DONR"); }},
    // 4: acceptor elements
    {"ACPT", [](PhaseControls& c, ControlWords& words) { c.hbonds.acceptors = elements_word(words, "ACPT"); }},
    // 5: which torsion angles: ALL, NOH (no chain with H or D) or NONE
    {"TORS", [](PhaseControls& c, ControlWords& words) {
       const std::string v = keyword_value(words, "TORS");
       const std::string choice = upper(v);
       if (choice == "ALL")
         c.torsions = TorsionChoice::All;
       else if (choice == "NOH")
         c.torsions = TorsionChoice::NoHydrogen;
       else if (choice == "NONE")
         c.torsions = TorsionChoice::None;
       else
         throw Error("The TORS value \"" + v + "\" of the control record \"" + std::string(words.key) +
                     "\" is not ALL, NOH or NONE");
     }},
    // 6: bonds up to the sum of the covalent radii plus this, Angstrom
    {"BTOL", [](PhaseControls& c, ControlWords& words) {
       const std::string v = keyword_value(words, "BTOL");
       c.bond_tolerance = word_value(v, words.key, "BTOL");
       if (!(c.bond_tolerance >= 0 && c.bond_tolerance <= kLongestBondTolerance))
         throw Error("The BTOL value \"" + v + "\" of the control record \"" + std::string(words.key) +
                     "\" is not a tolerance between 0 and 2 A");
     }},
    // 7: torsion angles of chains through a metal atom: Y lists them, N (the default) leaves them out
    {"MTOR", [](PhaseControls& c, ControlWords& words) {
       const std::string v = keyword_value(words, "MTOR");
       const std::string choice = upper(v);
       if (choice != "Y" && choice != "N")
         throw Error("The MTOR value \"" + v + "\" of the control record \"" + std::string(words.key) +
                     "\" is not Y or N");
       c.metal_torsions = choice == "Y";
     }},
};

// Y or N of a table's control word: N leaves the table out.
bool table_word(ControlWords& words, const char* keyword) {
  const std::string v = keyword_value(words, keyword);
  const std::string choice = upper(v);
  if (choice != "Y" && choice != "N")
    throw Error("The " + std::string(keyword) + " value \"" + v + "\" of the control record \"" +
                std::string(words.key) + "\" is not Y or N");
  return choice == "Y";
}

const ControlKeyword* control_keyword(const std::string& word);

// PLAN C1 C2 C3 ...: the atoms up to the next keyword or the end.
void read_plan(PhaseControls& c, ControlWords& words) {
  std::vector<std::string> labels;
  for (;;) {
    const int before = words.position;
    const std::string word = words.next();
    if (word.empty()) break;
    if (control_keyword(word) != nullptr) {
      words.position = before;
      break;
    }
    labels.push_back(word);
  }
  if (labels.size() < 3 || labels.size() > kMaxPlaneAtoms)
    throw Error("PLAN in the control record \"" + std::string(words.key) + "\" names " +
                std::to_string(labels.size()) + " atoms; a plane takes 3 to " + std::to_string(kMaxPlaneAtoms));
  c.plans.push_back(std::move(labels));
}

static const ControlKeyword kAnalysisKeywords[] = {
    {"PLAN", read_plan},
    {"RING", [](PhaseControls& c, ControlWords& words) {
       c.tables.rings = table_word(words, "RING");
       c.molecules.rings = c.tables.rings;  // N: no ring search at all
     }},
    {"PLNS", [](PhaseControls& c, ControlWords& words) { c.tables.planes = table_word(words, "PLNS"); }},
    // Y: the angles between related planes; ALL: also every two ring planes of one molecule; N: none
    {"PANG", [](PhaseControls& c, ControlWords& words) {
       const std::string v = keyword_value(words, "PANG");
       const std::string choice = upper(v);
       if (choice == "ALL")
         c.molecules.plane_angles = PlaneAngleChoice::All;
       else if (choice == "Y")
         c.molecules.plane_angles = PlaneAngleChoice::Related;
       else if (choice == "N")
         c.molecules.plane_angles = PlaneAngleChoice::None;
       else
         throw Error("The PANG value \"" + v + "\" of the control record \"" + std::string(words.key) +
                     "\" is not Y, ALL or N");
       c.tables.plane_angles = choice != "N";
     }},
    {"RIGB", [](PhaseControls& c, ControlWords& words) { c.tables.rigid_bond = table_word(words, "RIGB"); }},
};

// OXID Fe 3 O -2: element and oxidation state pairs up to the next keyword.
void read_oxid(PhaseControls& c, ControlWords& words) {
  for (;;) {
    const int before = words.position;
    const std::string element = words.next();
    if (element.empty()) break;
    if (control_keyword(element) != nullptr) {
      words.position = before;
      break;
    }
    // Read as a type symbol is ("SI" is silicon), but a whole element name only.
    const std::optional<TypeSymbol> symbol = element_and_charge(element);
    if (!symbol || symbol->charge || symbol->element.size() != element.size() ||
        !std::isalpha(static_cast<unsigned char>(element.back())))
      throw Error("OXID in the control record \"" + std::string(words.key) + "\" names \"" + element +
                  "\", which is not an element symbol");
    const std::string v = words.next();
    int state = 0;
    const auto [end, ec] = std::from_chars(v.data() + (!v.empty() && v[0] == '+'), v.data() + v.size(), state);
    if (v.empty() || ec != std::errc{} || end != v.data() + v.size() || state < -8 || state > 8)
      throw Error("OXID in the control record \"" + std::string(words.key) + "\" gives \"" + v + "\" for " +
                  element + ", which is not an oxidation state from -8 to 8");
    c.inorganic.control_states[symbol->element] = state;
  }
  if (c.inorganic.control_states.empty())
    throw Error("OXID in the control record \"" + std::string(words.key) + "\" names no element");
}

// A positive threshold of the checks, up to `most`.
double threshold_word(ControlWords& words, const char* keyword, double most) {
  const std::string v = keyword_value(words, keyword);
  const double value = word_value(v, words.key, keyword);
  if (!(value > 0 && value <= most))
    throw Error("The " + std::string(keyword) + " value \"" + v + "\" of the control record \"" +
                std::string(words.key) + "\" is not a number above 0 and up to " + std::to_string(static_cast<int>(most)));
  return value;
}

static const ControlKeyword kInorganicKeywords[] = {
    {"OXID", read_oxid},
    {"BVAL", [](PhaseControls& c, ControlWords& words) { c.inorganic_tables.bond_valences = table_word(words, "BVAL"); }},
    {"POLY", [](PhaseControls& c, ControlWords& words) { c.inorganic_tables.polyhedra = table_word(words, "POLY"); }},
    {"CHKS", [](PhaseControls& c, ControlWords& words) { c.inorganic_tables.checks = table_word(words, "CHKS"); }},
    // fraction of the formal valence a sum may be off
    {"BVSF", [](PhaseControls& c, ControlWords& words) {
       c.inorganic.thresholds.valence_fraction = threshold_word(words, "BVSF", 1);
     }},
    // s.u.'s a sum may be off
    {"BVSS", [](PhaseControls& c, ControlWords& words) {
       c.inorganic.thresholds.valence_sigmas = threshold_word(words, "BVSS", 100);
     }},
    // GII limit, v.u.
    {"GIIL", [](PhaseControls& c, ControlWords& words) {
       c.inorganic.thresholds.gii_limit = threshold_word(words, "GIIL", 10);
     }},
    // margin below the van der Waals sum of a short contact, A
    {"VDWT", [](PhaseControls& c, ControlWords& words) {
       c.inorganic.thresholds.contact_margin = threshold_word(words, "VDWT", 3);
     }},
};

const ControlKeyword* control_keyword(const std::string& word) {
  for (const ControlKeyword& k : kInorganicKeywords)
    if (upper(word) == k.word) return &k;
  for (const ControlKeyword& k : kAnalysisKeywords)
    if (upper(word) == k.word) return &k;
  for (const ControlKeyword& k : kControlKeywords)
    if (upper(word) == k.word) return &k;
  return nullptr;
}

std::string keyword_list() {
  std::string list;
  for (const ControlKeyword& k : kControlKeywords) list += (list.empty() ? "" : ", ") + std::string(k.word);
  for (const ControlKeyword& k : kAnalysisKeywords) list += ", " + std::string(k.word);
  for (const ControlKeyword& k : kInorganicKeywords) list += ", " + std::string(k.word);
  return list;
}

// A report for the user: in the listing and, when that is a file, on the terminal.
void report(const VortanRun& run, const std::string& text) {
  LINECHK(run.listing_unit, 1);
  recio::check(recio::write(run.listing_unit, "(A)", {text}), run.listing_unit);
  if (run.terminal_unit != run.listing_unit)
    recio::check(recio::write(run.terminal_unit, "(A)", {text}), run.terminal_unit);
}

// Everything the listing holds is on disk before the run reports success; a
// listing file is closed, the terminal only flushed.
void close_listing(VortanRun& run) {
  const std::string file = recio::file_name(run.listing_unit);
  const bool terminal = run.listing_unit == run.terminal_unit;
  const int status = terminal ? recio::flush(run.listing_unit) : recio::close(run.listing_unit);
  if (status != 0) {
    const std::string reason = recio::system_reason(run.listing_unit);
    throw Error("The listing " + (terminal ? std::string("on the terminal") : file) + " cannot be written: " +
                (reason.empty() ? recio::status_text(status) : reason));
  }
}

// A phase this run does not compute still keeps its marks.
void keep_skipped_phase(VortanRun& run, int phase, const std::string& why) {
  const int kept = keep_previous_records(run.results, phase);
  keep_previous_geometry_records(run.geometry_marks, phase);
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

SearchControls search_controls(const PhaseControls& controls);

std::vector<int> disorder_group_numbers(const PhaseDescription& phase,
                                        const std::vector<std::pair<std::string, std::string>>& groups);

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

SearchControls search_controls(const PhaseControls& controls) {
  SearchControls search;
  search.dmax_given = controls.dmax_given;
  search.dmax = controls.dmax;
  search.dagl_given = controls.dagl_given;
  search.dagl = controls.dagl;
  search.orthonormal = recio::equal_padded(controls.print_option, "ONCR");
  search.bond_tolerance = controls.bond_tolerance;
  return search;
}

// The disorder groups cif2exp carried from the CIF; a file that does not
// read is reported once, by the --cif run that reads it for the paper.
void load_disorder_groups(VortanRun& run) {
  run.disorder_groups.clear();
  try {
    if (const std::optional<CifSource> source = read_cif_source(run.stem + ".CIFSRC")) run.disorder_groups = source->disorder;
  } catch (const Error& error) {
    if (!run.publication_cif)
      recio::write(recio::kTerminalOut, "(A)", {" " + std::string(error.what()) + "; its disorder groups are not used"});
  }
}

// [atom - 1]: the number of the atom's disorder group among the phase's
// groups, 0 for an atom of none, negative for a group given as negative
// ("-1", SHELX's PART -1: the same group as "1" for the bonds between
// groups, and bonded to no other image of itself).
std::vector<int> disorder_group_numbers(const PhaseDescription& phase,
                                        const std::vector<std::pair<std::string, std::string>>& groups) {
  std::vector<int> numbers(phase.atoms.size(), 0);
  if (groups.empty()) return numbers;
  std::vector<std::string> names;
  for (std::size_t k = 0; k < phase.atoms.size(); ++k) {
    const std::string label(recio::trim_right(phase.atoms[k].label));
    for (const auto& [atom, given] : groups) {
      if (atom != label) continue;
      const bool negative = !given.empty() && given[0] == '-';
      const std::string group = negative ? given.substr(1) : given;
      auto found = std::find(names.begin(), names.end(), group);
      if (found == names.end()) found = names.insert(names.end(), group);
      numbers[k] = static_cast<int>(found - names.begin()) + 1;
      if (negative) numbers[k] = -numbers[k];
      break;
    }
  }
  return numbers;
}

}  // namespace

PhaseControls parse_phase_controls(std::string_view value, std::string_view key) {
  PhaseControls controls;
  int position = 1;
  // Positional: a word standing where "DMAX" or "DAGL" is expected only
  // fills that slot when it is something else.
  std::string slots[4];
  slots[0] = next_word(value, position);
  // "DMAX" or "DAGL" with nothing after it would read as a limit of 0.
  auto limit_word = [&](const char* item) {
    const std::string word = next_word(value, position);
    if (word.empty())
      throw Error("The keyword " + std::string(item) + " of the control record \"" + std::string(key) +
                  "\" has no value");
    return word_value(word, key, item);
  };
  if (slots[0] == "DMAX") {
    controls.dmax = limit_word("DMAX");
    controls.dmax_given = true;
  }
  slots[1] = next_word(value, position);
  if (slots[1] == "DAGL") {
    controls.dagl = limit_word("DAGL");
    controls.dagl_given = true;
  }
  slots[2] = next_word(value, position);
  controls.fourier_mode = recio::pad(slots[2], 4);
  slots[3] = next_word(value, position);
  controls.print_option = slots[3].empty() ? std::string("DFLT") : recio::pad(slots[3], 4);
  // A keyword in a positional slot would be taken for a placeholder and its
  // value for the next slot: refuse it rather than guess.
  for (const std::string& slot : slots)
    if (control_keyword(slot) != nullptr)
      throw Error("The control record \"" + std::string(key) + "\" has the keyword " + slot +
                  " among its first four words; keywords follow DMAX, DAGL, the Fourier mode and the print option "
                  "(DFLT as a placeholder)");
  ControlWords words{value, key, position};
  for (std::string word = words.next(); !word.empty(); word = words.next()) {
    const ControlKeyword* keyword = control_keyword(word);
    if (keyword == nullptr)
      throw Error("The word \"" + word + "\" of the control record \"" + std::string(key) +
                  "\" is not one of " + keyword_list());
    keyword->read(controls, words);
  }
  return controls;
}

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
  run.cif.name = std::filesystem::path(run.stem).filename().string();
  // Every output that names rows by site codes (the CIF, NAME.json, --mark
  // and the page) numbers them alike: as the publication CIF does.
  if (collects_rows(run)) {
    load_paper_cif(run);
    recio::remove_stale_temporaries(cif_file_name(run.stem));
  }

  const std::string covariance_file = run.stem + ".CMT";
  run.covariance = CovarianceData{};
  if (recio::exists(covariance_file) && read_covariance_header(run, covariance_file)) {
    // The reader sizes the matrix from the file itself and refuses a file
    // whose counts do not fit what it holds; run.covariance.read is false
    // for a refused file or one that belongs to an older refinement.
    CMTREAD(run.listing_unit, run.experiment_unit, run.covariance);
  }

  load_disorder_groups(run);
  open_results_file(run.results, run.stem, run.experiment_unit + 1);
  open_geometry_marks(run.geometry_marks, run.stem, run.results.unit + 1);
  for (const std::string& text : {unreadable_lines_report(run.results), unreadable_lines_report(run.geometry_marks)})
    if (!text.empty()) report(run, text);

  run.ls_run_present = READEXP(run.experiment_unit, "  RFFN  RUN ", run.ls_run_record) == 0;
  run.r_factor = 0;
  if (run.ls_run_present && recio::read_string(run.ls_run_record.substr(49, 15), "(F15.0)", {run.r_factor}) != 0) {
    recio::write(recio::kTerminalOut, "(A)", {" The R value in the record \"  RFFN  RUN \" does not read as a number: \"" +
                            run.ls_run_record.substr(49, 15) + "\"; taken as 0.0"});
    run.r_factor = 0;
  }
  write_results_header(run.results, run.cycle, run.r_factor);
}

// The phase's drawing, kept until the end of the run; its summary goes on
// the listing now.
static void draw(VortanRun& run, const PhaseGeometry& geometry) {
  PhaseDrawing drawing =
      draw_phase(run.phase, geometry.molecules, run.controls.view, drawing_file_name(run.stem, run.phase_number));
  write_drawing_summary(run.listing_unit, drawing);
  run.pending_drawings.push_back(std::move(drawing));
}

void load_paper_cif(VortanRun& run) {
  const std::string source_file = run.stem + ".CIFSRC";
  std::optional<CifSource> source;
  try {
    source = read_cif_source(source_file);
  } catch (const Error& error) {
    recio::write(recio::kTerminalOut, "(A)", {" " + std::string(error.what()) + "; it is not used"});
  }
  std::string file = run.paper_cif;
  if (file.empty()) {
    if (!source) return;
    std::error_code missing;
    if (!std::filesystem::is_regular_file(source->cif, missing)) {
      recio::write(recio::kTerminalOut, "(A)", {" The CIF " + source->cif + " named in " + source_file +
                              " is not at hand; the site codes follow vortan's own operator list"});
      return;
    }
    file = source->cif;
  }
  std::error_code unrelated;
  const bool converted_from_it = source && std::filesystem::equivalent(file, source->cif, unrelated);
  try {
    run.cif.paper = read_paper_cif(file, converted_from_it ? source->block : std::string());
  } catch (const Error& error) {
    if (!converted_from_it) throw;
    // The CIF has changed since cif2exp read it; the run can do without it.
    recio::write(recio::kTerminalOut, "(A)", {" " + std::string(error.what()) + " (" + source_file +
                            " names data_" + source->block + " of it as the block converted; the CIF has changed "
                            "since). The site codes follow vortan's own operator list; run cif2exp again to renew " +
                            source_file});
    return;
  }
  if (converted_from_it) {
    run.cif.paper->labels = source->labels;
    run.cif.paper->shift = source->shift;
    run.cif.paper->source_file = source_file;
  }
  recio::write(recio::kTerminalOut, "(A)", {" The site codes of the publication CIF follow the operators of " + file});
}

void process_phase(VortanRun& run) {
  RDPHASE(run.experiment_unit, run.listing_unit, run.phase_number, run.phase_flags[run.phase_number - 1],
          run.controls.fourier_mode, run.covariance, run.phase);
  const SearchControls search = search_controls(run.controls);
  const std::string nonsense = check_phase_values(run.experiment_unit, run.phase, search, run.covariance);
  if (!nonsense.empty()) {
    report(run, nonsense);
    keep_previous_records(run.results, run.phase_number);
    keep_previous_geometry_records(run.geometry_marks, run.phase_number);
    return;
  }

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
  // Also ties the cell sigmas that the lattice block shows.
  const CellCovariance cell = cell_covariance(run.phase);
  // The CIF collector also numbers the site codes of the JSON file and of PLAN.
  if (collects_rows(run) || !run.controls.plans.empty()) start_cif_phase(run.cif, run.phase);
  write_phase_outputs(run, compute_phase_geometry(run.phase, cell, coordinate_covariance(run.covariance),
                                                  geometry_options(run), show_progress));
}

// The images each PLAN names: a label, or a label and a site code n_klm in
// the numbering of the phase's CIF block.
static std::vector<std::vector<AnalysisImage>> user_planes(const VortanRun& run) {
  std::vector<std::vector<AnalysisImage>> planes;
  if (run.controls.plans.empty()) return planes;
  const CifBlock& block = run.cif.blocks.back();
  const std::string key = recio::write_string("(A,I1)", {"  VRTN CDAT", run.phase_number});
  for (const std::vector<std::string>& words : run.controls.plans) {
    std::vector<AnalysisImage> images;
    for (const std::string& word : words) {
      std::string label = word;
      std::string code;
      // C1_2_655: the label and the site code.
      const std::size_t last = word.rfind('_');
      if (last != std::string::npos && last > 0 && word.size() - last == 4) {
        const std::size_t second = word.rfind('_', last - 1);
        if (second != std::string::npos && second > 0) {
          label = word.substr(0, second);
          code = word.substr(second + 1);
        }
      }
      int atom = 0;
      // The label as the listing shows it, or as the CIF block names the atom.
      for (std::size_t k = 0; k < run.phase.atoms.size() && atom == 0; ++k)
        if (std::string(recio::trim_right(run.phase.atoms[k].label)) == label) atom = static_cast<int>(k) + 1;
      for (std::size_t k = 0; k < run.phase.atoms.size() && atom == 0; ++k)
        if (block.labels[k] == label) atom = static_cast<int>(k) + 1;
      if (atom == 0)
        throw Error("PLAN in the control record \"" + key + "\" names the atom \"" + label +
                    "\", which phase " + std::to_string(run.phase_number) + " does not have");
      AnalysisImage image{atom, SymmetryOperation{}};
      if (!code.empty() && code != "1_555") {
        bool found = false;
        for (const CifOperator& op : block.operators) {
          for (int k = -4; k <= 4 && !found; ++k)
            for (int l = -4; l <= 4 && !found; ++l)
              for (int m = -4; m <= 4 && !found; ++m) {
                SymmetryOperation candidate;
                for (std::size_t i = 0; i < 3; ++i)
                  for (std::size_t j = 0; j < 3; ++j) candidate.rotation[i][j] = op.r[i * 3 + j];
                candidate.twelfths = {op.t[0] + 12 * k, op.t[1] + 12 * l, op.t[2] + 12 * m};
                if (site_symmetry_code(block, candidate) == code) {
                  image.op = candidate;
                  found = true;
                }
              }
          if (found) break;
        }
        if (!found)
          throw Error("PLAN in the control record \"" + key + "\" names \"" + word + "\", whose site code " + code +
                      " is not one of phase " + std::to_string(run.phase_number) + "'s operators");
      }
      images.push_back(image);
    }
    planes.push_back(std::move(images));
  }
  return planes;
}

void write_phase_outputs(VortanRun& run, const PhaseGeometry& geometry) {
  const SearchControls search = search_controls(run.controls);
  write_lattice_block(run.listing_unit, run.phase, search.dmax_given ? search.dmax : 0.0f,
                      search.dagl_given ? search.dagl : 0.0f);
  write_atom_list(run.listing_unit, run.phase);  // with the site symmetries

  // The distances of a phase always begin on a fresh page.
  set_line_count(run.listing_unit, 700);
  write_geometry_listing(run.listing_unit, run.terminal_unit, run.phase, geometry, search.orthonormal);
  const MoleculeAnalysis analysis =
      analyse_molecules(run.phase, geometry, cell_covariance(run.phase), coordinate_covariance(run.covariance),
                        user_planes(run), run.controls.molecules);
  for (const std::string& note : analysis.notes) report(run, " Phase " + std::to_string(run.phase_number) + ": " + note);
  write_analysis_tables(run.listing_unit, run.phase, analysis, run.controls.tables);
  // Oxidation states only for a table that shows what they give.
  InorganicOptions inorganic_options = run.controls.inorganic;
  const InorganicTables& shown = run.controls.inorganic_tables;
  inorganic_options.valences = shown.bond_valences || shown.polyhedra || shown.checks;
  const InorganicAnalysis inorganic =
      analyse_inorganic(run.phase, geometry, cell_covariance(run.phase), coordinate_covariance(run.covariance),
                        inorganic_options, &analysis);
  write_inorganic_tables(run.listing_unit, run.phase, inorganic, run.controls.inorganic_tables);
  if (geometry.computed) {
    write_results_records(run.results, geometry);
    write_marks_records(run.geometry_marks, geometry, run.controls.torsions);
    if (collects_rows(run))
      collect_phase_rows(run.cif, run.phase, geometry, run.results.publish, run.geometry_marks);
    if (run.publication_cif) write_cif_notes(run.listing_unit, run.cif);
    if (run.json || run.serve)
      collect_json_phase(run.json_results, run.phase, run.cif.blocks.back(), analysis, &inorganic);
  } else {
    // A phase whose distances cannot be computed (a symbol that could not
    // be read, a refused limit) keeps the records and marks of the previous run.
    keep_previous_records(run.results, run.phase_number);
    keep_previous_geometry_records(run.geometry_marks, run.phase_number);
  }
  if (run.drawings) draw(run, geometry);
  if (run.serve && geometry.computed) {
    // The page's drawing names its atoms and bonds as the rows do.
    const PhaseDrawing drawing = draw_phase(run.phase, geometry.molecules, run.controls.view,
                                            drawing_file_name(run.stem, run.phase_number), &run.cif.blocks.back());
    run.page_drawings.emplace_back(run.phase_number, drawing.svg);
  }
}

namespace {

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

}  // namespace

void finish_run(VortanRun& run) {
  // Nothing replaces a file of the user before every output is complete.
  ReplaceOutcome outcome = complete_results_file(run.results);
  ReplaceOutcome marks_outcome = complete_geometry_marks(run.geometry_marks);
  if (outcome.changed || marks_outcome.changed) {
    std::vector<std::string> lines;
    if (outcome.changed) lines.push_back(keep_beside(run.results, "results"));
    if (marks_outcome.changed) lines.push_back(keep_beside(run.geometry_marks, "marks"));
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
  for (const MarkRequest& request : run.mark_requests) check_row(run.cif, request.row);
  keep_and_report_previous(run, run.results, outcome);
  keep_and_report_previous(run, run.geometry_marks, marks_outcome);
  // A run that computed no phase has nothing to put in a publication CIF:
  // an earlier one stays as it is.
  const bool write_cif = run.publication_cif && !run.first_phase;
  const std::string cif_file = cif_file_name(run.stem);
  if (run.publication_cif && !write_cif)
    report(run, " No phase was computed in this run; the publication CIF " + cif_file + " is not written");
  // Each mark through the one writer, into the complete new marks files
  // before they replace the old ones, so that the CIF and the JSON written
  // next show it and a failure of any output leaves every file as it was.
  const RowMarks marks{run.results.new_file, run.geometry_marks.new_file, &run.cif};
  std::vector<std::string> marked;
  for (const MarkRequest& request : run.mark_requests) {
    const bool changed = set_row_mark(marks, request.row, request.publish);
    marked.push_back(std::string(request.publish ? " Marked for publication: " : " Mark cleared: ") +
                     describe_row(request.row) + (changed ? "" : " (as it was)"));
  }
  close_listing(run);
  if (write_cif) write_cif_file(run.cif, cif_file);
  for (const PhaseDrawing& drawing : run.pending_drawings) write_drawing_file(drawing);
  if (run.json) write_json_file(run.json_results, run.cif, json_file_name(run.stem));
  replace_marked_file(run.geometry_marks);
  replace_marked_file(run.results);
  for (const std::string& line : marked) recio::write(recio::kTerminalOut, "(A)", {line});
  if (write_cif)
    recio::write(recio::kTerminalOut, "(A)", {" The distances and angles are in the publication CIF " + cif_file});
  for (const PhaseDrawing& drawing : run.pending_drawings)
    recio::write(recio::kTerminalOut, "(A)", {" The drawing is in " + drawing.file});
}

bool collects_rows(const VortanRun& run) {
  return run.publication_cif || run.json || run.serve || !run.mark_requests.empty();
}

PageContext page_context(VortanRun& run) {
  PageContext context;
  context.experiment = run.cif.name;
  // A server may answer requests on several threads; the rows and the files
  // take one at a time.
  auto one_at_a_time = std::make_shared<std::mutex>();
  context.results_json = [&run, one_at_a_time] {
    const std::lock_guard<std::mutex> hold(*one_at_a_time);
    return json_text(run.json_results, run.cif);
  };
  context.drawings = run.page_drawings;
  context.set_mark = [marks = RowMarks{run.results.file, run.geometry_marks.file, &run.cif},
                      one_at_a_time](const RowIdentity& row, bool publish) {
    const std::lock_guard<std::mutex> hold(*one_at_a_time);
    return set_row_mark(marks, row, publish);
  };
  context.write_cif = [&run, one_at_a_time] {
    const std::lock_guard<std::mutex> hold(*one_at_a_time);
    const std::string file = cif_file_name(run.stem);
    write_cif_file(run.cif, file);
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
  start_run(run);
  run.json_results.experiment = run.cif.name;
  for (int phase = 1; phase <= kMaxPhases; ++phase) {
    const std::string key = recio::write_string("(A,I1)", {"  VRTN CDAT", phase});
    std::string value(68, ' ');
    const bool has_controls = READEXP(run.experiment_unit, key, value) == 0;
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
