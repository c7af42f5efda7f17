// The start of a run: the experiment name, the experiment file opened and
// checked, and where the listing goes.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "recio/units.hpp"

namespace vesk {

constexpr int kCurrentExpVersion = 6;
constexpr std::size_t kExperimentNameLength = 255;  // the name's field, folder included

// What the start routine keeps for the rest of the run.
struct ExperimentState {
  std::string name;          // upper case; a command-line name without ".EXP"
  int name_length = 0;
  int name_source = 0;       // 0: command line, 1: typed at the prompt
  int experiment_unit = 0;
  int listing_unit = 0;
  int terminal_unit = recio::kTerminalOut;
  std::string listing_file;       // stem + ".LST" when the listing goes to a file
  std::string listing_temporary;  // what the run writes it to until keep_listing()
};
ExperimentState& experiment_state();

// The program's command-line arguments (without the program name).
void set_command_arguments(std::vector<std::string> arguments);

// The experiment name as the programs use it: the typed name with its file
// name in upper case and any folder in front of it kept as typed
// ("demo-run/quartz.exp" gives "demo-run/QUARTZ"); with `strip_extension` a
// trailing ".EXP" is removed. A name that is empty, holds a blank or is longer
// than its field is refused with a vesk::Error, never cut.
std::string experiment_stem(std::string_view typed, bool strip_extension);

void EXPNAME(std::string_view program, std::string& name, int& name_length, int& name_source);
// Opens `file` as the experiment file on the first free unit from `unit`
// and checks its layout and version; an open failure comes back in iostat,
// a file of a later version stops the run (vesk::Stop, exit status 1).
void OPNEXP(std::string_view status, const std::string& file, int& unit, int& iostat);
void STRTRN(std::string_view program, std::string_view access, std::string_view listing_mode,
            int& experiment_unit, int& listing_unit, int& terminal_unit);
// STRTRN in its two steps, for a program that has to act between them
// (vortan takes the experiment's lock before any file of it is written): the
// experiment named, opened and checked, then the listing opened ("LIST" with
// a name from the command line: extending stem + ".LST"; else the terminal).
void open_experiment(std::string_view program, std::string_view access, int& experiment_unit, int& terminal_unit);
// A listing file is written to a copy of the old one under a temporary name,
// which replaces it when keep_listing() is called.
void open_listing(std::string_view listing_mode, int& listing_unit);
// Closes a listing file and puts it in place of the old one; nothing for a
// listing on the terminal or one already kept. Throws vesk::Error, the old
// listing left as it was, when it could not be written whole.
void keep_listing();
void LASTHIST(int experiment_unit, int listing_unit);

}  // namespace vesk
