#include "dbwsconv/convert.hpp"

#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <span>
#include <system_error>

#include "recio/error.hpp"
#include "recio/status.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

constexpr int kInputUnit = 1;
constexpr int kOutputUnit = 2;

[[noreturn]] void fail_output(const std::string& temporary, const std::string& message) {
  recio::close(kOutputUnit);
  std::error_code ignored;
  std::filesystem::remove(temporary, ignored);
  throw Error(message);
}

}  // namespace

void read_dbws(const std::string& file, PowderCounts& data) {
  if (file.empty()) throw Error("No DBWS data file name was given.");
  if (!recio::exists(file)) throw Error("The DBWS data file " + file + " does not exist.");
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::Old;
  int status = recio::open(kInputUnit, file, spec);
  if (status != 0)
    throw Error("The DBWS data file " + file + " cannot be opened: " + recio::status_text(status));
  status = recio::read(kInputUnit, "(A)", {data.title});
  if (status != 0) {
    recio::close(kInputUnit);
    if (status == recio::kEndOfFile) throw Error("The DBWS data file " + file + " has no title record.");
    throw Error("The title record of the DBWS data file " + file + " cannot be read: " + recio::status_text(status));
  }
  data.records = 0;
  for (;;) {
    int* fields = data.counts.data() + 8 * data.records;
    recio::InItem items[] = {fields[0], fields[1], fields[2], fields[3],
                             fields[4], fields[5], fields[6], fields[7]};
    status = recio::read(kInputUnit, "(8I8)", std::span<const recio::InItem>(items));
    if (status != 0) break;
    ++data.records;
    if (data.records > kMaxCountRecords) {
      recio::close(kInputUnit);
      throw Error("The DBWS data file " + file + " holds more than " + std::to_string(8 * kMaxCountRecords) +
                  " counts; the channel count would not fit the 5-column field of the BANK header.");
    }
  }
  recio::close(kInputUnit);
  if (status != recio::kEndOfFile) {
    // The counts end at a record that is not all integers, as they always
    // have; say so, since whatever follows it is left out.
    std::cerr << "Warning: record " << data.records + 2 << " of the DBWS data file " << file
              << " is not a record of integer counts (" << recio::status_text(status)
              << "); the counts end before it.\n";
  }
}

void write_powder(const std::string& file, const PowderCounts& data) {
  if (file.empty()) throw Error("No output file name was given.");
  const std::string cannot = "The output file " + file + " cannot be written";
  if (std::filesystem::is_directory(file)) throw Error(cannot + ": it is a folder.");
  if (recio::exists(file) && ::access(file.c_str(), W_OK) != 0) throw Error(cannot + ": it is write-protected.");

  const std::string temporary = file + ".tmp" + std::to_string(::getpid());
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::Unknown;
  int status = recio::open(kOutputUnit, temporary, spec);
  if (status != 0) throw Error(cannot + ": " + recio::status_text(status));

  status = recio::write(kOutputUnit, "(A)", {data.title});
  if (status == 0)
    status = recio::write(kOutputUnit, "(A,2I5,A)",
                          {"BANK 1 ", data.channel_count(), data.output_records(), " CONST"});
  for (int i = 0; status == 0 && i < data.output_records(); ++i) {
    const int* c = data.counts.data() + 10 * i;
    recio::OutItem items[] = {c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9]};
    status = recio::write(kOutputUnit, "(10I8)", std::span<const recio::OutItem>(items));
  }
  if (status != 0) fail_output(temporary, cannot + ": " + recio::status_text(status));
  status = recio::close(kOutputUnit);
  if (status != 0) fail_output(temporary, cannot + ": " + recio::status_text(status));

  std::error_code error;
  std::filesystem::rename(temporary, file, error);
  if (error) fail_output(temporary, cannot + ": " + error.message());
}

}  // namespace vesk
