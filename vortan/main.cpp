// vortan: interatomic distances and bond angles, with standard deviations,
// of the structure in an experiment file.
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "console/command_line.hpp"
#include "console/page.hpp"
#include "expfile/experiment.hpp"
#include "recio/error.hpp"
#include "recio/units.hpp"
#include "vortan/driver.hpp"

namespace {

const char kUsage[] =
    "Usage: vortan [NAME[.EXP]]\n"
    "Lists every interatomic distance and bond angle, with standard deviations,\n"
    "of the structure held in the experiment file NAME.EXP; NAME may have a\n"
    "folder in front of it (runs/quartz: runs/QUARTZ.EXP).\n"
    "With NAME the listing is appended to NAME.LST; without it vortan asks for\n"
    "the experiment name and writes the listing to the terminal.\n"
    "The results go to NAME.VORTAN; a \"Y\" in the first column of a record\n"
    "marks it for publication and is kept by the next run; the marks of the\n"
    "torsion angles and hydrogen bonds are kept in NAME.TORHB.\n"
    "Options: --cif  also write NAME_geom.cif, a CIF with the symmetry operators\n"
    "                and the distance and angle loops, marked records flagged for\n"
    "                publication (before or after NAME);\n"
    "         --svg  also draw each phase, with its displacement ellipsoids and\n"
    "                bonds, into NAME_phaseN.svg;\n"
    "         --cif=PAPER.cif  the same, with the site codes numbered as the\n"
    "                operators of PAPER.cif, so that the loops paste into it;\n"
    "         --json also write NAME.json, everything the run computes, for\n"
    "                scripts (site codes numbered as in the publication CIF);\n"
    "         -h, --help  this text;  --version  the version.\n";

// A run that failed: the reason on the terminal, then a stop without text.
vesk::Stop failed_run(const std::string& message) {
  recio::write(recio::kTerminalOut, "(A)", {" *** ERROR - " + message});
  return vesk::Stop{.message = {}, .exit_status = 1};
}

// The run, and how it ended.
vesk::Stop run(bool publication_cif, bool drawings, const std::string& paper_cif, bool json) {
  try {
    vesk::run_vortan(publication_cif, drawings, paper_cif, json);
    return vesk::Stop::statement("VORTAN successful completion", 0);
  } catch (const vesk::Stop& stop) {
    return stop;
  } catch (const vesk::Error& error) {
    return failed_run(error.what());
  } catch (const std::bad_alloc&) {
    return failed_run("Not enough memory for this run");
  } catch (const std::exception& error) {
    return failed_run(error.what());
  }
}

}  // namespace

int main(int argc, char** argv) {
  vesk::set_program_path(argc > 0 ? argv[0] : "vortan");
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  bool publication_cif = false;
  bool drawings = false;
  bool json = false;
  std::string paper_cif;  // --cif=FILE
  // Options may stand before or after the name. Experiment names never
  // begin with "-", so options take nothing from the command line the suite
  // uses.
  for (auto it = arguments.begin(); it != arguments.end();) {
    if (*it == "--cif") {
      publication_cif = true;
      it = arguments.erase(it);
    } else if (*it == "--json") {
      json = true;
      it = arguments.erase(it);
    } else if (*it == "--svg") {
      drawings = true;
      it = arguments.erase(it);
    } else if (it->rfind("--cif=", 0) == 0 && it->size() > 6) {
      publication_cif = true;
      paper_cif = it->substr(6);
      it = arguments.erase(it);
    } else if (vesk::is_option(*it)) {
      return vesk::answer_or_refuse("vortan", kUsage, *it);  // -h, --help, --version; others refused
    } else {
      ++it;
    }
  }
  if (arguments.size() > 1) return vesk::answer_or_refuse("vortan", kUsage, arguments[1]);
  vesk::set_command_arguments(arguments);
  const vesk::Stop end = run(publication_cif, drawings, paper_cif, json);
  const int status = recio::stop(end);
  vesk::leave_experiment();
  return status;
}
