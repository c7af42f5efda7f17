// A file of publication marks that every run writes anew: the results file
// and the marks file of torsion angles and hydrogen bonds. The marks of the
// previous file are read at the start (marks_reader.hpp); the new file is
// written beside it under a name of this process and replaces it only when
// the run ends normally, so a run that fails or is stopped leaves the
// previous file as it was. A previous file that holds marks the new one
// lacks, or records that could not be read, is first kept whole under a
// name that holds no mark the new file lacks (file + ".prev", ".prev.1",
// ...); a previous file that was changed while the run went on (a mark
// typed in an editor) is not replaced at all.
#pragma once
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "marks/marks_reader.hpp"

namespace vesk {

// What identifies the content of a file on disk without reading it.
struct FileIdentity {
  bool present = false;
  unsigned long long device = 0, inode = 0;
  long long size = 0;
  long long modified_ns = 0;
  bool operator==(const FileIdentity&) const = default;
};
FileIdentity identity_of(const std::string& file);

// Marks of a file a conversion set aside (cif2exp), carried to the atoms
// that are still there when there is no file of this structure yet.
struct MarksCarry {
  std::string file;              // the file set aside, in the experiment's folder
  std::map<int, int> atoms;      // of phase 1: number in that file -> number now
  int carried = 0, left = 0;     // its marks whose atoms are still there, and the others
};

struct MarkedFile {
  int unit = 0;
  std::string file;      // the file of the previous run, replaced at the end
  std::string new_file;  // written during the run
  std::string what;      // "results file", for the messages
  std::span<const MarkKind> kinds;  // the records it holds
  FileIdentity read_as;  // the previous file as the run read its marks
  // False when the previous file held no mark as the run read it: unchanged
  // since, it has none to lose, and neither file is read again at the end.
  bool held_marks = true;
  MarksScanResult previous;  // the previous file as read at the start
  MarkKeys previous_marks;   // its marks, as read then
  // The marks written to the new file so far (note_written()).
  mutable MarkKeys written_marks;
  MarksCarry carry;  // set before open_marked_file()
};

// Notes a marked record written to the new file: phase, kind, key.
void note_written(const MarkedFile& marked, std::vector<int> key);
// A record of the previous file written again as it stands.
void note_written(const MarkedFile& marked, const MarksRecord& record);

// How the new file stands against the previous one, once it is complete.
struct ReplaceOutcome {
  bool changed = false;   // the previous file changed on disk since it was read
  int missing_marks = 0;  // marks of the previous file the new one no longer holds
  MarkKeys new_marks;     // of the new file
};

// Reads the previous file when it exists, calling `read` for each of its
// records, removes the temporaries that killed runs left, and creates the
// new file on the first free unit from `start_unit`; throws vesk::Error
// when the previous file is no plain file or the new one cannot be created.
// Without a previous file, the marks `carry` names are read instead, each
// with its atoms' numbers now; a mark of an atom that is gone is not.
void open_marked_file(MarkedFile& marked, const std::string& file, const std::string& what,
                      std::span<const MarkKind> kinds, int start_unit,
                      const std::function<void(const MarksRecord&)>& read);

// For the listing and the terminal: the lines of the previous file that
// could not be read; empty when every line read.
std::string unreadable_lines_report(const MarkedFile& marked);

// Reads the previous file again, calling `visit` for each record.
void read_previous_file(const MarkedFile& marked, const std::function<void(const MarksRecord&)>& visit);

// A record write of the new file; a status that is not 0 ends the run.
void check_write(int status, const MarkedFile& marked);

// Writes the closing record "99999" and closes the new file (a write the
// system refuses throws vesk::Error with its reason; the previous file
// stays), then compares the marks of both files: those read from the
// previous one at the start (it has not changed since, or nothing is
// compared) and those written to the new one.
ReplaceOutcome complete_marked_file(MarkedFile& marked);

// When the previous file holds marks the new one lacks or lines that did
// not read, keeps it whole under the first of file + ".prev", ".prev.1", ...
// that is absent or holds no mark the new file lacks, and returns the
// message that names it (written once the copy exists); empty otherwise.
// Throws vesk::Error when the copy cannot be written.
std::string keep_previous_copy(MarkedFile& marked, ReplaceOutcome& outcome);

// The new file replaces the previous one (keep_previous_copy() first).
void replace_marked_file(MarkedFile& marked);
// For a previous file that changed meanwhile: the new file goes to the
// first of file + ".new", ".new.1", ... that is absent or holds no mark the
// new file lacks, and the previous one stays; returns that name.
std::string keep_new_file_beside(MarkedFile& marked);

}  // namespace vesk
