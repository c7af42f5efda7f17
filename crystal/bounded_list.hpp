// A list with a fixed capacity: adding past it throws vesk::Error with the
// caller's message instead of growing or overrunning.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "recio/error.hpp"

namespace vesk {

template <class T, std::size_t N>
class BoundedList {
 public:
  static constexpr std::size_t capacity = N;

  void push_back(const T& item, const char* what = "list") {
    if (items_.size() >= N)
      throw Error(std::string("Too many entries in the ") + what + " (at most " + std::to_string(N) + ")");
    items_.push_back(item);
  }
  bool full() const { return items_.size() >= N; }
  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  void clear() { items_.clear(); }
  T& operator[](std::size_t i) { return items_[i]; }
  const T& operator[](std::size_t i) const { return items_[i]; }
  T& back() { return items_.back(); }
  auto begin() { return items_.begin(); }
  auto end() { return items_.end(); }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::vector<T> items_;
};

}  // namespace vesk
