// The experiment file: 82-byte records (80 characters and CR LF), a 12-
// character key and a 68-character value each, found through a sorted key
// index built once per file. Values are always reread from the file.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

constexpr int kMaxRecords = 30000;
constexpr int kExperimentRecordLength = 82;
constexpr int kMaxLoadedFiles = 2;
constexpr std::string_view kEmptyKey = "~~~~~~~~~~~~";
constexpr std::string_view kTerminatorKey = "ZZZZZZZZZZZZ";

// Refuses (vesk::Error naming the file and the first bad record) a file that
// is not a whole number of 82-byte records each ending in CR LF, or that
// holds more than kMaxRecords records. A file edited into LF line ends or
// cut short would otherwise be read as shifted garbage.
void check_record_layout(const std::string& file);

// Loads the keys of the open file on `unit` into a free store entry; with no
// entry free it stops ("Halt in STARTISAM", exit status 1).
void STARTISAM(int unit);
// Indirect Shell sort of keys (0-based list) into index (1-based record numbers).
void INDEXSORT(const std::vector<std::string>& keys, std::vector<int>& index);
// Status 0: found, value gets columns 13-80 cut or padded to its size.
// A blank key walks in key order and receives the key of the record returned.
int READEXP(int unit, std::string& key, std::string& value);
int READEXP(int unit, std::string_view key, std::string& value);
// Reports a record the caller cannot do without and stops (vesk::Stop without
// text, exit status 1).
[[noreturn]] void ISAMFAIL(int unit, std::string_view key);

// Frees the store entry of `unit` (after its file is closed), so that a
// long-lived process such as a test can load further files.
void release_record_store(int unit);

}  // namespace vesk
