#include "vortan/settings_command.hpp"

#include <array>
#include <map>
#include <string>

#include "crystal/limits.hpp"
#include "expfile/control_records.hpp"
#include "expfile/experiment.hpp"
#include "expfile/experiment_lock.hpp"
#include "expfile/keys.hpp"
#include "expfile/record_store.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/units.hpp"
#include "vortan/experiment_unit.hpp"
#include "vortan/run_inputs.hpp"

namespace vesk {

namespace {

void say(const std::string& line) { recio::write(recio::kTerminalOut, "(A)", {line}); }

// The words of a control text, one blank between them.
std::string words_of(const std::string& text, int phase) {
  std::string words;
  for (const std::string& value : control_record_values(text, phase, is_control_keyword)) words += (words.empty() ? "" : " ") + value;
  return words;
}

std::string phase_list(const std::map<int, std::string>& texts) {
  std::string list;
  for (const auto& [phase, text] : texts) list += (list.empty() ? "" : ", ") + std::to_string(phase);
  return list;
}

}  // namespace

void run_settings(const std::vector<ControlSetting>& settings, bool list) {
  int experiment_unit = 0, terminal_unit = 0;
  open_experiment("VORTAN", "READ", experiment_unit, terminal_unit);
  const std::string file = recio::file_name(experiment_unit);
  const std::string stem = stem_of(file);
  lock_experiment(stem, "vortan");
  refuse_unfinished_replace(stem);

  std::array<int, kMaxPhases> flags{};
  NPHASRD(experiment_unit, flags);
  // The phases a run computes: those that exist and have a control record.
  std::map<int, std::string> texts;
  for (int phase = 1; phase <= kMaxPhases; ++phase) {
    std::string text;
    if (flags[phase - 1] > 0 && read_control_text(experiment_unit, phase, text)) texts[phase] = text;
  }
  if (texts.empty())
    throw Error("No phase of " + file + " has a control record (\"" + control_key(1, 1) +
                "\" for phase 1) and a positive phase flag; vortan computes none, and has no settings to " +
                (settings.empty() ? "show" : "change"));

  std::map<int, std::vector<std::string>> changed;
  for (const ControlSetting& setting : settings)
    if (setting.phase != 0 && texts.count(setting.phase) == 0)
      throw Error(setting.word + ":" + std::to_string(setting.phase) + ": phase " + std::to_string(setting.phase) +
                  " of " + file + " has no control record \"" + control_key(setting.phase, 1) +
                  "\" or is switched off; the phases with settings are " + phase_list(texts) +
                  "; nothing was changed");
  for (auto& [phase, text] : texts) {
    std::vector<ControlSetting> own;
    for (const ControlSetting& setting : settings)
      if (setting.phase == 0 || setting.phase == phase) own.push_back(setting);
    if (own.empty()) continue;
    const std::string key = control_key(phase, 1);
    const std::string next = apply_control_settings(text, own, key);
    const std::vector<std::string> values = control_record_values(next, phase, is_control_keyword);
    // The records as they stand, to leave a phase whose words do not change alone.
    std::vector<std::string> old_values;
    for (int n = 1; n <= kMostVortanControlRecords; ++n) {
      std::string value(68, ' ');
      if (READEXP(experiment_unit, control_key(phase, n), value) != 0) break;
      old_values.emplace_back(recio::trim_right(value));
    }
    if (values != old_values) changed[phase] = values;
    text = next;
  }
  if (!changed.empty()) {
    rewrite_control_records(file, changed);
    for (const auto& [phase, values] : changed) {
      std::string keys;
      for (std::size_t n = 0; n < values.size(); ++n)
        keys += (n == 0 ? "\"" : ", \"") + control_key(phase, static_cast<int>(n) + 1) + "\"";
      say(" " + file + ", phase " + std::to_string(phase) + ": " + words_of(texts[phase], phase) + "   (" + keys + ")");
    }
  } else if (!settings.empty()) {
    say(" " + file + ": the settings are as asked already; the file is unchanged");
  }
  // A phase whose words do not read is named, with the message a run gives,
  // and the others are still listed.
  std::string unread;
  for (const auto& [phase, text] : texts) {
    if (!list) break;
    say(" Phase " + std::to_string(phase) + " of " + file + ": " + words_of(text, phase));
    try {
      for (const std::string& line : control_settings_lines(text, control_key(phase, 1))) say(line);
    } catch (const Error& error) {
      say("   " + std::string(error.what()));
      unread += (unread.empty() ? "" : ", ") + std::to_string(phase);
    }
  }
  if (!changed.empty()) say(" Run  vortan " + stem + "  to compute with them");
  if (!unread.empty())
    throw Error("The control words of phase " + unread + " do not read (above); set the word named with --set");
}

}  // namespace vesk
