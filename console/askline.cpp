// ASKLINE: one question on the console, with macro recording (@M, @Q) and
// replay (@R). Every question of every program comes through here.
#include <algorithm>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "console/ask.hpp"
#include "console/text_utils.hpp"
#include "recio/fixed_text.hpp"
#include "recio/status.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

constexpr std::size_t kPromptLength = 132;
constexpr std::size_t kNameLength = 80;
constexpr int kFirstReplayUnit = 30;
constexpr int kFirstRecordUnit = 40;
constexpr char kBell = '\a';

struct ConsoleState {
  int input_unit = recio::kTerminalIn;  // the terminal, or the macro file being replayed
  int macro_unit = 0;                   // macro file being recorded; 0 when none
  std::string macro_name = std::string(kNameLength, ' ');     // last name given after @R
  std::string recorded_name = std::string(kNameLength, ' ');  // the macro being recorded
};

ConsoleState console;

void say(std::string_view text) { recio::write(recio::kTerminalOut, "(A)", {text}); }

void say_open(std::string_view text) {
  recio::write(recio::kTerminalOut, "(A,$)", {text});
  recio::flush_all();
}

// A read that failed. A macro file that runs out hands input back to the
// terminal; the terminal gets one more try within the same question and then
// stops the run (IOFAIL). The macro case does not spend the terminal's try.
void after_failed_read(int status, int& retries) {
  if (console.input_unit != recio::kTerminalIn) {
    // Say why when the file did not simply end (a line without end, such as
    // a device gives, is refused at the record bound).
    if (status > 0)
      say(" The macro file " + recio::file_name(console.input_unit) + " cannot be read: " +
          recio::status_text(status) + kBell);
    recio::close(console.input_unit);
    console.input_unit = recio::kTerminalIn;
    say(" The macro file is empty, reading from the terminal is resumed.");
    return;
  }
  if (retries == 0) {
    retries = 1;
    return;
  }
  IOFAIL(status, recio::kTerminalIn);
}

// Reads one answer line into the fixed-length field `text`.
int read_answer(int unit, std::string& text) { return recio::read(unit, "(A)", {text}); }

void start_recording(int& retries) {
  if (console.macro_unit != 0) {
    say(std::string(" You are already writing a macro to") + console.recorded_name);
    return;
  }
  say_open(" Enter the name of your macro file: ");
  std::string name(kNameLength, ' ');
  int status = read_answer(console.input_unit, name);
  if (status != 0) {
    say(std::string(" The name of the macro file could not be read; no macro is being written.") + kBell);
    after_failed_read(status, retries);
    return;
  }
  std::string file(recio::trim_right(name));
  // Never write over an existing file: a macro is a user's saved work.
  if (file.empty()) {
    say(std::string(" No macro file name was given; no macro is being written.") + kBell);
    return;
  }
  if (recio::exists(file)) {
    say(" The macro file " + file + " already exists; no macro is being written." + kBell);
    return;
  }
  int unit = kFirstRecordUnit;
  FREEUNIT(unit);
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::New;
  if (recio::open(unit, file, spec) != 0) {
    say(" The macro file " + file + " cannot be created; no macro is being written." + kBell);
    return;
  }
  console.macro_unit = unit;
  console.recorded_name = name;
}

void stop_recording() {
  if (console.macro_unit > 0) {
    recio::close(console.macro_unit);
    console.macro_unit = 0;
    return;
  }
  say(std::string(" You are NOT writing to a macro file!") + kBell);
}

bool is_recorded_macro(const std::string& file) {
  if (console.macro_unit == 0 || file.empty()) return false;
  std::error_code error;
  return std::filesystem::equivalent(file, recio::file_name(console.macro_unit), error) && !error;
}

void start_replay(int& retries) {
  for (;;) {
    say_open(" Enter the name of your macro file: ");
    std::string name(kNameLength, ' ');
    int status = read_answer(recio::kTerminalIn, name);
    if (status != 0) {
      // A closed terminal must not keep this loop asking for ever.
      console.input_unit = recio::kTerminalIn;
      after_failed_read(status, retries);
      break;
    }
    console.macro_name = name;
    if (name.compare(0, 4, "QUIT") == 0) {
      console.input_unit = recio::kTerminalIn;
      break;
    }
    // Replaying the macro being recorded would read back every answer it
    // writes: a loop without end that fills the disk.
    if (is_recorded_macro(std::string(recio::trim_right(name)))) {
      say(" The macro file " + std::string(recio::trim_right(name)) +
          " is being written; end it with @Q before replaying it." + kBell);
      console.input_unit = recio::kTerminalIn;
      continue;
    }
    int unit = kFirstReplayUnit;
    FREEUNIT(unit);
    recio::OpenSpec spec;
    spec.status = recio::OpenStatus::Old;
    if (recio::open(unit, std::string(recio::trim_right(name)), spec) == 0) {
      console.input_unit = unit;
      break;
    }
    say(std::string(" File NOT found!!") + kBell + " Enter \"QUIT\" to resume terminal input");
    console.input_unit = recio::kTerminalIn;
  }
  if (console.input_unit == recio::kTerminalIn)
    say(" Commands will be read from the terminal");
  else
    say(" The commands will be read from " + console.macro_name);
}

void show_help() {
  recio::write(recio::kTerminalOut, "(/1X,80(1H-))", std::span<const recio::OutItem>{});
  say(" The commands for creating and reading a macro file are:");
  say("  @M - Create a macro file");
  say("       The name of a file to hold the macro will be requested");
  say("  @Q - Terminate the macro file");
  say("  @R - Open and read a Macro file");
  say("       The name of the file containing the macro will be requested");
  recio::write(recio::kTerminalOut, "(1X,80(1H-)/)", std::span<const recio::OutItem>{});
}

void macro_command(const std::string& answer, int& retries) {
  std::string command(2, ' ');
  for (std::size_t i = 0; i < 2 && i < answer.size(); ++i) command[i] = answer[i];
  UPCASE(command);
  if (command == "@M")
    start_recording(retries);
  else if (command == "@Q")
    stop_recording();
  else if (command == "@R" && console.input_unit == recio::kTerminalIn)
    start_replay(retries);
  else
    show_help();
}

// The answer goes into the macro being recorded and, when it was replayed,
// onto the console after its prompt.
void record_and_echo(const std::string& answer) {
  if (console.macro_unit <= 0 && console.input_unit == recio::kTerminalIn) return;
  std::string_view kept = recio::trim_right(answer);
  std::string line = kept.empty() ? std::string(" ") : std::string(kept);
  if (console.macro_unit > 0) {
    int status = recio::write(console.macro_unit, "(A)", {line});
    if (status != 0) IOFAIL(status, console.macro_unit);
  }
  if (console.input_unit != recio::kTerminalIn) recio::write(recio::kTerminalOut, "(1X,A)", {line});
}

}  // namespace

void ASKLINE(std::string_view prompt, std::string& answer) {
  // Each "|" ends a line of its own; a backquote ends the prompt.
  std::string line;
  for (char c : prompt) {
    if (c == '`') break;
    if (c == '|') {
      recio::write(recio::kTerminalOut, "(1X,A)", {line.empty() ? std::string(" ") : line});
      line.clear();
      continue;
    }
    if (line.size() < kPromptLength) line += c;
  }
  if (line.empty()) line.push_back(' ');

  int retries = 0;
  for (;;) {
    say_open(" " + line + " >");
    int status = read_answer(console.input_unit, answer);
    if (status != 0) {
      // What the field held before is not an answer: it is neither obeyed
      // nor recorded.
      after_failed_read(status, retries);
      continue;
    }
    if (!answer.empty() && answer[0] == '@') {
      macro_command(answer, retries);
      continue;
    }
    record_and_echo(answer);
    std::size_t comment = answer.find('!');
    if (comment != std::string::npos) std::fill(answer.begin() + static_cast<std::ptrdiff_t>(comment), answer.end(), ' ');
    std::replace(answer.begin(), answer.end(), '\t', ' ');
    return;
  }
}

}  // namespace vesk
