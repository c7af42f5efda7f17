#include "expfile/experiment.hpp"

#include "console/ask.hpp"
#include "console/page.hpp"
#include "console/text_utils.hpp"
#include "expfile/record_store.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

const char kBell[] = "\a";

std::vector<std::string>& command_arguments() {
  static std::vector<std::string> arguments;
  return arguments;
}

}  // namespace

ExperimentState& experiment_state() {
  static ExperimentState state;
  return state;
}

void set_command_arguments(std::vector<std::string> arguments) { command_arguments() = std::move(arguments); }

std::string experiment_stem(std::string_view typed, bool strip_extension) {
  const std::string quoted = "\"" + std::string(typed) + "\"";
  if (typed.find_first_of(" \t") != std::string_view::npos)
    throw Error("The experiment name " + quoted + " holds a blank; experiment names have none");
  if (typed.size() > kExperimentNameLength)
    throw Error("The experiment name \"" + std::string(typed.substr(0, 40)) + "...\" is " +
                std::to_string(typed.size()) + " characters long; at most " +
                std::to_string(kExperimentNameLength) + " are allowed");
  // Only the file name is the suite's upper-case name: the folder stays as
  // typed, for case-sensitive file systems.
  const std::size_t slash = typed.rfind('/');
  const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  std::string file(typed.substr(start));
  UPCASE(file);
  // Only a trailing ".EXP" is the extension; cutting four characters
  // whenever ".EXP" stands anywhere in the name would mangle names such
  // as "MY.EXPT".
  if (strip_extension && file.size() >= 4 && file.compare(file.size() - 4, 4, ".EXP") == 0)
    file.resize(file.size() - 4);
  if (file.empty()) throw Error("The experiment name " + quoted + " names no experiment file");
  return std::string(typed.substr(0, start)) + file;
}

void EXPNAME(std::string_view program, std::string& name, int& name_length, int& name_source) {
  const auto& arguments = command_arguments();
  std::string stem;
  if (!arguments.empty()) {
    stem = experiment_stem(arguments[0], true);
    name_source = 0;
  } else {
    // An extension typed at the prompt stays part of the name. One character
    // more than the field shows a name too long for it.
    const std::string prompt = "Enter the experiment name for " + std::string(program);
    for (;;) {
      std::string answer(kExperimentNameLength + 1, ' ');
      ASKCHAR(prompt, 0, answer);
      const std::string typed(recio::trim_right(answer));
      if (typed.empty()) continue;
      try {
        stem = experiment_stem(typed, false);
        break;
      } catch (const Error& error) {
        recio::write(recio::kTerminalOut, "(2A)", {kBell, " " + std::string(error.what())});
      }
    }
    name_source = 1;
  }
  name = recio::pad(stem, kExperimentNameLength);
  name_length = static_cast<int>(stem.size());
}

void OPNEXP(std::string_view status, const std::string& file, int& unit, int& iostat) {
  (void)status;  // this program only reads experiment files
  FREEUNIT(unit);
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::Old;
  spec.access = recio::Access::Direct;
  spec.form = recio::Form::Formatted;
  spec.record_length = kExperimentRecordLength;
  iostat = recio::open(unit, file, spec);
  if (iostat != 0) return;
  check_record_layout(file);

  std::string value(68, ' ');
  READEXP(unit, "     VERSION", value);
  int version = 0;
  int read_status = recio::read_string(value, "(I5)", {version});
  if (read_status != 0) {
    recio::write(recio::kTerminalOut, "(A)", {" Version record of " + file + " does not hold a number: " + value.substr(0, 5)});
    recio::fail(read_status, unit);
  }
  if (version < kCurrentExpVersion) {
    recio::write(recio::kTerminalOut, "(A)", {" **** WARNING *****   This is an old EXP file"});
    recio::write(recio::kTerminalOut, "(2(A,I3))", {"  It is version ", version, " and current files are version ", kCurrentExpVersion});
    recio::write(recio::kTerminalOut, "(A)", {" Use ZENTOR to convert it."});
  } else if (version > kCurrentExpVersion) {
    recio::write(recio::kTerminalOut, "(4A)", {" ******", kBell, "  This file is from a ", "later version of VESK than this one."});
    recio::write(recio::kTerminalOut, "(1X,A)", {std::string(kBell) + " It cannot be processed with" + " this version of VESK."});
    throw Stop::statement("Program terminated in OPNEXP", 1);
  }
}

void open_experiment(std::string_view program, std::string_view access, int& experiment_unit, int& terminal_unit) {
  ExperimentState& state = experiment_state();
  terminal_unit = recio::kTerminalOut;
  EXPNAME(program, state.name, state.name_length, state.name_source);
  const std::string stem = state.name.substr(0, static_cast<std::size_t>(state.name_length));
  const std::string file = stem + ".EXP";

  int iostat = 0;
  OPNEXP(access, file, experiment_unit, iostat);
  if (iostat != 0) {
    recio::write(recio::kTerminalOut, "(A)", {" ERROR - File " + file + " does not exist - check your directory"});
    IOFAIL(iostat, experiment_unit);
  }

  std::string value(68, ' ');
  if (READEXP(experiment_unit, kTerminatorKey, value) != 0) {
    recio::write(recio::kTerminalOut, "(A)", {" *** ERROR - Experiment file is incomplete ***"});
    throw Stop::statement(" Run terminated in STRTRN", 1);
  }
  state.experiment_unit = experiment_unit;
  state.terminal_unit = terminal_unit;
}

void open_listing(std::string_view listing_mode, int& listing_unit) {
  ExperimentState& state = experiment_state();
  const std::string stem = state.name.substr(0, static_cast<std::size_t>(state.name_length));
  if (state.name_source == 0 && listing_mode == "LIST") {
    FREEUNIT(listing_unit);
    recio::OpenSpec spec;
    spec.status = recio::OpenStatus::Unknown;
    spec.access = recio::Access::Append;
    spec.form = recio::Form::Formatted;
    recio::check(recio::open(listing_unit, stem + ".LST", spec), listing_unit);
  } else {
    listing_unit = state.terminal_unit;
  }
  state.listing_unit = listing_unit;
}

void STRTRN(std::string_view program, std::string_view access, std::string_view listing_mode,
            int& experiment_unit, int& listing_unit, int& terminal_unit) {
  open_experiment(program, access, experiment_unit, terminal_unit);
  open_listing(listing_mode, listing_unit);
}

void LASTHIST(int experiment_unit, int listing_unit) {
  std::string value(68, ' ');
  READEXP(experiment_unit, "     VERSION", value);  // places the cursor before the history keys
  std::string line(80, ' ');
  for (;;) {
    std::string key(12, ' ');
    if (READEXP(experiment_unit, key, value) != 0) break;
    if (recio::compare_padded(key, "    HSTRY999") > 0) break;
    line = key + value;
  }
  if (line.find_first_not_of(' ') == std::string::npos) return;
  LINECHK(listing_unit, 2);
  recio::write(listing_unit, "(A)", {" The last history record is :"});
  recio::write(listing_unit, "(1X,A)", {line});
}

}  // namespace vesk
