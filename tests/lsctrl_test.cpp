#include "expfile/lsctrl.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "console/page.hpp"
#include "console/text_utils.hpp"
#include "expfile/experiment.hpp"
#include "expfile/record_store.hpp"
#include "recio/fixed_text.hpp"
#include "recio/units.hpp"
#include "tests/support/caught_stop.hpp"
#include "tests/support/expfile_builder.hpp"
#include "tests/support/run_program.hpp"

using namespace vesk;
using testing_support::TempFolder;

namespace {

// The value of one control record: two blanks, then fields of 8 characters.
std::string control_record(const std::vector<std::string>& fields) {
  std::string value = "  ";
  for (const auto& field : fields) value += recio::pad(field, 8);
  return value;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.emplace_back(recio::trim_right(line));
  return lines;
}

// Writes an experiment with the given control records, lists its controls
// into a listing file and returns the listing's lines (trailing blanks cut).
std::vector<std::string> listed_controls(const std::vector<std::vector<std::string>>& records) {
  TempFolder folder;
  testing_support::ExpFileBuilder builder = testing_support::minimal_experiment();
  for (std::size_t n = 0; n < records.size(); ++n)
    builder.add("  RFFN CDAT" + std::to_string(n + 1), control_record(records[n]));
  builder.write(folder / "LS.EXP");
  int unit = 11, iostat = 0;
  OPNEXP("READ", (folder / "LS.EXP").string(), unit, iostat);
  EXPECT_EQ(iostat, 0);
  int listing = 40;
  FREEUNIT(listing);
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::New;
  EXPECT_EQ(recio::open(listing, (folder / "LS.LST").string(), spec), 0);
  set_page_length(60);
  set_line_count(listing, 0);
  LSCTRL(unit, listing);
  recio::close(listing);
  recio::close(unit);
  release_record_store(unit);
  return lines_of(testing_support::read_file(folder / "LS.LST"));
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(LeastSquaresControls, WeightBlockForEveryType) {
  EXPECT_EQ(listed_controls({{"WGHT   2"}}),
            (Lines{" The Single crystal Least Squares weight function is",
                   "    SigmaFoSq = SigmaFoSq + (  0.000*FoSq)^2",
                   "  Wght = 1.0/(SigmaFoSq)**2 for FoSq refinements",
                   "  Wght = (2*Fo/SigmaFoSq)**2 for Fo refinements",
                   " I/SigI cut-off is  1.00"}));
  // "WGT ": type from the first argument column, coefficient from the rest / 1000.
  EXPECT_EQ(listed_controls({{"WGT 2050"}})[1], "    SigmaFoSq = SigmaFoSq + (  0.050*FoSq)^2");
  EXPECT_EQ(listed_controls({{"WGT 1500"}})[1], "             W = 1.0");
  EXPECT_EQ(listed_controls({{"WGHT   0"}})[1], "             W = Wght");
  // "WGHT" takes the coefficient that an earlier "WGT " set.
  EXPECT_EQ(listed_controls({{"WGT 1025", "WGHT   2"}})[5], "    SigmaFoSq = SigmaFoSq + (  0.025*FoSq)^2");
  // A type outside 0..2 has no formula line.
  EXPECT_EQ(listed_controls({{"WGHT   7"}}),
            (Lines{" The Single crystal Least Squares weight function is",
                   "  Wght = 1.0/(SigmaFoSq)**2 for FoSq refinements",
                   "  Wght = (2*Fo/SigmaFoSq)**2 for Fo refinements",
                   " I/SigI cut-off is  1.00"}));
}

TEST(LeastSquaresControls, NumericSettingsAndTheirFloors) {
  EXPECT_EQ(listed_controls({{"DSMN  50", "DSMN   5", "DSMX   0", "DSMX 250", "CVRG-200", "CVRG -50"}}),
            (Lines{" Minimum D-spacing is  0.050", " Minimum D-spacing is  0.010", " Maximum D-spacing is 100.00",
                   " Maximum D-spacing is  2.50", " Convergence for Sum(shift/esd)**2 less than   0.01",
                   " Convergence for Sum(shift/esd)**2 less than   0.32", " I/SigI cut-off is  1.00"}));
  EXPECT_EQ(listed_controls({{"MARQ1.25", "XRYX  50", "MBW   12", "MAXX 0.5", "MXCY   8", "MXCYabcd"}}),
            (Lines{" Marquardt factor for matrix inversion =  1.25", " Use data with Lambda <  0.5000",
                   " LS Matrix bandwidth is    12", " Maximum atom shift is  0.50", " Maximum number of cycles is    8",
                   " Maximum number of cycles is    0", " I/SigI cut-off is  1.00"}));
}

TEST(LeastSquaresControls, FlagsNotesAndChoices) {
  EXPECT_EQ(listed_controls({{"PRNT   5", "CONJ   Y", "CONJ   N", "NEGI Z  ", "NEGI O  ", "NEGI X  ", "SGLM  25"}}),
            (Lines{" List changes, etc. in the Reciprocal Metric Tensor",
                   " Print the Least-Squares matrices and vectors", " Conjugate gradient method will be used",
                   " Gauss elimination with pivots will be used", " If I<0.0, set I=0.0",
                   " Omit negative reflections with I<0.0", " I/SigI cut-off is  2.50"}));
  EXPECT_EQ(listed_controls({{"PRNT2048", "PRNT1024"}}),
            (Lines{" Write parameter name, value, esd file", " I/SigI cut-off is  1.00"}));
  EXPECT_EQ(listed_controls({{"TUKE   3", "TUKE   0", "MODWGT  ", "XXXX 123"}}),
            (Lines{" Apply Tukey Robust/Resistantweighting. Disregard data when (obs-calc)/sig >   3",
                   " Do not apply Tukey Robust/Resistant weighting",
                   std::string(30, ' ') + "*****  Note  *****",
                   std::string(8, ' ') + " All single crystal weights are scaled by Min(Fo/Fc,Fc/Fo)**4",
                   std::string(30, ' ') + "*****  Note  *****", " I/SigI cut-off is  1.00"}));
  // Refining on squared amplitudes drops the cut-off line; SGLM 0 means 1.0.
  EXPECT_EQ(listed_controls({{"RFN-Fsq ", "SGLM   0"}}), (Lines{" Refine on Fsq"}));
  EXPECT_EQ(listed_controls({{"RFN-F   ", "SGLM   0"}}), (Lines{" Refine on F", " I/SigI cut-off is  1.00"}));
}

TEST(LeastSquaresControls, FieldListEndsAtABlankFieldAndHoldsNineRecords) {
  EXPECT_EQ(listed_controls({{"MXCY   3", "", "MXCY   4"}}),
            (Lines{" Maximum number of cycles is    3", " I/SigI cut-off is  1.00"}));
  // Fields run on from one record into the next.
  EXPECT_EQ(listed_controls({{"MXCY   1", "MXCY   1", "MXCY   1", "MXCY   1", "MXCY   1", "MXCY   1", "MXCY   1",
                              "MXCY   1"},
                             {"MXCY   2"}})
                .size(),
            10u);
  // Nine full records: 72 fields, every one listed.
  std::vector<std::vector<std::string>> nine(9, std::vector<std::string>(8, "MBW    1"));
  const Lines lines = listed_controls(nine);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), " LS Matrix bandwidth is     1"), 72);
  EXPECT_EQ(lines.back(), " I/SigI cut-off is  1.00");
  // 73 lines do not fit a page of 60: the page control started a new one.
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("1", 0) == 0; }), 1);
}

TEST(LeastSquaresControls, MissingFirstRecordStops) {
  TempFolder folder;
  testing_support::minimal_experiment().add("  RFFN CDAT2", control_record({"MXCY   3"})).write(folder / "NO.EXP");
  int unit = 11, iostat = 0;
  OPNEXP("READ", (folder / "NO.EXP").string(), unit, iostat);
  ASSERT_EQ(iostat, 0);
  int listing = 40;
  FREEUNIT(listing);
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::New;
  ASSERT_EQ(recio::open(listing, (folder / "NO.LST").string(), spec), 0);
  set_page_length(60);
  set_line_count(listing, 0);
  EXPECT_EXIT(testing_support::run_as_main([&] { LSCTRL(unit, listing); }), testing::ExitedWithCode(1), "^$");
  recio::close(listing);
  recio::close(unit);
  release_record_store(unit);
  EXPECT_EQ(lines_of(testing_support::read_file(folder / "NO.LST")),
            (Lines{"***** ERROR *****", " No RAFFIN control data was found.", "  You need to run the 'L' option in the",
                   "  the main menu of ZENTOR", " ***** ERROR *****"}));
}
