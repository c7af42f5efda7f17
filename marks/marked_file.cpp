#include "marks/marked_file.hpp"

#include <sys/stat.h>

#include "console/text_utils.hpp"
#include "recio/error.hpp"
#include "recio/file_replace.hpp"
#include "recio/format.hpp"
#include "recio/status.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

// The reason of a failed write or close of the new file, for its message.
[[noreturn]] void new_file_failed(const MarkedFile& marked, int status) {
  const std::string reason = recio::system_reason(marked.unit);
  throw Error("The " + marked.what + " " + marked.new_file + " cannot be written: " +
              (reason.empty() ? recio::status_text(status) : reason) + "; " + marked.file + " is left as it was");
}

std::string marks_text(std::size_t count) { return std::to_string(count) + (count == 1 ? " mark" : " marks"); }

// True when `copy` may be replaced by a copy of the previous file: absent,
// or holding, readably, no mark the new file lacks.
bool may_hold_copy(const std::string& copy, const MarkedFile& marked, const MarkKeys& new_marks) {
  struct stat info {};
  if (::lstat(copy.c_str(), &info) != 0) return true;
  if (!S_ISREG(info.st_mode)) return false;  // not ours to replace
  MarksScanResult scanned;
  const MarkKeys held = marks_in(read_marks_bytes(copy, "kept " + marked.what), marked.kinds, &scanned);
  if (!scanned.unreadable_lines.empty()) return false;
  for (const auto& mark : held)
    if (new_marks.count(mark) == 0) return false;
  return true;
}

std::vector<int> key_of(const MarksRecord& record) {
  std::vector<int> key{record.phase, record.kind};
  key.insert(key.end(), record.key.begin(), record.key.begin() + record.layout->key_length);
  return key;
}

}  // namespace

void note_written(const MarkedFile& marked, std::vector<int> key) { marked.written_marks.insert(std::move(key)); }

void note_written(const MarkedFile& marked, const MarksRecord& record) {
  if (record.marked && record.layout != nullptr) marked.written_marks.insert(key_of(record));
}

FileIdentity identity_of(const std::string& file) {
  FileIdentity identity;
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return identity;
  identity.present = true;
  identity.device = info.st_dev;
  identity.inode = info.st_ino;
  identity.size = info.st_size;
  identity.modified_ns = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
  return identity;
}

void open_marked_file(MarkedFile& marked, const std::string& file, const std::string& what,
                      std::span<const MarkKind> kinds, int start_unit,
                      const std::function<void(const MarksRecord&)>& read) {
  marked.file = file;
  marked.what = what;
  marked.kinds = kinds;
  marked.new_file = recio::temporary_name(file);
  marked.unit = start_unit;
  FREEUNIT(marked.unit);
  marked.read_as = identity_of(file);
  const std::string bytes = read_marks_bytes(file, what);
  marked.previous_marks.clear();
  marked.written_marks.clear();
  marked.previous = scan_marks(bytes, kinds, [&](const MarksRecord& record) {
    if (record.marked && record.layout != nullptr) marked.previous_marks.insert(key_of(record));
    read(record);
  });
  marked.held_marks = marked.previous.marks > 0 || !marked.previous.unreadable_lines.empty();
  if (!marked.read_as.present && !marked.carry.file.empty()) {
    // The marks stay whole in the file set aside; those of atoms still
    // there go on to this structure's file under their new numbers.
    MarksCarry& carry = marked.carry;
    carry.carried = carry.left = 0;
    scan_marks(read_marks_bytes(carry.file, "kept " + what), kinds, [&](const MarksRecord& record) {
      if (!record.marked || record.layout == nullptr) return;
      MarksRecord moved = record;
      bool there = record.phase == 1;
      for (int k = 0; k < record.layout->atoms && there; ++k) {
        const auto found = carry.atoms.find(record.key[static_cast<std::size_t>(k)]);
        there = found != carry.atoms.end();
        if (there) moved.key[static_cast<std::size_t>(k)] = found->second;
      }
      ++(there ? carry.carried : carry.left);
      if (there) read(moved);
    });
  }
  // Not the earlier form: NAME.VORTAN.2.new is a kept file of a structure set aside.
  recio::remove_stale_temporaries(file, false);
  recio::remove_stale_temporaries(file + ".prev");
  recio::remove_at_end(marked.new_file);
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::New;
  if (recio::open(marked.unit, marked.new_file, spec) != 0) {
    recio::keep_at_end(marked.new_file);  // not ours to remove
    throw Error("The " + what + " " + marked.new_file + " cannot be created in the experiment's folder" +
                (recio::exists(marked.new_file) ? ": a file of that name is in the way" : ""));
  }
}

std::string unreadable_lines_report(const MarkedFile& marked) {
  const std::vector<int>& lines = marked.previous.unreadable_lines;
  if (lines.empty()) return {};
  return " The " + marked.what + " " + marked.file + " has " +
         (lines.size() == 1 ? "a line" : std::to_string(lines.size()) + " lines") +
         " that cannot be read as a record (line " + line_list(lines) + ": \"" +
         marked.previous.first_unreadable + "\"); a mark there is not taken, and the file will be kept whole";
}

void read_previous_file(const MarkedFile& marked, const std::function<void(const MarksRecord&)>& visit) {
  const std::string bytes = read_marks_bytes(marked.file, marked.what);
  scan_marks(bytes, marked.kinds, visit);
}

void check_write(int status, const MarkedFile& marked) {
  if (status != 0) recio::fail(status, marked.unit);
}

ReplaceOutcome complete_marked_file(MarkedFile& marked) {
  int status = recio::write(marked.unit, "(I1,2I2)", {9, 99, 99});
  if (status == 0) status = recio::flush(marked.unit);
  if (status != 0) {
    recio::close(marked.unit);
    new_file_failed(marked, status);
  }
  if ((status = recio::close(marked.unit)) != 0) new_file_failed(marked, status);

  ReplaceOutcome outcome;
  const FileIdentity now = identity_of(marked.file);
  // A file that is gone holds no marks to lose.
  outcome.changed = now.present && !(now == marked.read_as);
  if (!outcome.changed && marked.held_marks) {
    // Unchanged since it was read: its marks are those read then.
    const MarkKeys& previous = marked.previous_marks;
    outcome.new_marks = marked.written_marks;
    for (const auto& mark : previous)
      if (outcome.new_marks.count(mark) == 0) ++outcome.missing_marks;
  }
  return outcome;
}

std::string keep_previous_copy(MarkedFile& marked, ReplaceOutcome& outcome) {
  const bool unreadable = !marked.previous.unreadable_lines.empty();
  if (outcome.changed || (outcome.missing_marks == 0 && !unreadable) || !identity_of(marked.file).present) return {};
  std::string copy = marked.file + ".prev";
  for (int n = 1; !may_hold_copy(copy, marked, outcome.new_marks); ++n)
    copy = marked.file + ".prev." + std::to_string(n);
  recio::remove_stale_temporaries(copy);
  recio::copy_file(marked.file, copy, "copy of the previous " + marked.what);
  std::string message = " ";
  if (outcome.missing_marks > 0)
    message += marks_text(static_cast<std::size_t>(outcome.missing_marks)) + " of the previous " + marked.what +
               (outcome.missing_marks == 1 ? " was" : " were") + " not found again";
  if (unreadable)
    message += std::string(outcome.missing_marks > 0 ? "; it" : "The previous " + marked.what) + " had " +
               std::to_string(marked.previous.unreadable_lines.size()) + " unreadable line" +
               (marked.previous.unreadable_lines.size() == 1 ? "" : "s");
  message += "; that file is kept as " + copy + " (" + marks_text(static_cast<std::size_t>(marked.previous.marks)) +
             "; " + marked.file + " now holds " + std::to_string(outcome.new_marks.size()) + ")";
  return message;
}

void replace_marked_file(MarkedFile& marked) {
  recio::rename_file(marked.new_file, marked.file, marked.what);
  recio::keep_at_end(marked.new_file);
}

std::string keep_new_file_beside(MarkedFile& marked) {
  // Never over an earlier run's version that holds a mark this one lacks.
  const MarkKeys new_marks = marks_in(read_marks_bytes(marked.new_file, marked.what), marked.kinds);
  std::string beside = marked.file + ".new";
  for (int n = 1; !may_hold_copy(beside, marked, new_marks); ++n) beside = marked.file + ".new." + std::to_string(n);
  recio::rename_file(marked.new_file, beside, marked.what);
  recio::keep_at_end(marked.new_file);
  return beside;
}

}  // namespace vesk
