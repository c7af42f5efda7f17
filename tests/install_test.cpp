// The installed set: man pages that render cleanly, and programs installed
// into a prefix that run the demo.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/run_program.hpp"

using testing_support::run_program;
using testing_support::TempFolder;

namespace {

const char* const kPrograms[] = {"vortan", "goniang", "dbwsconv", "cif2exp"};

testing_support::RunResult shell(const std::string& command, const std::filesystem::path& folder) {
  return run_program("/bin/sh", {"-c", command}, folder);
}

}  // namespace

TEST(Install, ManPagesRenderWithoutWarnings) {
  TempFolder folder;
  for (const char* program : kPrograms) {
    const std::string page = std::string(SOURCE_DIR) + "/man/" + program + ".1";
    auto result = shell("groff -man -Tutf8 -P-cbou -ww -rCHECKSTYLE=3 " + page, folder.path());
    EXPECT_EQ(result.exit_status, 0) << page;
    EXPECT_EQ(result.err, "") << page;
    for (const char* section : {"SYNOPSIS", "OPTIONS", "FILES", "EXIT STATUS", "EXAMPLE"})
      EXPECT_NE(result.out.find(section), std::string::npos) << page << " lacks " << section;
  }
}

TEST(Install, InstalledProgramsRunTheDemo) {
  TempFolder folder;
  const std::filesystem::path prefix = folder / "prefix";
  auto install = run_program(CMAKE_BIN, {"--install", BUILD_DIR, "--prefix", prefix.string()}, folder.path());
  ASSERT_EQ(install.exit_status, 0) << install.out << install.err;
  for (const char* program : kPrograms) {
    EXPECT_TRUE(std::filesystem::exists(prefix / "bin" / program)) << program;
    EXPECT_TRUE(std::filesystem::exists(prefix / "share/man/man1" / (std::string(program) + ".1"))) << program;
  }
  auto demo = shell("sh " + std::string(SOURCE_DIR) + "/examples/demo.sh " + (prefix / "bin").string(), folder.path());
  EXPECT_EQ(demo.exit_status, 0) << demo.out << demo.err;
  EXPECT_TRUE(std::filesystem::exists(folder / "demo-run/QUARTZ.LST"));
  EXPECT_TRUE(std::filesystem::exists(folder / "demo-run/ZNBPO_geom.cif"));
}
