#include "vortan/geometry_marks.hpp"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "console/text_utils.hpp"
#include "recio/error.hpp"
#include "recio/format.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

// Removed when the program ends before the run has ended normally.
std::string& pending_new_file() {
  static std::string name;
  return name;
}

void check_write(int status, const GeometryMarks& marks) {
  if (status != 0) recio::fail(status, marks.unit);
}

// Every record of a marks file on `unit` with its phase and kind, up to the
// closing record; records that do not read are skipped.
template <class Visit>
void for_each_record(int unit, Visit visit) {
  for (;;) {
    std::string record;
    if (recio::read_line(unit, record) != 0) break;
    std::string mark(1, ' ');
    int phase = 0, kind = 0;
    if (recio::read_string(record, "(A1,2I2)", {mark, phase, kind}) != 0) continue;
    visit(record, mark, phase, kind);
    if (phase > 9) break;
  }
}

void read_marks(int unit, GeometryMarks& marks) {
  auto overflow = [&marks](const char* text) {
    if (!marks.overflow_reported) recio::write(recio::kTerminalOut, "(A)", {text});
    marks.overflow_reported = true;
  };
  for_each_record(unit, [&](const std::string& record, std::string& mark, int phase, int kind) {
    UPCASE(mark);
    if (mark != "Y") return;
    if (kind == kTorsionKind) {
      TorsionKey key{phase};
      if (recio::read_string(record, "(25X,10I5)",
                             {key[1], key[2], key[3], key[4], key[5], key[6], key[7], key[8], key[9], key[10]}) != 0)
        return;
      if (marks.torsions.size() >= static_cast<std::size_t>(kMaxPublishedTorsions))
        return overflow("Too many torsion angles to publish, saving only first 5000 torsion angles");
      marks.torsions.push_back(key);
    } else if (kind == kHbondKind) {
      HbondKey key{phase};
      if (recio::read_string(record, "(45X,7I5)", {key[1], key[2], key[3], key[4], key[5], key[6], key[7]}) != 0)
        return;
      if (marks.hbonds.size() >= static_cast<std::size_t>(kMaxPublishedHbonds))
        return overflow("Too many hydrogen bonds to publish, saving only first 5000 hydrogen bonds");
      marks.hbonds.push_back(key);
    }
  });
}

template <class Key>
bool listed(const std::vector<Key>& keys, const Key& key) {
  for (const Key& k : keys)
    if (k == key) return true;
  return false;
}

}  // namespace

std::string geometry_marks_file_name(const std::string& stem) { return stem + ".TORHB"; }

void open_geometry_marks(GeometryMarks& marks, const std::string& stem, int start_unit) {
  marks.file = geometry_marks_file_name(stem);
  marks.new_file = marks.file + ".new";
  marks.unit = start_unit;
  FREEUNIT(marks.unit);
  if (recio::exists(marks.file)) {
    recio::OpenSpec old_spec;
    old_spec.status = recio::OpenStatus::Old;
    recio::check(recio::open(marks.unit, marks.file, old_spec), marks.unit);
    read_marks(marks.unit, marks);
    recio::check(recio::close(marks.unit), marks.unit);
  }
  std::error_code ignored;
  std::filesystem::remove(marks.new_file, ignored);  // left by a run that was killed
  pending_new_file() = marks.new_file;
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::New;
  const int status = recio::open(marks.unit, marks.new_file, spec);
  if (status != 0) {
    pending_new_file().clear();
    recio::write(recio::kTerminalOut, "(A)", {" ERROR - The marks file " + marks.new_file + " cannot be created"});
    recio::fail(status, marks.unit);
  }
}

bool is_published(const GeometryMarks& marks, const TorsionKey& key) { return listed(marks.torsions, key); }
bool is_published(const GeometryMarks& marks, const HbondKey& key) { return listed(marks.hbonds, key); }

bool write_torsion_record(const GeometryMarks& marks, const TorsionKey& key, float angle, float sigma) {
  const bool published = is_published(marks, key);
  check_write(recio::write(marks.unit, "(A1,2I2,2F10.4,10I5)",
                           {published ? "Y" : "N", key[0], kTorsionKind, angle, sigma, key[1], key[2], key[3], key[4],
                            key[5], key[6], key[7], key[8], key[9], key[10]}),
              marks);
  return published;
}

bool write_hbond_record(const GeometryMarks& marks, const HbondKey& key, float ha, float ha_sigma, float angle,
                        float angle_sigma) {
  const bool published = is_published(marks, key);
  check_write(recio::write(marks.unit, "(A1,2I2,2F10.5,2F10.4,7I5)",
                           {published ? "Y" : "N", key[0], kHbondKind, ha, ha_sigma, angle, angle_sigma, key[1],
                            key[2], key[3], key[4], key[5], key[6], key[7]}),
              marks);
  return published;
}

void keep_previous_geometry_records(const GeometryMarks& marks, int phase) {
  if (!recio::exists(marks.file)) return;
  int unit = marks.unit + 1;
  FREEUNIT(unit);
  recio::OpenSpec old_spec;
  old_spec.status = recio::OpenStatus::Old;
  recio::check(recio::open(unit, marks.file, old_spec), unit);
  for_each_record(unit, [&](const std::string& record, const std::string&, int record_phase, int kind) {
    if (record_phase == phase && (kind == kTorsionKind || kind == kHbondKind))
      check_write(recio::write(marks.unit, "(A)", {record}), marks);
  });
  recio::check(recio::close(unit), unit);
}

void close_geometry_marks(GeometryMarks& marks) {
  check_write(recio::write(marks.unit, "(I1,2I2)", {9, 99, 99}), marks);
  check_write(recio::close(marks.unit), marks);
  std::error_code error;
  std::filesystem::rename(marks.new_file, marks.file, error);
  if (error)
    throw Error("The marks file " + marks.file + " cannot be replaced by " + marks.new_file + ": " + error.message());
  pending_new_file().clear();
}

void remove_unfinished_geometry_marks() {
  if (pending_new_file().empty()) return;
  std::remove(pending_new_file().c_str());
  pending_new_file().clear();
}

}  // namespace vesk
