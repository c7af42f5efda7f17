#include "recio/units.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>

#include "recio/fixed_text.hpp"
#include "recio/format.hpp"
#include "recio/format_run.hpp"
#include "recio/status.hpp"

namespace recio {

namespace {

enum class LastOperation { None, Read, Write };

constexpr std::size_t kSequentialBuffer = 1 << 16;

struct Unit {
  std::FILE* file = nullptr;
  std::string name;  // blank for the preconnected streams
  OpenSpec opened_as;
  bool preconnected = false;
  bool can_read = false;
  bool can_write = false;
  LastOperation last = LastOperation::None;
  bool inside_long_record = false;  // the last read refused a record as too long
  std::vector<char> buffer;  // the stream's buffer, for sequential files
};

// The system's reason (errno) for the last failed open, write or close on
// each unit, kept after the unit is closed so that the message can give it.
std::map<int, int>& system_errors() {
  static auto* errors = new std::map<int, int>;
  return *errors;
}

void note_system_error(int number) { system_errors()[number] = errno; }

std::map<int, Unit>& units() {
  // Never destroyed: the streams' buffers live in it, and the C library
  // writes out what they still hold when the process exits.
  static std::map<int, Unit>* table = [] {
    auto* made = new std::map<int, Unit>;
    auto preconnect = [&](int number, std::FILE* file, bool reads) {
      Unit unit;
      unit.file = file;
      unit.preconnected = true;
      unit.can_read = reads;
      unit.can_write = !reads;
      (*made)[number] = unit;
    };
    preconnect(kTerminalIn, stdin, true);
    preconnect(kTerminalOut, stdout, false);
    preconnect(kErrorUnit, stderr, false);
    return made;
  }();
  return *table;
}

// The file each unit was last asked to open, for the messages of a failed open.
std::map<int, std::string>& attempted_files() {
  static auto* names = new std::map<int, std::string>;
  return *names;
}

Unit* find_unit(int number) {
  auto& table = units();
  auto found = table.find(number);
  return found == table.end() ? nullptr : &found->second;
}

void flush_unit(Unit& unit) {
  if (unit.file != nullptr && unit.can_write) std::fflush(unit.file);
}

// False when the buffered data or the close itself was refused (a full
// disk often shows only here).
bool close_unit(Unit& unit) {
  if (unit.file == nullptr) return true;
  bool written = !unit.can_write || std::fflush(unit.file) == 0;
  if (!unit.preconnected && std::fclose(unit.file) != 0) written = false;
  unit.file = nullptr;
  return written;
}

// The preconnected streams stay connected: only the process ends them.
void close_all() {
  auto& table = units();
  for (auto it = table.begin(); it != table.end();) {
    if (it->second.preconnected) {
      flush_unit(it->second);
      ++it;
    } else {
      close_unit(it->second);
      it = table.erase(it);
    }
  }
  std::fflush(stdout);
  std::fflush(stderr);
}

int prepare_read(Unit& unit) {
  if (!unit.can_read) return kWrongAccess;
  if (unit.last == LastOperation::Write) {
    std::fflush(unit.file);
    std::fseek(unit.file, 0, SEEK_CUR);
  }
  // A prompt left open with "$" must show before the terminal read blocks.
  if (unit.file == stdin) flush_all();
  unit.last = LastOperation::Read;
  return kOk;
}

enum class LineEnd { Newline, EndOfFile, TooLong };

// Takes characters up to the line end, at most kMaxRecordLength of them,
// appending them to `record` when one is given.
LineEnd take_line(std::FILE* file, std::string* record) {
  // The programs are single-threaded: no stream lock per character. The
  // characters go to the record a chunk at a time.
  char chunk[256];
  std::size_t filled = 0;
  auto keep = [&]() {
    if (record != nullptr) record->append(chunk, filled);
    filled = 0;
  };
  for (std::size_t taken = 0;; ++taken) {
    const int c = getc_unlocked(file);
    if (c == EOF || c == '\n' || taken == kMaxRecordLength) {
      keep();
      return c == EOF ? LineEnd::EndOfFile : c == '\n' ? LineEnd::Newline : LineEnd::TooLong;
    }
    chunk[filled++] = static_cast<char>(c);
    if (filled == sizeof chunk) keep();
  }
}

// After an end of file: kReadFailed when the system refused the read.
int end_of_file_status(std::FILE* file) {
  const bool failed = std::ferror(file) != 0;
  // Cleared so that a terminal can be read again after an end of file.
  std::clearerr(file);
  return failed ? kReadFailed : kEndOfFile;
}

int prepare_write(Unit& unit) {
  if (!unit.can_write) return kWrongAccess;
  if (unit.last != LastOperation::Write && !unit.preconnected) {
    // A sequential write makes its record the last one of the file: what
    // followed the current position (after a rewind or reads) is dropped.
    // Pipes and devices have no rest to drop.
    std::fflush(unit.file);
    struct stat info {};
    const long position = std::ftell(unit.file);
    if (position >= 0 && fstat(fileno(unit.file), &info) == 0 && S_ISREG(info.st_mode) && position < info.st_size) {
      if (ftruncate(fileno(unit.file), position) != 0) return kWriteFailed;
    }
    if (position >= 0) std::fseek(unit.file, position, SEEK_SET);
  }
  unit.last = LastOperation::Write;
  return kOk;
}

// Finds a connected unit for an operation of the given form; sequential
// operations also refuse direct-access units.
int sequential_unit(int number, Form form, Unit*& unit) {
  unit = find_unit(number);
  if (unit == nullptr || unit->file == nullptr) return number < 0 ? kBadUnit : kNotConnected;
  if (unit->opened_as.form != form || unit->opened_as.access == Access::Direct) return kWrongAccess;
  return kOk;
}

long file_size(std::FILE* file) {
  struct stat info {};
  if (fstat(fileno(file), &info) != 0) return -1;
  return static_cast<long>(info.st_size);
}

int read_bytes(Unit& unit, std::uint8_t* to, std::size_t count, std::size_t& got) {
  got = 0;
  if (count == 0) return kOk;
  got = std::fread(to, 1, count, unit.file);
  if (got < count && std::ferror(unit.file)) {
    std::clearerr(unit.file);
    return kReadFailed;
  }
  return kOk;
}

std::uint32_t little_endian_count(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::string describe_unit(int number) {
  Unit* unit = find_unit(number);
  std::string text = "unit " + std::to_string(number);
  if (unit == nullptr || unit->file == nullptr) {
    auto attempted = attempted_files().find(number);
    if (attempted != attempted_files().end()) return text + " (not connected), file " + attempted->second;
    return text + " (not connected)";
  }
  if (unit->file == stdin) return text + " (standard input)";
  if (unit->file == stdout) return text + " (standard output)";
  if (unit->file == stderr) return text + " (error stream)";
  return text + ", file " + unit->name;
}

}  // namespace

int open(int number, const std::string& file, const OpenSpec& request) {
  if (number < 0) return kBadUnit;
  const std::string name(trim_right(file));
  attempted_files()[number] = name;
  system_errors().erase(number);
  if (Unit* old = find_unit(number)) {
    close_unit(*old);
    units().erase(number);
  }
  if (name.empty()) return kOpenFailed;
  if (request.access == Access::Direct && request.record_length <= 0) return kWrongAccess;
  std::error_code error;
  // The reason goes into the message of a failed open as the system's would.
  auto refuse = [number](int reason) {
    system_errors()[number] = reason;
    return kOpenFailed;
  };
  if (std::filesystem::is_directory(name, error)) return refuse(EISDIR);
  const bool present = exists(name);
  if (request.status == OpenStatus::Old && !present) return refuse(ENOENT);
  if (request.status == OpenStatus::New && present) return refuse(EEXIST);

  Unit unit;
  unit.name = name;
  unit.opened_as = request;
  unit.can_read = true;
  unit.can_write = true;
  if (present) {
    unit.file = std::fopen(name.c_str(), "r+b");
    if (unit.file == nullptr) {  // a read-only file still opens for reading
      unit.file = std::fopen(name.c_str(), "rb");
      unit.can_write = false;
    }
  } else {
    unit.file = std::fopen(name.c_str(), "w+bx");
  }
  if (unit.file == nullptr) return refuse(errno);
  // Sequential files are read or written through in long runs: a larger
  // buffer spares system calls (a listing of 10 MB is 2500 writes of 4 KB).
  if (request.access != Access::Direct) {
    unit.buffer.resize(kSequentialBuffer);
    std::setvbuf(unit.file, unit.buffer.data(), _IOFBF, unit.buffer.size());
  }
  if (request.access == Access::Append) std::fseek(unit.file, 0, SEEK_END);
  units()[number] = std::move(unit);
  return kOk;
}

int close(int number) {
  if (Unit* unit = find_unit(number)) {
    errno = 0;
    const int status = close_unit(*unit) ? kOk : kWriteFailed;
    if (status != kOk) note_system_error(number);
    units().erase(number);
    return status;
  }
  return kOk;
}

int flush(int number) {
  Unit* unit = find_unit(number);
  if (unit == nullptr || unit->file == nullptr) return kNotConnected;
  if (!unit->can_write) return kOk;
  errno = 0;
  if (std::fflush(unit->file) != 0 || std::ferror(unit->file)) {
    note_system_error(number);
    std::clearerr(unit->file);
    return kWriteFailed;
  }
  return kOk;
}

std::string system_reason(int number) {
  auto found = system_errors().find(number);
  return found == system_errors().end() || found->second == 0 ? std::string() : std::strerror(found->second);
}

int rewind(int number) {
  Unit* unit = find_unit(number);
  if (unit == nullptr || unit->file == nullptr) return kNotConnected;
  if (unit->opened_as.access == Access::Direct) return kWrongAccess;
  flush_unit(*unit);
  if (std::fseek(unit->file, 0, SEEK_SET) != 0) return kWrongAccess;
  std::clearerr(unit->file);
  unit->last = LastOperation::None;
  unit->inside_long_record = false;
  return kOk;
}

bool connected(int number) {
  Unit* unit = find_unit(number);
  return unit != nullptr && unit->file != nullptr;
}

std::string file_name(int number) {
  Unit* unit = find_unit(number);
  return unit != nullptr && unit->file != nullptr ? unit->name : std::string();
}

bool exists(const std::string& file) {
  std::error_code error;
  const std::filesystem::path path(std::string(trim_right(file)));
  return std::filesystem::exists(path, error) && !std::filesystem::is_directory(path, error);
}

int write(int number, std::string_view format, std::initializer_list<OutItem> items) {
  return write(number, format, std::span<const OutItem>(items.begin(), items.size()));
}

int write(int number, std::string_view format, std::span<const OutItem> items) {
  Unit* unit = nullptr;
  int status = sequential_unit(number, Form::Formatted, unit);
  if (status != kOk) return status;
  // One buffer for every write: its storage stays from write to write.
  static auto* buffer = new RecordBuffer;
  write_into(*buffer, format, items);
  status = prepare_write(*unit);
  if (status != kOk) return status;
  errno = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < buffer->ends.size(); ++i) {
    // An empty record has no characters (and may have no storage) to write.
    if (buffer->ends[i] > start)
      std::fwrite(buffer->text.view().data() + start, 1, buffer->ends[i] - start, unit->file);
    start = buffer->ends[i];
    // "$" leaves the last record open for what follows on the same line.
    if (i + 1 < buffer->ends.size() || !buffer->open_line) std::fputc('\n', unit->file);
  }
  if (std::ferror(unit->file)) {
    note_system_error(number);
    std::clearerr(unit->file);
    return kWriteFailed;
  }
  return kOk;
}

int write_line(int number, std::string_view record) {
  Unit* unit = nullptr;
  int status = sequential_unit(number, Form::Formatted, unit);
  if (status != kOk) return status;
  status = prepare_write(*unit);
  if (status != kOk) return status;
  if (!record.empty()) std::fwrite(record.data(), 1, record.size(), unit->file);
  std::fputc('\n', unit->file);
  if (std::ferror(unit->file)) {
    std::clearerr(unit->file);
    return kWriteFailed;
  }
  return kOk;
}

int read(int number, std::string_view format, std::initializer_list<InItem> items) {
  return read(number, format, std::span<const InItem>(items.begin(), items.size()));
}

int read(int number, std::string_view format, std::span<const InItem> items) {
  Unit* unit = nullptr;
  int status = sequential_unit(number, Form::Formatted, unit);
  if (status != kOk) return status;
  auto source = [number](std::string& record) { return read_line(number, record); };
  return read_formatted(source, format, items);
}

int read_line(int number, std::string& record) {
  Unit* unit = nullptr;
  int status = sequential_unit(number, Form::Formatted, unit);
  if (status != kOk) return status;
  status = prepare_read(*unit);
  if (status != kOk) return status;
  record.clear();
  if (unit->inside_long_record) {
    const LineEnd end = take_line(unit->file, nullptr);
    if (end == LineEnd::TooLong) return kRecordTooLong;
    unit->inside_long_record = false;
    if (end == LineEnd::EndOfFile) return end_of_file_status(unit->file);
  }
  const LineEnd end = take_line(unit->file, &record);
  if (end == LineEnd::TooLong) {
    unit->inside_long_record = true;
    return kRecordTooLong;
  }
  if (end == LineEnd::EndOfFile) {
    const int status = end_of_file_status(unit->file);
    if (status == kReadFailed || record.empty()) return status;
  }
  if (!record.empty() && record.back() == '\r') record.pop_back();
  return kOk;
}

int read_direct(int number, int record, std::string_view format, std::initializer_list<InItem> items) {
  Unit* unit = find_unit(number);
  if (unit == nullptr || unit->file == nullptr) return number < 0 ? kBadUnit : kNotConnected;
  if (unit->opened_as.access != Access::Direct || unit->opened_as.form != Form::Formatted) return kWrongAccess;
  if (record < 1) return kNoSuchRecord;
  int status = prepare_read(*unit);
  if (status != kOk) return status;
  const auto length = static_cast<std::size_t>(unit->opened_as.record_length);
  long next = record;
  // A "/" in the format goes on to the following record, as direct access does.
  auto source = [&](std::string& text) {
    // One positioned read of the record alone: a seek and a read through
    // the stream would fetch a whole buffer for each record of a lookup.
    const off_t offset = static_cast<off_t>(next - 1) * static_cast<off_t>(length);
    text.assign(length, '\0');
    std::size_t got = 0;
    while (got < length) {
      const ssize_t part = pread(fileno(unit->file), text.data() + got, length - got, offset + static_cast<off_t>(got));
      if (part < 0 && errno == EINTR) continue;
      if (part < 0) return kReadFailed;
      if (part == 0) break;
      got += static_cast<std::size_t>(part);
    }
    if (got == 0) return kNoSuchRecord;
    text.resize(got);
    // The record's line end is not part of its data.
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    ++next;
    return kOk;
  };
  return read_formatted(source, format, std::span<const InItem>(items.begin(), items.size()));
}

int read_unformatted(int number, std::vector<std::uint8_t>& data) {
  return read_unformatted(number, std::numeric_limits<std::size_t>::max(), data,
                          [](std::span<const std::uint8_t>, std::size_t) { return std::span<std::uint8_t>(); });
}

int read_unformatted(int number, std::size_t head_bytes, std::vector<std::uint8_t>& head,
                     const PlaceRest& place_rest) {
  Unit* unit = nullptr;
  int status = sequential_unit(number, Form::Unformatted, unit);
  if (status != kOk) return status;
  status = prepare_read(*unit);
  if (status != kOk) return status;
  std::uint8_t frame[4];
  std::size_t got = 0;
  status = read_bytes(*unit, frame, 4, got);
  if (status != kOk) return status;
  if (got == 0) return kEndOfFile;
  if (got < 4) return kBadUnformatted;
  const std::uint32_t count = little_endian_count(frame);
  const long position = std::ftell(unit->file);
  const long size = file_size(unit->file);
  // The count must leave room for the data and the trailing count.
  if (count > 0x7fffffffu || position < 0 || size < 0 || static_cast<long>(count) + 4 > size - position)
    return kBadUnformatted;
  head.resize(std::min<std::size_t>(count, head_bytes));
  status = read_bytes(*unit, head.data(), head.size(), got);
  if (status != kOk) return status;
  if (got < head.size()) return kBadUnformatted;
  const std::size_t rest = count - head.size();
  if (rest > 0) {
    const std::span<std::uint8_t> into = place_rest(head, rest);
    const std::size_t taken = std::min(into.size(), rest);
    status = read_bytes(*unit, into.data(), taken, got);
    if (status != kOk) return status;
    if (got < taken) return kBadUnformatted;
    if (taken < rest && std::fseek(unit->file, static_cast<long>(rest - taken), SEEK_CUR) != 0) return kReadFailed;
  }
  status = read_bytes(*unit, frame, 4, got);
  if (status != kOk) return status;
  if (got < 4 || little_endian_count(frame) != count) return kBadUnformatted;
  return kOk;
}

int write_unformatted(int number, std::span<const std::uint8_t> data) {
  Unit* unit = nullptr;
  int status = sequential_unit(number, Form::Unformatted, unit);
  if (status != kOk) return status;
  if (data.size() > 0x7fffffffu) return kWriteFailed;
  status = prepare_write(*unit);
  if (status != kOk) return status;
  const auto count = static_cast<std::uint32_t>(data.size());
  const std::uint8_t frame[4] = {static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8),
                                 static_cast<std::uint8_t>(count >> 16), static_cast<std::uint8_t>(count >> 24)};
  errno = 0;
  std::fwrite(frame, 1, 4, unit->file);
  if (!data.empty()) std::fwrite(data.data(), 1, data.size(), unit->file);
  std::fwrite(frame, 1, 4, unit->file);
  if (std::ferror(unit->file)) {
    note_system_error(number);
    std::clearerr(unit->file);
    return kWriteFailed;
  }
  return kOk;
}

void flush_all() {
  for (auto& [number, unit] : units()) flush_unit(unit);
  std::fflush(stdout);
  std::fflush(stderr);
}

void check(int status, int unit) {
  if (status != kOk) fail(status, unit);
}

void fail(int status, int unit) {
  const std::string reason = system_reason(unit);
  throw vesk::Stop{"I/O error " + std::to_string(status) + " on " + describe_unit(unit) + ": " + status_text(status) +
                       (reason.empty() ? "" : " (" + reason + ")") + "\n",
                   1};
}

int stop(const vesk::Stop& stop) {
  close_all();
  std::fputs(stop.message.c_str(), stderr);
  std::fflush(stderr);
  return stop.exit_status;
}

}  // namespace recio
