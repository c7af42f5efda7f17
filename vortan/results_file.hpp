// The results file (stem + ".VORTAN"): one record per distance and angle,
// with a mark in column 1 that the user sets to "Y" to ask for publication.
// Marks of the previous file are read back into the publish lists; the new
// file is written beside the old one under a name of this process and
// replaces it only when the run ends normally, so a run that stops half way
// never loses a mark. A new file that no longer holds every mark of the old
// one keeps the old one as stem + ".VORTAN.prev"; an old file that was changed
// while the run went on (a mark typed in an editor) is not replaced at all.
#pragma once
#include <array>
#include <string>
#include <vector>

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
};

// What identifies the content of a file on disk without reading it.
struct FileIdentity {
  bool present = false;
  unsigned long long device = 0, inode = 0;
  long long size = 0;
  long long modified_ns = 0;
  bool operator==(const FileIdentity&) const = default;
};
FileIdentity identity_of(const std::string& file);

struct ResultsFile {
  int unit = 0;
  std::string file;      // the results file
  std::string new_file;  // written during the run, renamed over `file` at the end
  PublishLists publish;
  FileIdentity read_as;  // the previous file as the run read its marks
};

// How the new file stands against the previous one, once it is complete.
struct ResultsOutcome {
  bool changed = false;  // the previous file changed on disk since it was read
  int missing_marks = 0;  // marks of the previous file the new one no longer holds
};

// Reads the "Y" marks of an existing results file on `unit` with
// "(A1,2I2,20X,7I5)"; unreadable records are skipped.
void read_publish_marks(int unit, PublishLists& lists);

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
void write_angle_record(const ResultsFile& results, int phase, float angle, float sigma, int first, int central,
                        int second, int op1, int cell1, int op2, int cell2);
// The previous file's records of `phase`, written again unchanged, marks
// included: for a phase whose distances cannot be computed in this run.
// Returns the number of records kept.
int keep_previous_records(const ResultsFile& results, int phase);

// Writes the closing record "99999" and closes the new file; a write the
// system refuses throws vesk::Error with its reason (the old file stays).
ResultsOutcome complete_results_file(ResultsFile& results);
// stem + ".VORTAN.prev", where a previous file with marks not found again is kept.
std::string previous_file_name(const ResultsFile& results);
// The new file replaces the old one; with marks missing the old one is
// first kept as previous_file_name().
void replace_results_file(ResultsFile& results, const ResultsOutcome& outcome);
// Removes the new file of a run that ends before it replaced the old one
// (called by main however the run ends; nothing after a replacement).
void remove_unfinished_results_file();
// For a previous file that changed meanwhile: the new results go to
// stem + ".VORTAN.new" and the old file stays; returns that name.
std::string keep_new_results_beside(ResultsFile& results);
// The three steps above, for callers that have nothing to do between them.
void close_results_file(ResultsFile& results);

}  // namespace vesk
