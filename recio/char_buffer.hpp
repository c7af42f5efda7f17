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
  // n more characters at the end, for the caller to write.
  char* grow(std::size_t n);
  void append(std::string_view text);
  void append(std::size_t n, char c);

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace recio
