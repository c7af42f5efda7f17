#include "vortan/results_file.hpp"

#include "console/text_utils.hpp"
#include "recio/error.hpp"
#include "recio/format.hpp"
#include "recio/line_builder.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

void add_mark(const std::string& mark, int phase, int kind, const std::array<short, 7>& values,
              PublishLists& lists) {
  if (mark != "Y") return;
  auto report_overflow = [&lists](const char* text) {
    if (lists.overflow_reported) return;
    lists.overflow_reported = true;
    recio::write(recio::kTerminalOut, "(A)", {text});
  };
  const auto phase16 = static_cast<short>(phase);
  if (kind == 0) {
    if (lists.distances.size() >= static_cast<std::size_t>(kMaxPublishedDistances)) {
      report_overflow("Too many distances to publish, saving only first 1000 distances");
      return;
    }
    lists.distances.push_back({phase16, values[0], values[1], values[2], values[3]});
  } else if (kind == 1) {
    if (lists.angles.size() >= static_cast<std::size_t>(kMaxPublishedAngles)) {
      report_overflow("Too many angles to publish, saving only first 5000 angles");
      return;
    }
    lists.angles.push_back({phase16, values[0], values[1], values[2], values[3], values[4], values[5], values[6]});
  }
}

}  // namespace

namespace {

int read_record_fields(const std::string& record, std::string& mark, int& phase, int& kind,
                       std::array<short, 7>& values) {
  return recio::read_string(record, "(A1,2I2,20X,7I5)",
                            {mark, phase, kind, values[0], values[1], values[2], values[3], values[4], values[5],
                             values[6]});
}

// Walks the records of a results file on `unit` that read with
// "(A1,2I2,20X,7I5)", up to and including the closing record; unreadable
// records are skipped, and with `marks_only` those that cannot count as a
// mark too.
template <class Visit>
void for_each_record(int unit, Visit visit, bool marks_only = false) {
  std::string record;
  for (;;) {
    if (recio::read_line(unit, record) != 0) break;
    if (marks_only && !may_count_as_mark(record)) continue;
    std::string mark(1, ' ');
    int phase = 0;
    int kind = 0;
    std::array<short, 7> values{};
    if (read_record_fields(record, mark, phase, kind, values) != 0) continue;
    visit(record, mark, phase, kind, values);
    if (phase > 9) break;  // the closing record
  }
}

// Every distinct mark of a results file: phase, kind and the integers of the key.
void collect_marks(int unit, MarkKeys& marks) {
  for_each_record(unit, [&marks](const std::string&, std::string& mark, int phase, int kind,
                                 const std::array<short, 7>& values) {
    UPCASE(mark);
    if (mark != "Y" || (kind != 0 && kind != 1)) return;
    std::vector<int> key{phase, kind};
    // A distance key has four integers; what the wider read finds after them is not part of it.
    key.insert(key.end(), values.begin(), values.begin() + (kind == 0 ? 4 : 7));
    marks.insert(std::move(key));
  }, true);
}

}  // namespace

void read_publish_marks(int unit, PublishLists& lists) {
  std::string record;
  while (recio::read_line(unit, record) == 0) {
    if (!may_count_as_mark(record)) continue;
    std::string mark(1, ' ');
    int phase = 0;
    int kind = 0;
    std::array<short, 7> values{};
    if (read_record_fields(record, mark, phase, kind, values) != 0) continue;
    UPCASE(mark);
    if (phase >= 1 && phase <= 9 && (kind == 0 || kind == 1)) lists.has_records[static_cast<std::size_t>(phase)] = true;
    add_mark(mark, phase, kind, values, lists);
    if (phase > 9) break;  // the closing record
  }
}

void open_results_file(ResultsFile& results, const std::string& stem, int start_unit) {
  open_marked_file(results, stem + ".VORTAN", "results file", start_unit,
                   [&results](int unit) { read_publish_marks(unit, results.publish); });
  results.held_marks = !results.publish.distances.empty() || !results.publish.angles.empty();
}

bool is_published_distance(const PublishLists& lists, int phase, int central, int neighbour, int op, int cell) {
  for (const DistanceKey& key : lists.distances)
    if (key[0] == phase && key[1] == central && key[2] == neighbour && key[3] == op && key[4] == cell) return true;
  return false;
}

bool is_published_angle(const PublishLists& lists, int phase, int first, int central, int second, int op1,
                        int cell1, int op2, int cell2) {
  const std::array<int, 8> wanted{phase, first, central, second, op1, cell1, op2, cell2};
  for (const AngleKey& key : lists.angles) {
    bool same = true;
    for (std::size_t i = 0; i < wanted.size() && same; ++i) same = key[i] == wanted[i];
    if (same) return true;
  }
  return false;
}

void write_results_header(const ResultsFile& results, int cycle, float r) {
  check_write(recio::write(results.unit, "(4x,I5,G20.5)", {cycle, r}), results);
}

void write_distance_record(const ResultsFile& results, int phase, float distance, float sigma, int central,
                           int neighbour, int op, int cell) {
  const char* mark = is_published_distance(results.publish, phase, central, neighbour, op, cell) ? "Y" : "N";
  // "(A1,2I2,2F10.5,4I5)"
  recio::LineBuilder& line = recio::scratch_line();
  line.a(mark, 1).i(phase, 2).i(0, 2).f(distance, 10, 5).f(sigma, 10, 5);
  line.i(central, 5).i(neighbour, 5).i(op, 5).i(cell, 5);
  check_write(recio::write_line(results.unit, line.text.view()), results);
}

void write_angle_record(const ResultsFile& results, int phase, double angle, float sigma, int first, int central,
                        int second, int op1, int cell1, int op2, int cell2) {
  const char* mark =
      is_published_angle(results.publish, phase, first, central, second, op1, cell1, op2, cell2) ? "Y" : "N";
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
  read_previous_file(results, [&](int unit) {
    for_each_record(unit, [&](const std::string& record, const std::string&, int record_phase, int kind,
                              const std::array<short, 7>&) {
      if (record_phase == phase && (kind == 0 || kind == 1)) {
        check_write(recio::write(results.unit, "(A)", {record}), results);
        ++kept;
      }
    });
  });
  return kept;
}

ReplaceOutcome complete_results_file(ResultsFile& results) { return complete_marked_file(results, collect_marks); }

void close_results_file(ResultsFile& results) {
  const ReplaceOutcome outcome = complete_results_file(results);
  if (outcome.changed)
    throw Error("The results file " + results.file + " was changed while this run went on; the new results are in " +
                keep_new_file_beside(results));
  replace_marked_file(results, outcome);
}

}  // namespace vesk
