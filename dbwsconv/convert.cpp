#include "dbwsconv/convert.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

// A name longer than the system takes is refused here, with its beginning,
// rather than cut to something that may name another file.
void check_name_length(const std::string& file, const std::string& what) {
  if (file.size() <= recio::kMaxFileName) return;
  throw Error("The name of the " + what + " beginning " + file.substr(0, 60) + " is longer than the " +
              std::to_string(recio::kMaxFileName) + " characters the system takes.");
}

bool same_file(const FileIdentity& identity, const struct stat& info) {
  return identity.known && identity.device == static_cast<std::uintmax_t>(info.st_dev) &&
         identity.inode == static_cast<std::uintmax_t>(info.st_ino);
}

// The temporary file is made new beside the file it will replace, under a
// short name of its own, so that it fits wherever the final name fits.
std::string temporary_beside(const std::string& target) {
  const std::filesystem::path folder = std::filesystem::path(target).parent_path();
  return (folder / (".dbwsconv." + std::to_string(::getpid()) + ".tmp")).string();
}

}  // namespace

void read_dbws(const std::string& file, PowderCounts& data) {
  if (file.empty()) throw Error("No DBWS data file name was given.");
  check_name_length(file, "DBWS data file");
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) throw Error("The DBWS data file " + file + " does not exist.");
    throw Error("The DBWS data file " + file + " cannot be opened: " + std::strerror(errno) + ".");
  }
  if (S_ISDIR(info.st_mode)) throw Error("The DBWS data file " + file + " is a folder.");
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::Old;
  int status = recio::open(kInputUnit, file, spec);
  if (status != 0)
    throw Error("The DBWS data file " + file + " cannot be opened: " + recio::status_text(status));
  data.source = {true, static_cast<std::uintmax_t>(info.st_dev), static_cast<std::uintmax_t>(info.st_ino)};
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
    if (status == recio::kRecordTooLong) {
      recio::close(kInputUnit);
      throw Error("Record " + std::to_string(data.records + 2) + " of the DBWS data file " + file +
                  " cannot be read: " + recio::status_text(status) + ".");
    }
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
  check_name_length(file, "output file");
  const std::string cannot = "The output file " + file + " cannot be written";
  std::string target = file;
  bool replacing = false;
  struct stat info {};
  if (::stat(file.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) throw Error(cannot + ": it is a folder.");
    // A device, pipe or socket would be replaced by a plain file.
    if (!S_ISREG(info.st_mode)) throw Error(cannot + ": it is not a regular file.");
    if (same_file(data.source, info)) throw Error(cannot + ": it is the DBWS data file being converted.");
    if (::access(file.c_str(), W_OK) != 0) throw Error(cannot + ": it is write-protected.");
    std::error_code error;
    target = std::filesystem::canonical(file, error).string();
    if (error) throw Error(cannot + ": " + error.message() + ".");
    replacing = true;
  } else if (errno != ENOENT) {
    throw Error(cannot + ": " + std::strerror(errno) + ".");
  }

  // Made new: never an existing file, nor one that a link placed there points to.
  const std::string temporary = temporary_beside(target);
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::New;
  int status = recio::open(kOutputUnit, temporary, spec);
  if (status != 0) throw Error(cannot + ": the new file " + temporary + " cannot be made beside it.");
  if (replacing) {
    std::error_code ignored;  // the permissions are a courtesy; the data is what matters
    std::filesystem::permissions(temporary, static_cast<std::filesystem::perms>(info.st_mode & 07777), ignored);
  }

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
  std::filesystem::rename(temporary, target, error);
  if (error) fail_output(temporary, cannot + ": " + error.message());
}

}  // namespace vesk
