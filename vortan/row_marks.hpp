// Marks set by what a row shows rather than by the numbers of its record:
// a row of the page or of `--mark` is named by its kind, its atoms' labels
// and their site codes, as NAME.json names it. The mark is written into
// the marks file on disk (NAME.VORTAN for bonds and angles, NAME.TORHB for
// torsion angles and hydrogen bonds) by changing column 1 of the row's
// record and nothing else, which is what a text edit of the same mark
// makes; the file is replaced whole (written beside it, flushed to disk,
// renamed over it) before the call returns, so a mark that was answered is
// on disk whatever happens next.
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "recio/error.hpp"
#include "vortan/cif_output.hpp"

namespace vesk {

struct RowIdentity {
  std::string kind;                     // "bond", "angle", "torsion", "hbond"
  std::vector<std::string> labels;      // in NAME.json's order
  std::vector<std::string> site_codes;  // "." or "2_654", one per label
  int phase = 0;                        // 0: the one phase that has the row
};

// Of the errors set_row_mark throws: a row the run does not have, and an
// identity that names rows of several phases (or several rows of one).
struct UnknownRow : Error {
  using Error::Error;
};
struct AmbiguousRow : Error {
  using Error::Error;
};

// The marks files of the run and the rows of its model (the collector of
// the publication CIF, whose rows are the records in their order).
struct RowLookup;  // the rows of each phase and kind by identity, built once
struct RowMarks {
  std::string results_file;  // stem + ".VORTAN"
  std::string marks_file;    // stem + ".TORHB"
  CifCollector* cif = nullptr;
  // The files as the messages name them, when the two above are the run's
  // new files under temporary names: the files the user edits.
  std::string results_name = {}, marks_name = {};
  // Shared by the copies of one RowMarks: a page's clicks find their rows
  // without going through every row again (the collector's rows never
  // change after the run, only their flags).
  std::shared_ptr<RowLookup> lookup = new_row_lookup();

  static std::shared_ptr<RowLookup> new_row_lookup();
};

// Sets (publish) or clears the mark of the row, on disk and in the
// collector's rows (so the CIF and NAME.json written after show it).
// A bond is one row of the page but two records (one from each end):
// marking sets the record of the row's first atom; clearing clears both.
// Returns whether the file changed. Throws UnknownRow or AmbiguousRow naming
// the row when no row, or more than one, of the model has that identity, or
// vesk::Error naming the file when it cannot be read or replaced (the file
// on disk is then as it was).
bool set_row_mark(const RowMarks& marks, const RowIdentity& row, bool publish);

// Throws as set_row_mark does when no row of the collector has that
// identity; reads and writes no file.
void check_row(CifCollector& cif, const RowIdentity& row);

// A row as the command line names it: `kind` "bond", "angle", "torsion" or
// "hbond", with ":N" for phase N ("bond:2"); `labels` and `site_codes`
// separated by blanks. Throws vesk::Error naming the row for an unknown kind
// or phase, or counts of labels and site codes that are not the kind's.
RowIdentity parse_row_identity(std::string_view kind, std::string_view labels, std::string_view site_codes);

// The atoms of a row of `kind`: 2 for "bond", 3 for "angle" and "hbond", 4
// for "torsion"; 0 for a kind that is none of them.
std::size_t row_atom_count(std::string_view kind);

// "bond C1 C2 . 2_654" for messages.
std::string describe_row(const RowIdentity& row);

}  // namespace vesk
