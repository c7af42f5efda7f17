// The catalogue of bad inputs: each row an input the programs may meet, the
// message they must give and the exit status. After every run, each file that
// was there before it and that the run has no business changing (previous
// results and their marks, a previous output, the user's macros) is intact,
// and a refused input leaves no new file behind.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <ostream>
#include <string_view>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/expfile_builder.hpp"
#include "tests/support/run_program.hpp"

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::run_program;
using testing_support::TempFolder;
using testing_support::write_file;

namespace {

enum class Program { Vortan, Dbwsconv };

struct BadInput {
  const char* name;
  Program program;
  std::function<void(const fs::path&)> prepare;  // files of the row
  std::vector<std::string> args;
  std::string input;                             // standard input
  std::string message;                           // expected in stdout or stderr
  int exit_status;
  std::vector<std::string> may_change;           // files the run may write or replace
};

// Experiment files: the alpha-quartz example, whole or damaged record by record.
std::vector<std::string> quartz_records() {
  const std::string file = read_file(fs::path(EXAMPLES_DIR) / "QUARTZ.EXP");
  std::vector<std::string> records;
  for (std::size_t at = 0; at + 82 <= file.size(); at += 82) records.push_back(file.substr(at, 82));
  return records;
}

std::string joined(const std::vector<std::string>& records) {
  std::string file;
  for (const auto& record : records) file += record;
  return file;
}

// The example with the value of `key` replaced (the key must be there).
std::string quartz_with(std::string_view key, std::string_view value) {
  auto records = quartz_records();
  bool found = false;
  for (auto& record : records)
    if (record.compare(0, 12, std::string(key)) == 0) {
      record = testing_support::experiment_record(key, value);
      found = true;
    }
  EXPECT_TRUE(found) << key;
  return joined(records);
}

std::string quartz_without(std::string_view key) {
  auto records = quartz_records();
  std::erase_if(records, [key](const std::string& record) { return record.compare(0, 12, std::string(key)) == 0; });
  return joined(records);
}

std::function<void(const fs::path&)> experiment(std::string bytes) {
  return [bytes](const fs::path& folder) { write_file(folder / "TEST.EXP", bytes); };
}

std::string cut_short() { return joined(quartz_records()).substr(0, 5 * 82 + 30); }

std::string with_lf_line_ends() {
  std::string file;
  for (const auto& record : quartz_records()) file += record.substr(0, 80) + "\n";
  return file;
}

std::string with_a_record_of_81_bytes() {
  auto records = quartz_records();
  records[3] = records[3].substr(0, 80) + " \r\n";
  return joined(records);
}

std::string with_a_duplicate_key() {
  auto records = quartz_records();
  records.insert(records.begin() + 5, records[5]);
  return joined(records);
}

std::string with_30001_records() {
  auto records = quartz_records();
  const std::string terminator = records.back();
  records.pop_back();
  for (int i = 0; records.size() < 30000 && i < 100000; ++i) {
    char key[32];
    std::snprintf(key, sizeof key, "  XTRA%06d", i);
    records.push_back(testing_support::experiment_record(key, "filler"));
  }
  records.push_back(terminator);
  return joined(records);
}

std::string without_terminator() {
  auto records = quartz_records();
  records.pop_back();
  return joined(records);
}

// Results of an earlier run, with marks the user set for publication: one
// distance and one angle that a run on the example finds again, then
// `filler` further marks of each kind.
constexpr const char* kMarkedDistance = "Y 1 0   3.05651   0.00028    1    1    2  544";
constexpr const char* kMarkedAngle = "Y 1 1  110.4300    0.1788    2    1    2    1  555    2  654";
// The marks file beside it, with a torsion angle that such a run finds again.
constexpr const char* kMarkedTorsion = "Y 1 2  -89.4454    0.0007    2    1    2    1    2  654    1  555    3  665";
const std::string kPreviousMarks = std::string(kMarkedTorsion) + "\n99999\n";

// Whether `results` marks the record of `marked`: the same phase, kind and
// atoms, operators and cells (the standard deviation depends on the run).
bool keeps_mark(const std::string& results, std::string_view marked) {
  const std::string_view kind = marked.substr(0, 5);
  const std::string_view atoms = marked.substr(25);
  std::size_t from = 0;
  while (from < results.size()) {
    std::size_t end = results.find('\n', from);
    if (end == std::string::npos) end = results.size();
    const std::string_view line = std::string_view(results).substr(from, end - from);
    if (line.size() == marked.size() && line.substr(0, 5) == kind && line.substr(25) == atoms) return true;
    from = end + 1;
  }
  return false;
}

std::string previous_results(int distances = 0, int angles = 0) {
  std::string file = "       12         0.22000E-01\n";
  file += std::string(kMarkedDistance) + "\n" + kMarkedAngle + "\n";
  char line[96];
  for (int i = 0; i < distances; ++i) {
    std::snprintf(line, sizeof line, "Y%2d%2d%10.5f%10.5f%5d%5d%5d%5d\n", 1, 0, 9.5, 0.0004, 7, 8 + i % 900, 1, 555);
    file += line;
  }
  for (int i = 0; i < angles; ++i) {
    std::snprintf(line, sizeof line, "Y%2d%2d%10.4f%10.4f%5d%5d%5d%5d%5d%5d%5d\n", 1, 1, 109.47, 0.03, 7, 8,
                  9 + i % 4000, 1, 555, 3, 555);
    file += line;
  }
  return file + "99999\n";
}

// The example's covariance file as its three records, and framed again.
std::vector<std::string> quartz_covariance_records() {
  const std::string file = read_file(fs::path(EXAMPLES_DIR) / "QUARTZ.CMT");
  std::vector<std::string> records;
  for (std::size_t at = 0; at + 4 <= file.size();) {
    std::uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = n << 8 | static_cast<unsigned char>(file[at + static_cast<std::size_t>(i)]);
    records.push_back(file.substr(at + 4, n));
    at += n + 8;
  }
  EXPECT_EQ(records.size(), 3u);
  return records;
}

std::string little_endian(std::int32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>((static_cast<std::uint32_t>(value) >> (8 * i)) & 0xFF);
  return bytes;
}

std::string framed(const std::string& record) {
  const std::string count = little_endian(static_cast<std::int32_t>(record.size()));
  return count + record + count;
}

std::string covariance(const std::vector<std::string>& records) {
  std::string file;
  for (const auto& record : records) file += framed(record);
  return file;
}

std::function<void(const fs::path&)> quartz_and_covariance(std::string bytes) {
  return [bytes](const fs::path& folder) {
    write_file(folder / "TEST.EXP", joined(quartz_records()));
    write_file(folder / "TEST.CMT", bytes);
  };
}

// Cut `keep` bytes into the framed record `record` (1 to 3).
std::string covariance_cut_in_record(int record, std::size_t keep) {
  const auto records = quartz_covariance_records();
  std::string file;
  for (int r = 1; r < record; ++r) file += framed(records[static_cast<std::size_t>(r - 1)]);
  return file + framed(records[static_cast<std::size_t>(record - 1)]).substr(0, keep);
}

std::string covariance_with_wrong_framing() {
  const auto records = quartz_covariance_records();
  std::string first = framed(records[0]);
  first.replace(first.size() - 4, 4, little_endian(static_cast<std::int32_t>(records[0].size() + 8)));
  return first + framed(records[1]) + framed(records[2]);
}

// Record 2 announcing 50 more reals than it holds.
std::string covariance_with_disagreeing_counts() {
  auto records = quartz_covariance_records();
  std::int32_t nmat = 0;
  std::memcpy(&nmat, records[1].data(), 4);
  records[1].replace(0, 4, little_endian(nmat + 50));
  return covariance(records);
}

// Record 1 with NVAR 15001 (NCYCLE, NNAME, NNAME names of 8, then NVAR).
std::string covariance_with_nvar_15001() {
  auto records = quartz_covariance_records();
  std::int32_t nname = 0;
  std::memcpy(&nname, records[0].data() + 4, 4);
  records[0].replace(8 + 8 * static_cast<std::size_t>(nname), 4, little_endian(15001));
  return covariance(records);
}

// A file of cycle 3, whose cycle figure (the last four bytes of record 1) is
// far above the last refinement's: left by a clearly older refinement.
std::string stale_covariance() {
  auto records = quartz_covariance_records();
  records[0].replace(0, 4, little_endian(3));
  const float figure = 1000.0f;
  std::memcpy(records[0].data() + records[0].size() - 4, &figure, 4);
  return covariance(records);
}

// Every real of the packed matrix (record 2, after NMAT and BAND) not a number.
std::string covariance_with_nan_variances() {
  auto records = quartz_covariance_records();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (std::size_t at = 8; at + 4 <= records[1].size(); at += 4) std::memcpy(records[1].data() + at, &nan, 4);
  return covariance(records);
}

std::function<void(const fs::path&)> quartz_with_symbol(std::string symbol) {
  return experiment(quartz_with("CRS1  SG SYM", "  " + symbol));
}

std::function<void(const fs::path&)> quartz_and_results(std::string results) {
  return [results](const fs::path& folder) {
    write_file(folder / "TEST.EXP", joined(quartz_records()));
    write_file(folder / "TEST.VORTAN", results);
  };
}

std::string counts_record(int first) {
  char text[128];  // room for eight fields of any int
  std::snprintf(text, sizeof text, "%8d%8d%8d%8d%8d%8d%8d%8d\n", first, first + 1, first + 2, first + 3,
                first + 4, first + 5, first + 6, first + 7);
  return text;
}

// A DBWS file: a title and `records` complete count records.
std::string dbws(int records, const std::string& tail = {}) {
  std::string file = "Corundum, 20-60 deg\n";
  for (int r = 0; r < records; ++r) file += counts_record(8 * r);
  return file + tail;
}

void dbws_input(const fs::path& folder) { write_file(folder / "IN.DAT", dbws(3)); }

constexpr const char* kPreviousListing = "1 listing of an earlier run\n";

// Output of an earlier conversion that a failed run must not touch.
constexpr const char* kPreviousPowder = "Earlier conversion\nBANK 1    25    3 CONST\n";

const std::vector<BadInput>& catalogue() {
  const std::vector<std::string> arg{"TEST"};
  const std::vector<std::string> results{"TEST.VORTAN", "TEST.TORHB", "TEST.LST"};
  // A run that computes no phase for its values stops: the listing says why,
  // the results and marks files stay as they were.
  const std::vector<std::string> listing{"TEST.LST"};
  const std::vector<std::string> results_and_previous{"TEST.VORTAN", "TEST.TORHB", "TEST.LST", "TEST.VORTAN.prev",
                                                      "TEST.TORHB.prev"};
  static const std::vector<BadInput> rows = {
      // Experiment files.
      {"ExperimentMissing", Program::Vortan, nullptr, arg, "",
       " ERROR - File TEST.EXP does not exist - check your directory", 1, {}},
      {"ExperimentEmpty", Program::Vortan, experiment(""), arg, "", " *** ERROR - Experiment file is incomplete ***",
       1, {}},
      {"ExperimentCutShort", Program::Vortan, experiment(cut_short()), arg, "",
       "Experiment file TEST.EXP is not an experiment file of 82-byte records (80 columns and CR LF): record 6 is "
       "cut short (30 bytes)",
       1, {}},
      {"ExperimentWithLfLineEnds", Program::Vortan, experiment(with_lf_line_ends()), arg, "",
       "record 1 does not end in CR LF at columns 81-82", 1, {}},
      {"ExperimentWithARecordOf81Bytes", Program::Vortan, experiment(with_a_record_of_81_bytes()), arg, "",
       "record 4 does not end in CR LF at columns 81-82", 1, {}},
      {"ExperimentWithADuplicateKey", Program::Vortan, experiment(with_a_duplicate_key()), arg, "",
       "VORTAN successful completion", 0, results},
      {"ExperimentWith30001Records", Program::Vortan, experiment(with_30001_records()), arg, "",
       "Experiment file TEST.EXP holds more than 30000 records, the most this program can index", 1, {}},
      {"ExperimentOfVersion7", Program::Vortan, experiment(quartz_with("     VERSION", "    7")), arg, "",
       "This file is from a later version of VESK than this one.", 1, {}},
      {"ExperimentWithoutTerminator", Program::Vortan, experiment(without_terminator()), arg, "",
       " *** ERROR - Experiment file is incomplete ***", 1, {}},
      {"ExperimentWithANonNumericVersion", Program::Vortan, experiment(quartz_with("     VERSION", "  six")), arg,
       "", "Version record of TEST.EXP does not hold a number", 1, {}},
      {"ExperimentWithANonNumericNatom", Program::Vortan, experiment(quartz_with("CRS1   NATOM", "    X")), arg, "",
       "Record \"CRS1   NATOM\" does not fit \"(I5)\": \"    X\"", 1, {}},
      {"ExperimentWithNatomLargerThanTheAtoms", Program::Vortan,
       experiment(quartz_with("CRS1   NATOM", "    3")), arg, "",
       "Phase 1 announces 3 atoms, but only 2 atom records exist", 1, {}},
      {"ExperimentWithAnUnknownAtomType", Program::Vortan, [](const fs::path& f) {
         std::string file = joined(quartz_records());
         const std::size_t at = file.find("CRS1  AT  2A  O ");
         ASSERT_NE(at, std::string::npos);
         file.replace(at + 14, 2, "Xx");
         write_file(f / "TEST.EXP", file);
       },
       arg, "", "Atom \"O1\" (record \"CRS1  AT  2A\") has type \"Xx\", which is not among the phase's atom types",
       1, {}},
      // Values that make no sense: the phase is not computed, and a run that
      // computes none for its values fails, its records and marks left as they were.
      {"CellLengthNegative", Program::Vortan,
       experiment(quartz_with("CRS1  ABC   ", "  -4.91239   4.91239   5.40385")), arg, "",
       "record \"CRS1  ABC   \" (\"  -4.91239   4.91239   5.40385\") holds a cell length that is not positive", 1,
       listing},
      {"CellLength1E38", Program::Vortan, experiment(quartz_with("CRS1  ABC   ", "   1.0E+38   4.91239   5.40385")),
       arg, "", "gives a cell volume of 2.29894e+39 A**3, which a single-precision real cannot hold", 1, listing},
      {"CellAnglesThatCloseNoCell", Program::Vortan,
       experiment(quartz_with("CRS1  ANGLES", " 120.00000 120.00000 120.00000")), arg, "",
       "record \"CRS1  ANGLES\" (\" 120.00000 120.00000 120.00000\") holds cell angles that give no cell", 1, listing},
      {"CellSigma1E38", Program::Vortan, experiment(quartz_with("CRS1  ABCSIG", "   1.0E+38   0.00010   0.00010")),
       arg, "", "record \"CRS1  ABCSIG\" (\"   1.0E+38   0.00010   0.00010\") holds a standard deviation whose square",
       1, listing},
      {"AtomCoordinate1E38", Program::Vortan,
       experiment(quartz_with("CRS1  AT  2A", "  O          0.41390  -1.0E+38   0.78560   1.00000O1         1")),
       arg, "",
       "Phase 1 is not computed: atom \"O1\" has the coordinate y = -1e+38, more than 500 cells from the origin", 1,
       listing},
      {"NatomMinus5", Program::Vortan, experiment(quartz_with("CRS1   NATOM", "   -5")), arg, "",
       "record \"CRS1   NATOM\" (\"   -5\") announces -5 atoms; a phase needs at least one", 1, listing},
      {"DmaxNegative", Program::Vortan, experiment(quartz_with("  VRTN CDAT1", "DMAX -1 DAGL 2.0")), arg, "",
       "Phase 1 is not computed: DMAX -1 of the control record \"  VRTN CDAT1\" is negative or not finite", 1,
       listing},
      {"PhaseFlag0", Program::Vortan,
       experiment(quartz_with(" EXPR NPHAS ", "    0    0    0    0    0    0    0    0    0")), arg, "",
       "Phase 1 is not computed in this run (its phase flag is 0); its 2 records of the previous", 0, results},
      {"EveryPhaseSwitchedOff", Program::Vortan,
       experiment(quartz_with(" EXPR NPHAS ", "    0    0    0    0    0    0    0    0    0")), arg, "",
       "No phase is computed in this run: every phase is switched off (its phase flag is 0, or it has no control "
       "record)", 0, results},
      // A charge that does not read drops no table without a word.
      {"TypeSymbolWithACharge3Point5", Program::Vortan,
       experiment([] {
         std::string file = joined(quartz_records());  // the type's record and the atom's
         for (std::size_t at; (at = file.find("  Si    ")) != std::string::npos;) file.replace(at, 8, "  Si3.5+");
         return file;
       }()),
       arg,
       "", "The bond valences, polyhedra and checks of phase 1 are not computed: atom Si1 has the type symbol "
       "\"Si3.5+\"; its charge \"3.5+\" is not a whole number written before or after its sign", 0, results},
      {"ControlRecordRemoved", Program::Vortan, experiment(quartz_without("  VRTN CDAT1")), arg, "",
       "(it has no control record \"  VRTN CDAT1\"); its 2 records of the previous results file are kept", 0, results},
      {"ControlsLoweringDmax", Program::Vortan, experiment(quartz_with("  VRTN CDAT1", "DMAX 1.0 DAGL 1.0")), arg, "",
       " 2 marks of the previous results file were not found again; that file is kept as TEST.VORTAN.prev", 0,
       results_and_previous},
      {"ControlsAskingForDmax1000", Program::Vortan,
       experiment(quartz_with("  VRTN CDAT1", "DMAX 1000 DAGL 2.0")), arg, "",
       "Phase 1: the search limit  1000.000 A is longer than 50 A; no distances are searched in this phase", 1,
       listing},
      // Space-group symbols, one for each error the interpreter can give; the
      // phase is reported in the listing and left without distances, the run fails.
      {"SpaceGroupWithOneField", Program::Vortan, quartz_with_symbol("P"), arg, "",
       "Less than 2 operator fields were found", 1, listing},
      {"SpaceGroupWithADigitForLattice", Program::Vortan, quartz_with_symbol("3 2 1"), arg, "",
       "Illegal Lattice type, not P, A, B, C, I, F or R", 1, listing},
      {"SpaceGroupRhombohedralWithoutThreeAxis", Program::Vortan, quartz_with_symbol("R 2"), arg, "",
       "Rhombohedral lattice without a 3-axis", 1, listing},
      {"SpaceGroupWithALoneMinus", Program::Vortan, quartz_with_symbol("P -"), arg, "",
       "Minus sign does not preceed 1, 2, 3, 4 or 6", 1, listing},
      {"SpaceGroupWithAFiveAxis", Program::Vortan, quartz_with_symbol("P 5"), arg, "",
       "Either a 5-axis anywhere or a 3-axis in field", 1, listing},
      {"SpaceGroupWithAGlideNormalToA", Program::Vortan, quartz_with_symbol("P a 2 2"), arg, "",
       "An A-glide mirror normal to A", 1, listing},
      {"SpaceGroupWithBGlideNormalToB", Program::Vortan, quartz_with_symbol("P 2 b 2"), arg, "",
       "A B-glide mirror normal to B", 1, listing},
      {"SpaceGroupWithCGlideNormalToC", Program::Vortan, quartz_with_symbol("P 2 2 c"), arg, "",
       "A C-glide mirror normal to C", 1, listing},
      {"SpaceGroupWithPrimitiveDGlide", Program::Vortan, quartz_with_symbol("P d 2 2"), arg, "",
       "D-glide in a primitive lattice", 1, listing},
      {"SpaceGroupWithMisplacedFourAxis", Program::Vortan, quartz_with_symbol("P 2 4 2"), arg, "",
       "A 4-axis not in the 2nd operator field", 1, listing},
      {"SpaceGroupWithMisplacedSixAxis", Program::Vortan, quartz_with_symbol("P 2 6 2"), arg, "",
       "A 6-axis not in the 2nd operator field", 1, listing},
      {"SpaceGroupNeedingTooManyMatrices", Program::Vortan, quartz_with_symbol("P 6 3"), arg, "",
       "More than 24 matrices needed to define group", 1, listing},
      {"SpaceGroupWithBadRotation", Program::Vortan, quartz_with_symbol("P 2a"), arg, "",
       "Improper construction of a rotation operator", 1, listing},
      {"SpaceGroupWithoutMirrorAfterSlash", Program::Vortan, quartz_with_symbol("P 2/"), arg, "",
       "No mirror following a /", 1, listing},
      {"SpaceGroupWithTranslationConflict", Program::Vortan, quartz_with_symbol("F 2/d"), arg, "",
       "A translation conflict between operators", 1, listing},
      {"SpaceGroupWithTwoBar", Program::Vortan, quartz_with_symbol("P -2"), arg, "",
       "The 2bar operator is not allowed", 1, listing},
      {"SpaceGroupWithThreeFields", Program::Vortan, quartz_with_symbol("P 2/ 2"), arg, "",
       "3 fields are legal only in R & m3 cubic groups", 1, listing},
      {"SpaceGroupACentredTetragonal", Program::Vortan, quartz_with_symbol("A 4"), arg, "",
       "A or B centered tetragonal?   IMPOSSIBLE", 1, listing},
      {"SpaceGroupHexagonalWithMisplacedThreeAxis", Program::Vortan, quartz_with_symbol("P 6 2 3"), arg, "",
       "A 3-axis outside the 2nd field of a hex. group", 1, listing},
      {"SpaceGroupWithAnIllegalCharacter", Program::Vortan, quartz_with_symbol("Q 2"), arg, "",
       "Illegal character in the space group symbol", 1, listing},
      // Covariance files: refused or stale, the run goes on without them.
      {"CovarianceCutInRecord1", Program::Vortan, quartz_and_covariance(covariance_cut_in_record(1, 20)), arg, "",
       "The covariance file TEST.CMT cannot be read (unformatted record short, truncated or mis-framed)", 0,
       results},
      {"CovarianceCutInRecord2", Program::Vortan, quartz_and_covariance(covariance_cut_in_record(2, 30)), arg, "",
       "The covariance file TEST.CMT cannot be read (unformatted record short, truncated or mis-framed)", 0,
       results},
      {"CovarianceCutInRecord3", Program::Vortan, quartz_and_covariance(covariance_cut_in_record(3, 30)), arg, "",
       "The CMT file cannot be used: TEST.CMT: record 3 cannot be read", 0, results},
      {"CovarianceWithWrongFraming", Program::Vortan, quartz_and_covariance(covariance_with_wrong_framing()), arg,
       "", "The covariance file TEST.CMT cannot be read (unformatted record short, truncated or mis-framed)", 0,
       results},
      {"CovarianceWithCountsThatDisagree", Program::Vortan,
       quartz_and_covariance(covariance_with_disagreeing_counts()), arg, "",
       "The CMT file cannot be used: TEST.CMT, record 2: NMAT", 0, results},
      {"CovarianceWithNvar15001", Program::Vortan, quartz_and_covariance(covariance_with_nvar_15001()), arg, "",
       "The CMT file cannot be used: TEST.CMT, record 1: NVAR 15001 lies outside 0 to 15000", 0, results},
      {"CovarianceStaleByTheCycleTest", Program::Vortan, quartz_and_covariance(stale_covariance()), arg, "",
       " The number of variables was set to ZERO", 0, results},
      // Results files.
      {"ResultsWithGarbageLines", Program::Vortan,
       quartz_and_results("garbage line\nY 1 0 x\n" + std::string(200, 'Y') + "\n" + previous_results()),
       arg, "", "VORTAN successful completion", 0, results_and_previous},
      // The filler marks are not found again: the previous file is kept.
      {"ResultsWithMoreThan1000Distances", Program::Vortan, quartz_and_results(previous_results(1001, 0)), arg, "",
       "Too many distances to publish, saving only first 1000 distances", 0, results_and_previous},
      {"ResultsWithMoreThan5000Angles", Program::Vortan, quartz_and_results(previous_results(0, 5001)), arg, "",
       "Too many angles to publish, saving only first 5000 angles", 0, results_and_previous},
      {"CovarianceWithNanVariances", Program::Vortan, quartz_and_covariance(covariance_with_nan_variances()), arg,
       "", "Phase 1 is not computed: the covariance file gives parameter", 1, listing},
      // DBWS data files.
      {"DbwsMissing", Program::Dbwsconv, nullptr, {}, "NOSUCH.DAT OUT.PWD\n",
       "The DBWS data file NOSUCH.DAT does not exist.", 1, {}},
      {"DbwsEmpty", Program::Dbwsconv, [](const fs::path& f) { write_file(f / "IN.DAT", ""); }, {},
       "IN.DAT OUT.PWD\n", "The DBWS data file IN.DAT has no title record.", 1, {}},
      {"DbwsLettersAmongCounts", Program::Dbwsconv,
       [](const fs::path& f) { write_file(f / "IN.DAT", dbws(2, "     100     2O0     300\n" + counts_record(99))); },
       {}, "IN.DAT OUT.PWD\n",
       "record 4 of the DBWS data file IN.DAT is not a record of integer counts", 0, {"OUT.PWD"}},
      {"DbwsTooManyCounts", Program::Dbwsconv, [](const fs::path& f) { write_file(f / "IN.DAT", dbws(12500)); },
       {}, "IN.DAT OUT.PWD\n", "The DBWS data file IN.DAT holds more than 99992 counts", 1, {}},
      {"DbwsOutputIsAFolder", Program::Dbwsconv,
       [](const fs::path& f) {
         dbws_input(f);
         fs::create_directory(f / "FOLDER.PWD");
       },
       {}, "IN.DAT FOLDER.PWD\n", "The output file FOLDER.PWD cannot be written: it is a folder.", 1, {}},
      // The output is a regular file other than the input, or is absent.
      {"DbwsOutputIsItsInput", Program::Dbwsconv, dbws_input, {}, "IN.DAT IN.DAT\n",
       "The output file IN.DAT cannot be written: it is the DBWS data file being converted.", 1, {}},
      {"DbwsOutputIsALinkToItsInput", Program::Dbwsconv,
       [](const fs::path& f) { dbws_input(f); fs::create_hard_link(f / "IN.DAT", f / "SAME.PWD"); }, {},
       "IN.DAT SAME.PWD\n", "The output file SAME.PWD cannot be written: it is the DBWS data file", 1, {}},
      {"DbwsOutputIsAPipe", Program::Dbwsconv, [](const fs::path& f) { dbws_input(f); mkfifo((f / "P").c_str(), 0644); },
       {}, "IN.DAT P\n", "The output file P cannot be written: it is not a regular file.", 1, {}},
      // Lines without end are refused at the record bound.
      {"DbwsInputIsAnEndlessLine", Program::Dbwsconv, nullptr, {}, "/dev/zero OUT.PWD\n",
       "DBWS data file /dev/zero cannot be read: record longer than 65536 characters", 1, {}},
      {"DbwsCountRecordBeyondTheBound", Program::Dbwsconv,
       [](const fs::path& f) { write_file(f / "IN.DAT", dbws(2, std::string(70000, '1') + "\n")); }, {},
       "IN.DAT OUT.PWD\n", "Record 4 of the DBWS data file IN.DAT cannot be read: record longer than 65536", 1, {}},
      {"MacroIsAnEndlessLine", Program::Dbwsconv, dbws_input, {}, "@R\n/dev/zero\nIN.DAT OUT.PWD\n",
       " The macro file /dev/zero cannot be read: record longer than 65536 characters", 0, {"OUT.PWD"}},
      // Macro files and the terminal.
      {"MacroMissing", Program::Dbwsconv, dbws_input, {}, "@R\nNOSUCH.MAC\nQUIT\nIN.DAT OUT.PWD\n",
       "File NOT found!!", 0, {"OUT.PWD"}},
      {"MacroEndsEarly", Program::Dbwsconv,
       [](const fs::path& f) {
         dbws_input(f);
         write_file(f / "SHORT.MAC", "IN.DAT\n");
       },
       {}, "@R\nSHORT.MAC\nOUT.PWD\n", " The macro file is empty, reading from the terminal is resumed.", 0,
       {"OUT.PWD"}},
      {"MacroReplayOfItsOwnRecording", Program::Dbwsconv, dbws_input, {},
       "@M\nREC.MAC\n@R\nREC.MAC\nQUIT\nIN.DAT OUT.PWD\n",
       " The macro file REC.MAC is being written; end it with @Q before replaying it.", 0, {"OUT.PWD", "REC.MAC"}},
      {"MacroRecordingOverAnExistingFile", Program::Dbwsconv,
       [](const fs::path& f) {
         dbws_input(f);
         write_file(f / "OLD.MAC", "A.DAT B.PWD\n");
       },
       {}, "@M\nOLD.MAC\nIN.DAT OUT.PWD\n", " The macro file OLD.MAC already exists; no macro is being written.", 0,
       {"OUT.PWD"}},
      {"TerminalEndsEarly", Program::Dbwsconv, dbws_input, {}, "", " FORTRAN error number", 1, {}},
  };
  return rows;
}

std::map<std::string, std::string> snapshot(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(folder))
    files[entry.path().filename().string()] = entry.is_regular_file() ? read_file(entry.path()) : "<folder>";
  return files;
}

std::string binary(Program program) {
  switch (program) {
    case Program::Vortan: return VORTAN_BIN;
    case Program::Dbwsconv: return DBWSCONV_BIN;
  }
  return {};
}

void PrintTo(const BadInput& row, std::ostream* out) { *out << row.name; }

class BadInputs : public testing::TestWithParam<BadInput> {};

TEST_P(BadInputs, GiveTheirMessageAndLoseNothing) {
  const BadInput& row = GetParam();
  TempFolder folder;
  if (row.prepare) row.prepare(folder.path());
  if (row.program == Program::Dbwsconv && !fs::exists(folder / "OUT.PWD"))
    write_file(folder / "OUT.PWD", kPreviousPowder);
  if (row.program == Program::Vortan) {
    if (!fs::exists(folder / "TEST.VORTAN")) write_file(folder / "TEST.VORTAN", previous_results());
    write_file(folder / "TEST.TORHB", kPreviousMarks);
    write_file(folder / "TEST.LST", kPreviousListing);
  }
  const auto before = snapshot(folder.path());

  const auto result = run_program(binary(row.program), row.args, folder.path(), row.input);
  EXPECT_EQ(result.exit_status, row.exit_status) << result.out << result.err;
  const auto after = snapshot(folder.path());
  // Some reports belong in the listing only.
  const std::string listing = after.count("TEST.LST") ? after.at("TEST.LST") : std::string();
  EXPECT_NE((result.out + result.err + listing).find(row.message), std::string::npos)
      << "expected: " << row.message << "\nout: " << result.out << "\nerr: " << result.err;

  auto may_change = [&](const std::string& name) {
    return std::find(row.may_change.begin(), row.may_change.end(), name) != row.may_change.end();
  };
  for (const auto& [name, content] : before) {
    if (may_change(name)) continue;
    // The listing is appended to: what it held stays in front.
    if (name == "TEST.LST" && after.count(name)) {
      EXPECT_EQ(after.at(name).substr(0, content.size()), content) << name << " lost what it held";
      continue;
    }
    ASSERT_TRUE(after.count(name)) << name << " was removed";
    EXPECT_EQ(after.at(name), content) << name << " was changed";
  }
  for (const auto& [name, content] : after)
    EXPECT_TRUE(before.count(name) || may_change(name)) << name << " was left behind";

  // A run that went on to the end keeps every mark: those of what it found
  // again, and those of a phase it could not compute; when it found some no
  // more, the previous file is kept whole beside the new one.
  if (row.program == Program::Vortan && row.exit_status == 0) {
    auto kept = [&](const std::string& file) {
      const std::string previous = file + ".prev";
      if (after.count(previous)) {
        EXPECT_EQ(after.at(previous), before.at(file));
      }
      const std::string name = after.count(previous) ? previous : file;
      return after.count(name) ? after.at(name) : std::string();
    };
    const std::string results = kept("TEST.VORTAN");
    EXPECT_TRUE(keeps_mark(results, kMarkedDistance)) << results.substr(0, 400);
    EXPECT_TRUE(keeps_mark(results, kMarkedAngle)) << results.substr(0, 400);
    const std::string marks = kept("TEST.TORHB");
    EXPECT_TRUE(keeps_mark(marks, kMarkedTorsion)) << marks.substr(0, 400);
  }
}

INSTANTIATE_TEST_SUITE_P(Catalogue, BadInputs, testing::ValuesIn(catalogue()),
                         [](const testing::TestParamInfo<BadInput>& info) { return info.param.name; });

}  // namespace
