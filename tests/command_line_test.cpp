// The command line of the four programs: -h/--help and --version answered
// alike, anything a program does not take refused wherever it stands.
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/run_program.hpp"

using testing_support::run_program;
using testing_support::TempFolder;

namespace {

const std::vector<std::pair<std::string, std::string>> kPrograms{
    {"vortan", VORTAN_BIN}, {"goniang", GONIANG_BIN}, {"dbwsconv", DBWSCONV_BIN}, {"cif2exp", CIF2EXP_BIN}};

}  // namespace

TEST(ProgramOptions, HelpAndVersionAnsweredAlike) {
  TempFolder folder;
  for (const auto& [program, binary] : kPrograms) {
    for (const char* help : {"-h", "--help"}) {
      auto result = run_program(binary, {help}, folder.path());
      EXPECT_EQ(result.exit_status, 0) << program;
      EXPECT_NE(result.out.find("sage: " + program), std::string::npos) << program << ": " << result.out;
      EXPECT_EQ(result.err, "") << program;
    }
    auto result = run_program(binary, {"--version"}, folder.path());
    EXPECT_EQ(result.exit_status, 0) << program;
    EXPECT_EQ(result.out.rfind(program + " ", 0), 0u) << program << ": " << result.out;
  }
}

TEST(ProgramOptions, UnknownOptionsAndArgumentsRefusedWhereverTheyStand) {
  TempFolder folder;
  std::filesystem::copy_file(std::string(EXAMPLES_DIR) + "/QUARTZ.EXP", folder / "QUARTZ.EXP");
  const std::vector<std::pair<std::string, std::vector<std::string>>> refused{
      {VORTAN_BIN, {"QUARTZ", "--svgg"}}, {VORTAN_BIN, {"-x", "QUARTZ"}},  {VORTAN_BIN, {"QUARTZ", "EXTRA"}},
      {GONIANG_BIN, {"--svgg"}},          {DBWSCONV_BIN, {"in.dat"}},      {CIF2EXP_BIN, {"in.cif", "--svgg"}}};
  for (const auto& [binary, args] : refused) {
    auto result = run_program(binary, args, folder.path(), "0\n");
    EXPECT_EQ(result.exit_status, 1) << binary << " " << args.back();
    EXPECT_NE(result.err.find(args.back() == "EXTRA" || args.back() == "in.dat" ? "unexpected argument "
                                                                                : "unknown option "),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.out, "") << binary;  // nothing asked, nothing run
  }
  EXPECT_FALSE(std::filesystem::exists(folder / "QUARTZ.LST"));
}
