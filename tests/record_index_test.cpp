// The record index against the bytes of the file: what it finds is what a
// scan of every record finds, and a writer that keeps it between changes
// leaves the files byte for byte as one that reads every record for each
// change, whatever happened to them in between (a hand edit, an undo,
// another run's file put in their place).
#include "marks/record_index.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "marks/geometry_marks.hpp"
#include "marks/results_file.hpp"
#include "marks/row_marks.hpp"
#include "recio/error.hpp"
#include "support/run_program.hpp"

namespace {

using testing_support::read_file;
using testing_support::TempFolder;
using testing_support::write_file;
using vesk::RecordKey;

// A record as the writers format it ("(A1,2I2,2F10.5,...I5)").
std::string record(const std::string& mark, int kind, const std::vector<int>& key) {
  char line[160];
  int n = std::snprintf(line, sizeof line, "%s%2d%2d%10.4f%10.4f", mark.c_str(), 1, kind, 61.5, 0.3);
  for (int k : key) n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "%5d", k);
  return line;
}

std::vector<int> torsion_key(int i) { return {i + 1, i + 2, i + 3, i + 4, 1, 555, 2, 655, 1, 555}; }
RecordKey torsion_record(int i) {
  RecordKey key{1, vesk::kTorsionKind, {}};
  const std::vector<int> k = torsion_key(i);
  std::copy(k.begin(), k.end(), key.key.begin());
  return key;
}

// What a scan of every record finds of a key: offset, line, width and mark.
struct Found {
  std::size_t offset;
  int line, width;
  bool marked;
  bool operator==(const Found&) const = default;
};

std::map<std::size_t, std::vector<Found>> scan_by_key(const std::string& bytes, const std::vector<RecordKey>& keys,
                                                       std::map<int, int>& marks) {
  std::map<std::size_t, std::vector<Found>> found;
  vesk::scan_marks(
      bytes, vesk::geometry_marks_kinds(),
      [&](const vesk::MarksRecord& record) {
        if (record.layout == nullptr) return;
        marks[record.kind] += record.marked;
        if (!record.keyed) return;
        for (std::size_t k = 0; k < keys.size(); ++k)
          if (vesk::record_key(record) == keys[k])
            found[k].push_back({record.offset, record.line, record.mark_width, record.marked});
      },
      true);
  return found;
}

TEST(RecordIndex, FindsWhatAScanOfEveryRecordFinds) {
  const std::vector<RecordKey> keys{torsion_record(0), torsion_record(1), torsion_record(2), torsion_record(7)};
  const std::string t0 = record("N", 2, torsion_key(0)), t1 = record("N", 2, torsion_key(1));
  const std::string t2 = record("N", 2, torsion_key(2));
  const std::string hbond = record("Y", 3, {3, 4, 3, 1, 555, 3, 556});
  // name, bytes: the forms editors and earlier runs leave.
  const std::vector<std::pair<std::string, std::string>> files{
      {"plain", t0 + "\n" + t1 + "\n" + t2 + "\n99999\n"},
      {"byte-order marks, CR LF, blank lines", "\xEF\xBB\xBF" + t0 + "\r\n\n   \n\xEF\xBB\xBF" + t1 + "\r\n" + t2 + "\n"},
      {"insert-mode and lower-case marks", "YN" + t0.substr(1) + "\ny" + t1.substr(1) + "\n" + hbond + "\n"},
      {"a record twice, one marked", t0 + "\nY" + t0.substr(1) + "\n" + t2 + "\n99999\n"},
      {"unreadable lines and a record after the closing one", "garbage\n" + t1 + "\nX" + t2.substr(1) + "\n" +
                                                                 hbond + "\n99999\nY" + t0.substr(1) + "\n"},
      {"no end of line, keys in another order", "Y" + t2.substr(1) + "\n" + t0 + "\n" + t1},
      {"empty", ""},
  };
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    vesk::RecordIndex index;
    vesk::index_records(index, bytes, vesk::geometry_marks_kinds());
    std::map<int, int> marks;
    const auto expected = scan_by_key(bytes, keys, marks);
    for (std::size_t k = 0; k < keys.size(); ++k) {
      std::vector<Found> found;
      vesk::visit_records(index, vesk::geometry_marks_kinds(), std::span<const RecordKey>(&keys[k], 1),
                          [&](const vesk::MarksRecord& r) { found.push_back({r.offset, r.line, r.mark_width, r.marked}); });
      EXPECT_EQ(found, expected.count(k) ? expected.at(k) : std::vector<Found>{}) << "key " << k;
    }
    // All keys at once: the union, in the file's order.
    std::vector<std::size_t> offsets, expected_offsets;
    vesk::visit_records(index, vesk::geometry_marks_kinds(), keys,
                        [&](const vesk::MarksRecord& r) { offsets.push_back(r.offset); });
    for (const auto& [k, list] : expected)
      for (const Found& f : list) expected_offsets.push_back(f.offset);
    std::sort(expected_offsets.begin(), expected_offsets.end());
    EXPECT_EQ(offsets, expected_offsets);
    for (int kind : {vesk::kTorsionKind, vesk::kHbondKind}) EXPECT_EQ(index.marks(kind), marks[kind]) << kind;
  }
}

// The same marks file in two folders: one changed by a writer that keeps
// its index, the other by one that reads every record each time.
struct Twins {
  TempFolder kept, fresh;
  vesk::MarksFiles kept_files, fresh_files;
  explicit Twins(const std::string& text) {
    for (TempFolder* folder : {&kept, &fresh}) {
      write_file(*folder / "T.VORTAN", "    0         0.0\n99999\n");
      write_file(*folder / "T.TORHB", text);
    }
    kept_files = {(kept / "T.VORTAN").string(), (kept / "T.TORHB").string()};
    kept_files.index = std::make_shared<vesk::MarksFilesIndex>();
    fresh_files = {(fresh / "T.VORTAN").string(), (fresh / "T.TORHB").string()};
  }
  // Does the same to both; their answers (or refusals) and files must agree.
  void both(const std::string& step, const std::function<std::string(const vesk::MarksFiles&)>& act) {
    SCOPED_TRACE(step);
    const auto answer = [&](const vesk::MarksFiles& files) {
      try {
        return act(files);
      } catch (const vesk::Error& error) {
        std::string message = error.what();
        for (std::size_t at; (at = message.find(files.marks_file)) != std::string::npos;)
          message.replace(at, files.marks_file.size(), "FILE");
        return "refused: " + message;
      }
    };
    EXPECT_EQ(answer(kept_files), answer(fresh_files));
    EXPECT_EQ(read_file(kept / "T.TORHB"), read_file(fresh / "T.TORHB"));
  }
  // Writes `text` in place of both files, the time of the last change kept.
  void replace_both(const std::function<std::string(std::string)>& edit) {
    for (TempFolder* folder : {&kept, &fresh}) {
      const std::filesystem::path file = *folder / "T.TORHB";
      const auto time = std::filesystem::last_write_time(file);
      write_file(file, edit(read_file(file)));
      std::filesystem::last_write_time(file, time);
    }
  }
};

std::string changes_text(const std::vector<vesk::MarkChange>& changes) {
  std::string text;
  for (const vesk::MarkChange& change : changes)
    text += std::to_string(change.record.key[0]) + ":" + change.before + ">" + change.after + " ";
  return text;
}

TEST(RecordIndex, AWriterThatKeepsItLeavesTheFilesAsOneThatReadsEveryRecord) {
  constexpr int kRecords = 60;
  std::vector<std::string> lines;
  for (int i = 0; i < kRecords; ++i) lines.push_back(record(i % 7 == 0 ? "Y" : "N", 2, torsion_key(i)));
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  Twins twins(text + "99999\n");

  std::vector<std::vector<vesk::MarkChange>> made;  // what each mark changed, for the undo
  const auto mark = [&](std::vector<int> rows, bool publish) {
    return [&made, rows, publish](const vesk::MarksFiles& files) {
      std::vector<vesk::RowMark> marks;
      for (int r : rows) marks.push_back({{torsion_record(r)}, {"torsion", {"A", "B", "C", "D"}, {".", ".", ".", "."}}});
      const std::vector<vesk::MarkChange> changes = vesk::set_row_marks(files, marks, publish);
      if (files.index != nullptr) made.push_back(changes);
      return changes_text(changes);
    };
  };
  const auto put_back = [&](std::size_t step, bool undo) {
    return [&made, step, undo](const vesk::MarksFiles& files) {
      vesk::put_back_marks(files, made.at(step), undo);
      return std::string("put back");
    };
  };
  twins.both("a first mark", mark({3, 14, 59}, true));
  twins.both("its undo", put_back(0, true));
  twins.both("its redo", put_back(0, false));
  // By hand, the time of the file kept: two records of one length swapped
  // (the size too stays), and a mark typed over another.
  twins.replace_both([&](std::string bytes) {
    const std::string a = lines[20], b = lines[40];
    bytes.replace(bytes.find(a), a.size(), b);
    bytes.replace(bytes.rfind(b), b.size(), a);
    bytes[bytes.find(lines[5])] = 'Y';
    return bytes;
  });
  twins.both("after two records swapped by hand", mark({20, 40, 5, 6}, true));
  twins.both("its undo", put_back(1, true));
  // An insert-mode mark moves every later record by a column.
  twins.replace_both([&](std::string bytes) { return bytes.insert(bytes.find(lines[10]), "Y"); });
  twins.both("after an insert-mode mark by hand", mark({10, 11, 12, 50}, false));
  twins.both("the undo of the insert-mode mark cleared", put_back(2, true));
  twins.both("the redo", put_back(2, false));
  twins.both("a mark after the redo", mark({51, 52}, true));
  // Another run's file, its records in another order and one gone.
  twins.replace_both([&](std::string) {
    std::string other;
    for (int i = kRecords - 1; i > 0; --i) other += lines[static_cast<std::size_t>(i)] + "\n";
    return other + "99999\n";
  });
  twins.both("after another run", mark({0, 1, 2}, true));
  twins.both("after another run", mark({1, 2, 59}, true));
  twins.both("an undo of a change made before the other run", put_back(3, true));
  twins.both("an undo of the last change", put_back(4, true));
  // An edit that leaves a record unreadable, and a hand mark cleared again.
  twins.replace_both([&](std::string bytes) {
    bytes.insert(0, "not a record\n");
    bytes[bytes.find(lines[30])] = 'y';
    return bytes;
  });
  twins.both("after a line that does not read", mark({30, 31}, false));
  twins.both("and their undo", put_back(5, true));
  EXPECT_EQ(made.size(), 6u);
}

}  // namespace
