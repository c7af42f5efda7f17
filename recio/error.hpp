// The two exceptions of the project.
//
// vesk::Error is a failure that its catcher words: library code throws it
// where a run cannot go on, and each program's main turns it into its
// message and exit status 1.
//
// vesk::Stop is the end of a run decided below main, already worded: it
// carries what the error stream shows and the exit status. Library code
// throws it where the run stops; only a main catches it, and hands it to
// recio::stop(), which closes the units, writes the message and gives the
// status to return. Cleanup therefore runs in the main, however a run ends.
#pragma once
#include <stdexcept>
#include <string>
#include <string_view>

namespace vesk {

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Deliberately no std::exception: a handler of failures must never take a
// stop for one and reword it or go on.
struct Stop {
  std::string message;  // written on the error stream as it stands; empty writes nothing
  int exit_status = 1;  // 0 for a normal end

  // A STOP statement: "STOP <text> statement executed", nothing for no text.
  static Stop statement(std::string_view text, int exit_status) {
    return {text.empty() ? std::string() : "STOP " + std::string(text) + " statement executed\n", exit_status};
  }
};

}  // namespace vesk
