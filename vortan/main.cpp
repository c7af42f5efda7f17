// vortan: interatomic distances and bond angles, with standard deviations,
// of the structure in an experiment file.
#include <cctype>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "console/command_line.hpp"
#include "console/page.hpp"
#include "expfile/experiment.hpp"
#include "recio/error.hpp"
#include "recio/units.hpp"
#include "vortan/driver.hpp"
#include "vortan/settings_command.hpp"
#include "marks/row_marks.hpp"

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
    "         --mark KIND \"LABELS\" \"SITE CODES\"  mark a row for publication\n"
    "                in NAME.VORTAN or NAME.TORHB, named as NAME.json names it:\n"
    "                KIND bond, angle, torsion or hbond (bond:2 for the row of\n"
    "                phase 2 when several phases have it), the labels and the\n"
    "                site codes separated by blanks, e.g.\n"
    "                --mark bond \"Fe1 C11\" \". 3_555\"; several may follow;\n"
    "         --unmark KIND \"LABELS\" \"SITE CODES\"  clear a row's mark;\n"
    "         --serve  after the run, a page on this computer only (its address\n"
    "                is printed) with each phase's drawing and tables, where a\n"
    "                click marks a row; until Quit or Ctrl-C;\n"
    "         --set WORD=VALUE ...  change control words of the phases in\n"
    "                NAME.EXP (WORD:N=VALUE for phase N alone; an empty VALUE\n"
    "                gives the default back) and compute nothing;\n"
    "         --settings  list every control word of every phase with its\n"
    "                value, default and meaning (after --set's changes);\n"
    "         -h, --help  this text;  --version  the version.\n";

// A run that failed: the reason on the terminal, then a stop without text.
vesk::Stop failed_run(const std::string& message) {
  recio::write(recio::kTerminalOut, "(A)", {" *** ERROR - " + message});
  return vesk::Stop{.message = {}, .exit_status = 1};
}

// A CIF given for an experiment: what to run instead, when no experiment
// of that name exists; empty otherwise.
std::string cif_advice(const std::string& name) {
  const std::filesystem::path path(name);
  std::string extension = path.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension != ".cif") return {};
  std::string experiment;
  try {
    experiment = vesk::experiment_stem(name, true);
  } catch (const vesk::Error&) {
    return {};
  }
  if (std::filesystem::exists(experiment + ".EXP")) return {};
  std::string stem = path.parent_path().empty() ? path.stem().string() : (path.parent_path() / path.stem()).string();
  try {
    stem = vesk::experiment_stem(stem, true);
  } catch (const vesk::Error&) {
  }
  return "vortan: " + name + " is a CIF; vortan reads an experiment file (" + experiment +
         ".EXP does not exist). Convert the CIF first:\n    cif2exp " + name + "\nthen run\n    vortan " + stem +
         "\n";
}

// The run, and how it ended.
vesk::Stop run(const std::function<void()>& work, const char* success) {
  try {
    work();
    if (*success == 0) return vesk::Stop{.message = {}, .exit_status = 0};
    return vesk::Stop::statement(success, 0);
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
  vesk::VortanOptions options;
  std::vector<vesk::ControlSetting> settings;  // --set
  bool list_settings = false;                  // --settings
  // Options may stand before or after the name. Experiment names never
  // begin with "-", so options take nothing from the command line the suite
  // uses.
  for (auto it = arguments.begin(); it != arguments.end();) {
    if (*it == "--cif") {
      options.publication_cif = true;
      it = arguments.erase(it);
    } else if (*it == "--json") {
      options.json = true;
      it = arguments.erase(it);
    } else if (*it == "--svg") {
      options.drawings = true;
      it = arguments.erase(it);
    } else if (*it == "--serve") {
      options.serve = true;
      it = arguments.erase(it);
    } else if (*it == "--mark" || *it == "--unmark") {
      // Three words follow: the kind, the labels, the site codes. Checked
      // here, before the run, so that a bad request touches no file.
      const std::string option = *it;
      if (arguments.end() - it < 4) {
        std::cerr << "vortan: " << option << " takes three arguments: KIND \"LABELS\" \"SITE CODES\"\n" << kUsage;
        return 1;
      }
      try {
        options.marks.push_back({vesk::parse_row_identity(it[1], it[2], it[3]), option == "--mark"});
      } catch (const vesk::Error& error) {
        std::cerr << "vortan: " << option << ": " << error.what() << '\n';
        return 1;
      }
      it = arguments.erase(it, it + 4);
    } else if (*it == "--set") {
      // WORD=VALUE words follow, one or more.
      it = arguments.erase(it);
      const auto first = it;
      for (; it != arguments.end() && !vesk::is_option(*it) && it->find('=') != std::string::npos; ++it) {
        try {
          settings.push_back(vesk::parse_control_setting(*it));
        } catch (const vesk::Error& error) {
          std::cerr << "vortan: --set: " << error.what() << '\n';
          return 1;
        }
      }
      if (it == first) {
        std::cerr << "vortan: --set takes WORD=VALUE (or WORD:PHASE=VALUE), e.g. --set TORS=NOH\n" << kUsage;
        return 1;
      }
      it = arguments.erase(first, it);
    } else if (*it == "--settings") {
      list_settings = true;
      it = arguments.erase(it);
    } else if (it->rfind("--cif=", 0) == 0 && it->size() > 6) {
      options.publication_cif = true;
      options.paper_cif = it->substr(6);
      it = arguments.erase(it);
    } else if (vesk::is_option(*it)) {
      return vesk::answer_or_refuse("vortan", kUsage, *it);  // -h, --help, --version; others refused
    } else {
      ++it;
    }
  }
  if (arguments.size() > 1) return vesk::answer_or_refuse("vortan", kUsage, arguments[1]);
  const bool settings_only = list_settings || !settings.empty();
  if (settings_only && (options.publication_cif || options.json || options.drawings || options.serve ||
                        !options.marks.empty())) {
    std::cerr << "vortan: --set and --settings change and show the settings and compute nothing; give --cif, "
                 "--json, --svg, --serve, --mark and --unmark in a run of their own\n";
    return 1;
  }
  if (!arguments.empty() && !settings_only) {
    if (const std::string advice = cif_advice(arguments[0]); !advice.empty()) {
      std::cerr << advice;
      return 1;
    }
  }
  vesk::set_command_arguments(arguments);
  vesk::Stop end = settings_only ? run([&] { vesk::run_settings(settings, list_settings); }, "")
                                 : run([&] { vesk::run_vortan(options); }, "VORTAN successful completion");
  // A run that stopped keeps its listing, which says why, when it is whole.
  try {
    vesk::keep_listing();
  } catch (const vesk::Error& error) {
    const vesk::Stop failed = failed_run(error.what());
    if (end.exit_status == 0) end = failed;
  }
  const int status = recio::stop(end);
  vesk::leave_experiment();
  return status;
}
