#include "console/page.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "recio/error.hpp"
#include "recio/units.hpp"
#include "support/run_program.hpp"

using namespace vesk;
using testing_support::read_file;
using testing_support::TempFolder;

namespace {

constexpr const char* kEpoch = "1700000000";  // Tue Nov 14 22:13:20 2023 UTC

// Sets or clears an environment variable for the lifetime of the guard.
class EnvironmentGuard {
 public:
  EnvironmentGuard(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
  }
  ~EnvironmentGuard() {
    if (had_) ::setenv(name_, old_.c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

// A listing unit connected to a fresh file; text() closes it and returns what was written.
class ListingFile {
 public:
  explicit ListingFile(int unit) : unit_(unit) {
    recio::OpenSpec spec;
    spec.status = recio::OpenStatus::New;
    EXPECT_EQ(recio::open(unit_, (folder_ / "listing.lst").string(), spec), 0);
  }
  ~ListingFile() {
    if (recio::connected(unit_)) recio::close(unit_);
  }
  std::string text() {
    recio::close(unit_);
    return read_file(folder_ / "listing.lst");
  }

 private:
  TempFolder folder_;
  int unit_;
};

std::string banner_text(int unit, std::string_view name, std::string_view description) {
  ListingFile listing(unit);
  BANNER(unit, name, description);
  return listing.text();
}

// The line of the framed box that holds `text`.
std::string line_with(const std::string& listing, const std::string& text) {
  const std::size_t at = listing.find(text);
  if (at == std::string::npos) return "";
  const std::size_t start = listing.rfind('\n', at) + 1;
  return listing.substr(start, listing.find('\n', at) - start);
}

}  // namespace

TEST(Page, BannerForVortanMatchesTheLayoutByteForByte) {
  EnvironmentGuard epoch("SOURCE_DATE_EPOCH", kEpoch);
  EnvironmentGuard lenpage("LENPAGE", nullptr);
  reset_page_state();
  const std::string expected =
      "\n"
      "                |----------------------------------------------|\n"
      "                |         Program VORTAN Version Win32         |\n"
      "                | Crystal structure distance and angle program |\n"
      "                |   Distributed on Tue Nov 14 22:13:20 2023    |\n"
      "                |----------------------------------------------|\n"
      "\n"
      "        |---------------------------------------------------------------|\n"
      "        |    Crystal structure distances, bond angles and their esds    |\n"
      "        |  from a refined structure and its least-squares covariances   |\n"
      "        |    Free software rebuilt in C++; it comes with no warranty    |\n"
      "        |                                                               |\n"
      "        |    Report problems to the maintainers of your installation    |\n"
      "        |---------------------------------------------------------------|\n"
      "\n";
  EXPECT_EQ(banner_text(21, "VORTAN", "Crystal structure distance and angle program"), expected);
  EXPECT_EQ(page_length(), 60);
  // The banner reserves 1 + 6 + 8 lines without a new page.
  EXPECT_EQ(line_count(21), 15);
  EXPECT_EQ(page_number(21), 0);
}

TEST(Page, PageHeaderHoldsTitleProgramVersionDateAndPage) {
  EnvironmentGuard epoch("SOURCE_DATE_EPOCH", kEpoch);
  EnvironmentGuard lenpage("LENPAGE", nullptr);
  reset_page_state();
  ListingFile listing(22);
  set_page_title("Test structure");
  PAGEHEAD(22);  // before BANNER: program name and version still blank
  BANNER(22, "VORTAN", "Crystal structure distance and angle program");
  PAGEHEAD(22);
  const std::string text = listing.text();
  const std::string title = "Test structure" + std::string(52, ' ');
  EXPECT_EQ(text.substr(0, text.find('\n') + 2),
            "1" + title + " " + std::string(8, ' ') + " Version " + std::string(6, ' ') +
                " Nov 14 22:13:20 2023 Page   1\n\n");
  const std::string second = "1" + title + " VORTAN   Version Win32  Nov 14 22:13:20 2023 Page   2\n\n";
  ASSERT_GE(text.size(), second.size());
  EXPECT_EQ(text.substr(text.size() - second.size()), second);
  EXPECT_EQ(second.size(), 121u + 2u);
  EXPECT_EQ(line_count(22), 2);
  set_page_title("");
}

TEST(Page, PageLengthComesFromTheFirstTwoCharactersOfLenpage) {
  struct Case {
    const char* value;
    int length;
  };
  int unit = 50;
  for (const Case& c : {Case{nullptr, 60}, Case{"", 60}, Case{"   ", 60}, Case{"66", 66}, Case{"100", 10},
                        Case{"5", 5}, Case{" 7", 7}, Case{"abc", 60}, Case{"6x", 60}, Case{"0", 60}, Case{"-5", 60}}) {
    EnvironmentGuard lenpage("LENPAGE", c.value);
    banner_text(unit++, "VORTAN", "Crystal structure distance and angle program");
    EXPECT_EQ(page_length(), c.length) << (c.value ? c.value : "(unset)");
  }
}

TEST(Page, LinechkStartsANewPageOnlyWhenTheLinesDoNotFit) {
  EnvironmentGuard epoch("SOURCE_DATE_EPOCH", kEpoch);
  reset_page_state();
  ListingFile listing(23);
  set_page_length(60);
  set_line_count(23, 58);
  EXPECT_EQ(LINECHK(23, 2), 0);
  EXPECT_EQ(line_count(23), 60);
  set_line_count(23, 58);
  EXPECT_EQ(LINECHK(23, 3), 1);
  EXPECT_EQ(line_count(23), 5);
  EXPECT_EQ(page_number(23), 1);

  // Lines may be given back; a count above any page length forces a new page.
  EXPECT_EQ(LINECHK(23, -2), 0);
  EXPECT_EQ(line_count(23), 3);
  set_line_count(23, 1000);
  EXPECT_EQ(LINECHK(23, 1), 1);
  EXPECT_EQ(line_count(23), 3);
  EXPECT_EQ(page_number(23), 2);

  // Other units keep their own pages and counts.
  EXPECT_EQ(page_number(24), 0);
  EXPECT_EQ(line_count(24), 0);

  const std::string text = listing.text();
  EXPECT_NE(text.find("Page   1\n\n1"), std::string::npos);
  EXPECT_NE(text.find("Page   2\n\n"), std::string::npos);

  EXPECT_THROW(LINECHK(100, 1), Error);
  EXPECT_THROW(PAGEHEAD(0), Error);
}

TEST(Page, BannerDescriptionLinesAreSplitAtBarsAndCentred) {
  EnvironmentGuard epoch("SOURCE_DATE_EPOCH", kEpoch);
  // Two lines; the longest (44) sets W = 44, M = 16.
  std::string text = banner_text(40, "VORTAN", "Crystal structure distance and angle program|Second line");
  EXPECT_EQ(line_with(text, "Crystal"), "                | Crystal structure distance and angle program |");
  // L = 10: 18 blanks before, 17 after.
  EXPECT_EQ(line_with(text, "Second"), "                |                  Second line                 |");

  // Shorter than 39 characters: W = 39, M = 19, 41 characters of content.
  text = banner_text(41, "GONIANG", "Short");
  EXPECT_EQ(line_with(text, "Short"), "                   |                  Short                  |");
  EXPECT_EQ(line_with(text, "Program"), "                   |      Program GONIANG Version Win32      |");
  EXPECT_EQ(line_with(text, "Distributed"), "                   | Distributed on Tue Nov 14 22:13:20 2023 |");
  EXPECT_EQ(line_with(text, "---"), "                   |-----------------------------------------|");

  // Longer than 76 characters: cut to 76, one blank before and none after; W = 75, M = 1.
  const std::string long_line(80, 'x');
  text = banner_text(42, "VORTAN", long_line);
  EXPECT_EQ(line_with(text, "xxx"), " | " + std::string(76, 'x') + "|");
  EXPECT_EQ(line_with(text, "---"), " |" + std::string(77, '-') + "|");

  // A trailing bar belongs to the last line (W = 45); a leading one makes an empty line.
  text = banner_text(43, "VORTAN", "|Crystal structure distance and angle program|");
  EXPECT_EQ(line_with(text, "Crystal"), "                | Crystal structure distance and angle program| |");
  const std::size_t program = text.find("Program");
  const std::size_t empty_line = text.find('\n', program) + 1;
  EXPECT_EQ(text.substr(empty_line, text.find('\n', empty_line) - empty_line),
            "                |" + std::string(47, ' ') + "|");
}

TEST(Page, DatesFollowSourceDateEpochOrTheClockAndTheExecutable) {
  {
    EnvironmentGuard epoch("SOURCE_DATE_EPOCH", kEpoch);
    EXPECT_EQ(NOWDATE(), "Nov 14 22:13:20 2023");
    EXPECT_EQ(PROGDATE(), "Tue Nov 14 22:13:20 2023");
  }
  {
    EnvironmentGuard epoch("SOURCE_DATE_EPOCH", "1e9");  // not a number of seconds: ignored
    const std::string now = NOWDATE();
    ASSERT_EQ(now.size(), 20u);
    EXPECT_EQ(now[3], ' ');
    EXPECT_EQ(now[9], ':');
    EXPECT_EQ(now[12], ':');
  }
  EnvironmentGuard epoch("SOURCE_DATE_EPOCH", nullptr);
  TempFolder folder;
  const std::string program = (folder / "prog").string();
  testing_support::write_file(program, "#!/bin/sh\n");
  const std::time_t stamp = 1000000000;  // a known modification time
  const utimbuf times{stamp, stamp};
  ASSERT_EQ(::utime(program.c_str(), &times), 0);
  set_program_path(program);
  EXPECT_EQ(PROGDATE(), std::string(std::ctime(&stamp)).substr(0, 24));
  // A name that leads nowhere falls back to this process's own executable.
  set_program_path((folder / "missing").string());
  EXPECT_NE(PROGDATE(), std::string(24, ' '));
  EXPECT_EQ(PROGDATE().size(), 24u);
  set_program_path("");
}

TEST(Page, ProgversionFillsTheCallersField) {
  std::string six(6, '#'), twelve(12, '#'), three(3, '#');
  PROGVERSION(six);
  PROGVERSION(twelve);
  PROGVERSION(three);
  EXPECT_EQ(six, "Win32 ");
  EXPECT_EQ(twelve, "Win32 6.0   ");
  EXPECT_EQ(three, "Win");
}
