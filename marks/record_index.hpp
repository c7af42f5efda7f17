// Where the keyed records of a marks file lie, kept by the one marks writer
// (row_marks.hpp) between its changes of the file, so that a change reads
// only the records it touches: at 5000 atoms the marks file holds some
// 340000 torsion records, and reading every one of them for each mark took
// half a second. An index holds for the bytes it was made from and is used
// only while the file is byte for byte those bytes; a file edited by hand or
// rewritten by another run since is indexed anew, so that what the index
// finds is always what a scan of the file finds.
#pragma once
#include <map>
#include <mutex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "marks/marks_reader.hpp"
#include "marks/run_marks.hpp"

namespace vesk {

struct RecordIndex {
  bool made = false;
  std::string bytes;  // the file's bytes the index holds for
  struct Entry {
    std::size_t hash = 0;  // of the record's key (RecordKeyHash)
    std::size_t offset = 0;
    int line = 0;
  };
  std::vector<Entry> entries;  // every keyed record, by hash, then in the file's order
  std::map<int, int> marks_of_kind;  // the marked records of each kind the file knows
  int marks(int kind) const;
};

// What the writer keeps for the two marks files between its changes; it
// holds a file's lock while it uses the file's index.
struct MarksFilesIndex {
  RecordIndex results;  // NAME.VORTAN
  RecordIndex marks;    // NAME.TORHB
  std::mutex results_lock, marks_lock;
};

// Makes `index` hold for `bytes`: from the index as it is when it was made
// from the same bytes, else from a scan of them (scan_marks with every key).
void index_records(RecordIndex& index, std::string bytes, std::span<const MarkKind> kinds);
// Makes `index` hold for the file as it is now: as it stands when the file
// holds its bytes, else read and scanned anew (read_marks_bytes, which
// throws naming `what`).
void index_file(RecordIndex& index, const std::string& file, const std::string& what,
                std::span<const MarkKind> kinds);

// Calls visit(const MarksRecord&) for each record of the indexed bytes whose
// key is one of `keys` (each key once), in the file's order, as scan_marks
// with every key would.
template <class Visit>
void visit_records(const RecordIndex& index, std::span<const MarkKind> kinds, std::span<const RecordKey> keys,
                   Visit visit);

// Edits of column 1 of the indexed records: at `offset`, `before` (one
// column, two for an insert-mode "YN") becomes `after`.
struct ColumnEdit {
  std::size_t offset = 0;
  int width = 1;
  int kind = 0;
  std::string before, after;
};
// Whether every edit keeps its width, so that the records stay where they
// are.
bool keeps_places(std::span<const ColumnEdit> edits);
// The edits made in the indexed bytes, which keep their places; `undo`
// puts them back.
void apply_edits(RecordIndex& index, std::span<const ColumnEdit> edits, bool undo = false);

// Whether column 1 as a record holds it ("Y", "y", or an insert-mode "YN")
// marks the record.
bool marks_record(std::string_view column);

namespace detail {
// The record that starts at `offset` of the indexed bytes, read as the scan
// reads it; false when it does not read (never for an indexed record).
bool record_at(const RecordIndex& index, std::span<const MarkKind> kinds, std::size_t offset, int line,
               std::string& mended, MarksRecord& record);
// The entries whose hash is that of one of `keys`, each with that key's
// position, in the file's order.
std::vector<std::pair<const RecordIndex::Entry*, std::size_t>> entries_of(const RecordIndex& index,
                                                                          std::span<const RecordKey> keys);
}  // namespace detail

template <class Visit>
void visit_records(const RecordIndex& index, std::span<const MarkKind> kinds, std::span<const RecordKey> keys,
                   Visit visit) {
  std::string mended;
  const RecordIndex::Entry* last = nullptr;
  for (const auto& [entry, key] : detail::entries_of(index, keys)) {
    if (entry == last) continue;  // two keys of one hash
    MarksRecord record;
    if (!detail::record_at(index, kinds, entry->offset, entry->line, mended, record)) continue;
    if (!record.keyed || record.layout == nullptr || !(record_key(record) == keys[key])) continue;
    last = entry;
    visit(record);
  }
}

}  // namespace vesk
