// The installed set: man pages that render cleanly, and programs installed
// into a prefix that run the demo.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/run_program.hpp"

using testing_support::run_program;

namespace {
const char* const kPrograms[] = {"vortan", "goniang", "dbwsconv", "cif2exp"};
}

TEST(Install, ManPagesRenderWithoutWarnings) {
  testing_support::TempFolder folder;
  for (const char* program : kPrograms) {
    const std::string page = std::string(SOURCE_DIR) + "/man/" + program + ".1";
    auto result = run_program("/bin/sh", {"-c", "groff -man -Tutf8 -P-cbou -ww -rCHECKSTYLE=3 " + page}, folder.path());
    EXPECT_EQ(result.exit_status, 0) << page;
    EXPECT_EQ(result.err, "") << page;
    for (const char* section : {"SYNOPSIS", "OPTIONS", "FILES", "EXIT STATUS", "EXAMPLE"})
      EXPECT_NE(result.out.find(section), std::string::npos) << page << " lacks " << section;
  }
}

TEST(Install, InstalledProgramsRunTheDemo) {
  testing_support::TempFolder folder;
  const std::filesystem::path prefix = folder / "prefix";
  auto install = run_program(CMAKE_BIN, {"--install", BUILD_DIR, "--prefix", prefix.string()}, folder.path());
  ASSERT_EQ(install.exit_status, 0) << install.out << install.err;
  for (const char* program : kPrograms)
    EXPECT_TRUE(std::filesystem::exists(prefix / "share/man/man1" / (std::string(program) + ".1"))) << program;
  // The demo runs vortan and cif2exp from the folder it is given.
  auto demo = run_program("/bin/sh", {std::string(SOURCE_DIR) + "/examples/demo.sh", (prefix / "bin").string()},
                          folder.path());
  EXPECT_EQ(demo.exit_status, 0) << demo.out << demo.err;
  EXPECT_TRUE(std::filesystem::exists(folder / "demo-run/QUARTZ.LST"));
  EXPECT_TRUE(std::filesystem::exists(folder / "demo-run/ZNBPO_geom.cif"));
}
