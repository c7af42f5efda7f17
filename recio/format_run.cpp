#include "recio/format_run.hpp"

#include <limits>

#include "recio/edit_input.hpp"
#include "recio/edit_output.hpp"
#include "recio/error.hpp"
#include "recio/status.hpp"

namespace recio {

using Descriptor = DataEdit::Descriptor;

namespace {

bool is_data_edit(Descriptor d) {
  return d == Descriptor::A || d == Descriptor::I || d == Descriptor::F || d == Descriptor::G || d == Descriptor::E;
}

[[noreturn]] void wrong_item(const Format& format, const DataEdit& edit, const char* what) {
  throw vesk::Error("format \"" + format.text + "\", edit descriptor at position " + std::to_string(edit.position) +
                    ": " + what);
}

[[noreturn]] void no_data_edit(const Format& format) {
  throw vesk::Error("format \"" + format.text + "\" has items left but no edit descriptor to take them");
}

// Appends the field of `edit` for `item` to the record.
void append_item(CharBuffer& record, const Format& format, const DataEdit& edit, const OutItem& item) {
  using Kind = OutItem::Kind;
  if (edit.descriptor == Descriptor::A) {
    if (item.kind != Kind::Text) wrong_item(format, edit, "a number written with A");
    if (edit.width == 0) {
      record.append(item.text);
      return;
    }
    put_text(record.grow(static_cast<std::size_t>(edit.width)), item.text, edit.width);
    return;
  }
  if (item.kind == Kind::Text) wrong_item(format, edit, "a text written with a numeric edit descriptor");
  if (edit.descriptor == Descriptor::I) {
    if (item.kind != Kind::Integer) wrong_item(format, edit, "a real written with I");
    put_integer(record.grow(static_cast<std::size_t>(edit.width)), item.integer, edit.width, edit.digits);
    return;
  }
  const double value = item.kind == Kind::Integer ? static_cast<double>(item.integer) : item.real;
  switch (edit.descriptor) {
    case Descriptor::F:
      put_fixed(record.grow(static_cast<std::size_t>(edit.width)), value, edit.width, edit.digits);
      return;
    case Descriptor::E: record.append(edit_exponent(value, edit.width, edit.digits)); return;
    default: record.append(edit_general(value, edit.width, edit.digits)); return;
  }
}

// The field of `width` columns from `pos`, blank-padded past the record's end.
std::string take_field(const std::string& record, std::size_t& pos, std::size_t width) {
  std::string field = pos < record.size() ? record.substr(pos, width) : std::string();
  field.resize(width, ' ');
  pos += width;
  return field;
}

int read_item(const Format& format, const DataEdit& edit, const std::string& record, std::size_t& pos,
              const InItem& item) {
  using Kind = InItem::Kind;
  if (edit.descriptor == Descriptor::A) {
    if (item.kind != Kind::Text) wrong_item(format, edit, "a number read with A");
    auto& target = *static_cast<std::string*>(item.target);
    const std::size_t length = target.size();
    const std::size_t width = edit.width > 0 ? static_cast<std::size_t>(edit.width) : length;
    std::string field = take_field(record, pos, width);
    // A wider field keeps its rightmost characters, a narrower one is blank-padded.
    target = width >= length ? field.substr(width - length) : field + std::string(length - width, ' ');
    return kOk;
  }
  if (item.kind == Kind::Text) wrong_item(format, edit, "a text read with a numeric edit descriptor");
  std::string field = take_field(record, pos, static_cast<std::size_t>(edit.width));
  if (edit.descriptor == Descriptor::I) {
    if (item.kind == Kind::Real32) wrong_item(format, edit, "a real read with I");
    long long value = 0;
    int status = read_integer_field(field, value);
    if (status != kOk) return status;
    if (item.kind == Kind::Int16) {
      if (value < std::numeric_limits<short>::min() || value > std::numeric_limits<short>::max())
        return kNumberOutOfRange;
      *static_cast<short*>(item.target) = static_cast<short>(value);
    } else {
      if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        return kNumberOutOfRange;
      *static_cast<int*>(item.target) = static_cast<int>(value);
    }
    return kOk;
  }
  if (item.kind != Kind::Real32) wrong_item(format, edit, "an integer read with a real edit descriptor");
  return read_real_field(field, edit.digits, *static_cast<float*>(item.target));
}

}  // namespace

void write_into(RecordBuffer& out, std::string_view format_text, std::span<const OutItem> items) {
  const Format& format = compiled_format(format_text);
  out.text.clear();
  out.ends.clear();
  out.open_line = false;
  CharBuffer& record = out.text;
  // X positions without writing: its blanks appear only when something
  // follows in the same record, so a trailing X does not lengthen it.
  std::size_t pending_blanks = 0;
  auto start_field = [&] {
    record.append(pending_blanks, ' ');
    pending_blanks = 0;
  };
  auto end_record = [&] {
    out.ends.push_back(record.size());
    pending_blanks = 0;
  };
  std::size_t item = 0;
  // A write that one pass through the format takes runs down the compiled
  // pass; one that reverts walks the groups.
  const bool one_pass = !format.one_pass.empty() && items.size() <= static_cast<std::size_t>(format.one_pass_data_edits);
  std::size_t next_in_pass = 0;
  bool consumed = false;  // an item taken since the start or the last reversion
  EditWalker walker(format);
  for (;;) {
    const DataEdit* edit = nullptr;
    if (!one_pass)
      edit = walker.next();
    else if (next_in_pass < format.one_pass.size())
      edit = &format.one_pass[next_in_pass++];
    if (edit == nullptr) {
      if (item == items.size()) break;
      if (!consumed) no_data_edit(format);
      end_record();
      walker.revert();
      consumed = false;
      continue;
    }
    if (is_data_edit(edit->descriptor)) {
      // Output ends at the first data edit for which no item remains.
      if (item == items.size()) break;
      start_field();
      append_item(record, format, *edit, items[item++]);
      consumed = true;
      continue;
    }
    switch (edit->descriptor) {
      case Descriptor::X: pending_blanks += static_cast<std::size_t>(edit->width); break;
      case Descriptor::Literal:
        start_field();
        record.append(edit->literal);
        break;
      case Descriptor::Slash: end_record(); break;
      case Descriptor::Dollar:
        // The line stays open for what follows, so the position counts.
        start_field();
        out.open_line = true;
        break;
      default: break;
    }
  }
  end_record();
}

WriteResult write_records(std::string_view format, std::span<const OutItem> items) {
  RecordBuffer buffer;
  write_into(buffer, format, items);
  WriteResult out;
  std::size_t start = 0;
  for (std::size_t end : buffer.ends) {
    out.records.emplace_back(buffer.text.view().substr(start, end - start));
    start = end;
  }
  out.open_line = buffer.open_line;
  return out;
}

std::string write_string(std::string_view format, std::initializer_list<OutItem> items) {
  return write_string(format, std::span<const OutItem>(items.begin(), items.size()));
}

std::string write_string(std::string_view format, std::span<const OutItem> items) {
  WriteResult result = write_records(format, items);
  return std::move(result.records.front());
}

int read_formatted(const RecordSource& source, std::string_view format_text, std::span<const InItem> items) {
  const Format& format = compiled_format(format_text);
  std::string record;
  int status = source(record);
  if (status != kOk) return status;
  std::size_t pos = 0;
  std::size_t item = 0;
  bool consumed = false;
  EditWalker walker(format);
  for (;;) {
    const DataEdit* edit = walker.next();
    if (edit == nullptr) {
      if (item == items.size()) return kOk;
      if (!consumed) no_data_edit(format);
      status = source(record);
      if (status != kOk) return status;
      pos = 0;
      walker.revert();
      consumed = false;
      continue;
    }
    if (is_data_edit(edit->descriptor)) {
      if (item == items.size()) return kOk;
      status = read_item(format, *edit, record, pos, items[item++]);
      if (status != kOk) return status;
      consumed = true;
      continue;
    }
    switch (edit->descriptor) {
      case Descriptor::X: pos += static_cast<std::size_t>(edit->width); break;
      case Descriptor::Literal: pos += edit->literal.size(); break;
      case Descriptor::Slash:
        status = source(record);
        if (status != kOk) return status;
        pos = 0;
        break;
      default: break;
    }
  }
}

int read_records(std::span<const std::string> records, std::string_view format, std::span<const InItem> items) {
  std::size_t next = 0;
  auto source = [&](std::string& record) {
    if (next >= records.size()) return kEndOfFile;
    record = records[next++];
    return kOk;
  };
  return read_formatted(source, format, items);
}

int read_string(std::string_view record, std::string_view format, std::initializer_list<InItem> items) {
  return read_string(record, format, std::span<const InItem>(items.begin(), items.size()));
}

int read_string(std::string_view record, std::string_view format, std::span<const InItem> items) {
  const std::string records[1] = {std::string(record)};
  return read_records(records, format, items);
}

}  // namespace recio
