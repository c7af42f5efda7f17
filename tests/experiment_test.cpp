// The start of a vortan run: names, opening, version and completeness
// checks, the listing file, the last history record, keys and phase flags.
#include "expfile/experiment.hpp"

#include <gtest/gtest.h>

#include "expfile/keys.hpp"
#include "expfile/record_store.hpp"
#include "recio/error.hpp"
#include "tests/support/expfile_builder.hpp"
#include "tests/support/run_program.hpp"

using namespace vesk;
using testing_support::ExpFileBuilder;
using testing_support::minimal_experiment;
using testing_support::read_file;
using testing_support::run_program;
using testing_support::TempFolder;

namespace {

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

const std::map<std::string, std::string> kFixedDate{{"SOURCE_DATE_EPOCH", "1700000000"}};

}  // namespace

TEST(Keys, PhasePrefix) {
  EXPECT_EQ(CRSKEY(1), "CRS1  ");
  EXPECT_EQ(CRSKEY(3), "CRS3  ");
  EXPECT_EQ(CRSKEY(9), "CRS9  ");
}

TEST(Keys, PhaseFlagsInBothLayouts) {
  TempFolder folder;
  std::array<int, kMaxPhases> flags{};
  // 1, 0, 4 in five columns each: column 3 is blank, so the 9-flag layout.
  minimal_experiment().add(" EXPR NPHAS ", "    1    0    4").write(folder / "NINE.EXP");
  {
    testing_support::OpenExperiment file(folder / "NINE.EXP");
    NPHASRD(file.unit, flags);
    EXPECT_EQ(flags, (std::array<int, kMaxPhases>{1, 0, 4, 0, 0, 0, 0, 0, 0}));
  }
  // 1 and 2 in three columns each: column 3 holds a digit, so 15 flags.
  minimal_experiment().add(" EXPR NPHAS ", "  1  2  0  0  0  0  0  0  0  7  7").write(folder / "FIFTEEN.EXP");
  {
    testing_support::OpenExperiment file(folder / "FIFTEEN.EXP");
    NPHASRD(file.unit, flags);
    EXPECT_EQ(flags, (std::array<int, kMaxPhases>{1, 2, 0, 0, 0, 0, 0, 0, 0}));
  }
  minimal_experiment().write(folder / "NONE.EXP");
  {
    testing_support::OpenExperiment file(folder / "NONE.EXP");
    flags.fill(5);
    NPHASRD(file.unit, flags);
    EXPECT_EQ(flags, (std::array<int, kMaxPhases>{}));
  }
}

TEST(ExperimentName, FromTheCommandLine) {
  std::string name;
  int length = 0, source = -1;
  for (const char* argument : {"test", "TEST.EXP", "test.exp", "Test"}) {
    set_command_arguments({argument, "ignored"});
    EXPNAME("VORTAN", name, length, source);
    EXPECT_EQ(name.substr(0, static_cast<std::size_t>(length)), "TEST") << argument;
    EXPECT_EQ(name.size(), 255u);
    EXPECT_EQ(source, 0);
  }
  // Only a trailing ".EXP" is an extension.
  set_command_arguments({"my.expt"});
  EXPNAME("VORTAN", name, length, source);
  EXPECT_EQ(name.substr(0, static_cast<std::size_t>(length)), "MY.EXPT");
  set_command_arguments({});
}

TEST(ExperimentName, OnlyTheFileNameIsUpperCasedAndBadNamesAreRefused) {
  EXPECT_EQ(experiment_stem("runs/Sub/quartz.exp", true), "runs/Sub/QUARTZ");
  EXPECT_EQ(experiment_stem("/tmp/a.b/test", true), "/tmp/a.b/TEST");
  EXPECT_EQ(experiment_stem("runs/test.exp", false), "runs/TEST.EXP");  // as typed at the prompt
  EXPECT_EQ(experiment_stem(std::string(255, 'a'), true), std::string(255, 'A'));
  for (const std::string& bad : {std::string("MY NAME"), std::string("tab\tname"), std::string("runs/"),
                                 std::string("runs/.exp"), std::string(256, 'a')})
    EXPECT_THROW(experiment_stem(bad, true), Error) << bad;
}

TEST(StartOfRun, ANameWithAFolderRunsFromAnotherFolderAndBadNamesRunNothing) {
  TempFolder folder;
  std::filesystem::create_directories(folder / "Runs/one");
  minimal_experiment().write(folder / "Runs/one/TEST.EXP");
  auto result = run_program(VORTAN_BIN, {"Runs/one/test"}, folder.path(), {}, kFixedDate);
  EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_TRUE(std::filesystem::exists(folder / "Runs/one/TEST.LST"));
  EXPECT_TRUE(std::filesystem::exists(folder / "Runs/one/TEST.VORTAN"));

  // Cut at the blank, or at the field's 255 characters, these names would
  // run the experiments written here.
  const std::string long_folder(200, 'd');
  std::filesystem::create_directories(folder / long_folder);
  minimal_experiment().write(folder / "MY.EXP");
  minimal_experiment().write(folder / (long_folder + "/" + std::string(54, 'A') + ".EXP"));
  for (const std::string& name : {std::string("MY NAME"), long_folder + "/" + std::string(55, 'A')}) {
    result = run_program(VORTAN_BIN, {name}, folder.path(), {}, kFixedDate);
    EXPECT_EQ(result.exit_status, 1) << name;
    EXPECT_NE(result.out.find("The experiment name"), std::string::npos) << result.out;
  }
  EXPECT_FALSE(std::filesystem::exists(folder / "MY.LST"));
  EXPECT_FALSE(std::filesystem::exists(folder / (long_folder + "/" + std::string(54, 'A') + ".LST")));
}

TEST(StartOfRun, CommandLineNamesOpenTheFileAndAppendToTheListing) {
  TempFolder folder;
  minimal_experiment().write(folder / "TEST.EXP");
  for (const char* argument : {"test", "TEST.EXP", "test.exp"}) {
    auto result = run_program(VORTAN_BIN, {argument}, folder.path(), {}, kFixedDate);
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "STOP VORTAN successful completion statement executed\n");
  }
  // Three runs, three banners in the one listing.
  std::string listing = read_file(folder / "TEST.LST");
  EXPECT_EQ(count_of(listing, "Crystal structure distance and angle program"), 3u);
  EXPECT_FALSE(std::filesystem::exists(folder / "TEST.EXP.LST"));
}

TEST(StartOfRun, MissingAndIncompleteFilesStopWithFailure) {
  TempFolder folder;
  auto missing = run_program(VORTAN_BIN, {"nothere"}, folder.path());
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_NE(missing.out.find(" ERROR - File NOTHERE.EXP does not exist - check your directory\n"),
            std::string::npos)
      << missing.out;
  EXPECT_NE(missing.out.find(" FORTRAN error number"), std::string::npos) << missing.out;

  minimal_experiment().without_terminator().write(folder / "CUT.EXP");
  auto incomplete = run_program(VORTAN_BIN, {"cut"}, folder.path());
  EXPECT_EQ(incomplete.exit_status, 1);
  EXPECT_EQ(incomplete.out, " *** ERROR - Experiment file is incomplete ***\n");
  EXPECT_EQ(incomplete.err, "STOP  Run terminated in STRTRN statement executed\n");
  EXPECT_FALSE(std::filesystem::exists(folder / "CUT.VORTAN"));
}

TEST(StartOfRun, FilesNotMadeOf82ByteRecordsAreRefused) {
  TempFolder folder;
  std::string bytes = minimal_experiment().bytes();
  std::string lf;
  for (char c : bytes)
    if (c != '\r') lf += c;
  testing_support::write_file(folder / "LF.EXP", lf);
  auto result = run_program(VORTAN_BIN, {"lf"}, folder.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.out.find("LF.EXP"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("record 1 "), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("successful"), std::string::npos);

  testing_support::write_file(folder / "SHORT.EXP", bytes.substr(0, bytes.size() - 30));
  result = run_program(VORTAN_BIN, {"short"}, folder.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.out.find("SHORT.EXP"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("record " + std::to_string(bytes.size() / 82) + " is cut short"), std::string::npos)
      << result.out;
}

TEST(StartOfRun, VersionChecks) {
  TempFolder folder;
  ExpFileBuilder old_file;
  old_file.title("Old").version(5).write(folder / "OLD.EXP");
  auto result = run_program(VORTAN_BIN, {"old"}, folder.path());
  EXPECT_EQ(result.exit_status, 0) << result.err;
  // An experiment without phases is no failure; the run says so.
  const std::string no_phase =
      " No phase is computed in this run: every phase is switched off (its phase flag is 0, or it has no control "
      "record)\n";
  EXPECT_EQ(result.out.substr(0, result.out.find("STOP")),
            " **** WARNING *****   This is an old EXP file\n"
            "  It is version   5 and current files are version   6\n"
            " Use ZENTOR to convert it.\n" + no_phase);

  ExpFileBuilder unversioned;
  unversioned.title("None").write(folder / "NOVER.EXP");
  result = run_program(VORTAN_BIN, {"nover"}, folder.path());
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_NE(result.out.find("  It is version   0 and current files are version   6\n"), std::string::npos);

  ExpFileBuilder later;
  later.title("Later").version(7).write(folder / "LATER.EXP");
  result = run_program(VORTAN_BIN, {"later"}, folder.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out,
            " ******\a  This file is from a later version of VESK than this one.\n"
            " \a It cannot be processed with this version of VESK.\n");
  EXPECT_EQ(result.err, "STOP Program terminated in OPNEXP statement executed\n");
  EXPECT_FALSE(std::filesystem::exists(folder / "LATER.LST"));
  EXPECT_FALSE(std::filesystem::exists(folder / "LATER.VORTAN"));

  minimal_experiment().write(folder / "CURRENT.EXP");
  result = run_program(VORTAN_BIN, {"current"}, folder.path());
  EXPECT_EQ(result.out, no_phase);
}

TEST(StartOfRun, LastHistoryRecord) {
  TempFolder folder;
  ExpFileBuilder many = minimal_experiment();
  for (int n = 3; n <= 12; ++n) many.history(n, "history line " + std::to_string(n));
  many.add("  RFFN  RUN ", "after the history").write(folder / "MANY.EXP");
  run_program(VORTAN_BIN, {"many"}, folder.path());
  std::string listing = read_file(folder / "MANY.LST");
  EXPECT_NE(listing.find(" The last history record is :\n" + std::string(" ") + "    HSTRY 12history line 12" +
                         std::string(80 - 27, ' ') + "\n"),
            std::string::npos)
      << listing;

  ExpFileBuilder none;
  none.title("No history").version(6).write(folder / "NONE.EXP");
  run_program(VORTAN_BIN, {"none"}, folder.path());
  EXPECT_EQ(read_file(folder / "NONE.LST").find("The last history record"), std::string::npos);
}

TEST(StartOfRun, TypedNamesSendTheListingToTheTerminal) {
  TempFolder folder;
  minimal_experiment().write(folder / "TEST.EXP");
  // An empty answer asks again; a typed name keeps any extension.
  auto result = run_program(VORTAN_BIN, {}, folder.path(), "\ntest\n", kFixedDate);
  EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_EQ(count_of(result.out, "Enter the experiment name for VORTAN"), 2u) << result.out;
  EXPECT_NE(result.out.find("Crystal structure distance and angle program"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(folder / "TEST.LST"));
  EXPECT_TRUE(std::filesystem::exists(folder / "TEST.VORTAN"));

  result = run_program(VORTAN_BIN, {}, folder.path(), "test.exp\n");
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.out.find(" ERROR - File TEST.EXP.EXP does not exist - check your directory"), std::string::npos)
      << result.out;
}

TEST(CommandLine, HelpAndVersion) {
  TempFolder folder;
  for (const char* option : {"-h", "--help"}) {
    auto result = run_program(VORTAN_BIN, {option}, folder.path());
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out.rfind("Usage: vortan [NAME[.EXP]]\n", 0), 0u) << result.out;
  }
  auto result = run_program(VORTAN_BIN, {"--version"}, folder.path());
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "vortan Win32 6.0\n");
  result = run_program(VORTAN_BIN, {"--frobnicate"}, folder.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.err.find("unknown option --frobnicate"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}
