// Publication marks of torsion angles and hydrogen bonds, in a file of
// their own beside the results file (stem + ".TORHB"), kept by the same
// rules and read by the same reader (marked_file.hpp, marks_reader.hpp): a
// "Y" in column 1 asks for publication and survives the next run; the file
// is never lost when a run fails, is kept whole as stem + ".TORHB.prev" (or
// the next free generation) when the new one no longer holds every mark and
// is not replaced when it changed meanwhile; a phase whose distances cannot
// be computed keeps its previous records.
//
// Records, one per torsion angle or hydrogen bond, then the closing "99999":
//   torsion  "(A1,2I2,2F10.4,10I5)": mark, phase, kind 2, angle, s.u.,
//            atoms A, B, C, D, operator and cell code of A, of C, of D;
//   H bond   "(A1,2I2,2F10.5,2F10.4,7I5)": mark, phase, kind 3, H...A, s.u.,
//            D-H...A, s.u., atoms D, H, A, operator and cell code of D, of A.
// B and H are the central atoms, in their own place.
#pragma once
#include <array>
#include <span>
#include <string>
#include <vector>

#include "marks/mark_index.hpp"
#include "marks/marked_file.hpp"

namespace vesk {

constexpr int kMaxPublishedTorsions = 5000;
constexpr int kMaxPublishedHbonds = 5000;
constexpr int kTorsionKind = 2;
constexpr int kHbondKind = 3;

using TorsionKey = std::array<int, 11>;  // phase, then the record's ten integers
using HbondKey = std::array<int, 8>;     // phase, then the record's seven integers

struct GeometryMarks : MarkedFile {
  std::vector<TorsionKey> torsions;
  std::vector<HbondKey> hbonds;
  MarkIndex<TorsionKey> torsion_index;
  MarkIndex<HbondKey> hbond_index;
  bool overflow_reported = false;
  // [phase]: the previous file may hold records of the phase (false: it
  // surely holds none, and a skipped phase need not read it again).
  std::array<bool, 10> has_records{};
};

std::string geometry_marks_file_name(const std::string& stem);
// The records of the marks file for the marks reader.
std::span<const MarkKind> geometry_marks_kinds();

// Reads the marks of the previous file, when there is one, and opens the
// new file on the first free unit from `start_unit`.
void open_geometry_marks(GeometryMarks& marks, const std::string& stem, int start_unit);

bool is_published(const GeometryMarks& marks, const TorsionKey& key);
bool is_published(const GeometryMarks& marks, const HbondKey& key);

// Each writes the record with the mark it gets and returns that mark.
bool write_torsion_record(const GeometryMarks& marks, const TorsionKey& key, float angle, float sigma);
bool write_hbond_record(const GeometryMarks& marks, const HbondKey& key, float ha, float ha_sigma, float angle,
                        float angle_sigma);
void keep_previous_geometry_records(const GeometryMarks& marks, int phase);
// Copies the marked torsion records of `phase` in the previous file whose
// keys are not in `written`: the chains a TORS NOH or NONE run leaves out
// keep their marks for the next run that lists them.
void keep_marked_torsions(const GeometryMarks& marks, int phase, const std::vector<TorsionKey>& written);
// Writes the closing record and closes the new file (complete_marked_file).
ReplaceOutcome complete_geometry_marks(GeometryMarks& marks);

}  // namespace vesk
