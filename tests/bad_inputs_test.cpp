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

#include "tests/support/run_program.hpp"

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::run_program;
using testing_support::TempFolder;
using testing_support::write_file;

namespace {

enum class Program { Dbwsconv };

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

std::string counts_record(int first) {
  char text[80];
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

// Output of an earlier conversion that a failed run must not touch.
constexpr const char* kPreviousPowder = "Earlier conversion\nBANK 1    25    3 CONST\n";

const std::vector<BadInput>& catalogue() {
  static const std::vector<BadInput> rows = {
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
    ASSERT_TRUE(after.count(name)) << name << " was removed";
    EXPECT_EQ(after.at(name), content) << name << " was changed";
  }
  for (const auto& [name, content] : after)
    EXPECT_TRUE(before.count(name) || may_change(name)) << name << " was left behind";
}

INSTANTIATE_TEST_SUITE_P(Catalogue, BadInputs, testing::ValuesIn(catalogue()),
                         [](const testing::TestParamInfo<BadInput>& info) { return info.param.name; });

}  // namespace
