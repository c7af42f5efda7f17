// Whole runs of vortan: the bundled examples against golden listings and
// results files, the user's publication marks across runs, and the neighbour
// limits seen from outside.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/covariance_writer.hpp"
#include "tests/support/expfile_builder.hpp"
#include "tests/support/run_program.hpp"

namespace {

using testing_support::ExpFileBuilder;
using testing_support::read_file;
using testing_support::run_program;
using testing_support::TempFolder;
using testing_support::write_file;

const std::map<std::string, std::string> kFixedDates = {{"SOURCE_DATE_EPOCH", "1767225600"}, {"LENPAGE", "60"}};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

testing_support::RunResult run_example(const TempFolder& folder, const std::string& name) {
  for (const char* extension : {".EXP", ".CMT"})
    std::filesystem::copy_file(std::filesystem::path(EXAMPLES_DIR) / (name + extension), folder / (name + extension));
  return run_program(VORTAN_BIN, {name}, folder.path(), "", kFixedDates);
}

// Compares with tests/data/golden_<file>; VESK_UPDATE_GOLDEN=1 rewrites it.
void expect_golden(const std::string& actual, const std::string& golden) {
  const std::filesystem::path file = std::filesystem::path(TEST_DATA_DIR) / golden;
  if (std::getenv("VESK_UPDATE_GOLDEN") != nullptr) write_file(file, actual);
  const std::vector<std::string> got = lines_of(actual), want = lines_of(read_file(file));
  for (std::size_t k = 0; k < std::min(got.size(), want.size()); ++k)
    ASSERT_EQ(got[k], want[k]) << golden << " line " << k + 1;
  EXPECT_EQ(got.size(), want.size()) << golden;
  EXPECT_EQ(actual, read_file(file)) << golden;
}

TEST(VortanExamples, ListingsAndResultsFilesMatchTheGoldenFiles) {
  for (const std::string name : {"QUARTZ", "SPINEL", "FERROCENE"}) {
    TempFolder folder;
    const auto run = run_example(folder, name);
    EXPECT_EQ(run.exit_status, 0) << name << run.err;
    EXPECT_NE(run.err.find("VORTAN successful completion"), std::string::npos) << name << run.err;
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    expect_golden(read_file(folder / (name + ".LST")), "golden_" + lower + ".lst");
    expect_golden(read_file(folder / (name + ".VORTAN")), "golden_" + lower + ".vortan");
  }
}

TEST(VortanExamples, SecondRunKeepsTheMarksTheUserPlaced) {
  TempFolder folder;
  ASSERT_EQ(run_example(folder, "QUARTZ").exit_status, 0);
  std::vector<std::string> first = lines_of(read_file(folder / "QUARTZ.VORTAN"));
  ASSERT_GT(first.size(), 12u);
  // Mark the first distance, a later distance (lower-case "y") and an angle;
  // put stray marks on two more records.
  std::size_t first_angle = 0;
  for (std::size_t k = 1; k + 1 < first.size(); ++k)
    if (first[k].substr(3, 2) == " 1") {
      first_angle = k;
      break;
    }
  ASSERT_GT(first_angle, 3u);
  std::vector<std::string> edited = first;
  edited[1][0] = 'Y';
  edited[3][0] = 'y';
  edited[first_angle][0] = 'Y';
  edited[2][0] = 'X';
  edited[first_angle + 1][0] = ' ';
  std::string text;
  for (const auto& line : edited) text += line + "\n";
  write_file(folder / "QUARTZ.VORTAN", text);

  ASSERT_EQ(run_program(VORTAN_BIN, {"QUARTZ"}, folder.path(), "", kFixedDates).exit_status, 0);
  const std::vector<std::string> second = lines_of(read_file(folder / "QUARTZ.VORTAN"));
  ASSERT_EQ(second.size(), first.size());
  EXPECT_EQ(second.front(), first.front());
  EXPECT_EQ(second.back(), "99999");
  for (std::size_t k = 1; k + 1 < second.size(); ++k) {
    const bool marked = k == 1 || k == 3 || k == first_angle;
    EXPECT_EQ(second[k][0], marked ? 'Y' : 'N') << "record " << k + 1;
    EXPECT_EQ(second[k].substr(1), first[k].substr(1)) << "record " << k + 1;
  }
}

// A P1 cell with a short a and b: one atom's own images at up to three cells
// away, and an atom of a type with negative radii.
ExpFileBuilder crowded_experiment(const std::string& controls) {
  testing_support::TestPhase phase;
  phase.name = "Crowded cell";
  phase.cell = {3, 3, 10, 90, 90, 90};
  phase.space_group = "P 1";
  phase.atoms = {{"A1", "A", 0, 0, 0}, {"B1", "B", 0, 0, 0.3}};
  ExpFileBuilder builder = testing_support::minimal_experiment();
  builder.phase_flags({1})
      .atom_types({{"A", 4.25, 4.25}, {"B", -1.0, -0.75}})
      .phase(phase)
      .vortan_controls(1, controls);
  return builder;
}

TEST(VortanWholeJob, TwentyFiveNeighboursTheStarAndTheNotice) {
  TempFolder folder;
  crowded_experiment("DMAX 9.2").write(folder / "CROWD.EXP");
  const auto run = run_program(VORTAN_BIN, {"CROWD"}, folder.path(), "", kFixedDates);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const std::vector<std::string> listing = lines_of(read_file(folder / "CROWD.LST"));
  int unstarred = 0, starred = 0, notices = 0, angles = 0;
  for (const std::string& line : listing) {
    if (line.rfind("       A1_", 0) == 0) ++unstarred;
    if (line.rfind("      *A1_B1", 0) == 0) ++starred;
    if (line == " **** More than 24 Interatomic distances found ****") ++notices;
    if (line.rfind("          A1_A1_", 0) == 0) ++angles;
    // B1 has a negative bond radius: never a central atom.
    EXPECT_EQ(line.rfind("       B1_", 0), std::string::npos) << line;
  }
  // A1's own images within 9.2 A reach three cells along a and b: 28 of
  // them, 24 within the angle limit of 8.5 A; with the B1 image at 3.0 A
  // exactly 25 lie within the limits: all are kept, none is starred.
  EXPECT_EQ(notices, 1);
  EXPECT_GE(unstarred, 28 + 1);
  EXPECT_EQ(starred, 0);
  EXPECT_EQ(angles, 25 * 24 / 2);
  EXPECT_NE(read_file(folder / "CROWD.LST").find(" Angles will be calculated between the nearest 25"), std::string::npos);
}

// The phase is skipped and, as no other is computed, the run fails with the
// reason; the listing says it, the results file is left as it was.
TEST(VortanWholeJob, LimitTakenForAMistakeSkipsThePhase) {
  TempFolder folder;
  crowded_experiment("DMAX 300").write(folder / "WIDE.EXP");
  const auto run = run_program(VORTAN_BIN, {"WIDE"}, folder.path(), "", kFixedDates);
  ASSERT_EQ(run.exit_status, 1) << run.err;
  EXPECT_NE(run.out.find("No phase was computed in this run, for the reasons above"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Phase 1: the search limit   300.000 A is longer than 50 A"), std::string::npos) << run.out;
  const std::string listing = read_file(folder / "WIDE.LST");
  EXPECT_NE(listing.find("Phase 1: the search limit   300.000 A"), std::string::npos);
  EXPECT_EQ(listing.find("A1_A1"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(folder / "WIDE.VORTAN"));
}

TEST(VortanWholeJob, OrthonormalVectorsLeaveTheAnglesAlone) {
  testing_support::TestPhase phase;
  phase.cell = {10, 10, 10, 90, 90, 90};
  phase.atoms = {{"C1", "C", 0.3, 0.2, 0.1}, {"O1", "O", 0.2, 0.2, 0.1}, {"O2", "O", 0.3, 0.33, 0.1}};
  std::string angle_tables[2];
  int k = 0;
  for (const char* option : {"DFLT", "ONCR"}) {
    TempFolder folder;
    ExpFileBuilder builder = testing_support::minimal_experiment();
    builder.phase_flags({1}).atom_types({{"C", 0.9, 0.9}, {"O", 0.7, 0.7}}).phase(phase).vortan_controls(
        1, std::string("DFLT DFLT NOFR ") + option);
    builder.write(folder / "VEC.EXP");
    ASSERT_EQ(run_program(VORTAN_BIN, {"VEC"}, folder.path(), "", kFixedDates).exit_status, 0);
    const std::string listing = read_file(folder / "VEC.LST");
    for (const std::string& line : lines_of(listing)) {
      if (line.rfind("       C1_O1", 0) == 0) {
        const char* vector = k == 1 ? "   1.00000   0.00000   0.00000" : "   0.20000   0.20000   0.10000";
        EXPECT_EQ(line.substr(line.size() - 30), vector);
      }
      if (line.rfind("          O1_C1_O2", 0) == 0) angle_tables[k] += line + "\n";
    }
    EXPECT_NE(listing.find(k == 1 ? "ON Neighbor coord." : "Neighbor atom coordinates"), std::string::npos);
    ++k;
  }
  EXPECT_FALSE(angle_tables[0].empty());
  EXPECT_EQ(angle_tables[0], angle_tables[1]);
}

TEST(VortanWholeJob, NegativeVarianceIsReportedBeforeItsDistance) {
  // A covariance with a correlation of 2 between the two x coordinates: the
  // variance of the C1-O1 distance comes out negative.
  testing_support::TestPhase phase;
  phase.atoms = {{"C1", "C", 0, 0, 0}, {"O1", "O", 0.3, 0, 0}};
  TempFolder folder;
  ExpFileBuilder builder = testing_support::minimal_experiment();
  builder.phase_flags({1}).atom_types({{"C", 0.9, 0.9}, {"O", 0.7, 0.7}}).phase(phase).vortan_controls(1, "");
  // NCYCLE in columns 44-47, the R value in columns 50-64.
  builder.add("  RFFN  RUN ", std::string("Test refinement") + std::string(28, ' ') + "   3" + "  " + "         0.0500");
  builder.add("  RFFN CDAT1", "  MXCY   3");
  builder.write(folder / "NEG.EXP");
  testing_support::CovarianceFile covariance;
  covariance.ncycle = 3;
  covariance.names = {"1  1X   ", "1  2X   "};
  covariance.nvar = 2;
  covariance.matrix = testing_support::pack_full({{1.0E-6f, 2.0E-6f}, {2.0E-6f, 1.0E-6f}});
  covariance.constraints = {{testing_support::constraint_code(1, 1), 1.0f},
                            {testing_support::constraint_code(2, 2), 1.0f}};
  testing_support::write_covariance_file(folder / "NEG.CMT", covariance);

  const auto run = run_program(VORTAN_BIN, {"NEG"}, folder.path(), "", kFixedDates);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find(" Negative SIGMA**2 for atoms  1  2"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(" Negative SIGMA**2 for atoms  2  1"), std::string::npos) << run.out;
  const std::vector<std::string> listing = lines_of(read_file(folder / "NEG.LST"));
  std::size_t first_warning = 0, first = 0, second_warning = 0, second = 0;
  for (std::size_t k = 0; k < listing.size(); ++k) {
    if (listing[k] == " Negative SIGMA**2 for atoms  1  2") first_warning = k;
    if (listing[k].rfind("       C1_O1", 0) == 0) first = k;
    if (listing[k] == " Negative SIGMA**2 for atoms  2  1") second_warning = k;
    if (listing[k].rfind("       O1_C1", 0) == 0) second = k;
  }
  // The first distance of the phase has the table header between them.
  ASSERT_GT(first_warning, 0u);
  EXPECT_EQ(first, first_warning + 3);
  ASSERT_GT(second_warning, first);
  EXPECT_EQ(second, second_warning + 1);
  const std::size_t distance = first;
  // sigma = sqrt(|25E-6 + 25E-6 - 100E-6|) = 0.0071 A
  EXPECT_EQ(listing[distance].substr(19, 12), "   1.500(7) ");
}

}  // namespace
