#include "vortan/results_file.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>

#include "console/text_utils.hpp"
#include "recio/error.hpp"
#include "recio/file_replace.hpp"
#include "recio/format.hpp"
#include "recio/status.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

// The new results file of a run that has not ended normally; removed when
// the program ends, so only a finished run replaces the old file.
std::string& pending_new_file() {
  static std::string name;
  return name;
}

void check_write(int status, const ResultsFile& results) {
  if (status != 0) recio::fail(status, results.unit);
}

// The reason of a failed write or close of the new file, for its message.
[[noreturn]] void new_file_failed(const ResultsFile& results, int status) {
  const std::string reason = recio::system_reason(results.unit);
  throw Error("The results file " + results.new_file + " cannot be written: " +
              (reason.empty() ? recio::status_text(status) : reason) + "; " + results.file + " is left as it was");
}

void add_mark(const std::string& mark, int phase, int kind, const std::array<short, 7>& values,
              PublishLists& lists) {
  if (mark != "Y") return;
  auto report_overflow = [&lists](const char* text) {
    if (lists.overflow_reported) return;
    lists.overflow_reported = true;
    recio::write(recio::kTerminalOut, "(A)", {text});
  };
  const auto phase16 = static_cast<short>(phase);
  if (kind == 0) {
    if (lists.distances.size() >= static_cast<std::size_t>(kMaxPublishedDistances)) {
      report_overflow("Too many distances to publish, saving only first 1000 distances");
      return;
    }
    lists.distances.push_back({phase16, values[0], values[1], values[2], values[3]});
  } else if (kind == 1) {
    if (lists.angles.size() >= static_cast<std::size_t>(kMaxPublishedAngles)) {
      report_overflow("Too many angles to publish, saving only first 5000 angles");
      return;
    }
    lists.angles.push_back({phase16, values[0], values[1], values[2], values[3], values[4], values[5], values[6]});
  }
}

}  // namespace

namespace {

int read_record_fields(const std::string& record, std::string& mark, int& phase, int& kind,
                       std::array<short, 7>& values) {
  return recio::read_string(record, "(A1,2I2,20X,7I5)",
                            {mark, phase, kind, values[0], values[1], values[2], values[3], values[4], values[5],
                             values[6]});
}

// Walks the records of a results file on `unit` that read with
// "(A1,2I2,20X,7I5)", up to and including the closing record; unreadable
// records are skipped.
template <class Visit>
void for_each_record(int unit, Visit visit) {
  for (;;) {
    std::string record;
    if (recio::read_line(unit, record) != 0) break;
    std::string mark(1, ' ');
    int phase = 0;
    int kind = 0;
    std::array<short, 7> values{};
    if (read_record_fields(record, mark, phase, kind, values) != 0) continue;
    visit(record, mark, phase, kind, values);
    if (phase > 9) break;  // the closing record
  }
}

// Every distinct mark of a results file: phase, kind and the integers of the key.
std::set<std::array<short, 9>> marks_of(const std::string& file, int unit) {
  std::set<std::array<short, 9>> marks;
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::Old;
  if (!recio::exists(file) || recio::open(unit, file, spec) != 0) return marks;
  for_each_record(unit, [&marks](const std::string&, std::string& mark, int phase, int kind,
                                 const std::array<short, 7>& values) {
    UPCASE(mark);
    if (mark != "Y" || (kind != 0 && kind != 1)) return;
    std::array<short, 9> key{static_cast<short>(phase), static_cast<short>(kind)};
    // A distance key has four integers; what the wider read finds after them is not part of it.
    for (std::size_t k = 0; k < (kind == 0 ? 4u : 7u); ++k) key[k + 2] = values[k];
    marks.insert(key);
  });
  recio::close(unit);
  return marks;
}

}  // namespace

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

namespace {

// Only a marked record or one that may be the closing record can change the
// publish lists or end the scan; every other record is passed over without
// its formatted read. A blank and a digit in columns 2-3 read as a phase of
// at most 9 under any treatment of blanks, so such a record never closes.
bool may_count(const std::string& record) {
  if (record.empty()) return false;  // reads as a blank mark and phase 0
  if (record[0] == 'Y' || record[0] == 'y') return true;
  return !(record.size() >= 3 && record[1] == ' ' && record[2] >= '0' && record[2] <= '9');
}

}  // namespace

void read_publish_marks(int unit, PublishLists& lists) {
  std::string record;
  while (recio::read_line(unit, record) == 0) {
    if (!may_count(record)) continue;
    std::string mark(1, ' ');
    int phase = 0;
    int kind = 0;
    std::array<short, 7> values{};
    if (read_record_fields(record, mark, phase, kind, values) != 0) continue;
    UPCASE(mark);
    if (phase >= 1 && phase <= 9 && (kind == 0 || kind == 1)) lists.has_records[static_cast<std::size_t>(phase)] = true;
    add_mark(mark, phase, kind, values, lists);
    if (phase > 9) break;  // the closing record
  }
}

void open_results_file(ResultsFile& results, const std::string& stem, int start_unit) {
  results.file = stem + ".VORTAN";
  results.new_file = recio::temporary_name(results.file);
  results.unit = start_unit;
  FREEUNIT(results.unit);
  results.read_as = identity_of(results.file);
  if (recio::exists(results.file)) {
    recio::OpenSpec old_spec;
    old_spec.status = recio::OpenStatus::Old;
    recio::check(recio::open(results.unit, results.file, old_spec), results.unit);
    read_publish_marks(results.unit, results.publish);
    recio::check(recio::close(results.unit), results.unit);
  }
  recio::remove_stale_temporaries(results.file);
  recio::remove_stale_temporaries(previous_file_name(results));
  pending_new_file() = results.new_file;
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::New;
  int status = recio::open(results.unit, results.new_file, spec);
  if (status != 0) {
    pending_new_file().clear();
    throw Error("The results file " + results.new_file + " cannot be created in the experiment's folder" +
                (recio::exists(results.new_file) ? ": a file of that name is in the way" : ""));
  }
}

bool is_published_distance(const PublishLists& lists, int phase, int central, int neighbour, int op, int cell) {
  for (const DistanceKey& key : lists.distances)
    if (key[0] == phase && key[1] == central && key[2] == neighbour && key[3] == op && key[4] == cell) return true;
  return false;
}

bool is_published_angle(const PublishLists& lists, int phase, int first, int central, int second, int op1,
                        int cell1, int op2, int cell2) {
  const std::array<int, 8> wanted{phase, first, central, second, op1, cell1, op2, cell2};
  for (const AngleKey& key : lists.angles) {
    bool same = true;
    for (std::size_t i = 0; i < wanted.size() && same; ++i) same = key[i] == wanted[i];
    if (same) return true;
  }
  return false;
}

void write_results_header(const ResultsFile& results, int cycle, float r) {
  check_write(recio::write(results.unit, "(4x,I5,G20.5)", {cycle, r}), results);
}

void write_distance_record(const ResultsFile& results, int phase, float distance, float sigma, int central,
                           int neighbour, int op, int cell) {
  const char* mark = is_published_distance(results.publish, phase, central, neighbour, op, cell) ? "Y" : "N";
  check_write(recio::write(results.unit, "(A1,2I2,2F10.5,4I5)",
                           {mark, phase, 0, distance, sigma, central, neighbour, op, cell}),
              results);
}

void write_angle_record(const ResultsFile& results, int phase, float angle, float sigma, int first, int central,
                        int second, int op1, int cell1, int op2, int cell2) {
  const char* mark =
      is_published_angle(results.publish, phase, first, central, second, op1, cell1, op2, cell2) ? "Y" : "N";
  check_write(recio::write(results.unit, "(A1,2I2,2F10.4,7I5)",
                           {mark, phase, 1, angle, sigma, first, central, second, op1, cell1, op2, cell2}),
              results);
}

int keep_previous_records(const ResultsFile& results, int phase) {
  // The previous file stays in place until the run ends, so it is read
  // again here, in the rare run that needs it.
  if (!recio::exists(results.file) || phase < 1 || phase > 9 ||
      !results.publish.has_records[static_cast<std::size_t>(phase)])
    return 0;
  int kept = 0;
  int unit = results.unit + 1;
  FREEUNIT(unit);
  recio::OpenSpec old_spec;
  old_spec.status = recio::OpenStatus::Old;
  recio::check(recio::open(unit, results.file, old_spec), unit);
  for_each_record(unit, [&](const std::string& record, const std::string&, int record_phase, int kind,
                            const std::array<short, 7>&) {
    if (record_phase == phase && (kind == 0 || kind == 1)) {
      check_write(recio::write(results.unit, "(A)", {record}), results);
      ++kept;
    }
  });
  recio::check(recio::close(unit), unit);
  return kept;
}

ResultsOutcome complete_results_file(ResultsFile& results) {
  int status = recio::write(results.unit, "(I1,2I2)", {9, 99, 99});
  if (status == 0) status = recio::flush(results.unit);
  if (status != 0) {
    recio::close(results.unit);
    new_file_failed(results, status);
  }
  if ((status = recio::close(results.unit)) != 0) new_file_failed(results, status);

  ResultsOutcome outcome;
  const FileIdentity now = identity_of(results.file);
  // A file that is gone holds no marks to lose.
  outcome.changed = now.present && !(now == results.read_as);
  if (!outcome.changed) {
    const auto kept = marks_of(results.new_file, results.unit);
    for (const auto& mark : marks_of(results.file, results.unit))
      if (kept.count(mark) == 0) ++outcome.missing_marks;
  }
  return outcome;
}

std::string previous_file_name(const ResultsFile& results) { return results.file + ".prev"; }

void remove_unfinished_results_file() {
  if (pending_new_file().empty()) return;
  std::remove(pending_new_file().c_str());
  pending_new_file().clear();
}

void replace_results_file(ResultsFile& results, const ResultsOutcome& outcome) {
  if (outcome.missing_marks > 0) {
    // A copy, so that the results file is never absent.
    const std::string previous = previous_file_name(results);
    const std::string temporary = recio::temporary_name(previous);
    std::ifstream old(results.file, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(old)), std::istreambuf_iterator<char>());
    if (old.bad()) throw Error("The previous results file " + results.file + " cannot be read again to keep it");
    recio::write_new_file(temporary, text, "copy of the previous results file");
    try {
      recio::rename_file(temporary, previous, "copy of the previous results file");
    } catch (...) {
      std::remove(temporary.c_str());
      throw;
    }
  }
  recio::rename_file(results.new_file, results.file, "results file");
  pending_new_file().clear();
}

std::string keep_new_results_beside(ResultsFile& results) {
  const std::string beside = results.file + ".new";
  recio::rename_file(results.new_file, beside, "results file");
  pending_new_file().clear();
  return beside;
}

void close_results_file(ResultsFile& results) {
  const ResultsOutcome outcome = complete_results_file(results);
  if (outcome.changed)
    throw Error("The results file " + results.file + " was changed while this run went on; the new results are in " +
                keep_new_results_beside(results));
  replace_results_file(results, outcome);
}

}  // namespace vesk
