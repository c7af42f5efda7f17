#include "expfile/record_store.hpp"

#include <algorithm>
#include <array>
#include <fstream>
#include <utility>

#include "expfile/sorted_keys.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

constexpr std::size_t kKeyLength = 12;
constexpr std::size_t kValueLength = 68;

struct StoreEntry {
  int unit = 0;                   // 0 = entry free
  std::vector<std::string> keys;  // keys[r - 1] is the key of record r
  std::vector<int> sorted;        // record numbers in ascending key order
  int count = 0;                  // live records at the front of `sorted`
  int cursor = 0;                 // position (from 1) of the record last returned
};

std::array<StoreEntry, kMaxLoadedFiles> stores;

StoreEntry* entry_of(int unit) {
  for (auto& entry : stores)
    if (entry.unit == unit && unit != 0) return &entry;
  return nullptr;
}

StoreEntry& loaded_entry(int unit) {
  if (StoreEntry* entry = entry_of(unit)) return *entry;
  STARTISAM(unit);
  return *entry_of(unit);
}

bool is_blank(std::string_view text) { return text.find_first_not_of(' ') == std::string_view::npos; }

// Columns 13-80 of record `record`, or an empty optional-like status.
int read_value(int unit, int record, std::string& value) {
  std::string buffer(kValueLength, ' ');
  int status = recio::read_direct(unit, record, "(12X,A)", {buffer});
  value = recio::pad(status == 0 ? buffer : std::string(), value.size());
  return status;
}

}  // namespace

void check_record_layout(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw Error("Experiment file " + file + " cannot be read");
  const std::string layout = " is not an experiment file of 82-byte records (80 columns and CR LF): ";
  std::array<char, kExperimentRecordLength> record{};
  for (long number = 1;; ++number) {
    in.read(record.data(), record.size());
    auto got = in.gcount();
    if (got == 0) return;
    if (number > kMaxRecords)
      throw Error("Experiment file " + file + " holds more than " + std::to_string(kMaxRecords) +
                  " records, the most this program can index");
    std::string where = "record " + std::to_string(number);
    if (got < kExperimentRecordLength)
      throw Error("Experiment file " + file + layout + where + " is cut short (" + std::to_string(got) +
                  " bytes)");
    std::string_view text(record.data(), kKeyLength + kValueLength);
    if (record[80] != '\r' || record[81] != '\n' || text.find_first_of("\r\n") != std::string_view::npos)
      throw Error("Experiment file " + file + layout + where + " does not end in CR LF at columns 81-82");
  }
}

void STARTISAM(int unit) {
  StoreEntry* entry = nullptr;
  for (auto& candidate : stores)
    if (candidate.unit == 0) { entry = &candidate; break; }
  if (entry == nullptr) {
    recio::write(recio::kTerminalOut, "(A)", {" *** ERROR *** No more ISAM style files can be opened"});
    throw Stop::statement("Halt in STARTISAM", 1);
  }
  std::vector<std::string> keys;
  for (int record = 1;; ++record) {
    std::string key(kKeyLength, ' ');
    if (recio::read_direct(unit, record, "(A)", {key}) != 0) break;
    if (record > kMaxRecords)
      throw Error("Experiment file " + recio::file_name(unit) + " holds more than " +
                  std::to_string(kMaxRecords) + " records, the most this program can index");
    keys.push_back(is_blank(key) ? std::string(kEmptyKey) : key);
  }
  entry->unit = unit;
  entry->keys = std::move(keys);
  INDEXSORT(entry->keys, entry->sorted);
  // Empty records sort last only among plain ASCII keys; a key with a byte
  // above '~' would leave them in the middle, visible to walks and lookups.
  auto empties = std::stable_partition(entry->sorted.begin(), entry->sorted.end(),
                                       [&](int record) { return entry->keys[record - 1] != kEmptyKey; });
  entry->count = static_cast<int>(empties - entry->sorted.begin());
  entry->cursor = 0;
}

void INDEXSORT(const std::vector<std::string>& keys, std::vector<int>& index) {
  const int n = static_cast<int>(keys.size());
  index.resize(keys.size());
  for (int i = 0; i < n; ++i) index[i] = i + 1;
  auto key = [&](int position) -> const std::string& { return keys[index[position - 1] - 1]; };
  int gap = n;
  int divisor = 8;
  for (;;) {
    if (gap == 15) divisor = 4;
    if (gap == 1) break;
    gap = (gap / divisor) * 2 + 1;
    for (int i = 1; i <= n - gap; ++i) {
      for (int j = i; j > 0; j -= gap) {
        if (recio::compare_padded(key(j), key(j + gap)) <= 0) break;
        std::swap(index[j - 1], index[j + gap - 1]);
      }
    }
  }
}

int READEXP(int unit, std::string& key, std::string& value) {
  StoreEntry& entry = loaded_entry(unit);
  if (is_blank(key)) {
    if (entry.cursor >= entry.count) {
      key = std::string(kKeyLength, ' ');
      value = std::string(value.size(), ' ');
      return 1;
    }
    ++entry.cursor;
    int record = entry.sorted[entry.cursor - 1];
    key = entry.keys[record - 1];
    return read_value(unit, record, value) == 0 ? 0 : 1;
  }
  return READEXP(unit, std::string_view(key), value);
}

int READEXP(int unit, std::string_view key, std::string& value) {
  StoreEntry& entry = loaded_entry(unit);
  if (is_blank(key)) {
    std::string walking(kKeyLength, ' ');
    return READEXP(unit, walking, value);
  }
  if (const int position = first_key_position(entry.keys, entry.sorted, entry.count, key)) {
    entry.cursor = position;
    return read_value(unit, entry.sorted[position - 1], value) == 0 ? 0 : 1;
  }
  entry.cursor = entry.count;
  value = std::string(value.size(), ' ');
  return 1;
}

void ISAMFAIL(int unit, std::string_view key) {
  (void)unit;
  std::size_t end = key.find_last_not_of(std::string_view(" \0", 2));
  std::string_view shown = end == std::string_view::npos ? std::string_view{} : key.substr(0, end + 1);
  recio::write(recio::kTerminalOut, "(A)", {" ISAM record with KEY = \"" + std::string(shown) + "\" has problems."});
  throw Stop{};  // the report above is all
}

void release_record_store(int unit) {
  if (StoreEntry* entry = entry_of(unit)) *entry = StoreEntry{};
}

}  // namespace vesk
