#include "recio/char_buffer.hpp"

#include <algorithm>
#include <cstring>

namespace recio {

char* CharBuffer::grow(std::size_t n) {
  if (size_ + n > capacity_) {
    const std::size_t capacity = std::max({2 * capacity_, size_ + n, std::size_t{256}});
    auto larger = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_ > 0) std::memcpy(larger.get(), data_.get(), size_);
    data_ = std::move(larger);
    capacity_ = capacity;
  }
  char* at = data_.get() + size_;
  size_ += n;
  return at;
}

void CharBuffer::append(std::string_view text) {
  if (!text.empty()) std::memcpy(grow(text.size()), text.data(), text.size());
}

void CharBuffer::append(std::size_t n, char c) {
  if (n > 0) std::memset(grow(n), c, n);
}

}  // namespace recio
