// DBWS powder data (a title, then integer counts eight to a record) into the
// suite's powder data file (the title, a BANK header, counts ten to a record).
#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "recio/units.hpp"

namespace vesk {

// A file name typed by the user is taken into a field one longer than the
// longest name the system takes, so that a longer one is refused, never cut.
constexpr std::size_t kFileNameField = recio::kMaxFileName + 1;

// Where a file lives on disk, so that the output is never the input under
// another name (the same name twice, a link, another path to it).
struct FileIdentity {
  bool known = false;
  std::uintmax_t device = 0;
  std::uintmax_t inode = 0;
};

// NCH = 8 R + 1 must fit the header's 5-column field, so R stays below 12500.
constexpr int kMaxCountRecords = 12499;
// Room for the record that crosses the limit and for the zeros that pad
// the last output record of ten.
constexpr int kCountCapacity = 8 * (kMaxCountRecords + 1);

struct PowderCounts {
  std::string title = std::string(80, ' ');
  std::array<int, kCountCapacity> counts{};
  int records = 0;  // R: count records read completely
  FileIdentity source;  // the DBWS data file the counts came from

  int channel_count() const { return 8 * records + 1; }          // NCH
  int output_records() const { return (8 * records) / 10 + 1; }  // NREC
};

// Reads the title and every count record of `file`. Throws vesk::Error, naming
// the file, when it cannot be opened, has no title record, holds too many
// counts or a record without end. A record with a field that is not an
// integer ends the counts.
void read_dbws(const std::string& file, PowderCounts& data);

// Writes the powder data file through a new temporary file beside it, which
// replaces `file` only when complete. `file` must be absent or a regular file
// other than the DBWS data file read; a link is followed, so that its target
// is replaced and the link kept. Throws vesk::Error naming the file.
void write_powder(const std::string& file, const PowderCounts& data);

}  // namespace vesk
