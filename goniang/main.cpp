// goniang: from a diffraction setting and a sample mounting, the sample
// orientation angles PSI and GAM with their derivatives, by the current and
// by the earlier calculation. Asks again until theta 0 has been given.
#include <string>

#include "console/ask.hpp"
#include "console/command_line.hpp"
#include "console/text_utils.hpp"
#include "goniang/sample_angles.hpp"
#include "recio/error.hpp"
#include "recio/units.hpp"

namespace {

const char kUsage[] =
    "Usage: goniang\n"
    "From theta, the goniometer angles omega, chi, phi, the azimuth and the\n"
    "sample angles, computes the sample orientation angles PSI and GAM and their\n"
    "derivatives. The answers are asked on the terminal (@M records them into a\n"
    "macro file, @R replays one); theta 0 ends the program.\n"
    "Options: -h, --help  this text;  --version  the version.\n";

// Each answer is the default of the same question in the next pass.
struct Setting {
  float theta = 180;
  float omega = 0, chi = 0, phi = 0;
  float azimuth = 0;
  std::string coupling = "N";  // one character
  float sample_omega = 0, sample_chi = 0, sample_phi = 0;
};

void ask_setting(Setting& s) {
  using vesk::ASKREAL;
  ASKREAL("Enter theta (0 to quit)", 0, s.theta);
  ASKREAL("Enter goniometer angles omega,chi,phi", 0, s.omega);
  ASKREAL("Enter goniometer angles chi,phi", 1, s.chi);
  ASKREAL("Enter goniometer angles phi", 1, s.phi);
  ASKREAL("Enter goniometer angle azimuth", 0, s.azimuth);
  vesk::ASKCHAR("Are 2-theta & omega coupled (Y/<N>)?", 0, s.coupling);
  vesk::UPCASE(s.coupling);
  ASKREAL("Enter sample angles omega,chi,phi", 0, s.sample_omega);
  ASKREAL("Enter sample angles chi,phi", 1, s.sample_chi);
  ASKREAL("Enter sample angles phi", 1, s.sample_phi);
}

void print_angles(const vesk::SampleAngles& a) {
  recio::write(recio::kTerminalOut, "(A,2F10.2)", {" PSI,GAM = ", a.psi, a.gam});
  recio::write(recio::kTerminalOut, "(A,3F10.4)", {" DPSDA = ", a.dpsda[0], a.dpsda[1], a.dpsda[2]});
  recio::write(recio::kTerminalOut, "(A,3F10.4)", {" DGMDA = ", a.dgmda[0], a.dgmda[1], a.dgmda[2]});
}

}  // namespace

int main(int argc, char** argv) {
  // Every answer comes from the terminal: the command line takes only the
  // common options.
  if (argc > 1) return vesk::answer_or_refuse("goniang", kUsage, argv[1]);
  try {
    Setting s;
    for (;;) {
      ask_setting(s);
      const bool coupled = s.coupling == "Y";
      recio::write(recio::kTerminalOut, "(A,F10.2)", {" THETA = ", s.theta});
      recio::write(recio::kTerminalOut, "(A,3F10.2)", {" OMEGA, CHI, PHI = ", s.omega, s.chi, s.phi});
      recio::write(recio::kTerminalOut, "(A,F10.2)", {" AZTH = ", s.azimuth});
      recio::write(recio::kTerminalOut, "(A)", {" new SAMANG:"});
      print_angles(vesk::SAMANG(s.theta, s.omega, s.chi, s.phi, s.azimuth, s.sample_omega, s.sample_chi,
                                s.sample_phi, coupled));
      recio::write(recio::kTerminalOut, "(A)", {" old SAMANG:"});
      print_angles(vesk::OSAMANG(s.theta, s.omega, s.chi, s.phi, s.sample_omega, s.sample_chi, s.sample_phi,
                                 coupled));
      if (s.theta == 0.0f) break;
    }
  } catch (const vesk::Stop& stop) {
    return recio::stop(stop);
  } catch (const vesk::Error& e) {
    return recio::stop(vesk::Stop{.message = std::string(e.what()) + "\n", .exit_status = 1});
  }
  return recio::stop(vesk::Stop{.message = {}, .exit_status = 0});
}
