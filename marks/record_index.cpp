#include "marks/record_index.hpp"

#include <algorithm>

namespace vesk {

int RecordIndex::marks(int kind) const {
  const auto found = marks_of_kind.find(kind);
  return found == marks_of_kind.end() ? 0 : found->second;
}

bool marks_record(std::string_view column) { return !column.empty() && (column[0] == 'Y' || column[0] == 'y'); }

void index_records(RecordIndex& index, std::string bytes, std::span<const MarkKind> kinds) {
  if (index.made && bytes == index.bytes) return;
  index = RecordIndex{};
  index.bytes = std::move(bytes);
  const RecordKeyHash hash;
  scan_marks(
      index.bytes, kinds,
      [&](const MarksRecord& record) {
        if (record.layout == nullptr) return;
        if (record.marked) ++index.marks_of_kind[record.kind];
        if (record.keyed) index.entries.push_back({hash(record_key(record)), record.offset, record.line});
      },
      true);
  // Already in the file's order: a stable sort keeps it among equal hashes.
  std::stable_sort(index.entries.begin(), index.entries.end(),
                   [](const RecordIndex::Entry& a, const RecordIndex::Entry& b) { return a.hash < b.hash; });
  index.made = true;
}

void index_file(RecordIndex& index, const std::string& file, const std::string& what,
                std::span<const MarkKind> kinds) {
  if (index.made && file_holds(file, index.bytes)) return;
  index_records(index, read_marks_bytes(file, what), kinds);
}

bool keeps_places(std::span<const ColumnEdit> edits) {
  return std::all_of(edits.begin(), edits.end(), [](const ColumnEdit& edit) {
    return edit.before.size() == edit.after.size() && static_cast<std::size_t>(edit.width) == edit.before.size();
  });
}

void apply_edits(RecordIndex& index, std::span<const ColumnEdit> edits, bool undo) {
  for (const ColumnEdit& edit : edits) {
    const std::string& text = undo ? edit.before : edit.after;
    index.bytes.replace(edit.offset, text.size(), text);
    const int sign = undo ? -1 : 1;
    index.marks_of_kind[edit.kind] += sign * (static_cast<int>(marks_record(edit.after)) - marks_record(edit.before));
  }
}

namespace detail {

bool record_at(const RecordIndex& index, std::span<const MarkKind> kinds, std::size_t offset, int line,
               std::string& mended, MarksRecord& record) {
  const std::string_view bytes = index.bytes;
  if (offset >= bytes.size()) return false;
  std::string_view text = bytes.substr(offset, bytes.find('\n', offset) - offset);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  bool closing = false, blank = false;
  if (!read_marks_line(text, line, kinds, mended, record, closing, blank, true) || closing || blank) return false;
  record.offset = offset;
  return true;
}

std::vector<std::pair<const RecordIndex::Entry*, std::size_t>> entries_of(const RecordIndex& index,
                                                                          std::span<const RecordKey> keys) {
  std::vector<std::pair<const RecordIndex::Entry*, std::size_t>> found;
  const RecordKeyHash hash;
  for (std::size_t k = 0; k < keys.size(); ++k) {
    const std::size_t wanted = hash(keys[k]);
    auto at = std::lower_bound(index.entries.begin(), index.entries.end(), wanted,
                               [](const RecordIndex::Entry& entry, std::size_t h) { return entry.hash < h; });
    for (; at != index.entries.end() && at->hash == wanted; ++at) found.emplace_back(&*at, k);
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return a.first->offset < b.first->offset; });
  return found;
}

}  // namespace detail

}  // namespace vesk
