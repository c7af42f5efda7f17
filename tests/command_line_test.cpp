// The command line of the four programs: -h/--help and --version answered
// alike, anything a program does not take refused wherever it stands.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/run_program.hpp"

using testing_support::run_program;

TEST(ProgramOptions, HelpAndVersionAnsweredAlike) {
  testing_support::TempFolder folder;
  for (const std::string binary : {VORTAN_BIN, GONIANG_BIN, DBWSCONV_BIN, CIF2EXP_BIN}) {
    const std::string program = std::filesystem::path(binary).filename();
    for (const char* option : {"-h", "--help", "--version"}) {
      auto result = run_program(binary, {option}, folder.path());
      EXPECT_EQ(result.exit_status, 0) << program << option;
      EXPECT_NE(result.out.find(option[2] == 'v' ? program + " " : "sage: " + program), std::string::npos)
          << program << ": " << result.out;
    }
  }
}

TEST(ProgramOptions, UnknownOptionsAndArgumentsRefusedWhereverTheyStand) {
  testing_support::TempFolder folder;
  std::filesystem::copy_file(std::string(EXAMPLES_DIR) + "/QUARTZ.EXP", folder / "QUARTZ.EXP");
  const std::vector<std::pair<std::string, std::vector<std::string>>> refused{
      {VORTAN_BIN, {"QUARTZ", "--svgg"}}, {VORTAN_BIN, {"--cif", "-x"}}, {VORTAN_BIN, {"QUARTZ", "EXTRA"}},
      {GONIANG_BIN, {"--svgg"}},          {DBWSCONV_BIN, {"in.dat"}},     {CIF2EXP_BIN, {"in.cif", "--svgg"}}};
  for (const auto& [binary, args] : refused) {
    auto result = run_program(binary, args, folder.path(), "0\n");
    EXPECT_EQ(result.exit_status, 1) << binary << " " << args.back();
    EXPECT_NE(result.err.find(" " + args.back() + "\n"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "") << binary;  // nothing asked, nothing run
  }
  EXPECT_FALSE(std::filesystem::exists(folder / "QUARTZ.LST"));
}
