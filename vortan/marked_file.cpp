#include "vortan/marked_file.hpp"

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

// The marks of `file`, read on `unit`; none for a file that is absent.
MarkKeys marks_of(const std::string& file, int unit, CollectMarks collect_marks) {
  MarkKeys marks;
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::Old;
  if (!recio::exists(file) || recio::open(unit, file, spec) != 0) return marks;
  collect_marks(unit, marks);
  recio::close(unit);
  return marks;
}

}  // namespace

// Only a marked record or one that may be the closing record can change the
// marks or end the scan. A blank and a digit in columns 2-3 read as a phase
// of at most 9 under any treatment of blanks, so such a record never closes.
bool may_count_as_mark(std::string_view record) {
  if (record.empty()) return false;  // reads as a blank mark and phase 0
  if (record[0] == 'Y' || record[0] == 'y') return true;
  return !(record.size() >= 3 && record[1] == ' ' && record[2] >= '0' && record[2] <= '9');
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

void open_marked_file(MarkedFile& marked, const std::string& file, const std::string& what, int start_unit,
                      const std::function<void(int unit)>& read_marks) {
  marked.file = file;
  marked.what = what;
  marked.new_file = recio::temporary_name(file);
  marked.unit = start_unit;
  FREEUNIT(marked.unit);
  marked.read_as = identity_of(file);
  if (recio::exists(file)) read_previous_file(marked, read_marks);
  recio::remove_stale_temporaries(file);
  recio::remove_stale_temporaries(previous_file_name(marked));
  recio::remove_at_end(marked.new_file);
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::New;
  if (recio::open(marked.unit, marked.new_file, spec) != 0) {
    recio::keep_at_end(marked.new_file);  // not ours to remove
    throw Error("The " + what + " " + marked.new_file + " cannot be created in the experiment's folder" +
                (recio::exists(marked.new_file) ? ": a file of that name is in the way" : ""));
  }
}

void read_previous_file(const MarkedFile& marked, const std::function<void(int unit)>& read) {
  int unit = marked.unit + 1;
  FREEUNIT(unit);
  recio::OpenSpec old_spec;
  old_spec.status = recio::OpenStatus::Old;
  recio::check(recio::open(unit, marked.file, old_spec), unit);
  read(unit);
  recio::check(recio::close(unit), unit);
}

void check_write(int status, const MarkedFile& marked) {
  if (status != 0) recio::fail(status, marked.unit);
}

ReplaceOutcome complete_marked_file(MarkedFile& marked, CollectMarks collect_marks) {
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
    const MarkKeys previous = marks_of(marked.file, marked.unit, collect_marks);
    if (!previous.empty()) {
      const MarkKeys kept = marks_of(marked.new_file, marked.unit, collect_marks);
      for (const auto& mark : previous)
        if (kept.count(mark) == 0) ++outcome.missing_marks;
    }
  }
  return outcome;
}

std::string previous_file_name(const MarkedFile& marked) { return marked.file + ".prev"; }

void replace_marked_file(MarkedFile& marked, const ReplaceOutcome& outcome) {
  // A copy, so that the file is never absent.
  if (outcome.missing_marks > 0)
    recio::copy_file(marked.file, previous_file_name(marked), "copy of the previous " + marked.what);
  recio::rename_file(marked.new_file, marked.file, marked.what);
  recio::keep_at_end(marked.new_file);
}

std::string keep_new_file_beside(MarkedFile& marked) {
  const std::string beside = marked.file + ".new";
  recio::rename_file(marked.new_file, beside, marked.what);
  recio::keep_at_end(marked.new_file);
  return beside;
}

}  // namespace vesk
