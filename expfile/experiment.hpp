// The start of a run: the experiment name, the experiment file opened and
// checked, and where the listing goes.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

constexpr int kCurrentExpVersion = 6;
constexpr int kTerminalUnit = 6;

// What the start routine keeps for the rest of the run.
struct ExperimentState {
  std::string name;          // upper case; a command-line name without ".EXP"
  int name_length = 0;
  int name_source = 0;       // 0: command line, 1: typed at the prompt
  int experiment_unit = 0;
  int listing_unit = 0;
  int terminal_unit = kTerminalUnit;
};
ExperimentState& experiment_state();

// The program's command-line arguments (without the program name).
void set_command_arguments(std::vector<std::string> arguments);

void EXPNAME(std::string_view program, std::string& name, int& name_length, int& name_source);
// Opens `file` as the experiment file on the first free unit from `unit`
// and checks its layout and version; an open failure comes back in iostat.
void OPNEXP(std::string_view status, const std::string& file, int& unit, int& iostat);
void STRTRN(std::string_view program, std::string_view access, std::string_view listing_mode,
            int& experiment_unit, int& listing_unit, int& terminal_unit);
void LASTHIST(int experiment_unit, int listing_unit);

}  // namespace vesk
