// The one reader of the files that keep a user's publication marks
// (NAME.VORTAN and NAME.TORHB). It takes any bytes: lines of any length, a
// UTF-8 byte-order mark (at the start of the file or of any line), a carriage return before the line end, a "Y" typed
// in insert mode in front of the old mark ("YN 1 0 ..." is a marked
// record), and records it cannot read, which it reports by line number and
// never drops in silence. Only a plain file is read: a FIFO or a device
// would hold the run up or never end.
//
// A record: column 1 the mark ("Y" or "y" marks it; "N", "n" or a blank
// does not), columns 2-3 the phase, 4-5 the kind, then the values and the
// integers that name what is marked, read with the kind's format. A phase
// above 9 is the closing record ("99999"), after which nothing is read.
#pragma once
#include <array>
#include <cstddef>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

// A kind of record a marks file holds and where its key lies.
struct MarkKind {
  int kind = 0;
  const char* key_format = "";  // e.g. "(25X,7I5)"
  int key_read = 0;             // integers the format reads
  int key_length = 0;           // of which the key is the first key_length
  bool short_keys = false;      // read as 16-bit integers
  int atoms = 0;                // of the key, the first `atoms` are atom numbers
};

struct MarksRecord {
  int line = 0;           // from 1
  std::string_view text;  // the record as it reads (insert-mode mark mended)
  bool marked = false;
  int phase = 0;
  int kind = 0;
  const MarkKind* layout = nullptr;  // null for a kind the file does not know
  std::array<int, 10> key{};         // for a marked record of a known kind
  bool keyed = false;                // `key` was read
  std::size_t offset = 0;            // of column 1 in the bytes scanned (after a byte-order mark)
  int mark_width = 1;                // 2 for an insert-mode mark ("YN"), which the mark replaces whole
};

struct MarksScanResult {
  int records = 0;
  int marks = 0;
  std::vector<int> unreadable_lines;  // every line that does not read
  std::string first_unreadable;       // its text, shortened
};

// Calls visit(const MarksRecord&) for every record up to the closing one.
// Unmarked records of a known layout get their phase and kind only, unless
// `every_key` asks for the keys of all (a key that does not read leaves an
// unmarked record unkeyed, not unreadable).
template <class Visit>
MarksScanResult scan_marks(std::string_view bytes, std::span<const MarkKind> kinds, Visit visit,
                           bool every_key = false);

// The bytes of `file`; throws vesk::Error, naming `what`, for a file that is
// not a plain file or cannot be read. An absent file reads as empty.
std::string read_marks_bytes(const std::string& file, const std::string& what);

// Whether `file` is a plain file that holds exactly `bytes`; false for
// anything else, including a file that cannot be read.
bool file_holds(const std::string& file, std::string_view bytes);

// Each marked record as phase, kind and its key.
using MarkKeys = std::set<std::vector<int>>;
MarkKeys marks_in(std::string_view bytes, std::span<const MarkKind> kinds, MarksScanResult* result = nullptr);

// "lines 3, 7 and 12 more" for a message.
std::string line_list(const std::vector<int>& lines);

namespace detail {
// One line's record; false for a line that does not read. Sets `closing`
// at the closing record and `blank` for a blank line.
bool read_marks_line(std::string_view line, int number, std::span<const MarkKind> kinds, std::string& mended,
                     MarksRecord& record, bool& closing, bool& blank, bool every_key = false);
}  // namespace detail

template <class Visit>
MarksScanResult scan_marks(std::string_view bytes, std::span<const MarkKind> kinds, Visit visit, bool every_key) {
  MarksScanResult result;
  const char* const start = bytes.data();
  static constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  std::string mended;
  int number = 0;
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    std::string_view line = bytes.substr(0, end);
    bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // Also a file pasted after another keeps its mark readable.
    if (line.substr(0, kByteOrderMark.size()) == kByteOrderMark) line.remove_prefix(kByteOrderMark.size());
    ++number;
    MarksRecord record;
    record.offset = static_cast<std::size_t>(line.data() - start);
    bool closing = false, blank = false;
    if (!detail::read_marks_line(line, number, kinds, mended, record, closing, blank, every_key)) {
      result.unreadable_lines.push_back(number);
      if (result.first_unreadable.empty()) result.first_unreadable = std::string(line.substr(0, 40));
      continue;
    }
    if (closing) break;
    if (blank) continue;
    ++result.records;
    result.marks += record.marked;
    visit(record);
  }
  return result;
}

}  // namespace vesk
