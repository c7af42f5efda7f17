#include "marks/geometry_marks.hpp"

#include <algorithm>

#include "console/text_utils.hpp"
#include "recio/error.hpp"
#include "recio/format.hpp"
#include "recio/line_builder.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

constexpr MarkKind kGeometryKinds[] = {
    {kTorsionKind, "(25X,10I5)", 10, 10, false, 4},  // 0 torsion angle: atoms A, B, C, D first
    {kHbondKind, "(45X,7I5)", 7, 7, false, 3},       // 1 hydrogen bond: atoms D, H, A first
};

TorsionKey torsion_key(const MarksRecord& record) {
  TorsionKey key{record.phase};
  std::copy(record.key.begin(), record.key.begin() + 10, key.begin() + 1);
  return key;
}

HbondKey hbond_key(const MarksRecord& record) {
  HbondKey key{record.phase};
  std::copy(record.key.begin(), record.key.begin() + 7, key.begin() + 1);
  return key;
}

void note_record(const MarksRecord& record, GeometryMarks& marks) {
  if (record.layout == nullptr) return;
  if (record.phase >= 0 && record.phase <= 9) marks.has_records[static_cast<std::size_t>(record.phase)] = true;
  if (!record.marked) return;
  auto overflow = [&marks](const char* text) {
    if (!marks.overflow_reported) recio::write(recio::kTerminalOut, "(A)", {text});
    marks.overflow_reported = true;
  };
  if (record.kind == kTorsionKind) {
    if (marks.torsions.size() >= static_cast<std::size_t>(kMaxPublishedTorsions))
      return overflow("Too many torsion angles to publish, saving only first 5000 torsion angles");
    marks.torsions.push_back(torsion_key(record));
  } else {
    if (marks.hbonds.size() >= static_cast<std::size_t>(kMaxPublishedHbonds))
      return overflow("Too many hydrogen bonds to publish, saving only first 5000 hydrogen bonds");
    marks.hbonds.push_back(hbond_key(record));
  }
}

// phase, kind, then the record's integers: as the marks reader keys a record.
template <std::size_t N>
std::vector<int> with_kind(const std::array<int, N>& key, int kind) {
  std::vector<int> keyed{key[0], kind};
  keyed.insert(keyed.end(), key.begin() + 1, key.end());
  return keyed;
}

}  // namespace

std::span<const MarkKind> geometry_marks_kinds() { return kGeometryKinds; }

std::string geometry_marks_file_name(const std::string& stem) { return stem + ".TORHB"; }

void open_geometry_marks(GeometryMarks& marks, const std::string& stem, int start_unit) {
  open_marked_file(marks, geometry_marks_file_name(stem), "marks file", kGeometryKinds, start_unit,
                   [&marks](const MarksRecord& record) { note_record(record, marks); });
}

bool is_published(const GeometryMarks& marks, const TorsionKey& key) {
  return marks.torsion_index.contains(marks.torsions, key);
}
bool is_published(const GeometryMarks& marks, const HbondKey& key) { return marks.hbond_index.contains(marks.hbonds, key); }

bool write_torsion_record(const GeometryMarks& marks, const TorsionKey& key, float angle, float sigma) {
  const bool published = is_published(marks, key);
  if (published) note_written(marks, with_kind(key, kTorsionKind));
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
  if (published) note_written(marks, with_kind(key, kHbondKind));
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
  read_previous_file(marks, [&](const MarksRecord& record) {
    if (record.phase == phase && record.layout != nullptr) {
      check_write(recio::write_line(marks.unit, record.text), marks);
      note_written(marks, record);
    }
  });
}

void keep_marked_torsions(const GeometryMarks& marks, int phase, const std::vector<TorsionKey>& written) {
  const MarkIndex<TorsionKey> written_index;
  bool any = false;
  for (const TorsionKey& key : marks.torsions) any = any || (key[0] == phase && !written_index.contains(written, key));
  if (!any) return;
  read_previous_file(marks, [&](const MarksRecord& record) {
    if (!record.marked || record.phase != phase || record.kind != kTorsionKind) return;
    if (!written_index.contains(written, torsion_key(record))) {
      check_write(recio::write_line(marks.unit, record.text), marks);
      note_written(marks, record);
    }
  });
}

ReplaceOutcome complete_geometry_marks(GeometryMarks& marks) { return complete_marked_file(marks); }

}  // namespace vesk
