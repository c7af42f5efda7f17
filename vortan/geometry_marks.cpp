#include "vortan/geometry_marks.hpp"

#include <algorithm>

#include "console/text_utils.hpp"
#include "recio/error.hpp"
#include "recio/format.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

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
  });
}

// Every distinct mark of a marks file.
void collect_marks(int unit, MarkKeys& marks) {
  for_each_record(unit, [&marks](const std::string& record, const std::string& mark, int phase, int kind) {
    std::vector<int> key = marked_key(record, mark, phase, kind);
    if (!key.empty()) marks.insert(std::move(key));
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
  open_marked_file(marks, geometry_marks_file_name(stem), "marks file", start_unit,
                   [&marks](int unit) { read_marks(unit, marks); });
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
  read_previous_file(marks, [&](int unit) {
    for_each_record(unit, [&](const std::string& record, const std::string&, int record_phase, int kind) {
      if (record_phase == phase && (kind == kTorsionKind || kind == kHbondKind))
        check_write(recio::write(marks.unit, "(A)", {record}), marks);
    });
  });
}

ReplaceOutcome complete_geometry_marks(GeometryMarks& marks) { return complete_marked_file(marks, collect_marks); }

}  // namespace vesk
