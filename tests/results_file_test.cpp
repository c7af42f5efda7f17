#include "marks/results_file.hpp"

#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "recio/error.hpp"
#include "recio/file_replace.hpp"
#include "recio/units.hpp"
#include "tests/support/run_program.hpp"
#include "marks/geometry_marks.hpp"

using namespace vesk;
using testing_support::read_file;
using testing_support::TempFolder;
using testing_support::write_file;

TEST(PublishMarks, ReadBackFromThePreviousFile) {
  TempFolder folder;
  write_file(folder / "T.VORTAN",
             "       12          5.2300    \n"
             "y 1 0   2.10000   0.00120    2    5    3  556\n"       // lower-case mark counts
             "N 1 0   2.20000   0.00120    2    6    3  556\n"       // not marked
             "Y 2 0   2.30000   0.00120    1   x7    1  555\n"       // unreadable: skipped
             "Y 1 1  109.4700    0.3500    1    2    3    1  555   -2  556\n"
             "Y 1 2   2.30000   0.00120    1    2    1  555\n"       // neither kind
             "99999\n"
             "Y 3 0   2.30000   0.00120    1    2    1  555\n");     // after the closing record
  PublishLists lists;
  const MarksScanResult read = read_publish_marks(read_file(folder / "T.VORTAN"), lists);
  // The unreadable record and the mark of a third kind are reported, not dropped in silence.
  EXPECT_EQ(read.unreadable_lines, (std::vector<int>{4, 6}));
  ASSERT_EQ(lists.distances.size(), 1u);
  EXPECT_EQ(lists.distances[0], (DistanceKey{1, 2, 5, 3, 556}));
  ASSERT_EQ(lists.angles.size(), 1u);
  EXPECT_EQ(lists.angles[0], (AngleKey{1, 1, 2, 3, 1, 555, -2, 556}));
  EXPECT_TRUE(is_published_distance(lists, 1, 2, 5, 3, 556));
  EXPECT_FALSE(is_published_distance(lists, 1, 2, 5, 3, 555));
  EXPECT_FALSE(is_published_distance(lists, 2, 2, 5, 3, 556));
  EXPECT_TRUE(is_published_angle(lists, 1, 1, 2, 3, 1, 555, -2, 556));
  EXPECT_FALSE(is_published_angle(lists, 1, 3, 2, 1, -2, 556, 1, 555));
}

TEST(ResultsFile, RecordsAndTheSafeReplace) {
  TempFolder folder;
  const std::string stem = (folder / "T").string();
  write_file(folder / "T.VORTAN", "       12          5.2300    \nY 1 0   2.10000   0.00120    2    5    3  556\n99999\n");
  ResultsFile results;
  open_results_file(results, stem, 11);
  EXPECT_EQ(results.file, stem + ".VORTAN");
  EXPECT_TRUE(std::filesystem::exists(results.new_file));
  write_results_header(results, 12, 5.23f);
  write_distance_record(results, 1, 2.1f, 0.0012f, 2, 5, 3, 556);
  write_distance_record(results, 1, 2.1f, 0.0012f, 5, 2, 3, 556);
  write_angle_record(results, 1, 109.47f, 0.35f, 1, 2, 3, 1, 555, -2, 556);
  // Until the run ends the old file stands as it was.
  EXPECT_EQ(read_file(folder / "T.VORTAN"),
            "       12          5.2300    \nY 1 0   2.10000   0.00120    2    5    3  556\n99999\n");
  close_results_file(results);
  EXPECT_EQ(read_file(folder / "T.VORTAN"),
            "       12          5.2300    \n"
            "Y 1 0   2.10000   0.00120    2    5    3  556\n"
            "N 1 0   2.10000   0.00120    5    2    3  556\n"
            "N 1 1  109.4700    0.3500    1    2    3    1  555   -2  556\n"
            "99999\n");
  EXPECT_FALSE(std::filesystem::exists(results.new_file));
}

namespace {
const std::string kOld = "       12          5.2300    \n"
                         "Y 1 0   2.10000   0.00120    2    5    3  556\n"
                         "Y 1 1  109.4700    0.3500    1    2    3    1  555   -2  556\n"
                         "99999\n";
}  // namespace

TEST(ResultsFile, MarksNotFoundAgainKeepThePreviousFile) {
  TempFolder folder;
  write_file(folder / "T.VORTAN", kOld);
  // An older copy without marks may go; one with marks the new file lacks may not (below).
  write_file(folder / "T.VORTAN.prev", "       11          6.0000    \nN 1 0   2.10000   0.00120    2    5    3  556\n99999\n");
  ResultsFile results;
  open_results_file(results, (folder / "T").string(), 11);
  write_results_header(results, 12, 5.23f);
  write_distance_record(results, 1, 2.2f, 0.0013f, 2, 5, 3, 556);  // found again; the angle is not
  ReplaceOutcome outcome = complete_results_file(results);
  EXPECT_FALSE(outcome.changed);
  EXPECT_EQ(outcome.missing_marks, 1);
  EXPECT_NE(keep_previous_copy(results, outcome).find("kept as " + (folder / "T.VORTAN.prev").string()),
            std::string::npos);
  replace_marked_file(results);
  EXPECT_EQ(read_file(folder / "T.VORTAN.prev"), kOld);
  EXPECT_EQ(read_file(folder / "T.VORTAN"),
            "       12          5.2300    \nY 1 0   2.20000   0.00130    2    5    3  556\n99999\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), std::filesystem::directory_iterator{}), 2);
}

// The run's version goes beside an edited file: to NAME.VORTAN.new, or, where
// an earlier run's version holds a mark this one lacks, to the next free
// NAME.VORTAN.new.N, never over it.
TEST(ResultsFile, AFileChangedMeanwhileIsLeftAsItStands) {
  TempFolder folder;
  const std::string earlier = "Y 1 0   2.10000   0.00120    2    5    3  556\n99999\n";
  for (const auto& [kept, expected] : std::vector<std::pair<std::string, std::string>>{
           {"", "T.VORTAN.new"}, {"N 1 0   2.1   0.1    2    5    3  556\n99999\n", "T.VORTAN.new"},
           {earlier, "T.VORTAN.new.1"}}) {
    std::filesystem::remove(folder / "T.VORTAN.new");
    if (!kept.empty()) write_file(folder / "T.VORTAN.new", kept);
    write_file(folder / "T.VORTAN", kOld);
    ResultsFile results;
    open_results_file(results, (folder / "T").string(), 11);
    write_results_header(results, 12, 5.23f);
    // A mark typed in an editor while the run goes on.
    const std::string edited =
        kOld.substr(0, kOld.size() - 6) + "Y 1 0   2.30000   0.00120    2    6    3  556\n99999\n";
    write_file(folder / "T.VORTAN", edited);
    const ReplaceOutcome outcome = complete_results_file(results);
    EXPECT_TRUE(outcome.changed);
    EXPECT_EQ(keep_new_file_beside(results), (folder / expected).string());
    EXPECT_EQ(read_file(folder / "T.VORTAN"), edited);
    EXPECT_EQ(read_file(folder / expected), "       12          5.2300    \n99999\n");
    if (kept == earlier) {
      EXPECT_EQ(read_file(folder / "T.VORTAN.new"), earlier);
    }
  }
}

// Nothing that an earlier run left under a temporary's name, a link to a
// file of the user included, is followed or stands in the way.
TEST(ResultsFile, NothingFoundUnderATemporaryNameIsFollowed) {
  TempFolder folder;
  write_file(folder / "target", "not to be touched\n");
  const std::string left = (folder / "T.VORTAN").string() + "." + std::to_string(::getpid()) + ".00000000000000ff.new";
  std::filesystem::create_symlink(folder / "target", left);
  ResultsFile results;
  open_results_file(results, (folder / "T").string(), 11);
  close_results_file(results);
  EXPECT_EQ(read_file(folder / "target"), "not to be touched\n");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(left)));
  EXPECT_EQ(read_file(folder / "T.VORTAN"), "99999\n");
}

// The marks file of torsions and hydrogen bonds is replaced by the same rules.
TEST(GeometryMarks, MarksNotFoundAgainKeepThePreviousFileAndAnEditedFileStays) {
  TempFolder folder;
  const std::string torsion = "Y 1 2  -14.1200    0.3300    9    1    2    3    1  555    1  555    1  555\n";
  const std::string hbond = "y 1 3   1.93900   0.00250  178.7000    0.1800    4    5    6    1  555    2  554\n";
  const std::string old = torsion + hbond + "99999\n";
  write_file(folder / "T.TORHB", old);
  GeometryMarks marks;
  open_geometry_marks(marks, (folder / "T").string(), 11);
  EXPECT_EQ(marks.file, (folder / "T.TORHB").string());
  ASSERT_EQ(marks.torsions.size(), 1u);
  ASSERT_EQ(marks.hbonds.size(), 1u);
  EXPECT_TRUE(write_torsion_record(marks, marks.torsions[0], -14.13f, 0.34f));  // found again; the bond is not
  ReplaceOutcome outcome = complete_geometry_marks(marks);
  EXPECT_EQ(outcome.missing_marks, 1);
  keep_previous_copy(marks, outcome);
  replace_marked_file(marks);
  EXPECT_EQ(read_file(folder / "T.TORHB.prev"), old);
  const std::string kept = "Y 1 2  -14.1300    0.3400    9    1    2    3    1  555    1  555    1  555\n99999\n";
  EXPECT_EQ(read_file(folder / "T.TORHB"), kept);

  GeometryMarks again;
  open_geometry_marks(again, (folder / "T").string(), 11);
  write_file(folder / "T.TORHB", hbond + "99999\n");  // edited while the run goes on
  outcome = complete_geometry_marks(again);
  EXPECT_TRUE(outcome.changed);
  EXPECT_EQ(keep_new_file_beside(again), (folder / "T.TORHB.new").string());
  EXPECT_EQ(read_file(folder / "T.TORHB"), hbond + "99999\n");
  EXPECT_EQ(read_file(folder / "T.TORHB.new"), "99999\n");
  EXPECT_EQ(read_file(folder / "T.TORHB.prev"), old);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), std::filesystem::directory_iterator{}), 3);
}
