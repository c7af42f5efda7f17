#include "expfile/control_records.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "expfile/record_store.hpp"
#include "recio/error.hpp"
#include "recio/file_replace.hpp"
#include "recio/fixed_text.hpp"

namespace vesk {

namespace {

constexpr std::size_t kKeyLength = 12;
constexpr std::size_t kValueLength = 68;

std::string record(const std::string& key, std::string_view value) {
  return recio::pad(key, kKeyLength) + recio::pad(value, kValueLength) + "\r\n";
}

}  // namespace

std::string control_key(int phase, int record) {
  const std::string digit(1, static_cast<char>('0' + phase));
  if (record <= 1) return "  VRTN CDAT" + digit;
  return "  VRTN CDT" + digit + static_cast<char>('A' + record - 1);
}

bool read_control_text(int experiment_unit, int phase, std::string& text) {
  text.clear();
  std::string value(kValueLength, ' ');
  if (READEXP(experiment_unit, control_key(phase, 1), value) != 0) return false;
  text = value;
  for (int n = 2; n <= kMostVortanControlRecords && READEXP(experiment_unit, control_key(phase, n), value) == 0; ++n)
    text += " " + value;
  return true;
}

std::vector<std::string> control_record_values(std::string_view text, int phase,
                                               bool (*keyword)(std::string_view)) {
  std::vector<std::string_view> words;
  for (std::size_t at = 0;;) {
    at = text.find_first_not_of(" ,\t", at);
    if (at == std::string_view::npos) break;
    const std::size_t end = std::min(text.find_first_of(" ,\t", at), text.size());
    words.push_back(text.substr(at, end - at));
    at = end;
  }
  std::vector<std::string> values(1);
  for (std::size_t n = 0; n < words.size(); ++n) {
    const std::string_view word = words[n];
    // A keyword goes with its first value.
    const std::size_t needed =
        word.size() + (keyword != nullptr && n + 1 < words.size() && keyword(word) ? 1 + words[n + 1].size() : 0);
    if (word.size() > kValueLength)
      throw Error("The control word \"" + std::string(word.substr(0, 20)) + "...\" of phase " +
                  std::to_string(phase) + " is longer than a record's " + std::to_string(kValueLength) + " columns");
    std::string& last = values.back();
    if (last.empty()) {
      last = word;
    } else if (last.size() + 1 + (needed <= kValueLength ? needed : word.size()) <= kValueLength) {
      last += " " + std::string(word);
    } else {
      if (values.size() == static_cast<std::size_t>(kMostVortanControlRecords))
        throw Error("The control words of phase " + std::to_string(phase) + " need more than " +
                    std::to_string(kMostVortanControlRecords) + " records of " + std::to_string(kValueLength) +
                    " columns (\"" + control_key(phase, 1) + "\" to \"" + control_key(phase, kMostVortanControlRecords) +
                    "\")");
      values.emplace_back(word);
    }
  }
  return values;
}

void rewrite_control_records(const std::string& file, const std::map<int, std::vector<std::string>>& phases) {
  check_record_layout(file);
  std::ifstream in(file, std::ios::binary);
  const std::string old_text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) throw Error("Experiment file " + file + " cannot be read");
  std::map<std::string, int> controls;  // key -> phase
  for (const auto& [phase, values] : phases)
    for (int n = 1; n <= kMostVortanControlRecords; ++n) controls[control_key(phase, n)] = phase;
  const auto new_records = [&](int phase) {
    std::string text;
    const std::vector<std::string>& values = phases.at(phase);
    for (std::size_t n = 0; n < values.size(); ++n) text += record(control_key(phase, static_cast<int>(n) + 1), values[n]);
    return text;
  };
  std::string text;
  std::set<int> written;
  const std::size_t length = kKeyLength + kValueLength + 2;
  for (std::size_t at = 0; at + length <= old_text.size(); at += length) {
    const std::string key = old_text.substr(at, kKeyLength);
    if (const auto control = controls.find(key); control != controls.end()) {
      if (written.insert(control->second).second) text += new_records(control->second);
      continue;
    }
    if (key == kTerminatorKey)
      for (const auto& [phase, values] : phases)
        if (written.insert(phase).second) text += new_records(phase);
    text += old_text.substr(at, length);
  }
  for (const auto& [phase, values] : phases)
    if (written.insert(phase).second) text += new_records(phase);

  const std::string what = "experiment file";
  const std::string temporary = recio::temporary_name(file);
  recio::remove_at_end(temporary);
  recio::write_new_file(temporary, text, what, true);
  std::error_code error;
  std::filesystem::permissions(temporary, std::filesystem::status(file, error).permissions(), error);
  recio::rename_file(temporary, file, what);
  recio::keep_at_end(temporary);
  recio::sync_folder_of(file, what);
}

}  // namespace vesk
