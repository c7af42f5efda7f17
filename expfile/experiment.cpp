#include "expfile/experiment.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "console/ask.hpp"
#include "console/page.hpp"
#include "console/text_utils.hpp"
#include "expfile/record_store.hpp"
#include "recio/error.hpp"
#include "recio/file_replace.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"
#include "recio/status.hpp"
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

namespace {

// The temporary the listing is written to: a copy of the old listing (none
// when there is none), created exclusively, which the run then extends.
void start_listing_copy(const std::string& listing, const std::string& temporary) {
  const int in = ::open(listing.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in < 0 && errno != ENOENT)
    throw Error("The listing " + listing + " cannot be read: " + std::strerror(errno));
  struct stat info {};
  if (in >= 0 && (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode))) {
    ::close(in);
    throw Error("The listing " + listing + " is not a plain file (a FIFO, a device or a folder); remove it and run again");
  }
  const int out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         in >= 0 ? info.st_mode & 07777 : 0666);
  int error = out < 0 ? errno : 0;
  for (char block[1 << 16]; in >= 0 && error == 0;) {
    const ssize_t n = ::read(in, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : 0;
      break;
    }
    for (ssize_t done = 0; done < n && error == 0;) {
      const ssize_t w = ::write(out, block + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) error = w < 0 ? errno : ENOSPC;
      else done += w;
    }
  }
  if (in >= 0) ::close(in);
  if (out >= 0 && ::close(out) != 0 && error == 0) error = errno;
  if (error != 0) {
    if (out >= 0) ::unlink(temporary.c_str());
    throw Error("The listing " + listing + " cannot be extended (" + temporary + "): " + std::strerror(error) +
                "; it is left as it was");
  }
}

}  // namespace

void open_listing(std::string_view listing_mode, int& listing_unit) {
  ExperimentState& state = experiment_state();
  const std::string stem = state.name.substr(0, static_cast<std::size_t>(state.name_length));
  if (state.name_source == 0 && listing_mode == "LIST") {
    // The run extends a copy, which replaces the listing when the run ends:
    // a full disk half way leaves the old listing whole.
    const std::string listing = stem + ".LST";
    const std::string temporary = recio::temporary_name(listing);
    recio::remove_at_end(temporary);
    start_listing_copy(listing, temporary);
    FREEUNIT(listing_unit);
    recio::OpenSpec spec;
    spec.status = recio::OpenStatus::Old;
    spec.access = recio::Access::Append;
    spec.form = recio::Form::Formatted;
    recio::check(recio::open(listing_unit, temporary, spec), listing_unit);
    state.listing_file = listing;
    state.listing_temporary = temporary;
  } else {
    listing_unit = state.terminal_unit;
  }
  state.listing_unit = listing_unit;
}

void keep_listing() {
  ExperimentState& state = experiment_state();
  if (state.listing_temporary.empty()) return;
  const std::string temporary = std::exchange(state.listing_temporary, std::string());
  const int status = recio::close(state.listing_unit);
  if (status != 0) {
    const std::string reason = recio::system_reason(state.listing_unit);
    throw Error("The listing " + state.listing_file + " cannot be written: " +
                (reason.empty() ? recio::status_text(status) : reason) + "; it is left as it was");
  }
  recio::rename_file(temporary, state.listing_file, "listing");
  recio::keep_at_end(temporary);
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
