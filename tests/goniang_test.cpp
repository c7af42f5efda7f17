#include "goniang/sample_angles.hpp"

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/run_program.hpp"

using testing_support::read_file;
using testing_support::run_program;
using testing_support::TempFolder;
using testing_support::write_file;

namespace {

constexpr float kDegree = 0.017453292f;

int count(const std::string& text, const std::string& piece) {
  int n = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

// The rest of the labelled line, for every line that carries `label`.
std::vector<std::string> values_after(const std::string& out, const std::string& label) {
  std::vector<std::string> found;
  for (std::size_t at = out.find(label); at != std::string::npos; at = out.find(label, at + 1)) {
    std::size_t start = at + label.size();
    found.push_back(out.substr(start, out.find('\n', start) - start));
  }
  return found;
}

// The printed result blocks (THETA to the last DGMDA), one string per pass.
std::vector<std::string> result_blocks(const std::string& out) {
  std::vector<std::string> blocks;
  for (std::size_t at = out.find(" THETA = "); at != std::string::npos; at = out.find(" THETA = ", at + 1)) {
    std::size_t old_block = out.find(" old SAMANG:", at);
    std::size_t end = out.find('\n', out.find(" DGMDA = ", old_block));
    blocks.push_back(out.substr(at, end - at));
  }
  return blocks;
}

// The example setting, then a last pass with theta 0 that keeps the rest.
const std::string kExample = "20\n10 30 40\n15\n";
const std::string kSample = "5 25 60\n";
const std::string kQuit = "0\n/\n,\n,\n/\n";

}  // namespace

TEST(Goniang, ExampleSetsToThePrintedDecimals) {
  TempFolder folder;
  auto run = run_program(GONIANG_BIN, {}, folder.path(), kExample + "N\n" + kSample + kQuit);
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  auto psi_gam = values_after(run.out, " PSI,GAM = ");
  auto dpsda = values_after(run.out, " DPSDA = ");
  auto dgmda = values_after(run.out, " DGMDA = ");
  ASSERT_EQ(psi_gam.size(), 4u) << run.out;
  EXPECT_EQ(psi_gam[0], "    114.29    129.11");
  EXPECT_EQ(dpsda[0], "    0.0135    0.0110    0.0127");
  EXPECT_EQ(dgmda[0], "    0.0050   -0.0046   -0.0031");
  EXPECT_EQ(psi_gam[1], "    108.27    115.42");
  EXPECT_EQ(dpsda[1], "    0.0158    0.0075    0.0146");
  EXPECT_EQ(dgmda[1], "    0.0025   -0.0037   -0.0053");
  EXPECT_NE(run.out.find(" THETA =      20.00\n OMEGA, CHI, PHI =      10.00     30.00     40.00\n"
                         " AZTH =      15.00\n new SAMANG:\n PSI,GAM = "),
            std::string::npos)
      << run.out;

  run = run_program(GONIANG_BIN, {}, folder.path(), kExample + "y\n" + kSample + kQuit);
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  psi_gam = values_after(run.out, " PSI,GAM = ");
  ASSERT_EQ(psi_gam.size(), 4u) << run.out;
  EXPECT_EQ(psi_gam[0], "    131.83    119.14");
  EXPECT_EQ(psi_gam[1], "    125.12    103.27");

  // The same setting with azimuth 0: the new and the old lines agree.
  run = run_program(GONIANG_BIN, {}, folder.path(), "20\n10 30 40\n0\n\n" + kSample + kQuit);
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  psi_gam = values_after(run.out, " PSI,GAM = ");
  dpsda = values_after(run.out, " DPSDA = ");
  dgmda = values_after(run.out, " DGMDA = ");
  EXPECT_EQ(psi_gam[0], psi_gam[1]);
  EXPECT_EQ(dpsda[0], dpsda[1]);
  EXPECT_EQ(dgmda[0], dgmda[1]);
}

TEST(Goniang, DialogueDefaultsAndEnd) {
  TempFolder folder;
  // Theta "," keeps 180; omega alone on its line asks for chi and phi; the
  // three sample angles on one line ask for nothing more.
  auto run = run_program(GONIANG_BIN, {}, folder.path(), ",\n10\n30\n40\n15\n\n5 25 60\n" + kQuit);
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(values_after(run.out, " THETA = ")[0], "    180.00");
  EXPECT_EQ(values_after(run.out, " OMEGA, CHI, PHI = ")[0], "     10.00     30.00     40.00");
  EXPECT_EQ(count(run.out, " Enter goniometer angles chi,phi >"), 1);
  EXPECT_EQ(count(run.out, " Enter goniometer angles phi >"), 1);
  EXPECT_EQ(count(run.out, " Enter sample angles chi,phi >"), 0);

  // Three numbers for omega ask neither chi nor phi; theta 0 still asks the
  // rest of its pass and prints both blocks, then the program ends.
  run = run_program(GONIANG_BIN, {}, folder.path(), "0\n10 30 40\n15\nN\n5,25,60\n");
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(count(run.out, " Enter goniometer angles chi,phi >"), 0);
  EXPECT_EQ(count(run.out, " Enter sample angles chi,phi >"), 0);
  EXPECT_EQ(count(run.out, " Enter goniometer angles phi >"), 0);
  EXPECT_EQ(count(run.out, " Enter sample angles omega,chi,phi >"), 1);
  EXPECT_EQ(values_after(run.out, " THETA = "), std::vector<std::string>{"      0.00"});
  EXPECT_EQ(count(run.out, " new SAMANG:"), 1);
  EXPECT_EQ(count(run.out, " old SAMANG:"), 1);

  // A bad number keeps the default and asks again.
  run = run_program(GONIANG_BIN, {}, folder.path(), "2x\n0\n/\n,\n,\n/\n");
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find(" Error in the string: \a\n 2x"), std::string::npos) << run.out;
  EXPECT_EQ(count(run.out, " Enter theta (0 to quit) >"), 2);

  // A terminal that closes in mid-dialogue ends the program with a failure.
  run = run_program(GONIANG_BIN, {}, folder.path(), "20\n");
  EXPECT_NE(run.exit_status, 0);
  EXPECT_NE(run.out.find(" FORTRAN error number  -1 on unit  5"), std::string::npos) << run.out;
}

// Numbers beyond the 32-bit range would read as infinity and print NaN
// angles: they are refused at the prompt like any other bad number.
TEST(Goniang, InfiniteAnswersAreAskedAgain) {
  TempFolder folder;
  auto run = run_program(GONIANG_BIN, {}, folder.path(), "1e309\n-4E39\n0\n10 20 1e39\n30\n15\nN\n5 25 60\n");
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(count(run.out, " Error in the string: \a\n"), 3) << run.out;
  EXPECT_EQ(count(run.out, " Enter theta (0 to quit) >"), 3);
  EXPECT_EQ(values_after(run.out, " OMEGA, CHI, PHI = "), std::vector<std::string>{"     10.00     20.00     30.00"});
  EXPECT_EQ(run.out.find("NaN"), std::string::npos) << run.out;
}

TEST(Goniang, MacroRecordedInOneRunReplaysInTheNext) {
  TempFolder folder;
  auto first = run_program(GONIANG_BIN, {}, folder.path(),
                           "@M\npass.mac\n20\n10 30 40 ! goniometer\n15\n\n5 25 60\n35\n/\n0\ny\n/\n@Q\n" + kQuit);
  ASSERT_EQ(first.exit_status, 0) << first.out << first.err;
  EXPECT_EQ(read_file(folder / "pass.mac"), "20\n10 30 40 ! goniometer\n15\n \n5 25 60\n35\n/\n0\ny\n/\n");

  auto second = run_program(GONIANG_BIN, {}, folder.path(), "@R\npass.mac\n" + kQuit);
  ASSERT_EQ(second.exit_status, 0) << second.out << second.err;
  EXPECT_NE(second.out.find(" The macro file is empty, reading from the terminal is resumed."), std::string::npos);
  auto blocks = result_blocks(first.out);
  ASSERT_EQ(blocks.size(), 3u) << first.out;
  EXPECT_EQ(result_blocks(second.out), blocks);
  EXPECT_NE(blocks[1].find(" THETA =      35.00"), std::string::npos);
  EXPECT_NE(blocks[1].find(" AZTH =       0.00"), std::string::npos);
}

TEST(SampleAngles, DegreeInverses) {
  EXPECT_EQ(vesk::ATAN2D(0, 0), 0.0f);
  EXPECT_NEAR(vesk::ATAN2D(1, -1), 135.0f, 1e-4f);
  EXPECT_NEAR(vesk::ACOSD(0.5f), 60.0f, 1e-4f);
  // A rounding step beyond 1 is still on the axis, not a failure.
  EXPECT_EQ(vesk::ACOSD(1.0000001f), 0.0f);
  EXPECT_NEAR(vesk::ACOSD(-1.0000001f), 180.0f, 1e-3f);
}

// DPSDA and DGMDA are radians of PSI and GAM per degree of the sample angles:
// compare them with central differences of the printed angles themselves.
TEST(SampleAngles, DerivativesAgreeWithFiniteDifferences) {
  struct Setting {
    float theta, omega, chi, phi, azimuth;
    std::array<float, 3> sample;
    bool coupled;
  };
  const Setting settings[] = {
      {20, 10, 30, 40, 15, {5, 25, 60}, false},  {20, 10, 30, 40, 15, {5, 25, 60}, true},
      {35, -12, 55, 110, -40, {17, -33, 200}, false}, {8, 70, 5, 300, 80, {-60, 48, 15}, true},
      {45, 0, 90, 0, 0, {30, 10, -20}, false},
  };
  const float h = 0.05f;
  for (const Setting& s : settings) {
    for (bool old : {false, true}) {
      auto angles = [&](std::array<float, 3> sample) {
        return old ? vesk::OSAMANG(s.theta, s.omega, s.chi, s.phi, sample[0], sample[1], sample[2], s.coupled)
                   : vesk::SAMANG(s.theta, s.omega, s.chi, s.phi, s.azimuth, sample[0], sample[1], sample[2],
                                  s.coupled);
      };
      auto at = angles(s.sample);
      for (int k = 0; k < 3; ++k) {
        auto up = s.sample, down = s.sample;
        up[k] += h;
        down[k] -= h;
        auto a = angles(up), b = angles(down);
        float dpsi = (a.psi - b.psi) / (2 * h) * kDegree;
        float gam_step = a.gam - b.gam;
        if (gam_step > 180) gam_step -= 360;
        if (gam_step < -180) gam_step += 360;
        float dgam = gam_step / (2 * h) * kDegree;
        EXPECT_NEAR(at.dpsda[k], dpsi, 2e-5f) << "k=" << k << " old=" << old << " theta=" << s.theta;
        EXPECT_NEAR(at.dgmda[k], dgam, 2e-5f) << "k=" << k << " old=" << old << " theta=" << s.theta;
      }
    }
  }
}
