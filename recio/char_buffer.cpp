#include "recio/char_buffer.hpp"

#include <algorithm>
#include <cstring>

namespace recio {

void CharBuffer::enlarge(std::size_t needed) {
  const std::size_t capacity = std::max({2 * capacity_, needed, std::size_t{256}});
  auto larger = std::make_unique_for_overwrite<char[]>(capacity);
  if (size_ > 0) std::memcpy(larger.get(), data_.get(), size_);
  data_ = std::move(larger);
  capacity_ = capacity;
}

void CharBuffer::append(std::string_view text) {
  if (!text.empty()) std::memcpy(grow(text.size()), text.data(), text.size());
}

void CharBuffer::append(std::size_t n, char c) {
  if (n > 0) std::memset(grow(n), c, n);
}

}  // namespace recio
