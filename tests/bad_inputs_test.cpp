// The catalogue of bad inputs: each row an input the programs may meet, the
// message they must give and the exit status. After every run, each file that
// was there before it and that the run has no business changing (previous
// results and their marks, a previous output, the user's macros) is intact,
// and a refused input leaves no new file behind.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
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

// Results of an earlier run, with marks the user set for publication.
std::string previous_results(int distances = 1, int angles = 1) {
  std::string file = "       12         0.22000E-01\n";
  char line[96];
  for (int i = 0; i < distances; ++i) {
    std::snprintf(line, sizeof line, "Y%2d%2d%10.5f%10.5f%5d%5d%5d%5d\n", 1, 0, 1.6093, 0.0004, 1, 2 + i % 900, 1, 555);
    file += line;
  }
  for (int i = 0; i < angles; ++i) {
    std::snprintf(line, sizeof line, "Y%2d%2d%10.4f%10.4f%5d%5d%5d%5d%5d%5d%5d\n", 1, 1, 109.47, 0.03, 2, 1,
                  2 + i % 4000, 1, 555, 3, 555);
    file += line;
  }
  return file + "99999\n";
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
  const std::vector<std::string> results{"TEST.VORTAN", "TEST.LST"};
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
      // Results files.
      {"ResultsWithGarbageLines", Program::Vortan,
       quartz_and_results("       12         0.22000E-01\ngarbage line\nY 1 0 x\n" + std::string(200, 'Y') +
                          "\n" + previous_results()),
       arg, "", "VORTAN successful completion", 0, results},
      {"ResultsWithMoreThan1000Distances", Program::Vortan, quartz_and_results(previous_results(1001, 0)), arg, "",
       "Too many distances to publish, saving only first 1000 distances", 0, results},
      {"ResultsWithMoreThan5000Angles", Program::Vortan, quartz_and_results(previous_results(0, 5001)), arg, "",
       "Too many angles to publish, saving only first 5000 angles", 0, results},
      // DBWS data files.
      {"DbwsMissing", Program::Dbwsconv, nullptr, {}, "NOSUCH.DAT OUT.GSA\n",
       "The DBWS data file NOSUCH.DAT does not exist.", 1, {}},
      {"DbwsEmpty", Program::Dbwsconv, [](const fs::path& f) { write_file(f / "IN.DAT", ""); }, {},
       "IN.DAT OUT.GSA\n", "The DBWS data file IN.DAT has no title record.", 1, {}},
      {"DbwsLettersAmongCounts", Program::Dbwsconv,
       [](const fs::path& f) { write_file(f / "IN.DAT", dbws(2, "     100     2O0     300\n" + counts_record(99))); },
       {}, "IN.DAT OUT.GSA\n",
       "record 4 of the DBWS data file IN.DAT is not a record of integer counts", 0, {"OUT.GSA"}},
      {"DbwsTooManyCounts", Program::Dbwsconv, [](const fs::path& f) { write_file(f / "IN.DAT", dbws(12500)); },
       {}, "IN.DAT OUT.GSA\n", "The DBWS data file IN.DAT holds more than 99992 counts", 1, {}},
      {"DbwsOutputIsAFolder", Program::Dbwsconv,
       [](const fs::path& f) {
         dbws_input(f);
         fs::create_directory(f / "FOLDER.GSA");
       },
       {}, "IN.DAT FOLDER.GSA\n", "The output file FOLDER.GSA cannot be written: it is a folder.", 1, {}},
      // Macro files and the terminal.
      {"MacroMissing", Program::Dbwsconv, dbws_input, {}, "@R\nNOSUCH.MAC\nQUIT\nIN.DAT OUT.GSA\n",
       "File NOT found!!", 0, {"OUT.GSA"}},
      {"MacroEndsEarly", Program::Dbwsconv,
       [](const fs::path& f) {
         dbws_input(f);
         write_file(f / "SHORT.MAC", "IN.DAT\n");
       },
       {}, "@R\nSHORT.MAC\nOUT.GSA\n", " The macro file is empty, reading from the terminal is resumed.", 0,
       {"OUT.GSA"}},
      {"MacroReplayOfItsOwnRecording", Program::Dbwsconv, dbws_input, {},
       "@M\nREC.MAC\n@R\nREC.MAC\nQUIT\nIN.DAT OUT.GSA\n",
       " The macro file REC.MAC is being written; end it with @Q before replaying it.", 0, {"OUT.GSA", "REC.MAC"}},
      {"MacroRecordingOverAnExistingFile", Program::Dbwsconv,
       [](const fs::path& f) {
         dbws_input(f);
         write_file(f / "OLD.MAC", "A.DAT B.GSA\n");
       },
       {}, "@M\nOLD.MAC\nIN.DAT OUT.GSA\n", " The macro file OLD.MAC already exists; no macro is being written.", 0,
       {"OUT.GSA"}},
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

class BadInputs : public testing::TestWithParam<BadInput> {};

TEST_P(BadInputs, GiveTheirMessageAndLoseNothing) {
  const BadInput& row = GetParam();
  TempFolder folder;
  if (row.prepare) row.prepare(folder.path());
  if (row.program == Program::Dbwsconv && !fs::exists(folder / "OUT.GSA"))
    write_file(folder / "OUT.GSA", kPreviousPowder);
  if (row.program == Program::Vortan) {
    if (!fs::exists(folder / "TEST.VORTAN")) write_file(folder / "TEST.VORTAN", previous_results());
    write_file(folder / "TEST.LST", kPreviousListing);
  }
  const auto before = snapshot(folder.path());

  const auto result = run_program(binary(row.program), row.args, folder.path(), row.input);
  EXPECT_EQ(result.exit_status, row.exit_status) << result.out << result.err;
  EXPECT_NE((result.out + result.err).find(row.message), std::string::npos)
      << "expected: " << row.message << "\nout: " << result.out << "\nerr: " << result.err;

  const auto after = snapshot(folder.path());
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
}

INSTANTIATE_TEST_SUITE_P(Catalogue, BadInputs, testing::ValuesIn(catalogue()),
                         [](const testing::TestParamInfo<BadInput>& info) { return info.param.name; });

}  // namespace
