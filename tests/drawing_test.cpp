// vortan --svg: the control record's VIEW word, molecules completed through
// the bonds, ellipsoid outlines and crosses seen in the file, a failed
// write, and every drawing checked by xmllint and rendered by Chromium.
#include <gtest/gtest.h>
#include <stb/stb_image.h>

#include <cmath>
#include <filesystem>
#include <regex>
#include <string>

#include "recio/error.hpp"
#include "tests/support/expfile_builder.hpp"
#include "tests/support/run_program.hpp"
#include "vortan/driver.hpp"
#include "report/xml_text.hpp"

namespace {

using testing_support::read_file;
using testing_support::run_program;
using testing_support::TempFolder;

int count_of(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// The atom count of the listing's line " Drawing NAME_phaseN.svg: N atoms drawn, M bonds, ...".
int listed_atoms(const std::string& listing, int* bonds = nullptr) {
  std::smatch match;
  if (!std::regex_search(listing, match, std::regex(R"( Drawing \S+\.svg: (\d+) atoms drawn, (\d+) bonds)")))
    return -1;
  if (bonds != nullptr) *bonds = std::stoi(match[2]);
  return std::stoi(match[1]);
}

testing_support::RunResult run_example(const TempFolder& folder, const std::string& name) {
  for (const char* extension : {".EXP", ".CMT"})
    std::filesystem::copy_file(std::filesystem::path(EXAMPLES_DIR) / (name + extension), folder / (name + extension));
  return run_program(VORTAN_BIN, {name, "--svg"}, folder.path());
}

TEST(DrawingControls, KeywordWordsFollowTheFourPositionalOnes) {
  vesk::PhaseControls c = vesk::parse_phase_controls("DMAX 3.0 DAGL 2.5 FORA ONCR VIEW c", "K");
  EXPECT_FLOAT_EQ(c.dagl, 2.5f);
  EXPECT_EQ(c.print_option, "ONCR");
  EXPECT_TRUE(c.view.given);
  EXPECT_EQ(c.view.direction, (vesk::Vec3{0, 0, 1}));
  c = vesk::parse_phase_controls("DFLT DFLT NOFR DFLT VIEW 1 -1 0.5", "K");
  EXPECT_EQ(c.view.direction, (vesk::Vec3{1, -1, 0.5f}));
  EXPECT_FALSE(vesk::parse_phase_controls("DMAX 3.0", "K").view.given);
  EXPECT_THROW(vesk::parse_phase_controls("DFLT DFLT NOFR DFLT VIEW", "K"), vesk::Error);
  EXPECT_THROW(vesk::parse_phase_controls("DFLT DFLT NOFR DFLT VIEW 0 0 0", "K"), vesk::Error);
  EXPECT_THROW(vesk::parse_phase_controls("DFLT DFLT NOFR DFLT SIDEWAYS", "K"), vesk::Error);
}

TEST(Drawing, FerroceneIsOneWholeMoleculeAroundItsInversionCentre) {
  TempFolder folder;
  ASSERT_EQ(run_example(folder, "FERROCENE").exit_status, 0);
  const std::string svg = read_file(folder / "FERROCENE_phase1.svg");
  int bonds = 0;
  // Fe on the centre, five C and five H in the file and their images:
  // 10 Fe-C, 10 C-C and 10 C-H bonds.
  EXPECT_EQ(listed_atoms(read_file(folder / "FERROCENE.LST"), &bonds), 21);
  EXPECT_EQ(bonds, 30);
  EXPECT_EQ(count_of(svg, "<g class=\"atom\""), 21);
  EXPECT_EQ(count_of(svg, ">i</tspan>"), 10);
  EXPECT_NE(svg.find("i  -x,-y,-z"), std::string::npos);
  EXPECT_EQ(count_of(svg, "<circle"), 21);  // all isotropic
}

TEST(Drawing, LabelsInAnyEncodingGiveWellFormedXml) {
  // UTF-8 kept, a Latin-1 byte as its character reference, a control
  // character and a broken sequence as "?", markup escaped.
  EXPECT_EQ(vesk::xml_text("O\xC3\xA9" "1"), "O\xC3\xA9" "1");
  EXPECT_EQ(vesk::xml_text("O\xE9" "1"), "O&#xE9;1");
  EXPECT_EQ(vesk::xml_text("C\x01" "1\x7F"), "C?1?");
  EXPECT_EQ(vesk::xml_text("N\xC0\xAF" "2"), "N&#xC0;&#xAF;2");  // an overlong "/": two Latin-1 letters
  EXPECT_EQ(vesk::xml_text("H\xED\xA0\x80"), "H&#xED;&#xA0;?");  // a surrogate: no character
  EXPECT_EQ(vesk::xml_text("a<b&\"c\">"), "a&lt;b&amp;&quot;c&quot;&gt;");

  // The whole drawing of labels with such bytes is well-formed XML.
  if (!std::filesystem::exists("/usr/bin/xmllint")) GTEST_SKIP() << "xmllint is not installed";
  TempFolder folder;
  for (const char* extension : {".EXP", ".CMT"})
    std::filesystem::copy_file(std::filesystem::path(EXAMPLES_DIR) / ("FERROCENE" + std::string(extension)),
                               folder / ("FERROCENE" + std::string(extension)));
  std::string experiment = read_file(folder / "FERROCENE.EXP");
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"1.00000Fe1 ", "1.00000F\xE9\x01 "},
                                 std::pair<std::string, std::string>{"1.00000C11 ", "1.00000C\x1B\xFF "}}) {
    const std::size_t at = experiment.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    experiment.replace(at, from.size(), to);
  }
  testing_support::write_file(folder / "FERROCENE.EXP", experiment);
  ASSERT_EQ(run_program(VORTAN_BIN, {"FERROCENE", "--svg"}, folder.path()).exit_status, 0);
  const auto lint =
      run_program("/usr/bin/xmllint", {"--noout", "--nonet", (folder / "FERROCENE_phase1.svg").string()}, folder.path());
  EXPECT_EQ(lint.exit_status, 0) << lint.err;
  EXPECT_NE(read_file(folder / "FERROCENE_phase1.svg").find("F&#xE9;?"), std::string::npos);
}

TEST(Drawing, AnisotropicOutlineAlongTheViewAndTheCrossOfANonPositiveTensor) {
  using namespace testing_support;
  TestPhase phase;
  phase.cell = {6, 7, 8, 90, 90, 90};
  phase.atoms = {{"S1", "S", 0.1, 0.1, 0.1}, {"S2", "S", 0.6, 0.6, 0.6}};
  TempFolder folder;
  minimal_experiment()
      .phase_flags({1})
      .vortan_controls(1, "DFLT DFLT NOFR DFLT VIEW c")
      .atom_types({{"S", 0.5, 0.5}})
      .phase(phase)
      .without("CRS1  AT  1B")
      .add("CRS1  AT  1B", "   0.04000   0.01000   0.02000   0.00000   0.00000   0.00000")
      .without("CRS1  AT  2B")
      .add("CRS1  AT  2B", "   0.02000  -0.01000   0.02000   0.00000   0.00000   0.00000")
      .write(folder / "ANISO.EXP");
  ASSERT_EQ(run_program(VORTAN_BIN, {"ANISO", "--svg"}, folder.path()).exit_status, 0);
  const std::string svg = read_file(folder / "ANISO_phase1.svg");
  // Seen along c with b up: semi-axes 1.5382 x 0.2 A along a and 1.5382 x 0.1 A along b.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(svg, m, std::regex(R"re(<ellipse [^>]*rx="([\d.]+)" ry="([\d.]+)" transform="rotate\(([-\d.]+))re")));
  EXPECT_NEAR(std::stod(m[1]) / std::stod(m[2]), 2.0, 0.01);
  EXPECT_NEAR(std::fabs(std::stod(m[3])), 0.0, 0.01);
  EXPECT_EQ(count_of(svg, "class=\"cross\""), 1);
  const std::string listing = read_file(folder / "ANISO.LST");
  EXPECT_NE(listing.find("Atom S2 has a displacement tensor that is not positive definite"), std::string::npos);
  EXPECT_NE(listing.find(" View along c"), std::string::npos);
}

TEST(Drawing, AFailedWriteIsAnErrorAndLeavesTheOldFileAlone) {
  TempFolder folder;
  std::filesystem::create_directory(folder / "QUARTZ_phase1.svg");
  const auto run = run_example(folder, "QUARTZ");
  EXPECT_NE(run.exit_status, 0);
  EXPECT_NE(run.out.find("QUARTZ_phase1.svg"), std::string::npos) << run.out << run.err;
  EXPECT_TRUE(std::filesystem::is_directory(folder / "QUARTZ_phase1.svg"));
  EXPECT_FALSE(std::filesystem::exists(folder / "QUARTZ_phase1.svg.new"));
}

// Each drawing: well-formed XML, rendered by a real browser to a PNG that
// is not blank, and as many atoms in the file as the listing names.
void check_rendering(const TempFolder& folder, const std::string& name) {
  SCOPED_TRACE(name);
  const std::filesystem::path svg = folder / (name + "_phase1.svg");
  ASSERT_TRUE(std::filesystem::exists(svg));
  const auto lint = run_program("/usr/bin/xmllint", {"--noout", "--nonet", svg.string()}, folder.path());
  EXPECT_EQ(lint.exit_status, 0) << lint.err;
  const int listed = listed_atoms(read_file(folder / (name + ".LST")));
  EXPECT_GT(listed, 0);
  EXPECT_EQ(count_of(read_file(svg), "<g class=\"atom\""), listed);

  TempFolder profile;
  const std::filesystem::path png = folder / (name + ".png");
  const auto browser = run_program(
      "/usr/bin/timeout", {"120", "/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                           "--no-first-run", "--disable-background-networking", "--disable-component-update",
                           "--disable-sync", "--user-data-dir=" + profile.path().string(),
                           "--window-size=900,900", "--screenshot=" + png.string(), "file://" + svg.string()},
      folder.path());
  ASSERT_EQ(browser.exit_status, 0) << browser.err;
  int width = 0, height = 0, channels = 0;
  unsigned char* pixels = stbi_load(png.string().c_str(), &width, &height, &channels, 3);
  ASSERT_NE(pixels, nullptr);
  long dark = 0, coloured = 0;
  for (long k = 0; k < static_cast<long>(width) * height; ++k) {
    const unsigned char* p = pixels + 3 * k;
    if (p[0] < 80 && p[1] < 80 && p[2] < 80) ++dark;  // outlines, bonds, text
    if (p[0] != p[1] || p[1] != p[2]) ++coloured;     // filled atoms
  }
  stbi_image_free(pixels);
  EXPECT_GT(dark, 500);
  EXPECT_GT(coloured, 500);
}

TEST(DrawingInBrowser, ExamplesAndAPublishedCifRenderWithTheListedAtoms) {
  if (!std::filesystem::exists("/usr/bin/chromium") || !std::filesystem::exists("/usr/bin/xmllint"))
    GTEST_SKIP() << "needs Debian's chromium and libxml2-utils";
  TempFolder folder;
  for (const char* name : {"QUARTZ", "SPINEL", "FERROCENE"}) {
    ASSERT_EQ(run_example(folder, name).exit_status, 0);
    check_rendering(folder, name);
  }
  // LaMnO3, Rodriguez-Carvajal et al. (1998) Phys. Rev. B 57, 3189, as
  // the Crystallography Open Database gives it (entry 1006141): no
  // displacement parameters, so every atom is a cross.
  std::filesystem::copy_file(std::filesystem::path(TEST_DATA_DIR) / "cod_1006141_LaMnO3.cif", folder / "in.cif");
  ASSERT_EQ(run_program(CIF2EXP_BIN, {"in.cif", "LAMNO3", "--dmax", "3.0", "--dagl", "2.7"}, folder.path()).exit_status, 0);
  ASSERT_EQ(run_program(VORTAN_BIN, {"LAMNO3", "--svg"}, folder.path()).exit_status, 0);
  check_rendering(folder, "LAMNO3");
}

}  // namespace
