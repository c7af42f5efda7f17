// Driving a parsed format: the walk through its edits (repeat counts, groups,
// reversion) and the formatted read over any source of records.
#pragma once
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "recio/format.hpp"
#include "recio/items.hpp"

namespace recio {

// Yields a format's edits in execution order. Groups and repeat counts are
// unrolled; at the end of the format `next` returns nullptr, after which
// `revert` restarts at the reversion point.
class EditWalker {
 public:
  explicit EditWalker(const Format& format) : format_(format) {}
  const DataEdit* next();
  void revert();

 private:
  struct OpenGroup {
    int start;
    int remaining;
  };
  const Format& format_;
  std::size_t pc_ = 0;
  int repeats_done_ = 0;  // of the edit at pc_
  std::vector<OpenGroup> groups_;
};

// Supplies the next record of a read: returns 0, -1 at the end, or a status.
using RecordSource = std::function<int(std::string& record)>;

// The formatted read of `items` through `format`, taking records from `source`.
int read_formatted(const RecordSource& source, std::string_view format, std::span<const InItem> items);

}  // namespace recio
