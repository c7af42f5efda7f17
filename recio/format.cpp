#include "recio/format.hpp"

#include <cctype>
#include <memory>
#include <string>
#include <functional>
#include <unordered_map>

#include "recio/error.hpp"

namespace recio {

namespace {

using Descriptor = DataEdit::Descriptor;

class FormatParser {
 public:
  explicit FormatParser(std::string_view text) : text_(text) {}

  Format parse() {
    Format format;
    format.text = std::string(text_);
    skip_blanks();
    if (at_end() || text_[pos_] != '(') fail("a format begins with \"(\"");
    ++pos_;
    std::vector<int> open_groups;  // indices of GroupStart edits not yet closed
    bool expect_item = true;       // after "(" or ","
    bool after_open = true;        // right after "(": ")" is allowed there
    for (;;) {
      skip_blanks();
      if (at_end()) fail("the format ends before its closing \")\"");
      const int item_position = static_cast<int>(pos_) + 1;
      char c = text_[pos_];
      if (c == ',') {
        if (expect_item) fail("a comma where an edit descriptor is expected");
        ++pos_;
        expect_item = true;
        after_open = false;
        continue;
      }
      if (c == ')') {
        if (expect_item && !after_open) fail("a comma before \")\"");
        ++pos_;
        if (open_groups.empty()) break;  // the closing parenthesis of the format
        int start = open_groups.back();
        open_groups.pop_back();
        DataEdit end{};
        end.descriptor = Descriptor::GroupEnd;
        end.group_start = start;
        end.position = item_position;
        format.edits[static_cast<std::size_t>(start)].group_end = static_cast<int>(format.edits.size());
        format.edits.push_back(end);
        if (open_groups.empty()) format.reversion_start = start;
        expect_item = false;
        after_open = false;
        continue;
      }
      int count = -1;  // -1: no count written
      if (c == '-' || c == '+') fail("a signed count");
      if (std::isdigit(static_cast<unsigned char>(c))) {
        count = read_number();
        skip_blanks();
        if (at_end()) fail("the format ends after a count");
        c = text_[pos_];
      }
      DataEdit edit{};
      edit.descriptor = Descriptor::Literal;
      edit.position = item_position;
      const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (c == '(') {
        if (count == 0) fail("a group repeated 0 times");
        ++pos_;
        edit.descriptor = Descriptor::GroupStart;
        edit.repeat = count < 0 ? 1 : count;
        open_groups.push_back(static_cast<int>(format.edits.size()));
        format.edits.push_back(edit);
        expect_item = true;
        after_open = true;
        continue;
      }
      if (c == '\'' || c == '"') {
        if (count >= 0) fail("a count before a quoted text");
        edit.literal = read_quoted(c);
      } else if (upper == 'H') {
        if (count <= 0) fail("a Hollerith text without its length");
        ++pos_;
        if (text_.size() - pos_ < static_cast<std::size_t>(count)) fail("a Hollerith text longer than the format");
        edit.literal = std::string(text_.substr(pos_, static_cast<std::size_t>(count)));
        pos_ += static_cast<std::size_t>(count);
      } else if (upper == 'X') {
        // A zero count is taken as no blanks: built formats can compute one.
        ++pos_;
        edit.descriptor = Descriptor::X;
        edit.width = count < 0 ? 1 : count;
      } else if (c == '/') {
        if (count == 0) fail("\"/\" repeated 0 times");
        ++pos_;
        edit.descriptor = Descriptor::Slash;
        edit.repeat = count < 0 ? 1 : count;
      } else if (c == '$') {
        if (count >= 0) fail("a count before \"$\"");
        ++pos_;
        edit.descriptor = Descriptor::Dollar;
      } else if (upper == 'A' || upper == 'I' || upper == 'F' || upper == 'E' || upper == 'G' || upper == 'D') {
        if (count == 0) fail("a descriptor repeated 0 times");
        ++pos_;
        edit.repeat = count < 0 ? 1 : count;
        parse_data_edit(upper, edit);
        ++format.data_edits;
      } else {
        fail(std::string("an unknown edit descriptor \"") + c + "\"");
      }
      format.edits.push_back(std::move(edit));
      expect_item = false;
      after_open = false;
    }
    skip_blanks();
    if (!at_end()) fail("text after the closing \")\"");
    return format;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw vesk::Error("malformed format \"" + std::string(text_) + "\" at position " + std::to_string(pos_ + 1) + ": " +
                      what);
  }

  bool at_end() const { return pos_ >= text_.size(); }

  void skip_blanks() {
    while (!at_end() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }

  bool digit_ahead() {
    skip_blanks();
    return !at_end() && std::isdigit(static_cast<unsigned char>(text_[pos_]));
  }

  // Digits with blanks ignored between them, as formats allow.
  int read_number() {
    long value = 0;
    while (digit_ahead()) {
      value = value * 10 + (text_[pos_] - '0');
      if (value > 1000000) fail("a number too large");
      ++pos_;
    }
    return static_cast<int>(value);
  }

  std::string read_quoted(char quote) {
    std::string out;
    ++pos_;
    for (;;) {
      if (at_end()) fail("a quoted text without its closing quote");
      char c = text_[pos_++];
      if (c == quote) {
        if (!at_end() && text_[pos_] == quote) {
          out += quote;
          ++pos_;
          continue;
        }
        return out;
      }
      out += c;
    }
  }

  void parse_data_edit(char upper, DataEdit& edit) {
    switch (upper) {
      case 'A':
        edit.descriptor = Descriptor::A;
        if (digit_ahead()) {
          edit.width = read_number();
          if (edit.width == 0) fail("a zero width");
        }
        return;
      case 'I':
        edit.descriptor = Descriptor::I;
        edit.width = required_width();
        skip_blanks();
        if (!at_end() && text_[pos_] == '.') {
          ++pos_;
          if (!digit_ahead()) fail("a minimum digit count missing after \".\"");
          edit.digits = read_number();
          if (edit.digits > edit.width) fail("more minimum digits than the width");
        }
        return;
      default:
        edit.descriptor = upper == 'F' ? Descriptor::F : upper == 'G' ? Descriptor::G : Descriptor::E;
        edit.width = required_width();
        skip_blanks();
        if (at_end() || text_[pos_] != '.') fail("a real descriptor needs its decimals (w.d)");
        ++pos_;
        if (!digit_ahead()) fail("the decimals missing after \".\"");
        edit.digits = read_number();
        return;
    }
  }

  int required_width() {
    if (!digit_ahead()) fail("a width missing");
    int width = read_number();
    if (width == 0) fail("a zero width");
    return width;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

const DataEdit* EditWalker::next() {
  const auto& edits = format_.edits;
  for (;;) {
    if (pc_ >= edits.size()) return nullptr;
    const DataEdit& edit = edits[pc_];
    if (edit.descriptor == Descriptor::GroupStart) {
      groups_.push_back({static_cast<int>(pc_), edit.repeat});
      ++pc_;
    } else if (edit.descriptor == Descriptor::GroupEnd) {
      OpenGroup& group = groups_.back();
      if (--group.remaining > 0) {
        pc_ = static_cast<std::size_t>(group.start) + 1;
      } else {
        groups_.pop_back();
        ++pc_;
      }
    } else {
      if (++repeats_done_ >= edit.repeat) {
        repeats_done_ = 0;
        ++pc_;
      }
      return &edit;
    }
  }
}

void EditWalker::revert() {
  pc_ = static_cast<std::size_t>(format_.reversion_start);
  repeats_done_ = 0;
  groups_.clear();
}

Format parse_format(std::string_view text) {
  Format format = FormatParser(text).parse();
  EditWalker walker(format);
  std::vector<DataEdit> pass;
  int data = 0;
  while (const DataEdit* edit = walker.next()) {
    if (pass.size() == kLongestPass) return format;
    pass.push_back(*edit);
    pass.back().repeat = 1;
    if (edit->descriptor == DataEdit::Descriptor::A || edit->descriptor == DataEdit::Descriptor::I ||
        edit->descriptor == DataEdit::Descriptor::F || edit->descriptor == DataEdit::Descriptor::G ||
        edit->descriptor == DataEdit::Descriptor::E)
      ++data;
  }
  format.one_pass = std::move(pass);
  format.one_pass_data_edits = data;
  return format;
}

namespace {
// Lookups by a string_view, without making a string of the key.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
};
}  // namespace

const Format& compiled_format(std::string_view text) {
  // The programs are single-threaded; the cache lives for the run. Entries are
  // heap-held so the references handed out stay valid as the map grows.
  static auto* cache = new std::unordered_map<std::string, std::unique_ptr<Format>, TextHash, std::equal_to<>>;
  auto found = cache->find(text);
  if (found != cache->end()) return *found->second;
  auto parsed = std::make_unique<Format>(parse_format(text));
  return *cache->emplace(std::string(text), std::move(parsed)).first->second;
}

}  // namespace recio
