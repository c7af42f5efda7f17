// Marks set by what a row shows rather than by the numbers of its record:
// a row of the page or of `--mark` is named by its kind, its atoms' labels
// and their site codes, as NAME.json names it. The mark is written into
// the marks file on disk (NAME.VORTAN for bonds and angles, NAME.TORHB for
// torsion angles and hydrogen bonds) by changing column 1 of the row's
// record and nothing else, which is what a text edit of the same mark
// makes; the file is replaced whole (written beside it, flushed to disk,
// renamed over it) before the call returns, so a mark that was answered is
// on disk whatever happens next. Where the records lie is kept between
// changes (marks/record_index.hpp) while the file stays as it was written.
#pragma once
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "marks/run_marks.hpp"
#include "recio/error.hpp"

namespace vesk {

struct MarksFilesIndex;

// The kinds of rows a user marks, in the order of the kinds of their
// records (0 distance, 1 angle, kTorsionKind, kHbondKind).
enum class RowKind { bond, angle, torsion, hbond };
constexpr std::size_t kRowKinds = 4;

struct RowKindName {
  RowKind kind;
  const char* name;   // as --mark, the page and NAME.json's rows name the kind
  std::size_t atoms;  // labels and site codes a row of the kind has
};
std::span<const RowKindName> row_kinds();
const RowKindName& row_kind_name(RowKind kind);
// The kind of a name; nothing for a name that is none.
std::optional<RowKind> row_kind(std::string_view name);

struct RowIdentity {
  std::string kind;                     // "bond", "angle", "torsion", "hbond"
  std::vector<std::string> labels;      // in NAME.json's order
  std::vector<std::string> site_codes;  // "." or "2_654", one per label
  int phase = 0;                        // 0: the one phase that has the row
};

// A row the run does not have, and an identity that names rows of several
// phases (or several rows of one): what finding a row by its identity
// throws (report/rows.hpp).
struct UnknownRow : Error {
  using Error::Error;
};
struct AmbiguousRow : Error {
  using Error::Error;
};

// The marks files a mark is set in.
struct MarksFiles {
  std::string results_file;  // stem + ".VORTAN"
  std::string marks_file;    // stem + ".TORHB"
  // The files as the messages name them, when the two above are the run's
  // new files under temporary names: the files the user edits.
  std::string results_name = {}, marks_name = {};
  // Where the records of both files lie, kept between changes; none: each
  // change reads every record.
  std::shared_ptr<MarksFilesIndex> index = {};
};

// Sets (publish) or clears the mark of the row `row` on disk, in the file
// of its kind. `records` are the row's records, the first the one a mark is
// set in when the file holds it (report/rows.hpp: row_records): a bond is
// one row of the page but two records (one from each end); marking sets the
// record of the row's first atom, clearing clears both. Returns whether the
// file changed. Throws vesk::Error naming the file when it holds no record
// of the row, when it cannot be read or replaced (the file on disk is then
// as it was) or when it holds the most marks of the kind already.
bool set_row_mark(const MarksFiles& files, std::span<const RecordKey> records, const RowIdentity& row,
                  bool publish);

// A row of a change of several marks: its records, as set_row_mark takes
// them, and its name for messages.
struct RowMark {
  std::vector<RecordKey> records;
  RowIdentity row;
};

// Column 1 of a record before and after a change, as the file holds it
// ("N", "n", " ", "Y", "y", or an insert-mode "YN"): what an undo puts back.
struct MarkChange {
  RecordKey record;
  std::string before;
  std::string after;
};

// Sets (publish) or clears the marks of several rows, all of one kind, as
// set_row_mark does for each, with one replace of their file. Rows that are
// as asked change nothing. Returns the records changed. All or nothing: a
// row whose record the file does not hold, or marks past the most a run
// keeps, throw vesk::Error and leave the file as it was.
std::vector<MarkChange> set_row_marks(const MarksFiles& files, std::span<const RowMark> rows, bool publish);

// Puts column 1 of the changed records back as it was (`to_before`, an
// undo) or again as the change left it (a redo), with one replace of their
// file, so that the file is byte for byte what it was. Every record must
// still hold what the change left (or, for a redo, what it found); a record
// edited or gone since throws vesk::Error naming the file, which stays as
// it is.
void put_back_marks(const MarksFiles& files, std::span<const MarkChange> changes, bool to_before);

// Reads both files into `files.index` ahead of their first change (as a
// page opens); throws as reading them for a change does.
void index_marks_files(const MarksFiles& files);

// A row as the command line names it: `kind` "bond", "angle", "torsion" or
// "hbond", with ":N" for phase N ("bond:2"); `labels` and `site_codes`
// separated by blanks. Throws vesk::Error naming the row for an unknown kind
// or phase, or counts of labels and site codes that are not the kind's.
RowIdentity parse_row_identity(std::string_view kind, std::string_view labels, std::string_view site_codes);

// The atoms of a row of `kind`: 2 for "bond", 3 for "angle" and "hbond", 4
// for "torsion"; 0 for a kind that is none of them.
std::size_t row_atom_count(std::string_view kind);

// Throws vesk::Error naming the row when its kind is none of them, or its
// counts of labels and site codes are not the kind's.
void check_row_form(const RowIdentity& row);

// "bond C1 C2 . 2_654" for messages.
std::string describe_row(const RowIdentity& row);

}  // namespace vesk
