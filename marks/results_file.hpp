// The results file (stem + ".VORTAN"): one record per distance and angle,
// with a mark in column 1 that the user sets to "Y" to ask for publication.
// Marks of the previous file are read back into the publish lists; the file
// is replaced at the end of the run as every marks file is (marked_file.hpp):
// never lost when a run fails, kept whole as stem + ".VORTAN.prev" (or the
// next free generation) when the new one no longer holds every mark, not
// replaced when it changed meanwhile.
#pragma once
#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "marks/mark_index.hpp"
#include "marks/marked_file.hpp"

namespace vesk {

constexpr int kMaxPublishedDistances = 1000;
constexpr int kMaxPublishedAngles = 5000;

// Keys held as 16-bit integers, as the marks were always kept.
// Distance: phase, central atom, neighbour atom, operator code, cell code.
using DistanceKey = std::array<short, 5>;
// Angle: phase, first atom, central atom, second atom, operator and cell
// code of the first atom, operator and cell code of the second.
using AngleKey = std::array<short, 8>;

struct PublishLists {
  std::vector<DistanceKey> distances;  // at most kMaxPublishedDistances
  std::vector<AngleKey> angles;        // at most kMaxPublishedAngles
  bool overflow_reported = false;      // one overflow message per run
  std::array<bool, 10> has_records{};  // [p]: the file holds records of phase p
  MarkIndex<DistanceKey> distance_index;
  MarkIndex<AngleKey> angle_index;
};

struct ResultsFile : MarkedFile {
  PublishLists publish;
};

// The records of a results file for the marks reader: kind 0 distances,
// kind 1 angles, read with "(A1,2I2,20X,7I5)".
std::span<const MarkKind> results_file_kinds();

// Reads the "Y" marks of a results file's bytes (marks_reader.hpp); the
// lines that do not read are in the result.
MarksScanResult read_publish_marks(std::string_view bytes, PublishLists& lists);

// Reads the marks of stem + ".VORTAN" when it exists and opens the new file
// on the first free unit from `start_unit`.
void open_results_file(ResultsFile& results, const std::string& stem, int start_unit);

bool is_published_distance(const PublishLists& lists, int phase, int central, int neighbour, int op, int cell);
bool is_published_angle(const PublishLists& lists, int phase, int first, int central, int second, int op1,
                        int cell1, int op2, int cell2);

// "(4x,I5,G20.5)": cycle of the covariance file and R of the last run.
void write_results_header(const ResultsFile& results, int cycle, float r);
// "(A1,2I2,2F10.5,4I5)", mark looked up in the distance publish list.
void write_distance_record(const ResultsFile& results, int phase, float distance, float sigma, int central,
                           int neighbour, int op, int cell);
// "(A1,2I2,2F10.4,7I5)", mark looked up in the angle publish list.
void write_angle_record(const ResultsFile& results, int phase, double angle, float sigma, int first, int central,
                        int second, int op1, int cell1, int op2, int cell2);
// The previous file's records of `phase`, written again unchanged, marks
// included: for a phase whose distances cannot be computed in this run.
// Returns the number of records kept.
int keep_previous_records(const ResultsFile& results, int phase);

// Writes the closing record and closes the new file (complete_marked_file).
ReplaceOutcome complete_results_file(ResultsFile& results);
// Completes and replaces, for callers that have nothing to do between them;
// throws vesk::Error for a previous file that changed meanwhile.
void close_results_file(ResultsFile& results);

}  // namespace vesk
