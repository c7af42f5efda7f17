// Lookups in the store's sorted key index by bisection. The index is in
// ascending order of blank-padded keys (character codes), so the first
// position not below a key is the first position that equals it: the
// position a scan from the start would stop at.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

// keys[r - 1] is the key of record r; sorted[0 .. count - 1] hold record
// numbers in ascending key order. Returns the first position (from 1) whose
// key equals `key` as blank-padded text, or 0 when none does.
int first_key_position(const std::vector<std::string>& keys, const std::vector<int>& sorted, int count,
                       std::string_view key);

}  // namespace vesk
