#include "expfile/sorted_keys.hpp"

#include "recio/fixed_text.hpp"

namespace vesk {

int first_key_position(const std::vector<std::string>& keys, const std::vector<int>& sorted, int count,
                       std::string_view key) {
  auto key_at = [&](int position) -> const std::string& {
    return keys[static_cast<std::size_t>(sorted[static_cast<std::size_t>(position - 1)] - 1)];
  };
  // Invariant: positions below `low` hold smaller keys, positions from `high` on do not.
  int low = 1;
  int high = count + 1;
  while (low < high) {
    const int middle = low + (high - low) / 2;
    if (recio::compare_padded(key_at(middle), key) < 0)
      low = middle + 1;
    else
      high = middle;
  }
  return low <= count && recio::equal_padded(key_at(low), key) ? low : 0;
}

}  // namespace vesk
