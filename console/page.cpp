#include "console/page.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "console/text_utils.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

constexpr int kLastPagedUnit = 99;  // the page arrays are indexed by unit 1 to 99
constexpr int kDefaultPageLength = 60;
constexpr std::size_t kTitleLength = 66;
constexpr std::size_t kProgramNameLength = 8;
constexpr std::size_t kVersionLength = 6;
constexpr std::size_t kDateLength = 24;

struct PageState {
  std::string title = std::string(kTitleLength, ' ');
  std::string program_name = std::string(kProgramNameLength, ' ');
  std::string version = std::string(kVersionLength, ' ');
  std::array<int, kLastPagedUnit + 1> page_number{};
  std::array<int, kLastPagedUnit + 1> line_count{};
  int page_length = 0;
  std::string program_path;
};

PageState& state() {
  static PageState page_state;
  return page_state;
}

std::size_t paged_index(int unit) {
  if (unit < 1 || unit > kLastPagedUnit)
    throw Error("unit " + std::to_string(unit) + " cannot be paginated (units 1 to 99 only)");
  return static_cast<std::size_t>(unit);
}

void checked_write(int unit, std::string_view format, std::initializer_list<recio::OutItem> items) {
  recio::check(recio::write(unit, format, items), unit);
}

// SOURCE_DATE_EPOCH, when set to a whole number of seconds, stands in for
// every date of the listing so that runs are byte-reproducible.
std::optional<std::time_t> reproducible_time() {
  const char* text = std::getenv("SOURCE_DATE_EPOCH");
  if (text == nullptr || *text == '\0') return std::nullopt;
  long long seconds = 0;
  const char* end = text + std::char_traits<char>::length(text);
  auto [rest, error] = std::from_chars(text, end, seconds);
  if (error != std::errc() || rest != end || seconds < 0) return std::nullopt;
  return static_cast<std::time_t>(seconds);
}

// The 24-character layout of the C library's ctime, e.g. "Tue Nov 14 22:13:20 2023";
// local time as ctime gives it, or UTC for a reproducible date.
std::string ctime_text(std::time_t when, bool utc) {
  static const char* const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm parts{};
  if ((utc ? gmtime_r(&when, &parts) : localtime_r(&when, &parts)) == nullptr) return std::string(kDateLength, ' ');
  char text[64];
  std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kWeekdays[parts.tm_wday % 7],
                kMonths[parts.tm_mon % 12], parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                parts.tm_year + 1900);
  return recio::pad(text, kDateLength);
}

std::string current_date_text() {
  if (auto fixed = reproducible_time()) return ctime_text(*fixed, true);
  return ctime_text(std::time(nullptr), false);
}

// The executable named by the invocation name: a path as given, or a bare
// name looked up along PATH; /proc/self/exe when neither is found.
std::optional<std::time_t> executable_time() {
  struct stat info {};
  const std::string& name = state().program_path;
  if (!name.empty()) {
    if (name.find('/') != std::string::npos) {
      if (::stat(name.c_str(), &info) == 0) return info.st_mtime;
    } else if (const char* path = std::getenv("PATH")) {
      std::string_view folders(path);
      while (true) {
        const std::size_t colon = folders.find(':');
        std::string folder(folders.substr(0, colon));
        const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0 && ::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode))
          return info.st_mtime;
        if (colon == std::string_view::npos) break;
        folders.remove_prefix(colon + 1);
      }
    }
  }
  if (::stat("/proc/self/exe", &info) == 0) return info.st_mtime;
  return std::nullopt;
}

// The page length from LENPAGE: its first two characters as an integer.
// Anything that does not read as a positive integer gives the default.
int page_length_from_environment() {
  std::string value(3, ' ');
  if (ENVLEN("LENPAGE", value) == 0) return kDefaultPageLength;
  int length = 0;
  if (recio::read_string(value.substr(0, 2), "(I2)", {length}) != 0 || length < 1) return kDefaultPageLength;
  return length;
}

// Blank counts of a built format: negative counts (names too long for the
// frame) become 0 rather than a malformed format.
int blanks(int count) { return count < 0 ? 0 : count; }

// The credit box of the banner: four lines, each centred in 63 characters.
constexpr std::size_t kCreditWidth = 63;
const char* const kCredits[4] = {
    "Crystal structure distances, bond angles and their esds",      // 0
    "from a refined structure and its least-squares covariances",   // 1
    "Free software rebuilt in C++; it comes with no warranty",      // 2
    "Report problems to the maintainers of your installation",      // 3
};

// One line of a banner description: lines are split at each "|", and the
// last character always belongs to the last line, even when it is a "|".
struct DescriptionLine {
  std::size_t start = 0, length = 0, next = 0;
};

DescriptionLine next_line(std::string_view description, std::size_t start) {
  std::size_t end = start;
  while (end + 1 < description.size() && description[end] != '|') ++end;
  const bool ends_at_bar = description[end] == '|' && end + 1 < description.size();
  return {start, ends_at_bar ? end - start : end - start + 1, end + 1};
}

std::string centred(std::string_view text, std::size_t width) {
  const std::size_t left = text.size() < width ? (width - text.size()) / 2 : 0;
  return recio::pad(std::string(left, ' ') + std::string(text), width);
}

}  // namespace

void set_page_title(std::string_view title) { state().title = recio::pad(title, kTitleLength); }

void PAGEHEAD(int unit) {
  PageState& s = state();
  const std::size_t index = paged_index(unit);
  s.line_count[index] = 2;
  ++s.page_number[index];
  const std::string date = NOWDATE();
  checked_write(unit, "('1',A,1X,A,1X,'Version ',A,1X,A,1X,'Page',I4/)",
                {s.title, s.program_name, s.version, date, s.page_number[index]});
}

int LINECHK(int unit, int n) {
  PageState& s = state();
  const std::size_t index = paged_index(unit);
  int new_page = 0;
  if (s.page_length < s.line_count[index] + n) {
    PAGEHEAD(unit);
    new_page = 1;
  }
  s.line_count[index] += n;
  return new_page;
}

void set_line_count(int unit, int count) { state().line_count[paged_index(unit)] = count; }
int line_count(int unit) { return state().line_count[paged_index(unit)]; }
int page_number(int unit) { return state().page_number[paged_index(unit)]; }
int page_length() { return state().page_length; }
void set_page_length(int length) { state().page_length = length; }

void reset_page_state() {
  const std::string program_path = state().program_path;
  state() = PageState{};
  state().program_path = program_path;
}

void PROGVERSION(std::string& text) { text = recio::pad("Win32 6.0", text.size()); }

std::string PROGDATE() {
  if (auto fixed = reproducible_time()) return ctime_text(*fixed, true);
  if (auto modified = executable_time()) return ctime_text(*modified, false);
  return std::string(kDateLength, ' ');
}

std::string NOWDATE() { return current_date_text().substr(4, 20); }

void set_program_path(std::string_view argv0) { state().program_path = std::string(argv0); }

void BANNER(int unit, std::string_view name, std::string_view description) {
  PageState& s = state();
  PROGVERSION(s.version);
  s.page_length = page_length_from_environment();
  s.program_name = recio::pad(name, kProgramNameLength);
  const std::string date = PROGDATE();

  int width = 0;
  for (std::size_t start = 0; start < description.size();) {
    const DescriptionLine line = next_line(description, start);
    width = std::max(width, static_cast<int>(line.length));
    start = line.next;
  }
  width = std::clamp(width, 39, 75);
  const int margin = (77 - width) / 2;
  const std::string frame_format = recio::write_string("(\"(\",I2,\"X,'|',\",I2,\"(1H-),'|')\")", {margin, width + 2});

  checked_write(unit, "(A)", {""});
  checked_write(unit, frame_format, {});
  const int name_length = static_cast<int>(name.size());
  int before = ((width - 24) - name_length) / 2 + 2;
  int after = (width - 24) - (before + name_length) + 3;
  std::string format = recio::write_string("(\"(\",I2,\"X,'|',\",I2,\"X,'Program ',A,' Version ',A,\",I2,\"X,'|')\")",
                                           {margin, blanks(before), blanks(after)});
  checked_write(unit, format, {name, s.version});

  for (std::size_t start = 0; start < description.size();) {
    const DescriptionLine line = next_line(description, start);
    start = line.next;
    // L counts from the line's first character to its last, as the layout
    // rules do: one less than the number of characters, at most 75.
    const int last = std::min(static_cast<int>(line.length) - 1, 75);
    before = (width - last) / 2 + 1;
    after = width - (before + last) + 1;
    format = recio::write_string("(\"(\",I2,\"X,'|',\",I2,\"X,A,\",I2,\"X,'|')\")", {margin, blanks(before), blanks(after)});
    checked_write(unit, format, {description.substr(line.start, static_cast<std::size_t>(last + 1))});
    LINECHK(unit, 1);
  }

  before = (width - 39) / 2 + 1;
  after = width - before - 37;
  format = recio::write_string("(\"(\",I2,\"X,'|',\",I2,\"X,'Distributed on ',A,\",I2,\"X,'|')\")",
                               {margin, before, after});
  checked_write(unit, format, {date});
  checked_write(unit, frame_format, {});
  LINECHK(unit, 6);

  const std::string rule(kCreditWidth, '-');
  const std::string empty(kCreditWidth, ' ');
  const std::string credit[4] = {centred(kCredits[0], kCreditWidth), centred(kCredits[1], kCreditWidth),
                                 centred(kCredits[2], kCreditWidth), centred(kCredits[3], kCreditWidth)};
  checked_write(unit, "(A)", {""});
  for (const std::string* line : {&rule, &credit[0], &credit[1], &credit[2], &empty, &credit[3], &rule})
    checked_write(unit, "(8X,'|',A,'|')", {*line});
  checked_write(unit, "(A)", {""});
  LINECHK(unit, 8);
}

}  // namespace vesk
