#include "console/text_utils.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "recio/units.hpp"
#include "support/caught_stop.hpp"
#include "support/run_program.hpp"

using namespace vesk;
using testing_support::TempFolder;

namespace {

// Runs IOFAIL as a program would, with standard output sent to `file`; only a
// death test may call it.
void iofail_into(const std::string& file, int status, int unit) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::dup2(fd, 1);
  testing_support::run_as_main([&] { IOFAIL(status, unit); });
}

struct Token {
  std::string text;
  int length;
  int position;
};

Token next(std::string_view text, int& position, std::size_t field = 10) {
  std::string token(field, '#');
  int length = -1;
  NEXTTOKEN(text, position, token, length);
  return {token, length, position};
}

}  // namespace

TEST(TextUtilsDeathTest, IofailWritesTheReportAndEndsWithFailureStatus) {
  TempFolder folder;
  const std::string file = (folder / "out.txt").string();
  EXPECT_EXIT(iofail_into(file, -1, 5), testing::ExitedWithCode(1), "^$");
  EXPECT_EQ(testing_support::read_file(file), " FORTRAN error number  -1 on unit  5\n");
  EXPECT_EXIT(iofail_into(file, 115, 12), testing::ExitedWithCode(1), "^$");
  EXPECT_EQ(testing_support::read_file(file), " FORTRAN error number 115 on unit 12\n");
}

TEST(TextUtils, UpcaseChangesOnlyTheLettersAToZ) {
  std::string text = "abc xyz 09 @ Mixed \xe9t\xc3\xa9 [`{";
  UPCASE(text);
  EXPECT_EQ(text, "ABC XYZ 09 @ MIXED \xe9T\xc3\xa9 [`{");
  std::string empty;
  UPCASE(empty);
  EXPECT_EQ(empty, "");
}

TEST(TextUtils, FreeunitStartsAt11OutsideItsRangeAndSkipsConnectedUnits) {
  for (int start : {0, 5, 95, 91, -3}) {
    int unit = start;
    FREEUNIT(unit);
    EXPECT_EQ(unit, 11) << "started at " << start;
  }
  int unit = 30;
  FREEUNIT(unit);
  EXPECT_EQ(unit, 30);

  TempFolder folder;
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::New;
  ASSERT_EQ(recio::open(40, (folder / "a").string(), spec), 0);
  ASSERT_EQ(recio::open(41, (folder / "b").string(), spec), 0);
  unit = 40;
  FREEUNIT(unit);
  EXPECT_EQ(unit, 42);
  recio::close(40);
  recio::close(41);
  unit = 40;
  FREEUNIT(unit);
  EXPECT_EQ(unit, 40);
}

TEST(TextUtils, NexttokenSplitsAtBlanksTabsAndCommasKeepingTheDelimiter) {
  const std::string line = "  10,20 30" + std::string(70, ' ');
  int position = 1;
  Token t = next(line, position);
  EXPECT_EQ(t.text, "10,       ");
  EXPECT_EQ(t.length, 2);
  EXPECT_EQ(t.position, 6);
  t = next(line, position);
  EXPECT_EQ(t.text, "20        ");
  EXPECT_EQ(t.length, 2);
  EXPECT_EQ(t.position, 9);
  t = next(line, position);
  EXPECT_EQ(t.text.substr(0, 2), "30");
  EXPECT_EQ(t.length, 2);
  t = next(line, position);
  EXPECT_EQ(t.text, std::string(10, ' '));
  EXPECT_EQ(t.length, 0);
  EXPECT_EQ(position, 81);  // after the end of the text
  t = next(line, position);  // already past the end: the same blank token
  EXPECT_EQ(t.text, std::string(10, ' '));
  EXPECT_EQ(t.length, 0);

  // Tabs separate like blanks.
  const std::string tabbed = "\tA\tBC ";
  position = 1;
  EXPECT_EQ(next(tabbed, position).text, "A\t        ");
  t = next(tabbed, position);
  EXPECT_EQ(t.text, "BC        ");
  EXPECT_EQ(t.length, 2);
}

TEST(TextUtils, NexttokenGivesEmptyFieldsForCommas) {
  const std::string line = ",5" + std::string(10, ' ');
  int position = 1;
  Token t = next(line, position);
  EXPECT_EQ(t.text, ",         ");
  EXPECT_EQ(t.length, 0);
  t = next(line, position);
  EXPECT_EQ(t.text, "5         ");
  EXPECT_EQ(t.length, 1);

  // A comma after a blank is an empty field of its own: 10,,30 and 10 ,30.
  const std::string doubled = "10 ,30   ";
  position = 1;
  EXPECT_EQ(next(doubled, position).length, 2);
  t = next(doubled, position);
  EXPECT_EQ(t.text, ",         ");
  EXPECT_EQ(t.length, 0);
  EXPECT_EQ(next(doubled, position).length, 2);
}

TEST(TextUtils, NexttokenNeverCountsTheLastCharacterAndRespectsTheFieldLength) {
  // The text's last character ends the token but is not counted.
  int position = 1;
  Token t = next("AB", position);
  EXPECT_EQ(t.text, "AB        ");
  EXPECT_EQ(t.length, 1);
  EXPECT_EQ(t.position, 3);

  // A token field shorter than the word keeps its own size.
  position = 1;
  t = next("ABCDEF  ", position, 3);
  EXPECT_EQ(t.text, "ABC");
  EXPECT_EQ(t.length, 6);

  position = 1;
  t = next("", position);
  EXPECT_EQ(t.text, std::string(10, ' '));
  EXPECT_EQ(t.length, 0);
}

TEST(TextUtils, EnvlenFetchesAVariableIntoAFixedField) {
  std::string value(3, '#');
  ::unsetenv("VESK_TEST_ENVLEN");
  EXPECT_EQ(ENVLEN("VESK_TEST_ENVLEN", value), 0);
  EXPECT_EQ(value, "   ");

  ::setenv("VESK_TEST_ENVLEN", "   ", 1);
  EXPECT_EQ(ENVLEN("VESK_TEST_ENVLEN  ", value), 0);

  ::setenv("VESK_TEST_ENVLEN", "66", 1);
  EXPECT_EQ(ENVLEN("VESK_TEST_ENVLEN  ", value), 3);
  EXPECT_EQ(value, "66 ");

  ::setenv("VESK_TEST_ENVLEN", "12345", 1);
  EXPECT_EQ(ENVLEN("VESK_TEST_ENVLEN", value), 3);
  EXPECT_EQ(value, "123");
  ::unsetenv("VESK_TEST_ENVLEN");
}
