// Bisection in the sorted key index against the scan from the first position.
#include "expfile/sorted_keys.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "expfile/record_store.hpp"
#include "recio/fixed_text.hpp"

namespace {

int scanned_position(const std::vector<std::string>& keys, const std::vector<int>& sorted, int count,
                     std::string_view key) {
  for (int position = 1; position <= count; ++position)
    if (recio::equal_padded(keys[static_cast<std::size_t>(sorted[static_cast<std::size_t>(position - 1)] - 1)], key))
      return position;
  return 0;
}

TEST(SortedKeys, BisectionFindsTheFirstPositionTheScanFinds) {
  std::mt19937 random(42);
  // Few distinct characters, so that keys repeat and share long prefixes;
  // bytes above '~' and blanks among them.
  const std::string alphabet = std::string(" AZ~") + '\x7f' + '\xe9';
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  auto make_key = [&](std::size_t length) {
    std::string key;
    for (std::size_t k = 0; k < length; ++k) key += alphabet[pick(random)];
    return key;
  };
  for (int round = 0; round < 40; ++round) {
    const int n = round * 7;
    std::vector<std::string> keys;
    for (int r = 0; r < n; ++r) keys.push_back(recio::pad(make_key(3), 12));
    std::vector<int> sorted;
    vesk::INDEXSORT(keys, sorted);
    for (int count : {n, n / 2}) {
      for (int q = 0; q < 60; ++q) {
        // Present keys, absent ones, and keys given shorter or longer than 12.
        std::string key = q % 3 == 0 && n > 0 ? keys[static_cast<std::size_t>(q) % keys.size()] : make_key(3);
        if (q % 5 == 1) key = key.substr(0, 2);
        if (q % 7 == 2) key = recio::pad(key, 14);
        EXPECT_EQ(vesk::first_key_position(keys, sorted, count, key), scanned_position(keys, sorted, count, key))
            << "n " << n << " count " << count << " key \"" << key << "\"";
      }
    }
  }
}

TEST(SortedKeys, EmptyIndexFindsNothing) {
  const std::vector<std::string> keys;
  const std::vector<int> sorted;
  EXPECT_EQ(vesk::first_key_position(keys, sorted, 0, "     VERSION"), 0);
}

}  // namespace
