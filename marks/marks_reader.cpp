#include "marks/marks_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "recio/error.hpp"
#include "recio/format.hpp"

namespace vesk {

namespace {

bool is_mark(char c) { return c == 'Y' || c == 'y'; }
bool is_no_mark(char c) { return c == 'N' || c == 'n' || c == ' '; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// An I2 field of blanks and digits (blanks ignored, as the formatted read).
bool plain_i2(std::string_view field, int& value) {
  value = 0;
  for (char c : field) {
    if (c == ' ') continue;
    if (!is_digit(c)) return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

const MarkKind* layout_of(std::span<const MarkKind> kinds, int kind) {
  for (const MarkKind& k : kinds)
    if (k.kind == kind) return &k;
  return nullptr;
}

// The key of the usual record without the formatted read: a key format
// "(nX,kIw)" and fields of blanks, a sign and digits, read as that read
// reads them (blanks ignored, a blank field 0, the record padded with
// blanks). False for anything else, which the formatted read then takes.
struct PlainKey {
  bool plain = false;
  std::size_t skip = 0, count = 0, width = 0;
};

PlainKey plain_key_of(const MarkKind& layout) {
  PlainKey key;
  std::string_view format = layout.key_format;
  const auto number = [&format](std::size_t& value) {
    if (format.empty() || !is_digit(format.front())) return false;
    for (value = 0; !format.empty() && is_digit(format.front()); format.remove_prefix(1))
      value = value * 10 + static_cast<std::size_t>(format.front() - '0');
    return true;
  };
  const auto literal = [&format](std::string_view part) {
    if (format.substr(0, part.size()) != part) return false;
    format.remove_prefix(part.size());
    return true;
  };
  key.plain = literal("(") && number(key.skip) && literal("X,") && number(key.count) && literal("I") &&
              number(key.width) && literal(")") && format.empty() &&
              key.count == static_cast<std::size_t>(layout.key_read) && key.count <= 10 && key.width > 0 &&
              key.width <= 9;
  return key;
}

bool read_plain_key(std::string_view text, const MarkKind& layout, MarksRecord& record) {
  // The layout of the last format read, kept: a file is mostly of one kind.
  thread_local std::string format;
  thread_local int read = -1;
  thread_local PlainKey plain;
  if (format != layout.key_format || read != layout.key_read) {
    plain = plain_key_of(layout);
    format = layout.key_format;
    read = layout.key_read;
  }
  if (!plain.plain) return false;
  const std::size_t skip = plain.skip, count = plain.count, width = plain.width;
  std::array<int, 10> key{};
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t at = skip + k * width;
    std::string_view field = at < text.size() ? text.substr(at, width) : std::string_view();
    while (!field.empty() && field.front() == ' ') field.remove_prefix(1);
    bool negative = false;
    if (!field.empty() && (field.front() == '-' || field.front() == '+')) {
      negative = field.front() == '-';
      field.remove_prefix(1);
      if (field.empty()) return false;
    }
    int value = 0;
    for (char c : field) {
      if (!is_digit(c)) return false;
      value = value * 10 + (c - '0');
    }
    key[k] = negative ? -value : value;
    if (layout.short_keys && (key[k] < -32768 || key[k] > 32767)) return false;
  }
  record.key = key;
  return true;
}

bool read_key(std::string_view text, const MarkKind& layout, MarksRecord& record) {
  if (read_plain_key(text, layout, record)) return true;
  std::array<int, 10> ints{};
  std::array<short, 10> shorts{};
  std::vector<recio::InItem> items;
  items.reserve(static_cast<std::size_t>(layout.key_read));
  for (std::size_t i = 0; i < static_cast<std::size_t>(layout.key_read); ++i) {
    if (layout.short_keys)
      items.emplace_back(shorts[i]);
    else
      items.emplace_back(ints[i]);
  }
  if (recio::read_string(text, layout.key_format, std::span<const recio::InItem>(items)) != 0) return false;
  for (std::size_t i = 0; i < record.key.size(); ++i) record.key[i] = layout.short_keys ? shorts[i] : ints[i];
  return true;
}

}  // namespace

namespace detail {

bool read_marks_line(std::string_view line, int number, std::span<const MarkKind> kinds, std::string& mended,
                     MarksRecord& record, bool& closing, bool& blank, bool every_key) {
  record.line = number;
  if (line.find_first_not_of(' ') == std::string_view::npos) {
    blank = true;
    return true;
  }
  // A "Y" typed in front of the old mark instead of over it.
  if (line.size() >= 2 && is_mark(line[0]) && (is_mark(line[1]) || line[1] == 'N' || line[1] == 'n')) {
    mended.assign(1, 'Y');
    mended.append(line.substr(2));
    line = mended;
    record.mark_width = 2;
  }
  record.text = line;
  record.marked = is_mark(line[0]);
  // Most records are unmarked and plain: their phase and kind are enough.
  if (!record.marked && is_no_mark(line[0]) && line.size() >= 5 && line[1] == ' ' && is_digit(line[2]) &&
      plain_i2(line.substr(3, 2), record.kind)) {
    record.phase = line[2] - '0';
    record.layout = layout_of(kinds, record.kind);
    if (every_key && record.layout != nullptr) record.keyed = read_key(line, *record.layout, record);
    return true;
  }
  std::string mark(1, ' ');
  if (recio::read_string(line, "(A1,2I2)", {mark, record.phase, record.kind}) != 0) return false;
  if (record.phase > 9) {
    closing = true;
    return true;
  }
  if (!record.marked && !is_no_mark(line[0])) return false;  // a mark of another letter: ask, do not guess
  record.layout = layout_of(kinds, record.kind);
  if (!record.marked) {
    if (every_key && record.layout != nullptr) record.keyed = read_key(line, *record.layout, record);
    return true;
  }
  if (record.layout == nullptr || record.phase < 1) return false;
  return record.keyed = read_key(line, *record.layout, record);
}

}  // namespace detail

std::string read_marks_bytes(const std::string& file, const std::string& what) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return {};
    throw Error("The " + what + " " + file + " cannot be read: " + std::strerror(errno));
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    throw Error("The " + what + " " + file +
                " is not a plain file (a FIFO, a device or a folder); vortan keeps marks only in plain files: "
                "remove it and run again");
  }
  // Straight into the text (a marks file runs to tens of megabytes), which
  // grows if the file grows while it is read.
  std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t have = 0;
  for (;;) {
    if (have == bytes.size()) bytes.resize(bytes.size() + (1 << 16));
    const ssize_t n = ::read(fd, bytes.data() + have, bytes.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw Error("The " + what + " " + file + " cannot be read: " + std::strerror(error));
    }
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  ::close(fd);
  bytes.resize(have);
  return bytes;
}

bool file_holds(const std::string& file, std::string_view bytes) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  bool same = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
              static_cast<std::size_t>(info.st_size) == bytes.size();
  // A block at a time, kept in the cache (a file mapped instead would stop
  // the program if someone cut it short meanwhile).
  char block[1 << 16];
  std::size_t at = 0;
  while (same) {
    const ssize_t n = ::read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      same = n == 0 && at == bytes.size();
      break;
    }
    const auto got = static_cast<std::size_t>(n);
    same = got <= bytes.size() - at && std::memcmp(block, bytes.data() + at, got) == 0;
    at += got;
  }
  ::close(fd);
  return same;
}

MarkKeys marks_in(std::string_view bytes, std::span<const MarkKind> kinds, MarksScanResult* result) {
  MarkKeys marks;
  const MarksScanResult scanned = scan_marks(bytes, kinds, [&marks](const MarksRecord& record) {
    if (!record.marked) return;
    std::vector<int> key{record.phase, record.kind};
    key.insert(key.end(), record.key.begin(), record.key.begin() + record.layout->key_length);
    marks.insert(std::move(key));
  });
  if (result != nullptr) *result = scanned;
  return marks;
}

std::string line_list(const std::vector<int>& lines) {
  std::string text;
  const std::size_t shown = std::min<std::size_t>(lines.size(), 10);
  for (std::size_t i = 0; i < shown; ++i)
    text += (i == 0 ? "" : (i + 1 == lines.size() ? " and " : ", ")) + std::to_string(lines[i]);
  if (lines.size() > shown) text += " and " + std::to_string(lines.size() - shown) + " more";
  return text;
}

}  // namespace vesk
