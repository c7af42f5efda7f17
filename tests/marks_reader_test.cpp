#include "marks/marks_reader.hpp"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "marks/geometry_marks.hpp"
#include "marks/mark_index.hpp"
#include "marks/results_file.hpp"

namespace {

using namespace vesk;

const std::string kDistance = "Y 1 0   2.10000   0.00120    2    5    3  556";
const std::string kAngle = "N 1 1  109.4700    0.3500    1    2    3    1  555   -2  556";

// What a user's editor may leave: each form reads as the mark it plainly is.
TEST(MarksReader, ReadsTheMarkAUserPlainlyMeant) {
  const std::string text = "\xEF\xBB\xBF" "       12          5.2300    \r\n" +  // BOM, CR LF
                           std::string("Y") + kAngle + "\n" +                    // insert mode: "YN 1 1 ..."
                           "\xEF\xBB\xBF" + kDistance + "\r\n" + "99999\n" + "Y 2 0   2.3   0.001    1    2    1  555\n";
  PublishLists lists;
  const MarksScanResult read = read_publish_marks(text, lists);
  EXPECT_TRUE(read.unreadable_lines.empty());
  EXPECT_EQ(read.marks, 2);
  ASSERT_EQ(lists.angles.size(), 1u);
  EXPECT_EQ(lists.angles[0], (AngleKey{1, 1, 2, 3, 1, 555, -2, 556}));
  ASSERT_EQ(lists.distances.size(), 1u);  // nothing after the closing record
  EXPECT_EQ(lists.distances[0], (DistanceKey{1, 2, 5, 3, 556}));
}

// Lines that are no record are reported by number and never end the reading.
TEST(MarksReader, ReportsWhatItCannotReadAndReadsOn) {
  std::string text = "\n" + std::string(100000, 'x') + "\n" + "X 1 0   2.1   0.001    2    5    3  556\n" +
                     "Y 1 7   2.1   0.001    2    5    3  556\n" + "Y 0 0   2.1   0.001    2    5    3  556\n" +
                     "N 1 0   2.1   0.001   ab    5    3  556\n" + kDistance + "\n";
  PublishLists lists;
  const MarksScanResult read = read_publish_marks(text, lists);
  // An unknown mark letter, a mark of no kind, a mark of phase 0; the plain unmarked line passes.
  EXPECT_EQ(read.unreadable_lines, (std::vector<int>{2, 3, 4, 5}));
  EXPECT_EQ(read.first_unreadable, std::string(40, 'x'));
  EXPECT_EQ(lists.distances.size(), 1u);
  EXPECT_EQ(line_list({3, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}), "3, 7, 8, 9, 10, 11, 12, 13, 14, 15 and 2 more");
  EXPECT_EQ(line_list({4, 9}), "4 and 9");

  // Random bytes, also a torsion file of them: no crash, every line read or reported.
  std::mt19937 random(11);
  for (int round = 0; round < 200; ++round) {
    std::string noise(static_cast<std::size_t>(random() % 3000), ' ');
    for (char& c : noise) c = static_cast<char>(random() % 4 == 0 ? '\n' : random() & 0xff);
    MarksScanResult geometry;
    const MarkKeys marks = marks_in(noise, geometry_marks_kinds(), &geometry);
    EXPECT_LE(marks.size(), static_cast<std::size_t>(geometry.marks));
    PublishLists noisy;
    read_publish_marks(noise, noisy);
  }
}

// The hash index answers as a scan of the list does, also as the list grows.
TEST(MarksReader, TheIndexAnswersAsAScan) {
  std::mt19937 random(5);
  std::vector<AngleKey> list;
  MarkIndex<AngleKey> index;
  auto any_key = [&random] {
    AngleKey key{};
    for (short& field : key) field = static_cast<short>(random() % 5);
    return key;
  };
  for (int round = 0; round < 3000; ++round) {
    if (round % 3 == 0) list.push_back(any_key());
    const AngleKey wanted = any_key();
    bool scanned = false;
    for (const AngleKey& key : list) scanned = scanned || key == wanted;
    ASSERT_EQ(index.contains(list, wanted), scanned) << round;
  }
  list.resize(3);  // a shorter list is indexed afresh
  EXPECT_TRUE(index.contains(list, list[2]));
}

}  // namespace
