// A file of publication marks that every run writes anew: the results file
// and the marks file of torsion angles and hydrogen bonds. The marks of the
// previous file are read at the start; the new file is written beside it
// under a name of this process and replaces it only when the run ends
// normally, so a run that fails or is stopped leaves the previous file as it
// was. A new file that no longer holds every mark of the previous one keeps
// that one as file + ".prev"; a previous file that was changed while the run
// went on (a mark typed in an editor) is not replaced at all.
#pragma once
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

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

struct MarkedFile {
  int unit = 0;
  std::string file;      // the file of the previous run, replaced at the end
  std::string new_file;  // written during the run
  std::string what;      // "results file", for the messages
  FileIdentity read_as;  // the previous file as the run read its marks
  // False when the previous file held no mark as the run read it: unchanged
  // since, it has none to lose, and neither file is read again at the end.
  bool held_marks = true;
};

// How the new file stands against the previous one, once it is complete.
struct ReplaceOutcome {
  bool changed = false;   // the previous file changed on disk since it was read
  int missing_marks = 0;  // marks of the previous file the new one no longer holds
};

// False for a record that can neither be marked nor be the closing record,
// which a scan for marks passes over without its formatted read.
bool may_count_as_mark(std::string_view record);

// Each marked record as phase, kind and the integers that name what it marks.
using MarkKeys = std::set<std::vector<int>>;
// Adds the marks of the file open on `unit` to `marks`.
using CollectMarks = void (*)(int unit, MarkKeys& marks);

// Reads the previous file with `read_marks` when it exists, removes the
// temporaries that killed runs left, and creates the new file on the first
// free unit from `start_unit`; throws vesk::Error when it cannot be created.
void open_marked_file(MarkedFile& marked, const std::string& file, const std::string& what, int start_unit,
                      const std::function<void(int unit)>& read_marks);

// Opens the previous file on a unit of its own for `read`, then closes it.
void read_previous_file(const MarkedFile& marked, const std::function<void(int unit)>& read);

// A record write of the new file; a status that is not 0 ends the run.
void check_write(int status, const MarkedFile& marked);

// Writes the closing record "99999" and closes the new file (a write the
// system refuses throws vesk::Error with its reason; the previous file
// stays), then compares the marks of both files (the new one is only read
// when the previous one holds marks).
ReplaceOutcome complete_marked_file(MarkedFile& marked, CollectMarks collect_marks);
// file + ".prev", where a previous file with marks not found again is kept.
std::string previous_file_name(const MarkedFile& marked);
// The new file replaces the previous one; with marks missing the previous
// one is first kept as previous_file_name().
void replace_marked_file(MarkedFile& marked, const ReplaceOutcome& outcome);
// For a previous file that changed meanwhile: the new file goes to
// file + ".new" and the previous one stays; returns that name.
std::string keep_new_file_beside(MarkedFile& marked);

}  // namespace vesk
