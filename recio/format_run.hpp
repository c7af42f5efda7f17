// Driving a parsed format: the formatted writes and the formatted read over
// any source of records.
#pragma once
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "recio/format.hpp"
#include "recio/items.hpp"

namespace recio {

// Supplies the next record of a read: returns 0, -1 at the end, or a status.
using RecordSource = std::function<int(std::string& record)>;

// The formatted read of `items` through `format`, taking records from `source`.
int read_formatted(const RecordSource& source, std::string_view format, std::span<const InItem> items);

}  // namespace recio
