#include "expfile/experiment.hpp"

#include "console/ask.hpp"
#include "console/page.hpp"
#include "console/text_utils.hpp"
#include "expfile/record_store.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

constexpr std::size_t kNameLength = 255;
const char kBell[] = "\a";

std::vector<std::string>& command_arguments() {
  static std::vector<std::string> arguments;
  return arguments;
}

int length_to_first_blank(const std::string& name) {
  std::size_t blank = name.find(' ');
  return static_cast<int>(blank == std::string::npos ? name.size() : blank);
}

}  // namespace

ExperimentState& experiment_state() {
  static ExperimentState state;
  return state;
}

void set_command_arguments(std::vector<std::string> arguments) { command_arguments() = std::move(arguments); }

void EXPNAME(std::string_view program, std::string& name, int& name_length, int& name_source) {
  const auto& arguments = command_arguments();
  if (!arguments.empty()) {
    name = recio::pad(arguments[0], kNameLength);
    UPCASE(name);
    name_length = length_to_first_blank(name);
    // Only a trailing ".EXP" is the extension; cutting four characters
    // whenever ".EXP" stands anywhere in the name would mangle names such
    // as "MY.EXPT".
    std::string_view used(name.data(), static_cast<std::size_t>(name_length));
    if (used.size() >= 4 && used.substr(used.size() - 4) == ".EXP") name_length -= 4;
    name_source = 0;
    return;
  }
  const std::string prompt = "Enter the experiment name for " + std::string(program);
  do {
    name = std::string(kNameLength, ' ');
    ASKCHAR(prompt, 0, name);
    UPCASE(name);
    name_length = length_to_first_blank(name);
  } while (name_length == 0);
  name_source = 1;
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
    recio::write(6, "(A)", {" Version record of " + file + " does not hold a number: " + value.substr(0, 5)});
    recio::fail(read_status, unit);
  }
  if (version < kCurrentExpVersion) {
    recio::write(6, "(A)", {" **** WARNING *****   This is an old EXP file"});
    recio::write(6, "(2(A,I3))", {"  It is version ", version, " and current files are version ", kCurrentExpVersion});
    recio::write(6, "(A)", {" Use ZENTOR to convert it."});
  } else if (version > kCurrentExpVersion) {
    recio::write(6, "(4A)", {" ******", kBell, "  This file is from a ", "later version of VESK than this one."});
    recio::write(6, "(1X,A)", {std::string(kBell) + " It cannot be processed with" + " this version of VESK."});
    recio::stop("Program terminated in OPNEXP", 1);
  }
}

void STRTRN(std::string_view program, std::string_view access, std::string_view listing_mode,
            int& experiment_unit, int& listing_unit, int& terminal_unit) {
  ExperimentState& state = experiment_state();
  terminal_unit = kTerminalUnit;
  EXPNAME(program, state.name, state.name_length, state.name_source);
  const std::string stem = state.name.substr(0, static_cast<std::size_t>(state.name_length));
  const std::string file = stem + ".EXP";

  int iostat = 0;
  OPNEXP(access, file, experiment_unit, iostat);
  if (iostat != 0) {
    recio::write(6, "(A)", {" ERROR - File " + file + " does not exist - check your directory"});
    IOFAIL(iostat, experiment_unit);
  }

  std::string value(68, ' ');
  if (READEXP(experiment_unit, kTerminatorKey, value) != 0) {
    recio::write(6, "(A)", {" *** ERROR - Experiment file is incomplete ***"});
    recio::stop(" Run terminated in STRTRN", 1);
  }

  if (state.name_source == 0 && listing_mode == "LIST") {
    FREEUNIT(listing_unit);
    recio::OpenSpec spec;
    spec.status = recio::OpenStatus::Unknown;
    spec.access = recio::Access::Append;
    spec.form = recio::Form::Formatted;
    recio::check(recio::open(listing_unit, stem + ".LST", spec), listing_unit);
  } else {
    listing_unit = terminal_unit;
  }
  state.experiment_unit = experiment_unit;
  state.listing_unit = listing_unit;
  state.terminal_unit = terminal_unit;
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
