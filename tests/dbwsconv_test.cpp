#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/run_program.hpp"

using testing_support::read_file;
using testing_support::run_program;
using testing_support::TempFolder;
using testing_support::write_file;

namespace {

std::string i8(int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%8d", value);
  return text;
}

// A DBWS file: the title and the counts eight to a record (the last record
// may be short).
std::string dbws_file(const std::string& title, const std::vector<int>& counts) {
  std::string file = title + "\n";
  for (std::size_t i = 0; i < counts.size(); ++i) {
    file += i8(counts[i]);
    if (i % 8 == 7 || i + 1 == counts.size()) file += "\n";
  }
  return file;
}

std::vector<int> some_counts(int n) {
  std::vector<int> counts;
  for (int i = 1; i <= n; ++i) counts.push_back((i * 7919) % 60000 - 100);
  return counts;
}

// The converted file: the title padded to 80, the header, then the values
// ten to a record; `values` already holds the trailing zeros.
std::string powder_file(const std::string& title, int nch, int nrec, const std::vector<int>& values) {
  std::string file = title + std::string(80 - title.size(), ' ') + "\n";
  char header[40];
  std::snprintf(header, sizeof header, "BANK 1 %5d%5d CONST\n", nch, nrec);
  file += header;
  for (int r = 0; r < nrec; ++r) {
    for (int k = 0; k < 10; ++k) {
      std::size_t i = static_cast<std::size_t>(10 * r + k);
      file += i8(i < values.size() ? values[i] : 0);
    }
    file += "\n";
  }
  return file;
}

}  // namespace

TEST(Dbwsconv, ConvertsCountsTenToARecord) {
  TempFolder folder;
  std::filesystem::copy_file(std::string(TEST_DATA_DIR) + "/dbws_40.dat", folder / "in.dat");
  // Both names on one line, separated by a blank.
  auto run = run_program(DBWSCONV_BIN, {}, folder.path(), "in.dat out.dat\n");
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(read_file(folder / "out.dat"), read_file(std::string(TEST_DATA_DIR) + "/dbws_40.expected"));
  EXPECT_EQ(run.out.find("Enter output VESK datafile name"), std::string::npos);
  EXPECT_EQ(run.err, "");

  // 32 counts: NCH 33 and NREC 4, the last record holding 31, 32 and zeros.
  auto counts = some_counts(32);
  write_file(folder / "in32.dat", dbws_file("Thirty-two", counts));
  run = run_program(DBWSCONV_BIN, {}, folder.path(), "in32.dat,out32.dat\n");
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(read_file(folder / "out32.dat"), powder_file("Thirty-two", 33, 4, counts));
  EXPECT_NE(run.out.find(" Wrote out32.dat: 32 counts from 4 records of in32.dat, 4 records of ten\n"),
            std::string::npos)
      << run.out;

  // A title and nothing else: one record of ten zeros.
  write_file(folder / "empty.dat", "Only a title\n");
  run = run_program(DBWSCONV_BIN, {}, folder.path(), "empty.dat\nzero.dat\n");
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(read_file(folder / "zero.dat"), powder_file("Only a title", 1, 1, {}));
  EXPECT_NE(run.out.find(" Enter output VESK datafile name >"), std::string::npos);

  // A last record of three values: five zeros follow them and all eight are
  // counted in NCH. A long title is cut to 80 characters.
  counts = some_counts(19);
  const std::string long_title(95, 'T');
  write_file(folder / "tail.dat", dbws_file(long_title, counts));
  run = run_program(DBWSCONV_BIN, {}, folder.path(), "tail.dat\ntail.out\n");
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  counts.resize(24, 0);
  EXPECT_EQ(read_file(folder / "tail.out"), powder_file(std::string(80, 'T'), 25, 3, counts));

  // An existing output file is replaced.
  run = run_program(DBWSCONV_BIN, {}, folder.path(), "empty.dat tail.out\n");
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(read_file(folder / "tail.out"), powder_file("Only a title", 1, 1, {}));
}

TEST(Dbwsconv, CountsBeyondEightThousandAreKeptUpToTheHeaderLimit) {
  TempFolder folder;
  auto counts = some_counts(12000);
  write_file(folder / "big.dat", dbws_file("Long scan", counts));
  auto run = run_program(DBWSCONV_BIN, {}, folder.path(), "big.dat big.out\n");
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(read_file(folder / "big.out"), powder_file("Long scan", 12001, 1201, counts));

  // 12499 records: NCH 99993 still fits its five columns.
  counts = some_counts(8 * 12499);
  write_file(folder / "edge.dat", dbws_file("Edge", counts));
  run = run_program(DBWSCONV_BIN, {}, folder.path(), "edge.dat edge.out\n");
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(read_file(folder / "edge.out"), powder_file("Edge", 99993, 10000, counts));

  // One record more and NCH would overflow the header: refused, no output.
  counts = some_counts(8 * 12500);
  write_file(folder / "huge.dat", dbws_file("Too long", counts));
  run = run_program(DBWSCONV_BIN, {}, folder.path(), "huge.dat huge.out\n");
  EXPECT_NE(run.exit_status, 0);
  EXPECT_NE(run.err.find("huge.dat"), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(folder / "huge.out"));
}

TEST(Dbwsconv, BadFilesGiveAClearMessageAndNoOutput) {
  TempFolder folder;
  write_file(folder / "keep.out", "precious\n");

  auto run = run_program(DBWSCONV_BIN, {}, folder.path(), "nosuch.dat keep.out\n");
  EXPECT_NE(run.exit_status, 0);
  EXPECT_NE(run.err.find("nosuch.dat does not exist"), std::string::npos) << run.err;
  EXPECT_EQ(read_file(folder / "keep.out"), "precious\n");

  write_file(folder / "blank.dat", "");
  run = run_program(DBWSCONV_BIN, {}, folder.path(), "blank.dat keep.out\n");
  EXPECT_NE(run.exit_status, 0);
  EXPECT_NE(run.err.find("blank.dat has no title record"), std::string::npos) << run.err;
  EXPECT_EQ(read_file(folder / "keep.out"), "precious\n");

  write_file(folder / "ok.dat", dbws_file("Fine", some_counts(16)));
  run = run_program(DBWSCONV_BIN, {}, folder.path(), "ok.dat no/such/folder/x.out\n");
  EXPECT_NE(run.exit_status, 0);
  EXPECT_NE(run.err.find("no/such/folder/x.out cannot be written"), std::string::npos) << run.err;

  std::filesystem::create_directory(folder / "adir");
  run = run_program(DBWSCONV_BIN, {}, folder.path(), "ok.dat adir\n");
  EXPECT_NE(run.exit_status, 0);
  EXPECT_NE(run.err.find("adir cannot be written"), std::string::npos) << run.err;
  // No temporary file is left behind beside the output.
  for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
  EXPECT_FALSE(std::filesystem::exists(folder / "x.out"));
}

TEST(Dbwsconv, NonIntegerRecordEndsTheCounts) {
  TempFolder folder;
  auto counts = some_counts(16);
  std::string file = dbws_file("Stops early", counts) + i8(1) + i8(2) + "    abcd\n" + i8(5) + "\n";
  write_file(folder / "bad.dat", file);
  auto run = run_program(DBWSCONV_BIN, {}, folder.path(), "bad.dat bad.out\n");
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  // Two records read: NCH 17, NREC 2. The fields read from the failing
  // record before the bad one stay in the table (counts 17 and 18).
  counts.push_back(1);
  counts.push_back(2);
  EXPECT_EQ(read_file(folder / "bad.out"), powder_file("Stops early", 17, 2, counts));
  EXPECT_NE(run.err.find("record 4 of the DBWS data file bad.dat"), std::string::npos) << run.err;
}

TEST(Dbwsconv, NamesFromAMacroFile) {
  TempFolder folder;
  write_file(folder / "in.dat", dbws_file("Replayed", some_counts(8)));
  auto run = run_program(DBWSCONV_BIN, {}, folder.path(), "@M\nconv.mac\nin.dat out.dat\n");
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(read_file(folder / "conv.mac"), "in.dat out.dat\n");
  std::filesystem::remove(folder / "out.dat");
  run = run_program(DBWSCONV_BIN, {}, folder.path(), "@R\nconv.mac\n");
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find(" in.dat out.dat\n"), std::string::npos) << run.out;
  EXPECT_EQ(read_file(folder / "out.dat"), powder_file("Replayed", 9, 1, some_counts(8)));
}

// Names are taken whole up to the system's limit: never cut to 80 characters
// (where the cut name may be another file) nor to the 255 of an answer line.
TEST(Dbwsconv, LongNamesAreTakenWholeUpToTheSystemsLimit) {
  TempFolder folder;
  std::string deep;
  for (int i = 0; i < 12; ++i) deep += std::string(100, 'd') + "/";
  std::filesystem::create_directories(folder / deep);
  write_file(folder / (deep + "in.dat"), dbws_file("Deep", some_counts(8)));
  const std::string output(200, 'o');
  write_file(folder / output.substr(0, 80), "precious\n");
  auto run = run_program(DBWSCONV_BIN, {}, folder.path(), deep + "in.dat " + output + "\n");
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(read_file(folder / output), powder_file("Deep", 9, 1, some_counts(8)));
  EXPECT_EQ(read_file(folder / output.substr(0, 80)), "precious\n");

  run = run_program(DBWSCONV_BIN, {}, folder.path(), deep + "in.dat " + std::string(5000, 'x') + "\n");
  EXPECT_NE(run.exit_status, 0);
  EXPECT_NE(run.err.find("is longer than the 4095 characters the system takes"), std::string::npos) << run.err;
}
