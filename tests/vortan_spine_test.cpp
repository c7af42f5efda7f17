// The vortan driver as a user meets it: phase selection, run controls,
// paging, the results file and its publication marks, the banner.
#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>

#include "tests/support/expfile_builder.hpp"
#include "tests/support/run_program.hpp"
#include "vortan/driver.hpp"

using namespace vesk;
using testing_support::ExpFileBuilder;
using testing_support::minimal_experiment;
using testing_support::read_file;
using testing_support::run_program;
using testing_support::TempFolder;
using testing_support::write_file;

namespace {

const std::map<std::string, std::string> kFixedDate{{"SOURCE_DATE_EPOCH", "1700000000"}};

// Page headers: records with "1" in the carriage-control column.
int page_count(const std::string& listing) {
  int pages = listing.rfind("1", 0) == 0 ? 1 : 0;
  for (std::size_t at = listing.find("\n1"); at != std::string::npos; at = listing.find("\n1", at + 1)) ++pages;
  return pages;
}

// One small phase that lists no distance: a lone atom and DMAX 0.5.
testing_support::TestPhase lone_atom_phase(int number) {
  testing_support::TestPhase phase;
  phase.number = number;
  phase.name = "Phase " + std::to_string(number);
  phase.atoms = {{"Si1", "SI", 0.1, 0.2, 0.3}};
  return phase;
}

ExpFileBuilder with_types() {
  ExpFileBuilder builder = minimal_experiment();
  builder.atom_types({{"SI", 1.2, 1.5}});
  return builder;
}

std::string distance_record(char mark, int phase, int central, int neighbour, int op, int cell) {
  char line[80];
  std::snprintf(line, sizeof line, "%c%2d%2d%10.5f%10.5f%5d%5d%5d%5d\n", mark, phase, 0, 2.5, 0.001, central,
                neighbour, op, cell);
  return line;
}

std::string angle_record(char mark, int phase, int first, int central, int second) {
  char line[100];
  std::snprintf(line, sizeof line, "%c%2d%2d%10.4f%10.4f%5d%5d%5d%5d%5d%5d%5d\n", mark, phase, 1, 109.5, 0.1, first,
                central, second, 1, 555, 2, 555);
  return line;
}

// A covariance file's two leading records, 4-byte framed, little-endian.
std::string covariance_head(std::int32_t cycle, std::int32_t words) {
  std::string bytes;
  auto put = [&bytes](std::int32_t value) {
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>((static_cast<std::uint32_t>(value) >> (8 * i)) & 0xff);
  };
  for (std::int32_t value : {cycle, words}) {
    put(4);
    put(value);
    put(4);
  }
  return bytes;
}

}  // namespace

TEST(VortanBanner, ListingStartMatchesTheGoldenFile) {
  TempFolder folder;
  ExpFileBuilder builder;
  builder.title("Quartz at 295 K").version(6).history(1, "ZENTOR  created 12-Mar-24").history(2, "RAFFIN  cycle 14");
  builder.write(folder / "QUARTZ.EXP");
  auto result = run_program(VORTAN_BIN, {"quartz"}, folder.path(), {}, kFixedDate);
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_EQ(read_file(folder / "QUARTZ.LST"), read_file(std::string(TEST_DATA_DIR) + "/spine_banner.lst"));
}

TEST(VortanPhases, OnlyPhasesWithFlagAndControlRecordAreProcessed) {
  TempFolder folder;
  // Phase 1 exists but has no control record (and no phase records: reading
  // it would stop the run); phase 3 is processed alone, on the first page.
  ExpFileBuilder one = with_types();
  one.phase_flags({1, 0, 1}).phase(lone_atom_phase(3)).vortan_controls(3, "DMAX 0.5 DAGL 0.5");
  one.write(folder / "ONE.EXP");
  auto result = run_program(VORTAN_BIN, {"one"}, folder.path(), {}, kFixedDate);
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_EQ(page_count(read_file(folder / "ONE.LST")), 1);

  // A control record without a phase flag is skipped too; two processed
  // phases take a page each.
  ExpFileBuilder two = with_types();
  two.phase_flags({0, 1, 1}).phase(lone_atom_phase(2)).phase(lone_atom_phase(3));
  two.vortan_controls(1, "DMAX 0.5 DAGL 0.5").vortan_controls(2, "DMAX 0.5 DAGL 0.5");
  two.vortan_controls(3, "DMAX,0.5,DAGL,0.5");
  two.write(folder / "TWO.EXP");
  result = run_program(VORTAN_BIN, {"two"}, folder.path(), {}, kFixedDate);
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_EQ(page_count(read_file(folder / "TWO.LST")), 2);
  EXPECT_EQ(result.err, "STOP VORTAN successful completion statement executed\n");
}

TEST(VortanControls, WordsArePositional) {
  PhaseControls all = parse_phase_controls("DMAX 3.0 DAGL 2.5 FORA ONCR", "  VRTN CDAT1");
  EXPECT_TRUE(all.dmax_given);
  EXPECT_FLOAT_EQ(all.dmax, 3.0f);
  EXPECT_TRUE(all.dagl_given);
  EXPECT_FLOAT_EQ(all.dagl, 2.5f);
  EXPECT_EQ(all.fourier_mode, "FORA");
  EXPECT_EQ(all.print_option, "ONCR");

  PhaseControls placeholder = parse_phase_controls("DFLT DAGL 2.5 FORA", "  VRTN CDAT1");
  EXPECT_FALSE(placeholder.dmax_given);
  EXPECT_TRUE(placeholder.dagl_given);
  EXPECT_FLOAT_EQ(placeholder.dagl, 2.5f);
  EXPECT_EQ(placeholder.fourier_mode, "FORA");
  EXPECT_EQ(placeholder.print_option, "DFLT");

  // DAGL in the DMAX slot only fills that slot, 2.5 the DAGL slot.
  PhaseControls shifted = parse_phase_controls("DAGL 2.5 FORA ONCR", "  VRTN CDAT1");
  EXPECT_FALSE(shifted.dmax_given);
  EXPECT_FALSE(shifted.dagl_given);
  EXPECT_EQ(shifted.fourier_mode, "FORA");
  EXPECT_EQ(shifted.print_option, "ONCR");

  PhaseControls dmax_only = parse_phase_controls("DMAX 3.0", "  VRTN CDAT1");
  EXPECT_TRUE(dmax_only.dmax_given);
  EXPECT_FLOAT_EQ(dmax_only.dmax, 3.0f);
  EXPECT_FALSE(dmax_only.dagl_given);
  EXPECT_EQ(dmax_only.fourier_mode, "    ");
  EXPECT_EQ(dmax_only.print_option, "DFLT");

  // Commas and tabs separate words as blanks do; a word is cut to 4 characters.
  PhaseControls commas = parse_phase_controls("DMAX,2.75,\tDAGL,2,FORAX,ONCRY", "  VRTN CDAT1");
  EXPECT_FLOAT_EQ(commas.dmax, 2.75f);
  EXPECT_FLOAT_EQ(commas.dagl, 2.0f);
  EXPECT_EQ(commas.fourier_mode, "FORA");
  EXPECT_EQ(commas.print_option, "ONCR");

  PhaseControls empty = parse_phase_controls(std::string(68, ' '), "  VRTN CDAT1");
  EXPECT_FALSE(empty.dmax_given);
  EXPECT_FALSE(empty.dagl_given);
  EXPECT_EQ(empty.print_option, "DFLT");
}

TEST(VortanControls, KeywordWordsFollowThePositionalOnes) {
  PhaseControls keys =
      parse_phase_controls("DMAX 3.0 DFLT DFLT ONCR HMAX 2.6 hang 120 DONR N/O/C ACPT O", "  VRTN CDAT1");
  EXPECT_FLOAT_EQ(keys.dmax, 3.0f);
  EXPECT_EQ(keys.print_option, "ONCR");
  EXPECT_FLOAT_EQ(keys.hbonds.limit, 2.6f);
  EXPECT_FLOAT_EQ(keys.hbonds.min_angle, 120.0f);
  EXPECT_EQ(keys.hbonds.donors, "N/O/C");
  EXPECT_EQ(keys.hbonds.acceptors, "O");
  PhaseControls defaults = parse_phase_controls("DMAX 3.0", "  VRTN CDAT1");
  EXPECT_EQ(defaults.hbonds.limit, 0.0f);
  EXPECT_FLOAT_EQ(defaults.hbonds.min_angle, 110.0f);

  // A keyword in a positional slot, an unknown word, a missing value, a
  // list that names no element: each refused with the record's key.
  for (const char* bad : {"DFLT DFLT HMAX 2.6", "DFLT DFLT DFLT DFLT HMX 2.6", "DFLT DFLT DFLT DFLT HANG",
                          "DFLT DFLT DFLT DFLT DONR N/Xy", "DFLT DFLT DFLT DFLT HMAX -1",
                          // an empty element symbol, which read as no list at all
                          "DFLT DFLT DFLT DFLT DONR N/O/", "DFLT DFLT DFLT DFLT ACPT O/", "DFLT DFLT DFLT DFLT DONR //",
                          "DFLT DFLT DFLT DFLT ACPT /N",
                          // angles that are none, limits without their value, directions beyond a real
                          "DFLT DFLT DFLT DFLT HANG 1200", "DFLT DFLT DFLT DFLT HANG 1e39", "DFLT DFLT DFLT DFLT HANG -5",
                          "DFLT DFLT DFLT DFLT HANG nan", "DMAX", "DFLT DAGL", "DFLT DFLT DFLT DFLT VIEW 1e39 0 0"}) {
    try {
      parse_phase_controls(bad, "  VRTN CDAT1");
      ADD_FAILURE() << bad;
    } catch (const vesk::Error& error) {
      EXPECT_NE(std::string(error.what()).find("  VRTN CDAT1"), std::string::npos) << error.what();
    }
  }
  try {
    parse_phase_controls("DFLT DFLT DFLT DFLT DONR N/O/", "  VRTN CDAT1");
  } catch (const vesk::Error& error) {
    EXPECT_STREQ(error.what(), "The DONR value \"N/O/\" of the control record \"  VRTN CDAT1\" has an empty element "
                               "symbol; write the symbols joined by single /, as in N/O/Cl");
  }
  EXPECT_FLOAT_EQ(parse_phase_controls("DFLT DFLT DFLT DFLT HANG 0", "K").hbonds.min_angle, 0.0f);
  EXPECT_FLOAT_EQ(parse_phase_controls("DFLT DFLT DFLT DFLT HANG 179.5", "K").hbonds.min_angle, 179.5f);
}

TEST(VortanResults, CreatedThenRewritten) {
  TempFolder folder;
  ExpFileBuilder builder = minimal_experiment();
  builder.add("  RFFN  RUN ", std::string(49, ' ') + "         5.23");
  builder.write(folder / "RES.EXP");
  write_file(folder / "RES.CMT", covariance_head(14, 3));
  auto first = run_program(VORTAN_BIN, {"res"}, folder.path(), {}, kFixedDate);
  ASSERT_EQ(first.exit_status, 0) << first.out << first.err;
  const std::string expected = "       14          5.2300    \n99999\n";
  EXPECT_EQ(read_file(folder / "RES.VORTAN"), expected);

  // The second run reads it back and writes it again.
  auto second = run_program(VORTAN_BIN, {"res"}, folder.path(), {}, kFixedDate);
  ASSERT_EQ(second.exit_status, 0) << second.out << second.err;
  EXPECT_EQ(read_file(folder / "RES.VORTAN"), expected);
  EXPECT_FALSE(std::filesystem::exists(folder / "RES.VORTAN.new"));

  // No covariance file and no least-squares run: cycle 0 and R 0.0.
  std::filesystem::remove(folder / "RES.CMT");
  minimal_experiment().write(folder / "RES.EXP");
  auto third = run_program(VORTAN_BIN, {"res"}, folder.path(), {}, kFixedDate);
  ASSERT_EQ(third.exit_status, 0);
  EXPECT_EQ(read_file(folder / "RES.VORTAN"), "        0          0.0000    \n99999\n");
}

TEST(VortanResults, OverflowOfThePublishListsIsReportedOnce) {
  TempFolder folder;
  minimal_experiment().write(folder / "MANY.EXP");
  // The 1001st marked distance comes before the 5001st marked angle.
  std::string old = "        0          0.0000    \n";
  for (int i = 1; i <= 1001; ++i) old += distance_record('Y', 1, i, i + 1, 1, 555);
  for (int i = 1; i <= 5001; ++i) old += angle_record('Y', 1, i, i + 1, i + 2);
  for (int i = 1; i <= 10; ++i) old += distance_record('Y', 1, i, i + 1, 2, 555);
  old += "99999\n";
  write_file(folder / "MANY.VORTAN", old);
  auto result = run_program(VORTAN_BIN, {"many"}, folder.path(), {}, kFixedDate);
  ASSERT_EQ(result.exit_status, 0) << result.err;
  // Phase 1 is not computed: its records stay, and it is said so.
  EXPECT_EQ(result.out,
            "Too many distances to publish, saving only first 1000 distances\n"
            " Phase 1 is not computed in this run (it has no control record \"  VRTN CDAT1\"); its 6012 records of "
            "the previous results file are kept\n"
            " No phase is computed in this run: every phase is switched off (its phase flag is 0, or it has no "
            "control record)\n");

  // Angles alone overflowing give the angle message.
  old = "        0          0.0000    \n";
  for (int i = 1; i <= 5002; ++i) old += angle_record('y', 1, i, i + 1, i + 2);
  old += "99999\n";
  write_file(folder / "MANY.VORTAN", old);
  result = run_program(VORTAN_BIN, {"many"}, folder.path(), {}, kFixedDate);
  EXPECT_EQ(result.out.substr(0, result.out.find('\n') + 1), "Too many angles to publish, saving only first 5000 angles\n");
  EXPECT_EQ(result.out.find("Too many", 1), std::string::npos) << result.out;
}

TEST(VortanResults, AStoppedRunLeavesThePreviousFileAndItsMarks) {
  TempFolder folder;
  const std::string old = "       14          5.2300    \n" + distance_record('Y', 3, 1, 1, 2, 556) +
                          angle_record('y', 3, 1, 1, 1) + distance_record('N', 3, 1, 1, 3, 556) + "99999\n";
  write_file(folder / "STOP.VORTAN", old);
  // A control record whose DMAX does not read stops the run after the
  // results file was opened.
  ExpFileBuilder builder = with_types();
  builder.phase_flags({0, 0, 1}).phase(lone_atom_phase(3)).vortan_controls(3, "DMAX 3.0x DAGL 2.0");
  builder.write(folder / "STOP.EXP");
  auto result = run_program(VORTAN_BIN, {"stop"}, folder.path(), {}, kFixedDate);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.out.find("\"  VRTN CDAT3\""), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\"3.0x\""), std::string::npos) << result.out;
  EXPECT_EQ(read_file(folder / "STOP.VORTAN"), old);
  EXPECT_FALSE(std::filesystem::exists(folder / "STOP.VORTAN.new"));
}

TEST(VortanResults, ARunStoppedByAMissingPhaseRecordKeepsThePreviousFile) {
  TempFolder folder;
  const std::string old = "       14          5.2300    \n" + distance_record('Y', 1, 1, 1, 2, 556) +
                          angle_record('y', 1, 1, 1, 1) + distance_record('N', 1, 1, 1, 3, 556) + "99999\n";
  write_file(folder / "GONE.VORTAN", old);
  ExpFileBuilder builder = with_types();
  builder.phase_flags({1}).phase(lone_atom_phase(1)).vortan_controls(1, "DMAX 2.0");
  builder.without("CRS1  ABC   ").write(folder / "GONE.EXP");
  auto result = run_program(VORTAN_BIN, {"gone"}, folder.path(), {}, kFixedDate);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, " ISAM record with KEY = \"CRS1  ABC\" has problems.\n");
  EXPECT_EQ(read_file(folder / "GONE.VORTAN"), old);
  EXPECT_FALSE(std::filesystem::exists(folder / "GONE.VORTAN.new"));
}

TEST(VortanResults, MarksSurviveTheNextRun) {
  TempFolder folder;
  testing_support::TestPhase phase;
  phase.atoms = {{"Si1", "SI", 0, 0, 0}, {"O1", "O", 0.3, 0, 0}, {"O2", "O", 0, 0.3, 0}};
  ExpFileBuilder builder = minimal_experiment();
  builder.atom_types({{"SI", 1.2, 1.5}, {"O", 0.7, 0.8}}).phase_flags({1}).phase(phase);
  builder.vortan_controls(1, "DMAX 2.0 DAGL 2.0").write(folder / "SIO.EXP");
  auto first = run_program(VORTAN_BIN, {"sio"}, folder.path(), {}, kFixedDate);
  ASSERT_EQ(first.exit_status, 0) << first.out << first.err;
  std::string written = read_file(folder / "SIO.VORTAN");
  // Si1-O1 and Si1-O2 both ways, and the angle O1-Si1-O2.
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < written.size();) {
    std::size_t end = written.find('\n', at);
    lines.push_back(written.substr(at, end - at));
    at = end + 1;
  }
  ASSERT_EQ(lines.size(), 7u) << written;
  std::size_t angle = 0;
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    EXPECT_EQ(lines[i][0], 'N') << lines[i];
    if (lines[i].substr(3, 2) == " 1") angle = i;
  }
  ASSERT_NE(angle, 0u) << written;
  // The user marks the first distance (in lower case) and the angle.
  std::string marked = written;
  std::size_t first_distance = lines[0].size() + 1;
  std::size_t angle_start = 0;
  for (std::size_t i = 0; i < angle; ++i) angle_start += lines[i].size() + 1;
  marked[first_distance] = 'y';
  marked[angle_start] = 'Y';
  write_file(folder / "SIO.VORTAN", marked);
  auto second = run_program(VORTAN_BIN, {"sio"}, folder.path(), {}, kFixedDate);
  ASSERT_EQ(second.exit_status, 0) << second.out << second.err;
  std::string expected = marked;
  expected[first_distance] = 'Y';
  EXPECT_EQ(read_file(folder / "SIO.VORTAN"), expected);
  // A mark the user takes away is gone in the next run.
  write_file(folder / "SIO.VORTAN", written);
  run_program(VORTAN_BIN, {"sio"}, folder.path(), {}, kFixedDate);
  EXPECT_EQ(read_file(folder / "SIO.VORTAN"), written);
}

TEST(VortanPhases, BondRadiusRaisedToTheAngleRadius) {
  TempFolder folder;
  ExpFileBuilder builder = with_types();
  builder.phase_flags({1}).phase(lone_atom_phase(1)).vortan_controls(1, "DMAX 0.5 DAGL 0.5");
  builder.write(folder / "RAD.EXP");
  auto result = run_program(VORTAN_BIN, {"rad"}, folder.path(), {}, kFixedDate);
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_NE(read_file(folder / "RAD.LST").find("\n SI       1.50000   1.50000\n"), std::string::npos);
}

TEST(VortanPhases, ProgressLineEveryHundredAtoms) {
  TempFolder folder;
  testing_support::TestPhase phase = lone_atom_phase(1);
  phase.cell = {20, 20, 20, 90, 90, 90};
  phase.atoms.clear();
  for (int i = 0; i < 250; ++i)
    phase.atoms.push_back({"A" + std::to_string(i + 1), "SI", (i % 10) * 0.1, (i / 10 % 10) * 0.1, (i / 100) * 0.1});
  ExpFileBuilder builder = with_types();
  builder.phase_flags({1}).phase(phase).vortan_controls(1, "DMAX 0.5 DAGL 0.5").write(folder / "BIG.EXP");
  auto result = run_program(VORTAN_BIN, {"big"}, folder.path(), {}, kFixedDate);
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_EQ(result.out, " Processing atom   100\r Processing atom   200\r");
}

namespace {

// vortan under a file-size limit of `blocks` of 512 bytes, SIGXFSZ ignored:
// a write past the limit fails as on a full disk.
testing_support::RunResult run_with_size_limit(const TempFolder& folder, int blocks,
                                               const std::vector<std::string>& args, const std::string& input) {
  std::vector<std::string> shell{"-c", "trap '' XFSZ; ulimit -f " + std::to_string(blocks) + "; exec \"$0\" \"$@\"",
                                 VORTAN_BIN};
  shell.insert(shell.end(), args.begin(), args.end());
  return run_program("/bin/sh", shell, folder.path(), input, kFixedDate);
}

}  // namespace

TEST(VortanResults, AFailedWriteFailsTheRunAndKeepsThePreviousResults) {
  TempFolder folder;
  std::filesystem::copy_file(EXAMPLES_DIR "/QUARTZ.EXP", folder / "QUARTZ.EXP");
  const std::string old = "       12         0.22000E-01\n" + distance_record('Y', 1, 1, 1, 2, 544) + "99999\n";
  write_file(folder / "QUARTZ.VORTAN", old);
  const std::string earlier_listing = "1the listing of an earlier run\n";
  write_file(folder / "QUARTZ.LST", earlier_listing);
  // The listing fails; then, asked for the name, vortan lists on the
  // terminal and the results file is the only file it writes.
  for (const auto& [blocks, args, input, file] :
       {std::tuple<int, std::vector<std::string>, std::string, std::string>{4, {"QUARTZ"}, "", "QUARTZ.LST"},
        {1, {}, "QUARTZ\n", "QUARTZ.VORTAN."}}) {
    const auto run = run_with_size_limit(folder, blocks, args, input);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE((run.out + run.err).find(file), std::string::npos) << run.out << run.err;
    EXPECT_NE((run.out + run.err).find("File too large"), std::string::npos) << run.out << run.err;
    EXPECT_EQ(run.err.find("successful completion"), std::string::npos) << run.err;
    EXPECT_EQ(read_file(folder / "QUARTZ.VORTAN"), old);
    // A listing that cannot be written whole is not put in place: the old one stays as it was.
    EXPECT_EQ(read_file(folder / "QUARTZ.LST"), earlier_listing);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), std::filesystem::directory_iterator{}),
              3);  // EXP, LST and the results file
  }
}

TEST(VortanResults, AFailedWriteOfTheMarksFileKeepsItsPreviousMarks) {
  TempFolder folder;
  // With the torsion angles through Fe1 the marks file is the longer one.
  std::string experiment = read_file(EXAMPLES_DIR "/FERROCENE.EXP");
  const std::string controls = "  VRTN CDAT1DFLT DFLT NOFR ONCR";
  ASSERT_NE(experiment.find(controls + "       "), std::string::npos);
  experiment.replace(experiment.find(controls), controls.size() + 7, controls + " MTOR Y");
  write_file(folder / "FERROCENE.EXP", experiment);
  ASSERT_EQ(run_program(VORTAN_BIN, {"FERROCENE"}, folder.path(), {}, kFixedDate).exit_status, 0);
  std::filesystem::remove(folder / "FERROCENE.LST");
  const std::string results = read_file(folder / "FERROCENE.VORTAN");
  std::string marks = read_file(folder / "FERROCENE.TORHB");
  ASSERT_EQ(marks.substr(0, 5), "N 1 2");
  marks[0] = 'Y';
  write_file(folder / "FERROCENE.TORHB", marks);
  // Room for the results file but not for the marks file, which is longer;
  // asked for the name, vortan lists on the terminal.
  const int blocks = static_cast<int>(results.size() / 512 + 1);
  ASSERT_GT(marks.size(), static_cast<std::size_t>(blocks) * 512);
  const auto run = run_with_size_limit(folder, blocks, {}, "FERROCENE\n");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.out.find("FERROCENE.TORHB is left as it was"), std::string::npos) << run.out << run.err;
  EXPECT_EQ(read_file(folder / "FERROCENE.TORHB"), marks);
  EXPECT_EQ(read_file(folder / "FERROCENE.VORTAN"), results);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), std::filesystem::directory_iterator{}),
            3);  // nothing left behind
  // A run that ends normally keeps the mark.
  ASSERT_EQ(run_program(VORTAN_BIN, {"FERROCENE"}, folder.path(), {}, kFixedDate).exit_status, 0);
  EXPECT_EQ(read_file(folder / "FERROCENE.TORHB"), marks);
}
