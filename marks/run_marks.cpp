#include "marks/run_marks.hpp"

#include <algorithm>

#include "marks/mark_index.hpp"

namespace vesk {

RecordKey record_key(const MarksRecord& record) {
  RecordKey key{record.phase, record.kind, {}};
  const int length = record.layout != nullptr ? record.layout->key_length : 0;
  std::copy(record.key.begin(), record.key.begin() + length, key.key.begin());
  return key;
}

std::size_t RecordKeyHash::operator()(const RecordKey& record) const {
  std::array<int, 12> all{record.phase, record.kind};
  std::copy(record.key.begin(), record.key.end(), all.begin() + 2);
  return KeyHash{}(all);
}

bool is_marked(const RunMarks& marks, const RecordKey& record) {
  const std::array<int, 10>& k = record.key;
  switch (record.kind) {
    case 0: return is_published_distance(marks.results.publish, record.phase, k[0], k[1], k[2], k[3]);
    case 1:
      return is_published_angle(marks.results.publish, record.phase, k[0], k[1], k[2], k[3], k[4], k[5], k[6]);
    case kTorsionKind:
      return is_published(marks.geometry,
                          TorsionKey{record.phase, k[0], k[1], k[2], k[3], k[4], k[5], k[6], k[7], k[8], k[9]});
    case kHbondKind:
      return is_published(marks.geometry, HbondKey{record.phase, k[0], k[1], k[2], k[3], k[4], k[5], k[6]});
    default: return false;
  }
}

}  // namespace vesk
