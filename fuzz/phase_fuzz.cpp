// The opening of the experiment file and the phase reader, as vortan reads
// phase 1: a valid experiment file with one phase, whose records the input
// then replaces, adds or removes, so that the reader is reached deep in its
// records instead of stopping at the layout check.
//
// First byte: bit 0 selects the hexadecimal atom keys (phase flag 4) instead
// of the "AT  1A"/"AT  1B" pairs, bit 1 reads Fourier peaks ("FORA"), bit 2
// writes a covariance file for the skeleton's first atom. Then one edit a line:
//   KEY(12 columns)VALUE   the record of that key, replaced or added
//   -KEY                   that record removed
//   @NAME(8)VARIANCE       one more covariance parameter (implies the file)
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crystal/phase.hpp"
#include "expfile/covariance.hpp"
#include "expfile/experiment.hpp"
#include "expfile/keys.hpp"
#include "expfile/phase_reader.hpp"
#include "expfile/record_store.hpp"
#include "fuzz/fuzz_support.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"
#include "recio/unformatted.hpp"
#include "recio/units.hpp"
#include "vortan/phase_checks.hpp"

namespace {

using Records = std::vector<std::pair<std::string, std::string>>;

constexpr int kCycle = 3;

Records skeleton(bool hexadecimal) {
  Records records = {
      {"      DESCR ", "  phase reader skeleton"},
      {"     VERSION", "    6"},
      {"    HSTRY  1", "ZENTOR created the file"},
      // The cycle in columns 44-47, the figure in 50-64.
      {"  RFFN  RUN ", recio::pad("Run on Dec 07 2026", 43) + "   3" + "  " + "    1.00000E+00"},
      {" EXPR  NATYP", "    3"},
      {" EXPR ATYP 1", "  Si                 1.20      1.20"},
      {" EXPR ATYP 2", "  O                  0.90      0.90"},
      {" EXPR ATYP 3", "  H                  0.40      0.40"},
      {" EXPR NPHAS ", hexadecimal ? "    4    0    0    0    0    0    0    0    0"
                                   : "    1    0    0    0    0    0    0    0    0"},
      {"CRS1  PNAM", "  skeleton phase"},
      {"CRS1   NATOM", "    3"},
      {"CRS1  ABC   ", "   4.91239   4.91239   5.40385"},
      {"CRS1  ABCSIG", "   0.00004   0.00004   0.00007"},
      {"CRS1  ANGLES", "  90.00000  90.00000 120.00000"},
      {"CRS1  ANGSIG", "   0.00000   0.00000   0.01000"},
      {"CRS1  SG SYM", "  P 32 2 1"},
      {"CRS1  PEAKRD", "  9.00  0.50 0.5 0.5 1.0 0.8 0.4 0.2"},
      {"CRS1  FPK  1", "   0.10000   0.20000   0.30000        4.50Q1"},
      {"CRS1  FPK  2", "   0.47000   0.00000   0.66670       -3.00Q2"},
  };
  if (hexadecimal) {
    records.insert(records.end(), {{"CRS1  AT0001", "  Si      1.0000 0.47010 0.00000 0.666700.0066Si1"},
                                   {"CRS1  AT0002", "  O       1.0000 0.41390 0.26740 0.785600.0135O1"},
                                   {"CRS1  AT000A", "  H       1.0000 0.30000 0.30000 0.900000.0300H1"}});
  } else {
    const std::string b_tail(52, ' ');
    records.insert(records.end(),
                   {{"CRS1  AT  1A", "  Si         0.47010   0.00000   0.66670   1.00000Si1        1"},
                    {"CRS1  AT  1B", "   0.00660" + b_tail + "I"},
                    {"CRS1  AT  2A", "  O          0.41390   0.26740   0.78560   1.00000O1         1"},
                    {"CRS1  AT  2B", "   0.01350   0.01200   0.01100   0.00100   0.00000  -0.00200  A"},
                    {"CRS1  AT  9A", "  H          0.30000   0.30000   0.90000   0.50000H1         1"},
                    {"CRS1  AT  9B", "   0.03000" + b_tail + "I"}});
  }
  records.emplace_back("ZZZZZZZZZZZZ", "end of the experiment file");
  return records;
}

// The covariance names of the first atom's parameters.
std::vector<std::string> first_atom_names(bool hexadecimal) {
  std::vector<std::string> names;
  for (const char* item : {"X", "Y", "Z", "UISO", "FRAC"})
    names.push_back(vesk::covariance_parameter_name(1, 1, hexadecimal ? vesk::kHexadecimalPhase : 1,
                                                    hexadecimal ? std::string(item).substr(0, 3) : item));
  return names;
}

// Every parameter its own variable, the variances on the diagonal.
void write_covariance(const std::string& file, const std::vector<std::string>& names,
                      const std::vector<float>& variances) {
  const int n = static_cast<int>(names.size());
  recio::RecordBuilder first, matrix, map;
  first.put(static_cast<std::int32_t>(kCycle)).put(static_cast<std::int32_t>(n));
  for (const std::string& name : names) first.put_text(name, 8);
  first.put(static_cast<std::int32_t>(n));
  for (int v = 1; v <= n; ++v) first.put_text("V" + std::to_string(v), 8);
  first.put(1.0f);
  matrix.put(static_cast<std::int32_t>(n * (n + 1) / 2)).put(static_cast<std::int32_t>(0));
  for (int i = 0; i < n; ++i)
    for (int j = i; j < n; ++j) matrix.put(i == j ? variances[static_cast<std::size_t>(i)] : 1.0e-8f);
  map.put(static_cast<std::int32_t>(n));
  for (int p = 1; p <= n; ++p) map.put(static_cast<std::int32_t>(p * vesk::kConstraintBase + p)).put(1.0f);

  int unit = 40;
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::New;
  spec.form = recio::Form::Unformatted;
  fuzz::require(recio::open(unit, file, spec) == 0, "the covariance file can be created");
  for (const auto* record : {&first, &matrix, &map})
    fuzz::require(recio::write_unformatted(unit, record->bytes()) == 0, "the covariance file can be written");
  recio::close(unit);
}

std::string record_line(const std::string& key, const std::string& value) {
  return recio::pad(key, 12) + recio::pad(value, 68) + "\r\n";
}

// What went to the terminal (standard output, kept in a file of its own).
std::string terminal_text() {
  std::fflush(stdout);
  const long length = std::ftell(stdout);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) fuzz::require(pread(fileno(stdout), text.data(), text.size(), 0) == length, "the terminal reads back");
  return text;
}

void clear_terminal() {
  std::fflush(stdout);
  fuzz::require(ftruncate(fileno(stdout), 0) == 0 && std::fseek(stdout, 0, SEEK_SET) == 0,
                "the terminal file is emptied");
}

void check_phase(const vesk::PhaseDescription& phase, int experiment_unit, int phase_flag, bool with_peaks,
                 const vesk::CovarianceData& covariance) {
  using vesk::kMaxAtomTypes;
  const bool hexadecimal = phase_flag == vesk::kHexadecimalPhase;
  fuzz::require(phase.number == 1, "the phase keeps its number");
  fuzz::require(phase.types.size() <= kMaxAtomTypes, "types within their limit");
  if (with_peaks)
    fuzz::require(!phase.types.empty() && recio::equal_padded(phase.types[phase.types.size() - 1].symbol, "FrPk"),
                  "the Fourier-peak type comes last");

  std::string value(68, ' ');
  int natom = 0;
  fuzz::require(vesk::READEXP(experiment_unit, "CRS1   NATOM", value) == 0 &&
                    recio::read_string(value, "(I5)", {natom}) == 0,
                "an accepted phase has a readable atom count");
  const std::size_t announced = static_cast<std::size_t>(std::max(natom, 0));
  fuzz::require(announced <= vesk::kMaxAtoms, "NATOM within its limit");
  fuzz::require(with_peaks ? phase.atoms.size() >= announced : phase.atoms.size() == announced,
                "the phase holds the announced atoms (and the accepted peaks)");

  int previous_record = 0;
  for (std::size_t i = 0; i < phase.atoms.size(); ++i) {
    const vesk::AtomSite& atom = phase.atoms[i];
    fuzz::require(atom.type >= 1 && atom.type <= static_cast<int>(phase.types.size()), "atom types within the list");
    fuzz::require(recio::equal_padded(phase.types[static_cast<std::size_t>(atom.type - 1)].symbol, atom.type_symbol),
                  "an atom's type index names its symbol");
    fuzz::require(atom.label.size() == 8 && atom.type_symbol.size() == 8 && atom.kind.size() == 4,
                  "labels, types and kinds keep their lengths");
    // The number reader refuses what a single-precision real cannot hold.
    fuzz::require(std::isfinite(atom.x[0]) && std::isfinite(atom.x[1]) && std::isfinite(atom.x[2]) &&
                      std::isfinite(atom.fraction),
                  "coordinates and fractions are finite");
    for (int j : atom.x_position) fuzz::require(j >= 0 && j <= covariance.nname, "covariance positions within NNAME");
    for (int j : atom.u_position) fuzz::require(j >= 0 && j <= covariance.nname, "covariance positions within NNAME");
    if (i >= announced) continue;  // an accepted Fourier peak
    fuzz::require(atom.record > previous_record && atom.record <= (hexadecimal ? 0xFFFF : 999),
                  "atom records ascend within their numbering");
    previous_record = atom.record;
    if (hexadecimal || atom.kind[0] == 'I')
      fuzz::require(atom.u[1] == atom.u[0] && atom.u[2] == atom.u[0] && atom.u[3] == 0,
                    "an isotropic atom has one U");
  }

  if (!phase.group.failed()) {
    fuzz::require(phase.group.nsym >= 1 && phase.group.nsym <= static_cast<int>(vesk::kMaxOperators),
                  "an accepted group has 1-24 operators");
    fuzz::require(phase.general_multiplicity == phase.group.general_multiplicity(),
                  "the general multiplicity is the group's");
  }

  // What vortan then refuses, it names; what it accepts is a cell.
  const std::string nonsense = vesk::check_phase_values(experiment_unit, phase, vesk::SearchControls{}, covariance);
  if (!nonsense.empty()) {
    fuzz::require(nonsense.find("Phase 1 is not computed") != std::string::npos, "a refused phase says so");
    return;
  }
  for (std::size_t k = 0; k < 3; ++k)
    fuzz::require(std::isfinite(phase.abc[k]) && phase.abc[k] > 0 && std::isfinite(phase.cosines[k]),
                  "an accepted phase has a cell");
  for (const vesk::AtomSite& atom : phase.atoms)
    for (float x : atom.x)
      fuzz::require(std::fabs(x) <= vesk::kFarthestCoordinate, "an accepted phase's atoms lie near the cell");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::work_folder();
  // The terminal's reports go to an unnamed file, to be read back after a stop.
  std::FILE* terminal = std::tmpfile();
  fuzz::require(terminal != nullptr && dup2(fileno(terminal), fileno(stdout)) >= 0,
                "standard output goes to a file");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool hexadecimal = (data[0] & 1) != 0;
  const bool with_peaks = (data[0] & 2) != 0;
  bool with_covariance = (data[0] & 4) != 0;

  Records records = skeleton(hexadecimal);
  std::vector<std::string> names = first_atom_names(hexadecimal);
  std::vector<float> variances(names.size(), 1.0e-6f);
  const std::string_view edits(reinterpret_cast<const char*>(data + 1), size - 1);
  for (std::size_t from = 0; from < edits.size();) {
    std::size_t end = edits.find('\n', from);
    if (end == std::string_view::npos) end = edits.size();
    std::string line(edits.substr(from, end - from));
    from = end + 1;
    for (char& c : line)
      if (c == '\r') c = ' ';
    if (!line.empty() && line[0] == '@') {
      with_covariance = true;
      if (names.size() < 200) {
        names.push_back(recio::pad(std::string_view(line).substr(1, 8), 8));
        variances.push_back(line.size() > 9 ? std::strtof(line.c_str() + 9, nullptr) : 0.0f);
      }
      continue;
    }
    const bool removal = !line.empty() && line[0] == '-';
    const std::string_view rest = std::string_view(line).substr(removal ? 1 : 0);
    const std::string key = recio::pad(rest.substr(0, 12), 12);
    const std::string value(rest.size() > 12 ? rest.substr(12, 68) : std::string_view());
    auto same_key = [&key](const auto& record) { return recio::pad(record.first, 12) == key; };
    if (removal) {
      std::erase_if(records, same_key);
    } else if (auto it = std::find_if(records.begin(), records.end(), same_key); it != records.end()) {
      it->second = value;
    } else if (records.size() < 400) {
      records.emplace_back(key, value);
    }
  }

  std::string bytes;
  for (const auto& [key, value] : records) bytes += record_line(key, value);
  const std::string file =
      fuzz::write_file("FUZZ.EXP", reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  if (with_covariance) write_covariance((fuzz::work_folder() / "FUZZ.CMT").string(), names, variances);

  clear_terminal();
  const int listing_unit = 30;
  recio::OpenSpec listing_spec;
  listing_spec.status = recio::OpenStatus::New;
  fuzz::require(recio::open(listing_unit, (fuzz::work_folder() / "FUZZ.LST").string(), listing_spec) == 0,
                "the listing opens");

  // PHASE_FUZZ_VERBOSE=1 tells how each input ended, for a look at the seeds.
  static const bool verbose = std::getenv("PHASE_FUZZ_VERBOSE") != nullptr;
  int experiment_unit = 11;
  int terminal_unit = 0;
  vesk::CovarianceData covariance;
  try {
    vesk::set_command_arguments({file});
    vesk::open_experiment("VORTAN", "READ", experiment_unit, terminal_unit);
    std::array<int, vesk::kMaxPhases> flags{};
    vesk::NPHASRD(experiment_unit, flags);
    vesk::CMTREAD(listing_unit, experiment_unit, covariance);
    if (flags[0] > 0) {
      vesk::PhaseDescription phase;
      vesk::RDPHASE(experiment_unit, listing_unit, 1, flags[0], with_peaks ? "FORA" : "NOFR", covariance, phase);
      check_phase(phase, experiment_unit, flags[0], with_peaks, covariance);
      if (verbose)
        std::fprintf(stderr, "phase read: %zu types, %zu atoms, %d covariance names\n", phase.types.size(),
                     phase.atoms.size(), covariance.nname);
    }
  } catch (const vesk::Stop& stop) {
    if (verbose) std::fprintf(stderr, "stop: %s%s", stop.message.c_str(), terminal_text().c_str());
    fuzz::require(stop.exit_status == 1, "a stop on a damaged file has status 1");
    // A stop without a message of its own (a missing record) has reported on the terminal.
    fuzz::require(!stop.message.empty() || terminal_text().find_first_not_of(" \n") != std::string::npos,
                  "a stop says why");
  } catch (const vesk::Error& error) {
    if (verbose) std::fprintf(stderr, "error: %s\n", error.what());
    fuzz::require(std::string_view(error.what()).find(file) != std::string_view::npos,
                  "a refused experiment file is named");
  }
  // Any other exception escapes: libFuzzer reports it as a crash.

  if (recio::connected(experiment_unit)) recio::close(experiment_unit);
  vesk::release_record_store(experiment_unit);
  recio::close(listing_unit);
  fuzz::clear_folder();
  return 0;
}
