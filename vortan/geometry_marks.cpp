#include "vortan/geometry_marks.hpp"

#include <algorithm>

#include "console/text_utils.hpp"
#include "recio/error.hpp"
#include "recio/format.hpp"
#include "recio/line_builder.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

// What a scan for marks passes over, and the phases it finds.
struct MarksScan {
  std::array<bool, 10>* phases = nullptr;  // noted when not null
};

// Every record of a marks file on `unit` with its phase and kind, up to the
// closing record; records that do not read are skipped. With a `scan`,
// those that cannot count as a mark are passed over too, and the phases the
// file may hold are noted.
template <class Visit>
void for_each_record(int unit, Visit visit, const MarksScan* scan = nullptr) {
  std::string record;
  for (;;) {
    if (recio::read_line(unit, record) != 0) break;
    if (scan != nullptr && !may_count_as_mark(record)) {
      // Unmarked and not closing: its phase is the digit in column 3.
      if (scan->phases != nullptr) (*scan->phases)[static_cast<std::size_t>(record[2] - '0')] = true;
      continue;
    }
    std::string mark(1, ' ');
    int phase = 0, kind = 0;
    if (recio::read_string(record, "(A1,2I2)", {mark, phase, kind}) != 0) continue;
    if (scan != nullptr && scan->phases != nullptr && phase >= 0 && phase <= 9)
      (*scan->phases)[static_cast<std::size_t>(phase)] = true;
    visit(record, mark, phase, kind);
    if (phase > 9) break;
  }
}

// The key of a marked torsion or hydrogen-bond record: phase, kind, then
// the record's integers; empty for any other record or one that does not read.
std::vector<int> marked_key(const std::string& record, std::string mark, int phase, int kind) {
  UPCASE(mark);
  if (mark != "Y") return {};
  std::vector<int> key{phase, kind};
  if (kind == kTorsionKind) {
    std::array<int, 10> v{};
    if (recio::read_string(record, "(25X,10I5)", {v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9]}) != 0)
      return {};
    key.insert(key.end(), v.begin(), v.end());
  } else if (kind == kHbondKind) {
    std::array<int, 7> v{};
    if (recio::read_string(record, "(45X,7I5)", {v[0], v[1], v[2], v[3], v[4], v[5], v[6]}) != 0) return {};
    key.insert(key.end(), v.begin(), v.end());
  } else {
    return {};
  }
  return key;
}

void read_marks(int unit, GeometryMarks& marks) {
  auto overflow = [&marks](const char* text) {
    if (!marks.overflow_reported) recio::write(recio::kTerminalOut, "(A)", {text});
    marks.overflow_reported = true;
  };
  const MarksScan scan{&marks.has_records};
  for_each_record(unit, [&](const std::string& record, const std::string& mark, int phase, int kind) {
    const std::vector<int> key = marked_key(record, mark, phase, kind);
    if (key.empty()) return;
    if (kind == kTorsionKind) {
      if (marks.torsions.size() >= static_cast<std::size_t>(kMaxPublishedTorsions))
        return overflow("Too many torsion angles to publish, saving only first 5000 torsion angles");
      TorsionKey torsion{phase};
      std::copy(key.begin() + 2, key.end(), torsion.begin() + 1);
      marks.torsions.push_back(torsion);
    } else {
      if (marks.hbonds.size() >= static_cast<std::size_t>(kMaxPublishedHbonds))
        return overflow("Too many hydrogen bonds to publish, saving only first 5000 hydrogen bonds");
      HbondKey hbond{phase};
      std::copy(key.begin() + 2, key.end(), hbond.begin() + 1);
      marks.hbonds.push_back(hbond);
    }
  }, &scan);
}

// Every distinct mark of a marks file.
void collect_marks(int unit, MarkKeys& marks) {
  const MarksScan marks_only;
  for_each_record(unit, [&marks](const std::string& record, const std::string& mark, int phase, int kind) {
    std::vector<int> key = marked_key(record, mark, phase, kind);
    if (!key.empty()) marks.insert(std::move(key));
  }, &marks_only);
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
  open_marked_file(marks, geometry_marks_file_name(stem), "marks file", start_unit,
                   [&marks](int unit) { read_marks(unit, marks); });
  marks.held_marks = !marks.torsions.empty() || !marks.hbonds.empty();
}

bool is_published(const GeometryMarks& marks, const TorsionKey& key) { return listed(marks.torsions, key); }
bool is_published(const GeometryMarks& marks, const HbondKey& key) { return listed(marks.hbonds, key); }

bool write_torsion_record(const GeometryMarks& marks, const TorsionKey& key, float angle, float sigma) {
  const bool published = is_published(marks, key);
  // "(A1,2I2,2F10.4,10I5)"
  recio::LineBuilder& line = recio::scratch_line();
  line.a(published ? "Y" : "N", 1).i(key[0], 2).i(kTorsionKind, 2).f(angle, 10, 4).f(sigma, 10, 4);
  for (std::size_t k = 1; k < key.size(); ++k) line.i(key[k], 5);
  check_write(recio::write_line(marks.unit, line.text.view()), marks);
  return published;
}

bool write_hbond_record(const GeometryMarks& marks, const HbondKey& key, float ha, float ha_sigma, float angle,
                        float angle_sigma) {
  const bool published = is_published(marks, key);
  // "(A1,2I2,2F10.5,2F10.4,7I5)"
  recio::LineBuilder& line = recio::scratch_line();
  line.a(published ? "Y" : "N", 1).i(key[0], 2).i(kHbondKind, 2).f(ha, 10, 5).f(ha_sigma, 10, 5);
  line.f(angle, 10, 4).f(angle_sigma, 10, 4);
  for (std::size_t k = 1; k < key.size(); ++k) line.i(key[k], 5);
  check_write(recio::write_line(marks.unit, line.text.view()), marks);
  return published;
}

void keep_previous_geometry_records(const GeometryMarks& marks, int phase) {
  if (!recio::exists(marks.file) || phase < 1 || phase > 9 || !marks.has_records[static_cast<std::size_t>(phase)])
    return;
  read_previous_file(marks, [&](int unit) {
    for_each_record(unit, [&](const std::string& record, const std::string&, int record_phase, int kind) {
      if (record_phase == phase && (kind == kTorsionKind || kind == kHbondKind))
        check_write(recio::write(marks.unit, "(A)", {record}), marks);
    });
  });
}

void keep_marked_torsions(const GeometryMarks& marks, int phase, const std::vector<TorsionKey>& written) {
  bool any = false;
  for (const TorsionKey& key : marks.torsions) any = any || (key[0] == phase && !listed(written, key));
  if (!any) return;
  read_previous_file(marks, [&](int unit) {
    const MarksScan marks_only;
    for_each_record(unit, [&](const std::string& record, const std::string& mark, int record_phase, int kind) {
      const std::vector<int> key = marked_key(record, mark, record_phase, kind);
      if (key.empty() || record_phase != phase || kind != kTorsionKind) return;
      TorsionKey torsion{phase};
      std::copy(key.begin() + 2, key.end(), torsion.begin() + 1);
      if (!listed(written, torsion)) check_write(recio::write_line(marks.unit, record), marks);
    }, &marks_only);
  });
}

ReplaceOutcome complete_geometry_marks(GeometryMarks& marks) { return complete_marked_file(marks, collect_marks); }

}  // namespace vesk
