// Characters of output records, appended without being filled first: the
// record builders write each field in place, so the storage only grows and
// is never initialised twice. It keeps its storage when cleared.
#pragma once
#include <cstddef>
#include <memory>
#include <string_view>

namespace recio {

class CharBuffer {
 public:
  void clear() { size_ = 0; }
  std::size_t size() const { return size_; }
  std::string_view view() const { return {data_.get(), size_}; }
  // n more characters at the end, for the caller to write. Inline: every
  // field of a record built in place comes through here.
  char* grow(std::size_t n) {
    if (size_ + n > capacity_) enlarge(size_ + n);
    char* at = data_.get() + size_;
    size_ += n;
    return at;
  }
  void append(std::string_view text);
  void append(std::size_t n, char c);

 private:
  // Storage for at least `needed` characters, the present ones kept.
  void enlarge(std::size_t needed);

  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace recio
