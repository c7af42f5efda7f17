// Limits of the record I/O: the longest record and the longest file name.
#pragma once
#include <climits>
#include <cstddef>

namespace recio {

// The longest record a sequential read takes. A line without end (a device
// such as /dev/zero, a damaged file) is refused at this bound instead of being
// read into memory without end; the rest of a refused record is skipped by
// the next read, so that what follows it is never taken for a record.
constexpr std::size_t kMaxRecordLength = 65536;
// The longest file name the system takes (PATH_MAX less the closing NUL).
constexpr std::size_t kMaxFileName = PATH_MAX - 1;

}  // namespace recio
