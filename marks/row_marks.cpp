#include "marks/row_marks.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "marks/geometry_marks.hpp"
#include "marks/marked_file.hpp"
#include "marks/marks_reader.hpp"
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

struct Edit {
  std::size_t offset = 0;
  int width = 1;
  char mark = 'Y';
};

// The file's bytes with column 1 of the edited records replaced.
std::string edited(const std::string& bytes, std::vector<Edit> edits) {
  std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.offset < b.offset; });
  std::string out;
  out.reserve(bytes.size());
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

bool set_row_mark(const MarksFiles& files, std::span<const RecordKey> records, const RowIdentity& row,
                  bool publish) {
  if (records.empty()) throw Error("The row \"" + describe_row(row) + "\" has no record to mark");
  const int kind = records.front().kind;
  const bool geometry_file = kind == kTorsionKind || kind == kHbondKind;
  const std::string& file = geometry_file ? files.marks_file : files.results_file;
  const std::string& named = geometry_file ? files.marks_name : files.results_name;
  const std::string& shown = named.empty() ? file : named;
  const std::string what = geometry_file ? "marks file" : "results file";
  const std::span<const MarkKind> kinds = geometry_file ? geometry_marks_kinds() : results_file_kinds();

  // A file changed between reading and renaming (an editor's save) is read again.
  constexpr int kAttempts = 5;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const FileIdentity read_as = identity_of(file);
    const std::string bytes = read_marks_bytes(file, what);
    std::vector<MarksRecord> held;  // the row's records, in the file's order
    int marks_of_kind = 0;
    scan_marks(
        bytes, kinds,
        [&](const MarksRecord& record) {
          if (record.layout == nullptr) return;
          if (record.marked && record.kind == kind) ++marks_of_kind;
          if (!record.keyed) return;
          if (std::find(records.begin(), records.end(), record_key(record)) == records.end()) return;
          MarksRecord copy = record;
          copy.text = {};  // points into the scan's buffer
          held.push_back(copy);
        },
        true);
    if (held.empty())
      throw Error("The " + what + " " + shown + " holds no record of " + describe_row(row) +
                  "; run vortan again to write it anew");
    const bool was_marked = std::any_of(held.begin(), held.end(), [](const MarksRecord& r) { return r.marked; });
    std::vector<Edit> edits;
    if (publish && !was_marked) {
      if (marks_of_kind >= most_marks(kind))
        throw Error("The " + what + " " + shown + " already holds " + std::to_string(marks_of_kind) + " marked " +
                    kind_plural(kind) + ", the most a run keeps; " + describe_row(row) + " is not marked");
      // The record from the row's first atom when the file holds it.
      const MarksRecord* target = &held.front();
      for (const MarksRecord& record : held)
        if (record_key(record) == records.front()) target = &record;
      edits.push_back({target->offset, target->mark_width, 'Y'});
    } else if (!publish) {
      for (const MarksRecord& record : held)
        if (record.marked) edits.push_back({record.offset, record.mark_width, 'N'});
    }
    if (edits.empty()) return false;
    if (!replace_unless_changed(file, edited(bytes, edits), read_as, what)) continue;
    return true;
  }
  throw Error("The " + what + " " + shown + " kept changing while " + describe_row(row) +
              " was being marked; it is left as it stands");
}

}  // namespace vesk
