#include "marks/row_marks.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "marks/geometry_marks.hpp"
#include "marks/marked_file.hpp"
#include "marks/marks_reader.hpp"
#include "marks/record_index.hpp"
#include "marks/results_file.hpp"
#include "recio/error.hpp"
#include "recio/file_replace.hpp"

namespace vesk {

namespace {

// In the order of RowKind, which is that of the kinds of their records.
const RowKindName kRowKindNames[] = {
    {RowKind::bond, "bond", 2},        // 0
    {RowKind::angle, "angle", 3},      // 1
    {RowKind::torsion, "torsion", 4},  // 2
    {RowKind::hbond, "hbond", 3},      // 3
};

}  // namespace

void check_row_form(const RowIdentity& identity) {
  const std::size_t atoms = row_atom_count(identity.kind);
  if (atoms == 0)
    throw Error("The row \"" + describe_row(identity) + "\" is of no kind vortan marks (bond, angle, torsion, hbond)");
  if (identity.labels.size() != atoms || identity.site_codes.size() != atoms)
    throw Error("The row \"" + describe_row(identity) + "\" names " + std::to_string(identity.labels.size()) +
                " labels and " + std::to_string(identity.site_codes.size()) + " site codes; a " + identity.kind +
                " has " + std::to_string(atoms) + " of each");
}

namespace {

std::vector<std::string> words_of(std::string_view text) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while ((at = text.find_first_not_of(" \t", at)) != std::string_view::npos) {
    const std::size_t end = std::min(text.find_first_of(" \t", at), text.size());
    words.emplace_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

// Column 1 of a record (two columns for an insert-mode "YN") and what
// replaces it.
struct Edit {
  std::size_t offset = 0;
  int width = 1;
  std::string mark = "Y";
  RecordKey record{};
  std::string before{};  // the columns as the file held them
};

// The file's bytes with column 1 of the edited records replaced.
std::string edited(const std::string& bytes, std::vector<Edit> edits) {
  std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.offset < b.offset; });
  std::string out;
  out.reserve(bytes.size() + edits.size());
  std::size_t at = 0;
  for (const Edit& edit : edits) {
    out.append(bytes, at, edit.offset - at);
    out += edit.mark;
    at = edit.offset + static_cast<std::size_t>(edit.width);
  }
  out.append(bytes, at, std::string::npos);
  return out;
}

int most_marks(int kind) {
  switch (kind) {
    case 0: return kMaxPublishedDistances;
    case 1: return kMaxPublishedAngles;
    case kTorsionKind: return kMaxPublishedTorsions;
    default: return kMaxPublishedHbonds;
  }
}

const char* kind_plural(int kind) {
  switch (kind) {
    case 0: return "distances";
    case 1: return "angles";
    case kTorsionKind: return "torsion angles";
    default: return "hydrogen bonds";
  }
}

// Writes `text` beside `file` and renames it over it once it is on the
// disk, unless the file changed since it was read as `read_as`; false then.
bool replace_unless_changed(const std::string& file, const std::string& text, const FileIdentity& read_as,
                            const std::string& what) {
  const std::string temporary = recio::temporary_name(file);
  recio::remove_at_end(temporary);
  recio::write_new_file(temporary, text, what, true);
  struct stat info {};
  if (::stat(file.c_str(), &info) == 0) ::chmod(temporary.c_str(), info.st_mode & 07777);
  if (!(identity_of(file) == read_as)) {
    std::remove(temporary.c_str());
    recio::keep_at_end(temporary);
    return false;
  }
  try {
    recio::rename_file(temporary, file, what);
  } catch (...) {
    std::remove(temporary.c_str());
    recio::keep_at_end(temporary);
    throw;
  }
  recio::keep_at_end(temporary);
  recio::sync_folder_of(file, what);
  return true;
}

}  // namespace

std::span<const RowKindName> row_kinds() { return kRowKindNames; }

const RowKindName& row_kind_name(RowKind kind) { return kRowKindNames[static_cast<std::size_t>(kind)]; }

std::optional<RowKind> row_kind(std::string_view name) {
  for (const RowKindName& entry : kRowKindNames)
    if (name == entry.name) return entry.kind;
  return std::nullopt;
}

std::size_t row_atom_count(std::string_view kind) {
  const std::optional<RowKind> known = row_kind(kind);
  return known ? row_kind_name(*known).atoms : 0;
}

RowIdentity parse_row_identity(std::string_view kind, std::string_view labels, std::string_view site_codes) {
  RowIdentity row;
  row.kind = std::string(kind);
  row.labels = words_of(labels);
  row.site_codes = words_of(site_codes);
  if (const std::size_t colon = kind.find(':'); colon != std::string_view::npos) {
    row.kind = std::string(kind.substr(0, colon));
    const std::string_view phase = kind.substr(colon + 1);
    if (phase.size() != 1 || phase[0] < '1' || phase[0] > '9')
      throw Error("The row \"" + std::string(kind) + " " + std::string(labels) + " " + std::string(site_codes) +
                  "\" names no phase 1 to 9 after its kind (bond:2 is the bond of phase 2)");
    row.phase = phase[0] - '0';
  }
  check_row_form(row);
  return row;
}

std::string describe_row(const RowIdentity& row) {
  std::string text = row.kind;
  for (const std::string& label : row.labels) text += " " + label;
  for (const std::string& code : row.site_codes) text += " " + code;
  if (row.phase != 0) text += " of phase " + std::to_string(row.phase);
  return text;
}

namespace {

// The marks file of records of `kind`.
struct KindFile {
  const std::string& file;
  const std::string& shown;  // as the messages name it: the file the user edits
  std::string what;
  std::span<const MarkKind> kinds;
  RecordIndex* index;  // kept between changes; null for none
  std::mutex& lock;    // held while the index is used
};
bool in_marks_file(int kind) { return kind == kTorsionKind || kind == kHbondKind; }
KindFile file_of_kind(const MarksFiles& files, int kind) {
  const bool geometry_file = in_marks_file(kind);
  const std::string& file = geometry_file ? files.marks_file : files.results_file;
  const std::string& named = geometry_file ? files.marks_name : files.results_name;
  static std::mutex unused;
  RecordIndex* index = files.index == nullptr ? nullptr : geometry_file ? &files.index->marks : &files.index->results;
  return {file, named.empty() ? file : named, geometry_file ? "marks file" : "results file",
          geometry_file ? geometry_marks_kinds() : results_file_kinds(), index,
          files.index == nullptr      ? unused
          : geometry_file ? files.index->marks_lock
                          : files.index->results_lock};
}

// The one way a marks file changes: read it, let `decide` choose the edits
// of column 1 from the file's records as indexed (its bytes), write the
// edited file beside it and rename it over the old one; read again when the
// file changed in between (an editor's save). `decide` throws to refuse; no
// edits write nothing. Returns the edits made.
template <class Decide>
std::vector<Edit> edit_marks_file(const KindFile& target, const std::string& subject, Decide decide) {
  RecordIndex own;  // without a kept index, one for this change alone
  RecordIndex& index = target.index != nullptr ? *target.index : own;
  std::unique_lock<std::mutex> hold;
  if (target.index != nullptr) hold = std::unique_lock<std::mutex>(target.lock);
  constexpr int kAttempts = 5;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const FileIdentity read_as = identity_of(target.file);
    index_file(index, target.file, target.what, target.kinds);
    std::vector<Edit> edits = decide(static_cast<const RecordIndex&>(index));
    if (edits.empty()) return edits;
    std::vector<ColumnEdit> made;
    for (Edit& edit : edits) {
      edit.before = index.bytes.substr(edit.offset, static_cast<std::size_t>(edit.width));
      made.push_back({edit.offset, edit.width, edit.record.kind, edit.before, edit.mark});
    }
    if (!keeps_places(made)) {
      // Records move: the index is made anew at the next change.
      const bool replaced = replace_unless_changed(target.file, edited(index.bytes, edits), read_as, target.what);
      index = RecordIndex{};
      if (replaced) return edits;
      continue;
    }
    // Edited where the index keeps the bytes, and put back unless the file
    // was replaced with them.
    apply_edits(index, made);
    bool replaced = false;
    try {
      replaced = replace_unless_changed(target.file, index.bytes, read_as, target.what);
    } catch (...) {
      apply_edits(index, made, true);
      throw;
    }
    if (replaced) return edits;
    apply_edits(index, made, true);
  }
  throw Error("The " + target.what + " " + target.shown + " kept changing while " + subject +
              " was being marked; it is left as it stands");
}

// The records of the file the rows name, each with the rows that hold it.
struct HeldRecord {
  std::size_t offset = 0;
  int width = 1;
  bool marked = false;
  RecordKey key{};
};

}  // namespace

std::vector<MarkChange> set_row_marks(const MarksFiles& files, std::span<const RowMark> rows, bool publish) {
  if (rows.empty()) return {};
  for (const RowMark& row : rows)
    if (row.records.empty()) throw Error("The row \"" + describe_row(row.row) + "\" has no record to mark");
  const int kind = rows.front().records.front().kind;
  for (const RowMark& row : rows)
    if (row.records.front().kind != kind)
      throw Error("The rows of one change of marks are of one kind; \"" + describe_row(row.row) + "\" is not");
  const KindFile target = file_of_kind(files, kind);
  // Which row asks for a record, by the record's key.
  std::unordered_map<RecordKey, std::vector<std::size_t>, RecordKeyHash> wanted;
  for (std::size_t r = 0; r < rows.size(); ++r)
    for (const RecordKey& record : rows[r].records) wanted[record].push_back(r);
  const std::string subject =
      rows.size() == 1 ? describe_row(rows.front().row) : std::to_string(rows.size()) + " rows";

  std::vector<RecordKey> keys;
  keys.reserve(wanted.size());
  for (const auto& [key, of_rows] : wanted) keys.push_back(key);

  const std::vector<Edit> edits = edit_marks_file(target, subject, [&](const RecordIndex& index) {
    std::vector<std::vector<HeldRecord>> held(rows.size());  // per row, in the file's order
    const int marks_of_kind = index.marks(kind);
    visit_records(index, target.kinds, keys, [&](const MarksRecord& record) {
      const auto found = wanted.find(record_key(record));
      if (found == wanted.end()) return;
      for (std::size_t r : found->second)
        held[r].push_back({record.offset, record.mark_width, record.marked, record_key(record)});
    });
    std::vector<Edit> chosen;
    int added = 0;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (held[r].empty())
        throw Error("The " + target.what + " " + target.shown + " holds no record of " + describe_row(rows[r].row) +
                    "; run vortan again to write it anew");
      const bool was_marked =
          std::any_of(held[r].begin(), held[r].end(), [](const HeldRecord& h) { return h.marked; });
      if (publish && !was_marked) {
        // The record from the row's first atom when the file holds it.
        const HeldRecord* target_record = &held[r].front();
        for (const HeldRecord& h : held[r])
          if (h.key == rows[r].records.front()) target_record = &h;
        chosen.push_back({target_record->offset, target_record->width, "Y", target_record->key});
        ++added;
      } else if (!publish) {
        for (const HeldRecord& h : held[r])
          if (h.marked) chosen.push_back({h.offset, h.width, "N", h.key});
      }
    }
    if (marks_of_kind + added > most_marks(kind)) {
      if (rows.size() == 1)
        throw Error("The " + target.what + " " + target.shown + " already holds " + std::to_string(marks_of_kind) +
                    " marked " + kind_plural(kind) + ", the most a run keeps; " + describe_row(rows.front().row) +
                    " is not marked");
      throw Error("The " + target.what + " " + target.shown + " holds " + std::to_string(marks_of_kind) + " marked " +
                  kind_plural(kind) + "; " + std::to_string(added) + " more would pass " +
                  std::to_string(most_marks(kind)) + ", the most a run keeps: none of them is marked");
    }
    // A record two rows share (a bond to its own image) is edited once.
    std::sort(chosen.begin(), chosen.end(), [](const Edit& a, const Edit& b) { return a.offset < b.offset; });
    chosen.erase(std::unique(chosen.begin(), chosen.end(),
                             [](const Edit& a, const Edit& b) { return a.offset == b.offset; }),
                 chosen.end());
    return chosen;
  });
  std::vector<MarkChange> changes;
  for (const Edit& edit : edits) changes.push_back({edit.record, edit.before, edit.mark});
  return changes;
}

bool set_row_mark(const MarksFiles& files, std::span<const RecordKey> records, const RowIdentity& row,
                  bool publish) {
  const RowMark one{std::vector<RecordKey>(records.begin(), records.end()), row};
  return !set_row_marks(files, std::span<const RowMark>(&one, 1), publish).empty();
}

void put_back_marks(const MarksFiles& files, std::span<const MarkChange> changes, bool to_before) {
  if (changes.empty()) return;
  const int kind = changes.front().record.kind;
  const KindFile target = file_of_kind(files, kind);
  for (const MarkChange& change : changes)
    if (in_marks_file(change.record.kind) != in_marks_file(kind))
      throw Error("The records of one change of marks are in one file");
  std::unordered_map<RecordKey, const MarkChange*, RecordKeyHash> wanted;
  for (const MarkChange& change : changes) wanted[change.record] = &change;
  const std::string subject = std::to_string(changes.size()) + (changes.size() == 1 ? " record" : " records");
  std::vector<RecordKey> keys;
  keys.reserve(wanted.size());
  for (const auto& [key, change] : wanted) keys.push_back(key);
  edit_marks_file(target, subject, [&](const RecordIndex& index) {
    std::vector<Edit> chosen;
    visit_records(index, target.kinds, keys, [&](const MarksRecord& record) {
      const MarkChange& change = *wanted.at(record_key(record));
      const std::string& now = to_before ? change.after : change.before;
      const std::string& then = to_before ? change.before : change.after;
      if (static_cast<std::size_t>(record.mark_width) != now.size() ||
          index.bytes.compare(record.offset, now.size(), now) != 0)
        throw Error("The " + target.what + " " + target.shown + " was changed since (line " +
                    std::to_string(record.line) + "); the marks are left as they stand");
      chosen.push_back({record.offset, static_cast<int>(now.size()), then, change.record});
    });
    if (chosen.size() != changes.size())
      throw Error("The " + target.what + " " + target.shown + " no longer holds every record of the change (" +
                  std::to_string(changes.size() - chosen.size()) + " missing); the marks are left as they stand");
    return chosen;
  });
}

void index_marks_files(const MarksFiles& files) {
  if (files.index == nullptr) return;
  for (const int kind : {0, kTorsionKind}) {
    const KindFile target = file_of_kind(files, kind);
    const std::lock_guard<std::mutex> hold(target.lock);
    index_file(*target.index, target.file, target.what, target.kinds);
  }
}

}  // namespace vesk
