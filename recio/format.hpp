// Edit-descriptor formats such as "(A,2I5,F10.4)", parsed once and cached by
// their text, and the internal (in-memory) reads and writes they drive.
//
// Supported: A, Aw, Iw, Fw.d, Gw.d, Ew.d, nX, /, $, quoted literals ('..'
// and ".."), nH Hollerith, repeat counts on descriptors and groups, and
// reversion to the last top-level group when items remain. Descriptors are
// case-insensitive. A malformed format throws vesk::Error naming the format
// and the offending position.
#pragma once
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "recio/char_buffer.hpp"
#include "recio/items.hpp"

namespace recio {

struct DataEdit {
  enum class Descriptor { A, I, F, G, E, X, Slash, Dollar, Literal, GroupStart, GroupEnd };
  Descriptor descriptor;
  int width = 0;      // 0 for a bare A
  int digits = 0;
  int repeat = 1;
  std::string literal;  // text of a literal or Hollerith edit
  int group_end = -1;   // for GroupStart: index of its GroupEnd
  int group_start = -1; // for GroupEnd: index of its GroupStart
  int position = 0;     // column of the edit in the format text, from 1
};

struct Format {
  std::string text;
  std::vector<DataEdit> edits;
  int reversion_start = 0;  // index of the edit where reversion restarts
  int data_edits = 0;       // number of A, I, F, G, E edits (reversion needs one)
  // The edits of one pass through the format with groups and repeat counts
  // unrolled, compiled with the format: a write whose items it takes runs
  // straight down this list. Empty when the pass is longer than kLongestPass.
  std::vector<DataEdit> one_pass;
  int one_pass_data_edits = 0;
};
constexpr std::size_t kLongestPass = 256;

// Yields a format's edits in execution order. Groups and repeat counts are
// unrolled; at the end of the format `next` returns nullptr, after which
// `revert` restarts at the reversion point.
class EditWalker {
 public:
  explicit EditWalker(const Format& format) : format_(format) {}
  const DataEdit* next();
  void revert();

 private:
  struct OpenGroup {
    int start;
    int remaining;
  };
  const Format& format_;
  std::size_t pc_ = 0;
  int repeats_done_ = 0;  // of the edit at pc_
  std::vector<OpenGroup> groups_;
};

// Parses `text` without the cache (throws vesk::Error when malformed).
Format parse_format(std::string_view text);

// The parsed form of `text`, from the cache (parsed on first use).
const Format& compiled_format(std::string_view text);

// The records that a write produces: one, or more when the format holds "/"
// or reverts. `open_line` is set when the format ends with "$".
struct WriteResult {
  std::vector<std::string> records;
  bool open_line = false;
};
WriteResult write_records(std::string_view format, std::span<const OutItem> items);
// The same records end to end in one text that keeps its storage from write
// to write: record k ends at ends[k].
struct RecordBuffer {
  CharBuffer text;
  std::vector<std::size_t> ends;
  bool open_line = false;
};
void write_into(RecordBuffer& out, std::string_view format, std::span<const OutItem> items);

// Internal write: the first record of the write (the usual single-record case).
std::string write_string(std::string_view format, std::initializer_list<OutItem> items);
std::string write_string(std::string_view format, std::span<const OutItem> items);

// Internal read from one record (or several, when the format holds "/").
// Returns 0, -1 at the end of the records, or a positive error status.
int read_records(std::span<const std::string> records, std::string_view format,
                 std::span<const InItem> items);
int read_string(std::string_view record, std::string_view format, std::initializer_list<InItem> items);
int read_string(std::string_view record, std::string_view format, std::span<const InItem> items);

}  // namespace recio
