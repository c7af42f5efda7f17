// The user's marks as one run reads them at its start, from both files that
// keep them: the results file (NAME.VORTAN, distances and angles) and the
// marks file (NAME.TORHB, torsion angles and hydrogen bonds). One question,
// is_marked, answers for a record of any kind.
#pragma once
#include <array>

#include "marks/geometry_marks.hpp"
#include "marks/marks_reader.hpp"
#include "marks/results_file.hpp"

namespace vesk {

// A record by what names it, as the marks reader keys it: phase, kind (0
// distance, 1 angle, kTorsionKind, kHbondKind) and the integers of its key,
// zeros after the kind's key length.
struct RecordKey {
  int phase = 0;
  int kind = 0;
  std::array<int, 10> key{};
  bool operator==(const RecordKey&) const = default;
};

struct RecordKeyHash {
  std::size_t operator()(const RecordKey& record) const;
};

// A record's key as the reader read it.
RecordKey record_key(const MarksRecord& record);

struct RunMarks {
  ResultsFile results;    // NAME.VORTAN
  GeometryMarks geometry; // NAME.TORHB
};

// Whether the record was marked in the file the run read.
bool is_marked(const RunMarks& marks, const RecordKey& record);

}  // namespace vesk
