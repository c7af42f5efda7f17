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

void STARTISAM(int unit);
// Indirect Shell sort of keys (0-based list) into index (1-based record numbers).
void INDEXSORT(const std::vector<std::string>& keys, std::vector<int>& index);
// Status 0: found, value gets columns 13-80 cut or padded to its size.
// A blank key walks in key order and receives the key of the record returned.
int READEXP(int unit, std::string& key, std::string& value);
int READEXP(int unit, std::string_view key, std::string& value);
[[noreturn]] void ISAMFAIL(int unit, std::string_view key);

}  // namespace vesk
