// Bisection in the sorted key index against the scan from the first position.
#include "expfile/sorted_keys.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "expfile/record_store.hpp"
#include "recio/fixed_text.hpp"
#include "tests/support/expfile_builder.hpp"
#include "tests/support/run_program.hpp"

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

// READEXP through the store against a scan of the same index: the value of
// the first matching position, and a cursor there (the next walk step returns
// the record after it), or at the end when the key is absent.
TEST(SortedKeys, READEXPGivesTheScansRecordAndCursor) {
  testing_support::TempFolder folder;
  auto builder = testing_support::minimal_experiment();
  for (int n = 0; n < 300; ++n) {
    const std::string key = "  K" + std::to_string(n % 97);  // keys repeat
    builder.add(key, "value " + std::to_string(n));
  }
  builder.empty_records(20).seed(99);
  builder.write(folder / "LOOK.EXP");
  const std::string bytes = builder.bytes();

  // The model: keys in file order, the index sorted the same way, empties dropped.
  std::vector<std::string> keys, values;
  for (std::size_t at = 0; at + 82 <= bytes.size(); at += 82) {
    std::string key = bytes.substr(at, 12);
    if (key == std::string(12, ' ')) key = "~~~~~~~~~~~~";
    keys.push_back(key);
    values.push_back(bytes.substr(at + 12, 68));
  }
  std::vector<int> sorted;
  vesk::INDEXSORT(keys, sorted);
  std::erase_if(sorted, [&](int record) { return keys[static_cast<std::size_t>(record - 1)] == "~~~~~~~~~~~~"; });
  const int count = static_cast<int>(sorted.size());

  testing_support::OpenExperiment open(folder / "LOOK.EXP");
  for (int n = 0; n < 110; ++n) {
    const std::string key = recio::pad("  K" + std::to_string(n), 12);
    std::string value(68, ' ');
    const int status = vesk::READEXP(open.unit, key, value);
    const int position = scanned_position(keys, sorted, count, key);
    ASSERT_EQ(status, position > 0 ? 0 : 1) << key;
    if (position > 0) {
      EXPECT_EQ(value, values[static_cast<std::size_t>(sorted[static_cast<std::size_t>(position - 1)] - 1)]);
    }
    std::string walked(12, ' ');
    const int next = vesk::READEXP(open.unit, walked, value);
    if (position > 0 && position < count) {
      ASSERT_EQ(next, 0) << key;
      const auto record = static_cast<std::size_t>(sorted[static_cast<std::size_t>(position)] - 1);
      EXPECT_EQ(walked, keys[record]) << key;
      EXPECT_EQ(value, values[record]) << key;
    } else {
      EXPECT_EQ(next, 1) << key;
    }
  }
}

}  // namespace
