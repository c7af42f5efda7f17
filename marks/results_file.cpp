#include "marks/results_file.hpp"

#include "console/text_utils.hpp"
#include "recio/error.hpp"
#include "recio/format.hpp"
#include "recio/line_builder.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

// Both kinds are read with "(A1,2I2,20X,7I5)", as the marks always were; a
// distance's key is its first four integers.
constexpr MarkKind kResultsKinds[] = {
    {0, "(25X,7I5)", 7, 4, true, 2},  // 0 distance: central and neighbour atom first
    {1, "(25X,7I5)", 7, 7, true, 3},  // 1 angle: its three atoms first
};

void add_mark(const MarksRecord& record, PublishLists& lists) {
  auto report_overflow = [&lists](const char* text) {
    if (lists.overflow_reported) return;
    lists.overflow_reported = true;
    recio::write(recio::kTerminalOut, "(A)", {text});
  };
  std::array<short, 7> values{};
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<short>(record.key[i]);
  const auto phase16 = static_cast<short>(record.phase);
  if (record.kind == 0) {
    if (lists.distances.size() >= static_cast<std::size_t>(kMaxPublishedDistances)) {
      report_overflow("Too many distances to publish, saving only first 1000 distances");
      return;
    }
    lists.distances.push_back({phase16, values[0], values[1], values[2], values[3]});
  } else {
    if (lists.angles.size() >= static_cast<std::size_t>(kMaxPublishedAngles)) {
      report_overflow("Too many angles to publish, saving only first 5000 angles");
      return;
    }
    lists.angles.push_back({phase16, values[0], values[1], values[2], values[3], values[4], values[5], values[6]});
  }
}

void note_record(const MarksRecord& record, PublishLists& lists) {
  if (record.layout == nullptr) return;
  if (record.phase >= 1 && record.phase <= 9) lists.has_records[static_cast<std::size_t>(record.phase)] = true;
  if (record.marked) add_mark(record, lists);
}

}  // namespace

std::span<const MarkKind> results_file_kinds() { return kResultsKinds; }

MarksScanResult read_publish_marks(std::string_view bytes, PublishLists& lists) {
  return scan_marks(bytes, kResultsKinds, [&lists](const MarksRecord& record) { note_record(record, lists); });
}

void open_results_file(ResultsFile& results, const std::string& stem, int start_unit) {
  open_marked_file(results, stem + ".VORTAN", "results file", kResultsKinds, start_unit,
                   [&results](const MarksRecord& record) { note_record(record, results.publish); });
}

namespace {

// A key of 16-bit fields asked for with ints: one outside 16 bits is in no list.
template <std::size_t N>
bool as_short_key(const std::array<int, N>& wanted, std::array<short, N>& key) {
  for (std::size_t i = 0; i < N; ++i) {
    if (wanted[i] < -32768 || wanted[i] > 32767) return false;
    key[i] = static_cast<short>(wanted[i]);
  }
  return true;
}

}  // namespace

bool is_published_distance(const PublishLists& lists, int phase, int central, int neighbour, int op, int cell) {
  DistanceKey key{};
  return as_short_key(std::array<int, 5>{phase, central, neighbour, op, cell}, key) &&
         lists.distance_index.contains(lists.distances, key);
}

bool is_published_angle(const PublishLists& lists, int phase, int first, int central, int second, int op1,
                        int cell1, int op2, int cell2) {
  AngleKey key{};
  return as_short_key(std::array<int, 8>{phase, first, central, second, op1, cell1, op2, cell2}, key) &&
         lists.angle_index.contains(lists.angles, key);
}

void write_results_header(const ResultsFile& results, int cycle, float r) {
  check_write(recio::write(results.unit, "(4x,I5,G20.5)", {cycle, r}), results);
}

void write_distance_record(const ResultsFile& results, int phase, float distance, float sigma, int central,
                           int neighbour, int op, int cell) {
  const bool published = is_published_distance(results.publish, phase, central, neighbour, op, cell);
  const char* mark = published ? "Y" : "N";
  if (published) note_written(results, {phase, 0, central, neighbour, op, cell});
  // "(A1,2I2,2F10.5,4I5)"
  recio::LineBuilder& line = recio::scratch_line();
  line.a(mark, 1).i(phase, 2).i(0, 2).f(distance, 10, 5).f(sigma, 10, 5);
  line.i(central, 5).i(neighbour, 5).i(op, 5).i(cell, 5);
  check_write(recio::write_line(results.unit, line.text.view()), results);
}

void write_angle_record(const ResultsFile& results, int phase, double angle, float sigma, int first, int central,
                        int second, int op1, int cell1, int op2, int cell2) {
  const bool published = is_published_angle(results.publish, phase, first, central, second, op1, cell1, op2, cell2);
  const char* mark = published ? "Y" : "N";
  if (published) note_written(results, {phase, 1, first, central, second, op1, cell1, op2, cell2});
  // "(A1,2I2,2F10.4,7I5)"
  recio::LineBuilder& line = recio::scratch_line();
  line.a(mark, 1).i(phase, 2).i(1, 2).f(angle, 10, 4).f(sigma, 10, 4);
  line.i(first, 5).i(central, 5).i(second, 5).i(op1, 5).i(cell1, 5).i(op2, 5).i(cell2, 5);
  check_write(recio::write_line(results.unit, line.text.view()), results);
}

int keep_previous_records(const ResultsFile& results, int phase) {
  // The previous file stays in place until the run ends, so it is read
  // again here, in the rare run that needs it.
  if (!recio::exists(results.file) || phase < 1 || phase > 9 ||
      !results.publish.has_records[static_cast<std::size_t>(phase)])
    return 0;
  int kept = 0;
  read_previous_file(results, [&](const MarksRecord& record) {
    if (record.phase == phase && record.layout != nullptr) {
      check_write(recio::write_line(results.unit, record.text), results);
      note_written(results, record);
      ++kept;
    }
  });
  return kept;
}

ReplaceOutcome complete_results_file(ResultsFile& results) { return complete_marked_file(results); }

void close_results_file(ResultsFile& results) {
  ReplaceOutcome outcome = complete_results_file(results);
  if (outcome.changed)
    throw Error("The results file " + results.file + " was changed while this run went on; the new results are in " +
                keep_new_file_beside(results));
  keep_previous_copy(results, outcome);
  replace_marked_file(results);
}

}  // namespace vesk
