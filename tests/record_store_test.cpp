#include "expfile/record_store.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>

#include "console/text_utils.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/units.hpp"
#include "tests/support/caught_stop.hpp"
#include "tests/support/expfile_builder.hpp"
#include "tests/support/run_program.hpp"

using namespace vesk;
using testing_support::ExpFileBuilder;
using testing_support::run_as_main;
using testing_support::TempFolder;

namespace {

using OpenFile = testing_support::OpenExperiment;

std::string value_of(int unit, std::string_view key, std::size_t length = 68) {
  std::string value(length, '?');
  int status = READEXP(unit, key, value);
  return status == 0 ? value : "<absent:" + value + ">";
}

std::vector<std::string> walk(int unit) {
  std::vector<std::string> keys;
  for (;;) {
    std::string key(12, ' ');
    std::string value(68, ' ');
    if (READEXP(unit, key, value) != 0) {
      EXPECT_EQ(key, std::string(12, ' '));
      EXPECT_EQ(value, std::string(68, ' '));
      break;
    }
    keys.push_back(key);
  }
  return keys;
}

// Standard output into a file, for the death tests' terminal lines.
void redirect_stdout(const std::string& file) {
  std::fflush(stdout);
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::dup2(fd, 1);
  ::close(fd);
}

}  // namespace

TEST(IndexSort, OrdersKeysByCharacterCodeWithBlanksFirst) {
  std::vector<int> index;
  INDEXSORT({"B", "A", "C"}, index);
  EXPECT_EQ(index, (std::vector<int>{2, 1, 3}));
  INDEXSORT({"ONLY"}, index);
  EXPECT_EQ(index, (std::vector<int>{1}));
  INDEXSORT({}, index);
  EXPECT_TRUE(index.empty());
  // Leading blanks decide before letters do.
  INDEXSORT({"    HSTRY999", "     VERSION", "      DESCR "}, index);
  EXPECT_EQ(index, (std::vector<int>{3, 2, 1}));

  // Against a second algorithm over many sizes, gaps of 15 included.
  std::mt19937 generator(7);
  for (int n : {2, 5, 15, 16, 17, 63, 130, 1000, 4097}) {
    std::vector<std::string> keys;
    for (int i = 0; i < n; ++i) {
      std::string key(12, ' ');
      for (int c = 0; c < 3; ++c) key[4 + c] = static_cast<char>(' ' + generator() % 60);
      keys.push_back(key);
    }
    INDEXSORT(keys, index);
    std::vector<int> sorted_records = index;
    std::sort(sorted_records.begin(), sorted_records.end());
    for (int i = 0; i < n; ++i) ASSERT_EQ(sorted_records[i], i + 1) << "not a permutation, n = " << n;
    std::vector<std::string> expected = keys;
    std::sort(expected.begin(), expected.end());
    for (int i = 0; i < n; ++i) ASSERT_EQ(keys[index[i] - 1], expected[i]) << "n = " << n << ", position " << i;
  }
}

TEST(RecordStore, FindsEveryLiveKeyAndHidesEmptyRecords) {
  TempFolder folder;
  ExpFileBuilder builder = testing_support::minimal_experiment();
  builder.add(" EXPR NPHAS ", "    1").add("CRS1  ABC   ", "   5.00000").empty_records(9).seed(3);
  builder.write(folder / "T.EXP");
  OpenFile file(folder / "T.EXP");
  for (const auto& [key, value] : builder.records()) EXPECT_EQ(value_of(file.unit, key), recio::pad(value, 68)) << key;
  EXPECT_EQ(value_of(file.unit, "ZZZZZZZZZZZZ"), recio::pad("end of the experiment file", 68));
  EXPECT_EQ(value_of(file.unit, "~~~~~~~~~~~~"), "<absent:" + std::string(68, ' ') + ">");
  EXPECT_EQ(value_of(file.unit, "NOT THERE"), "<absent:" + std::string(68, ' ') + ">");
  // Walking passes the live keys only, in key order.
  std::vector<std::string> expected;
  for (const auto& record : builder.records()) expected.push_back(record.first);
  expected.push_back("ZZZZZZZZZZZZ");
  std::sort(expected.begin(), expected.end());
  std::string title(68, ' ');
  READEXP(file.unit, "      DESCR ", title);
  std::vector<std::string> walked = walk(file.unit);
  walked.insert(walked.begin(), "      DESCR ");
  EXPECT_EQ(walked, expected);
}

TEST(RecordStore, WalkingFromAKeyAndPastTheEnd) {
  TempFolder folder;
  ExpFileBuilder builder = testing_support::minimal_experiment();
  for (int n = 3; n <= 12; ++n) builder.history(n, "run " + std::to_string(n));
  builder.add(" EXPR NPHAS ", "    1");
  builder.write(folder / "T.EXP");
  OpenFile file(folder / "T.EXP");
  std::string value(68, ' ');
  ASSERT_EQ(READEXP(file.unit, "     VERSION", value), 0);
  std::vector<std::string> keys = walk(file.unit);
  ASSERT_EQ(keys.size(), 14u);
  for (int n = 1; n <= 12; ++n) {
    char expected[13];
    std::snprintf(expected, sizeof expected, "    HSTRY%3d", n);
    EXPECT_EQ(keys[n - 1], expected);
  }
  EXPECT_EQ(keys[12], " EXPR NPHAS ");
  EXPECT_EQ(keys[13], "ZZZZZZZZZZZZ");
  // Past the end it keeps answering 1 until a keyed lookup moves the cursor.
  EXPECT_TRUE(walk(file.unit).empty());
  EXPECT_TRUE(walk(file.unit).empty());
  ASSERT_EQ(READEXP(file.unit, "    HSTRY 11", value), 0);
  EXPECT_EQ(walk(file.unit).front(), "    HSTRY 12");
  // A missing key leaves the cursor at the end.
  EXPECT_NE(READEXP(file.unit, "    HSTRY  0", value), 0);
  EXPECT_TRUE(walk(file.unit).empty());
}

TEST(RecordStore, ValueFieldsOfAnyLengthAndAlwaysReread) {
  TempFolder folder;
  std::string value68 = "  The title of this experiment runs out to column eighty of its rec";
  value68 += "Z";
  ASSERT_EQ(value68.size(), 68u);
  ExpFileBuilder file_builder;
  file_builder.add("      DESCR ", value68).add("     VERSION", "    6").in_given_order().empty_records(0);
  file_builder.write(folder / "T.EXP");
  OpenFile file(folder / "T.EXP");
  EXPECT_EQ(value_of(file.unit, "      DESCR ", 66), value68.substr(0, 66));
  EXPECT_EQ(value_of(file.unit, "      DESCR ", 80), value68 + std::string(12, ' '));
  EXPECT_EQ(value_of(file.unit, "      DESCR ", 5), value68.substr(0, 5));
  // A key looked up twice gives the same value twice.
  EXPECT_EQ(value_of(file.unit, "     VERSION").substr(0, 5), "    6");
  EXPECT_EQ(value_of(file.unit, "     VERSION").substr(0, 5), "    6");
}

TEST(RecordStore, EmptyFileAnswersNothing) {
  TempFolder folder;
  testing_support::write_file(folder / "E.EXP", "");
  OpenFile file(folder / "E.EXP");
  EXPECT_EQ(value_of(file.unit, "      DESCR "), "<absent:" + std::string(68, ' ') + ">");
  EXPECT_TRUE(walk(file.unit).empty());
  // Only blank and tilde records: nothing either.
  testing_support::write_file(folder / "B.EXP", testing_support::experiment_record("", "text") +
                                                    testing_support::experiment_record("~~~~~~~~~~~~", ""));
  OpenFile blanks(folder / "B.EXP");
  EXPECT_TRUE(walk(blanks.unit).empty());
}

TEST(RecordLayout, RefusesFilesThatAreNotMadeOf82ByteRecords) {
  TempFolder folder;
  ExpFileBuilder builder = testing_support::minimal_experiment();
  std::string good = builder.bytes();
  testing_support::write_file(folder / "GOOD.EXP", good);
  EXPECT_NO_THROW(check_record_layout((folder / "GOOD.EXP").string()));

  auto message_for = [&](const std::string& name, const std::string& bytes) -> std::string {
    testing_support::write_file(folder / name, bytes);
    try {
      check_record_layout((folder / name).string());
    } catch (const Error& error) {
      return error.what();
    }
    return "accepted";
  };
  // CR LF turned into LF by an editor: the first record is already wrong.
  std::string lf = good;
  lf.erase(std::remove(lf.begin(), lf.end(), '\r'), lf.end());
  std::string message = message_for("LF.EXP", lf);
  EXPECT_NE(message.find("LF.EXP"), std::string::npos) << message;
  EXPECT_NE(message.find("record 1 "), std::string::npos) << message;
  // The last record cut short.
  std::string cut = good.substr(0, good.size() - 5);
  message = message_for("CUT.EXP", cut);
  EXPECT_NE(message.find("CUT.EXP"), std::string::npos) << message;
  EXPECT_NE(message.find("record " + std::to_string(good.size() / 82) + " is cut short"), std::string::npos)
      << message;
  // A line end inside the 80 columns of record 3.
  std::string inner = good;
  inner[2 * 82 + 40] = '\n';
  message = message_for("IN.EXP", inner);
  EXPECT_NE(message.find("record 3 "), std::string::npos) << message;
}

TEST(RecordLayout, RefusesMoreThan30000Records) {
  TempFolder folder;
  std::string record = testing_support::experiment_record("~~~~~~~~~~~~", "");
  std::string bytes;
  bytes.reserve(record.size() * 30001);
  for (int i = 0; i < kMaxRecords; ++i) bytes += record;
  testing_support::write_file(folder / "FULL.EXP", bytes);
  EXPECT_NO_THROW(check_record_layout((folder / "FULL.EXP").string()));
  {
    OpenFile full(folder / "FULL.EXP");
    EXPECT_TRUE(walk(full.unit).empty());
  }
  testing_support::write_file(folder / "OVER.EXP", bytes + record);
  try {
    check_record_layout((folder / "OVER.EXP").string());
    ADD_FAILURE() << "a file of 30001 records was accepted";
  } catch (const Error& error) {
    EXPECT_NE(std::string(error.what()).find("more than 30000 records"), std::string::npos) << error.what();
  }
  // The loader itself never overruns its tables either.
  OpenFile over(folder / "OVER.EXP");
  EXPECT_THROW(STARTISAM(over.unit), Error);
}

TEST(RecordStoreDeathTest, IsamFailNamesTheKeyAndStopsWithFailure) {
  TempFolder folder;
  const std::string out = (folder / "out.txt").string();
  EXPECT_EXIT(
      {
        redirect_stdout(out);
        run_as_main([] { ISAMFAIL(11, std::string("CRS1  ABC   ") + std::string(2, '\0')); });
      },
      testing::ExitedWithCode(1), "^$");
  EXPECT_EQ(testing_support::read_file(out), " ISAM record with KEY = \"CRS1  ABC\" has problems.\n");
}

TEST(RecordStoreDeathTest, AThirdFileFindsNoFreeEntry) {
  TempFolder folder;
  testing_support::minimal_experiment().write(folder / "A.EXP");
  const std::string out = (folder / "out.txt").string();
  EXPECT_EXIT(
      {
        redirect_stdout(out);
        OpenFile a(folder / "A.EXP");
        OpenFile b(folder / "A.EXP");
        OpenFile c(folder / "A.EXP");
        std::string value(68, ' ');
        run_as_main([&] {
          READEXP(a.unit, "      DESCR ", value);
          READEXP(b.unit, "      DESCR ", value);
          READEXP(c.unit, "      DESCR ", value);
        });
      },
      testing::ExitedWithCode(1), "^STOP Halt in STARTISAM statement executed\n$");
  EXPECT_EQ(testing_support::read_file(out), " *** ERROR *** No more ISAM style files can be opened\n");
}
