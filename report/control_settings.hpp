// The control words of a phase as the command line sets and lists them
// (vortan NAME --set WORD=VALUE, --settings; cif2exp --set): one word
// changed in the phase's control text, the rest kept as it stands, and the
// new text checked as a run reads it, with the control record's messages.
#pragma once
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "report/phase_controls.hpp"

namespace vesk {

// One control word: the four positional words are named DMAX, DAGL, FOUR
// (the Fourier mode) and PRNT (the print option); the keyword words by
// themselves.
struct ControlWordInfo {
  const char* word;
  const char* values;   // what VALUE may be
  const char* meaning;
  std::string (*shown)(const PhaseControls&);  // the value the controls hold, as --settings shows it
};
std::span<const ControlWordInfo> control_words();

// WORD=VALUE applies to every phase, WORD:N=VALUE to phase N alone; an
// empty VALUE (or DFLT for DMAX, DAGL, FOUR and PRNT) gives the word's
// default back. VALUE holds the word's values separated by blanks
// ("PLAN=C1 C2 C3", "OXID=Fe 3 O -2", "VIEW=1 1 0").
struct ControlSetting {
  std::string word;  // upper case
  int phase = 0;     // 0: every phase
  std::string value;
};
// Throws vesk::Error for a text of another form, an unknown word or a phase
// other than 1 to 9.
ControlSetting parse_control_setting(std::string_view text);

// `text` (the phase's control text) with the settings applied in their
// order: a word already there gets the new values in its place, a new word
// goes at the end; the first PLAN setting replaces every plane, each
// further one adds one. The result is checked as a run reads it; a bad
// value throws the record's message (vesk::Error) naming `key`.
std::string apply_control_settings(std::string_view text, std::span<const ControlSetting> settings,
                                   std::string_view key);

// The lines --settings shows for one phase's control text: every word
// with its value, its default and its meaning. Throws the record's message
// when the text does not read.
std::vector<std::string> control_settings_lines(std::string_view text, std::string_view key);

}  // namespace vesk
