// DBWS powder data (a title, then integer counts eight to a record) into the
// suite's powder data file (the title, a BANK header, counts ten to a record).
#pragma once
#include <array>
#include <string>

namespace vesk {

// NCH = 8 R + 1 must fit the header's 5-column field, so R stays below 12500.
constexpr int kMaxCountRecords = 12499;
// Room for the record that crosses the limit and for the zeros that pad
// the last output record of ten.
constexpr int kCountCapacity = 8 * (kMaxCountRecords + 1);

struct PowderCounts {
  std::string title = std::string(80, ' ');
  std::array<int, kCountCapacity> counts{};
  int records = 0;  // R: count records read completely

  int channel_count() const { return 8 * records + 1; }          // NCH
  int output_records() const { return (8 * records) / 10 + 1; }  // NREC
};

// Reads the title and every count record of `file`. Throws vesk::Error, naming
// the file, when it cannot be opened, has no title record or holds too many
// counts. A record with a field that is not an integer ends the counts.
void read_dbws(const std::string& file, PowderCounts& data);

// Writes the powder data file through a temporary file beside it, which
// replaces `file` only when complete. Throws vesk::Error naming the file.
void write_powder(const std::string& file, const PowderCounts& data);

}  // namespace vesk
