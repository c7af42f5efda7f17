// Numbered file connections ("units") as the programs know them: 5 is
// standard input, 6 standard output and 0 the error stream, all preconnected
// (kTerminalIn, kTerminalOut, kErrorUnit).
//
// Every operation returns a status: 0 = success, -1 = end of file, a positive
// number otherwise (see status.hpp). A caller that cannot handle a failure
// passes the status to check(), which stops the run (vesk::Stop) with the
// runtime's message naming the error, the unit and the file, and exit status 1.
#pragma once
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "recio/error.hpp"
#include "recio/items.hpp"
#include "recio/limits.hpp"

namespace recio {

// The preconnected units: the terminal's answers, the terminal's output
// (prompts and reports) and the error stream.
constexpr int kTerminalIn = 5;
constexpr int kTerminalOut = 6;
constexpr int kErrorUnit = 0;

enum class OpenStatus { Old, New, Unknown };
enum class Access { Sequential, Direct, Append };
enum class Form { Formatted, Unformatted };

struct OpenSpec {
  OpenStatus status = OpenStatus::Unknown;
  Access access = Access::Sequential;
  Form form = Form::Formatted;
  int record_length = 0;  // bytes per record, direct access only
};

int open(int unit, const std::string& file, const OpenSpec& spec);
// A write that the system refuses while the buffer is written out or the
// file closed gives kWriteFailed.
int close(int unit);
int flush(int unit);
// The system's reason for the last failed open, write or close on the unit
// (strerror), empty when there is none.
std::string system_reason(int unit);
// A sequential write after a rewind truncates the rest of the file.
int rewind(int unit);

bool connected(int unit);
std::string file_name(int unit);  // blank when not connected
bool exists(const std::string& file);

// Formatted sequential write; a format ending in "$" leaves the line open.
int write(int unit, std::string_view format, std::initializer_list<OutItem> items);
int write(int unit, std::string_view format, std::span<const OutItem> items);
// One record as it stands, as "(A)" writes it.
int write_line(int unit, std::string_view record);
// Formatted sequential read of the next record(s).
int read(int unit, std::string_view format, std::initializer_list<InItem> items);
int read(int unit, std::string_view format, std::span<const InItem> items);
// The next record as it stands (no format), without its line end.
int read_line(int unit, std::string& record);
// Direct-access formatted read of record `record` (numbered from 1).
int read_direct(int unit, int record, std::string_view format, std::initializer_list<InItem> items);

// Unformatted sequential records framed by 4-byte little-endian byte counts.
int read_unformatted(int unit, std::vector<std::uint8_t>& data);
// One record read in two parts, so that a large array goes straight into its
// own storage: `head` receives the first head_bytes (fewer when the record is
// shorter), then `place_rest` is told the head and how many bytes follow it
// and returns where they go; what does not fit there is skipped.
using PlaceRest = std::function<std::span<std::uint8_t>(std::span<const std::uint8_t> head, std::size_t rest)>;
int read_unformatted(int unit, std::size_t head_bytes, std::vector<std::uint8_t>& head, const PlaceRest& place_rest);
int write_unformatted(int unit, std::span<const std::uint8_t> data);

void flush_all();

// Throws vesk::Stop when status is not 0, with the runtime's message
// ("I/O error N on unit ...") and exit status 1.
void check(int status, int unit);
[[noreturn]] void fail(int status, int unit);

// The end of a program, for its main: every unit is flushed and every file
// closed (the preconnected streams stay), then the stop's message is
// written on the error stream. Returns the exit status for main to return.
int stop(const vesk::Stop& stop);

}  // namespace recio
