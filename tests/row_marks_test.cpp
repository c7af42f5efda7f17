// Marks set by a row's identity: the file after mark_row is the file a
// text edit of column 1 makes, for each kind of row and from either end of
// a bond; rows that are no row of the model are refused and leave the file.
// The rows and the records here are written by hand, as a results file and
// a marks file read.
#include "marks/row_marks.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <gemmi/cif.hpp>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "expfile/experiment.hpp"
#include "page/mark_history.hpp"
#include "page/row_views.hpp"
#include "recio/error.hpp"
#include "recio/units.hpp"
#include "support/run_program.hpp"
#include "support/small_structures.hpp"
#include "vortan/driver.hpp"
#include "report/json_output.hpp"

namespace {

using testing_support::read_file;
using testing_support::TempFolder;
using testing_support::write_file;
using vesk::RowIdentity;

// A record as the writers format it: mark, phase 1, kind, two values, then
// the key's integers ("(A1,2I2,2F10.5,4I5)" and the others).
std::string record(char mark, int kind, std::vector<int> key) {
  char line[160];
  int n = std::snprintf(line, sizeof line, "%c%2d%2d%10.5f%10.5f", mark, 1, kind, 1.9, 0.002);
  if (kind == 3) n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "%10.4f%10.4f", 170.0, 2.0);
  for (int k : key) n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "%5d", k);
  return line;
}

vesk::RowSite site(int atom, int code, std::array<int, 3> n, const std::string& symmetry) {
  return {atom, {code, n}, symmetry};
}
vesk::RowSite own(int atom) { return site(atom, 1, {0, 0, 0}, "."); }

vesk::Row row_of(vesk::RowKind kind, const std::vector<vesk::RowSite>& sites, vesk::ImageName reverse = {0, {}}) {
  vesk::Row row;
  row.kind = kind;
  std::copy(sites.begin(), sites.end(), row.sites.begin());
  row.reverse = reverse;
  return row;
}

// Phase 1: Fe1, C1, O1, H1. Fe1-C1 at 2_655 seen from both ends, C1-O1
// only from O1 (the other direction was not searched), an angle, a
// torsion whose last site has no n_klm code, a hydrogen bond.
vesk::RunRows collector(int phases = 1) {
  using vesk::RowKind;
  vesk::RunRows rows;
  for (int p = 1; p <= phases; ++p) {
    vesk::PhaseRows phase;
    phase.numbering.phase = p;
    phase.numbering.labels = {"Fe1", "C1", "O1", "H1"};
    const vesk::RowSite there = site(2, 2, {1, 0, 0}, "2_655");
    phase.of(RowKind::bond) = {row_of(RowKind::bond, {own(1), there}, {2, {-1, 0, 0}}),
                               row_of(RowKind::bond, {own(2), own(3)}, {1, {0, 0, 0}})};
    phase.of(RowKind::angle) = {row_of(RowKind::angle, {there, own(1), own(2)})};
    phase.of(RowKind::torsion) = {row_of(RowKind::torsion, {own(4), own(3), own(2), site(1, -1, {1, 1, 0}, "")})};
    phase.of(RowKind::hbond) = {row_of(RowKind::hbond, {own(3), own(4), site(3, 3, {0, 0, 1}, "3_556")})};
    rows.phases.push_back(std::move(phase));
  }
  return rows;
}

RowIdentity row(const std::string& kind, std::vector<std::string> labels, std::vector<std::string> codes,
                int phase = 0) {
  return RowIdentity{kind, std::move(labels), std::move(codes), phase};
}

const std::string kForward = record('N', 0, {1, 2, 2, 655}), kBackward = record('N', 0, {2, 1, 2, 455});
const std::string kOneWay = record('N', 0, {3, 2, 1, 555}), kAngle = record('N', 1, {2, 1, 2, 2, 655, 1, 555});
const std::string kTorsion = record('N', 2, {4, 3, 2, 1, 1, 555, 1, 555, -1, 665});
const std::string kHbond = record('N', 3, {3, 4, 3, 1, 555, 3, 556});

struct Files {
  TempFolder folder;
  // A byte-order mark, a CR LF line end and an insert-mode "YN" mark, as editors leave them.
  std::string results_text = "\xEF\xBB\xBF" "    3         0.0\n" + kForward + "\r\n" + kBackward + "\n" +
                             kOneWay + "\nY" + kAngle + "\n99999\n";
  std::string marks_text = kTorsion + "\n" + kHbond + "\n99999\n";
  vesk::RunRows cif = collector();
  Files() {
    write_file(folder / "T.VORTAN", results_text);
    write_file(folder / "T.TORHB", marks_text);
  }
  vesk::MarksFiles marks() { return {(folder / "T.VORTAN").string(), (folder / "T.TORHB").string()}; }
  std::string results() const { return read_file(folder / "T.VORTAN"); }
  std::string geometry() const { return read_file(folder / "T.TORHB"); }
  bool bond_flag(std::size_t row) const {
    return vesk::json_rows(cif.phases[0], vesk::RowKind::bond)[row]["publish"].get<bool>();
  }
};

// The text with the mark of the line that holds `text` replaced by `mark`
// (an insert-mode "YN" as a whole), as an editor would.
std::string hand_edit(std::string text, const std::string& line, char mark, std::size_t width = 1) {
  const std::size_t at = text.find(line.substr(1)) - (width == 1 ? 1 : 2);
  text.replace(at, width, 1, mark);
  return text;
}

TEST(RowMarks, MarkAndClearAreTheTextEditsOfColumnOne) {
  Files files;
  // The angle's record carries an insert-mode mark: marked already, and
  // cleared it becomes the "N" the user would have left.
  const RowIdentity the_angle = row("angle", {"C1", "Fe1", "C1"}, {"2_655", ".", "."});
  EXPECT_FALSE(vesk::mark_row(files.cif, files.marks(), the_angle, true));
  EXPECT_EQ(files.results(), files.results_text);
  EXPECT_TRUE(files.cif.phases[0].of(vesk::RowKind::angle)[0].marked);
  EXPECT_TRUE(vesk::mark_row(files.cif, files.marks(), the_angle, false));
  const std::string cleared = hand_edit(files.results_text, kAngle, 'N', 2);
  EXPECT_EQ(files.results(), cleared);
  EXPECT_FALSE(files.cif.phases[0].of(vesk::RowKind::angle)[0].marked);
  EXPECT_FALSE(vesk::mark_row(files.cif, files.marks(), the_angle, false));

  // The bond on the CR LF line, marked twice, then cleared: only column 1 moves.
  const RowIdentity the_bond = row("bond", {"Fe1", "C1"}, {".", "2_655"});
  EXPECT_TRUE(vesk::mark_row(files.cif, files.marks(), the_bond, true));
  EXPECT_EQ(files.results(), hand_edit(cleared, kForward, 'Y'));
  EXPECT_TRUE(files.bond_flag(0));
  EXPECT_FALSE(vesk::mark_row(files.cif, files.marks(), the_bond, true));
  EXPECT_EQ(files.results(), hand_edit(cleared, kForward, 'Y'));
  EXPECT_TRUE(vesk::mark_row(files.cif, files.marks(), the_bond, false));
  EXPECT_EQ(files.results(), cleared);
  EXPECT_FALSE(files.bond_flag(0));
  EXPECT_EQ(files.geometry(), files.marks_text);
  // Nothing of the replace is left beside the files.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(files.folder.path()), {}), 2);
}

TEST(RowMarks, ABondIsMarkedFromItsFirstAtomAndClearedFromBothEnds) {
  Files files;
  const RowIdentity the_bond = row("bond", {"Fe1", "C1"}, {".", "2_655"});
  // Marked by hand from the other end: the row is published already.
  const std::string from_c1 = hand_edit(files.results_text, kBackward, 'y');
  write_file(files.folder / "T.VORTAN", from_c1);
  EXPECT_FALSE(vesk::mark_row(files.cif, files.marks(), the_bond, true));
  EXPECT_EQ(files.results(), from_c1);
  // Both ends marked; clearing clears both.
  write_file(files.folder / "T.VORTAN", hand_edit(from_c1, kForward, 'Y'));
  EXPECT_TRUE(vesk::mark_row(files.cif, files.marks(), the_bond, false));
  EXPECT_EQ(files.results(), files.results_text);
  // Seen from its other end the bond is no row: the JSON lists it once.
  EXPECT_THROW(vesk::mark_row(files.cif, files.marks(), row("bond", {"C1", "Fe1"}, {".", "2_455"}), true), vesk::Error);

  // C1-O1 was searched from O1 only; its row names C1 first, and its one record is marked.
  EXPECT_EQ(vesk::json_rows(files.cif.phases[0], vesk::RowKind::bond)[1]["atoms"], vesk::Json({"C1", "O1"}));
  EXPECT_TRUE(vesk::mark_row(files.cif, files.marks(), row("bond", {"C1", "O1"}, {".", "."}), true));
  EXPECT_EQ(files.results(), hand_edit(files.results_text, kOneWay, 'Y'));
  EXPECT_TRUE(files.bond_flag(1));
}

TEST(RowMarks, TorsionsAndHydrogenBondsAreMarkedInTheMarksFile) {
  Files files;
  // The torsion's last site has no n_klm code: the JSON's null, named "?".
  const RowIdentity the_torsion = row("torsion", {"H1", "O1", "C1", "Fe1"}, {".", ".", ".", "?"});
  EXPECT_TRUE(vesk::mark_row(files.cif, files.marks(), the_torsion, true));
  EXPECT_TRUE(vesk::mark_row(files.cif, files.marks(), row("hbond", {"O1", "H1", "O1"}, {".", ".", "3_556"}), true));
  EXPECT_EQ(files.geometry(), hand_edit(hand_edit(files.marks_text, kTorsion, 'Y'), kHbond, 'Y'));
  EXPECT_EQ(files.results(), files.results_text);
  EXPECT_TRUE(vesk::json_rows(files.cif.phases[0], vesk::RowKind::torsion)[0]["publish"].get<bool>());
  EXPECT_TRUE(vesk::json_rows(files.cif.phases[0], vesk::RowKind::hbond)[0]["publish"].get<bool>());
  EXPECT_TRUE(vesk::mark_row(files.cif, files.marks(), the_torsion, false));
  EXPECT_EQ(files.geometry(), hand_edit(files.marks_text, kHbond, 'Y'));
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The message of a refused request; the files must stay as they were.
std::string refusal(Files& files, const RowIdentity& identity) {
  std::string message = "taken";
  try {
    vesk::mark_row(files.cif, files.marks(), identity, true);
  } catch (const vesk::Error& error) {
    message = error.what();
  }
  EXPECT_EQ(files.results(), files.results_text);
  EXPECT_EQ(files.geometry(), files.marks_text);
  return message;
}

TEST(RowMarks, ManyRowsAreOneChangeAndItsUndoPutsTheFileBackByteForByte) {
  Files files;
  vesk::PhaseRows& phase = files.cif.phases[0];
  // Both bonds in one replace of the file; the bond to C1 at 2_655 from its first atom.
  const std::vector<std::size_t> both{0, 1};
  vesk::RowMarksChange change = vesk::mark_rows(phase, vesk::RowKind::bond, both, files.marks(), true);
  const std::string marked = hand_edit(hand_edit(files.results_text, kForward, 'Y'), kOneWay, 'Y');
  EXPECT_EQ(files.results(), marked);
  EXPECT_EQ(change.rows, both);
  EXPECT_EQ(change.records.size(), 2u);
  EXPECT_TRUE(files.bond_flag(0) && files.bond_flag(1));
  vesk::undo_mark_rows(phase, change, files.marks(), true);
  EXPECT_EQ(files.results(), files.results_text);  // the byte-order mark and the CR LF as they were
  EXPECT_FALSE(files.bond_flag(0) || files.bond_flag(1));
  vesk::undo_mark_rows(phase, change, files.marks(), false);
  EXPECT_EQ(files.results(), marked);

  // Clearing the insert-mode "YN" of the angle and undoing it: both columns back.
  const std::vector<std::size_t> first{0};
  const vesk::RowMarksChange cleared = vesk::mark_rows(phase, vesk::RowKind::angle, first, files.marks(), false);
  EXPECT_EQ(files.results(), hand_edit(marked, kAngle, 'N', 2));
  vesk::undo_mark_rows(phase, cleared, files.marks(), true);
  EXPECT_EQ(files.results(), marked);
  EXPECT_TRUE(phase.of(vesk::RowKind::angle)[0].marked);

  // Rows asked for as they are already change nothing, and make no step.
  const vesk::RowMarksChange nothing = vesk::mark_rows(phase, vesk::RowKind::bond, both, files.marks(), true);
  EXPECT_TRUE(nothing.rows.empty() && nothing.records.empty());
  EXPECT_EQ(files.results(), marked);

  // A record edited by hand since: the undo is refused and the file stays.
  const std::string by_hand = hand_edit(marked, kOneWay, 'N');
  write_file(files.folder / "T.VORTAN", by_hand);
  try {
    vesk::undo_mark_rows(phase, change, files.marks(), true);
    ADD_FAILURE() << "an undo over a hand edit was made";
  } catch (const vesk::Error& error) {
    EXPECT_TRUE(contains(error.what(), "T.VORTAN") && contains(error.what(), "changed since")) << error.what();
  }
  EXPECT_EQ(files.results(), by_hand);
  EXPECT_TRUE(phase.of(vesk::RowKind::bond)[1].marked);  // the model as the file was last left by us

  // An index past the rows: refused before the file is read.
  const std::vector<std::size_t> past{0, 2};
  EXPECT_THROW(vesk::mark_rows(phase, vesk::RowKind::bond, past, files.marks(), false), vesk::Error);
  EXPECT_EQ(files.results(), by_hand);

  // The torsion and the hydrogen bond go to the marks file, and back.
  const vesk::RowMarksChange torsion = vesk::mark_rows(phase, vesk::RowKind::torsion, first, files.marks(), true);
  EXPECT_EQ(files.geometry(), hand_edit(files.marks_text, kTorsion, 'Y'));
  vesk::undo_mark_rows(phase, torsion, files.marks(), true);
  EXPECT_EQ(files.geometry(), files.marks_text);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(files.folder.path()), {}), 2);
}

TEST(MarkHistory, UndoAndRedoInTheirOrderWithTheOldestStepsDroppedPastTheBound) {
  vesk::MarkHistory history;
  const auto step = [](std::size_t row, std::size_t records) {
    vesk::RowMarksChange change;
    change.rows = {row};
    change.records.resize(records);
    return change;
  };
  EXPECT_EQ(history.to_undo(), nullptr);
  history.push(step(1, 1));
  history.push(step(2, 1));
  EXPECT_EQ(history.to_undo()->rows[0], 2u);
  history.undone();
  EXPECT_EQ(history.to_redo()->rows[0], 2u);
  EXPECT_EQ(history.to_undo()->rows[0], 1u);
  // A new change drops what was left to redo.
  history.push(step(3, 1));
  EXPECT_EQ(history.to_redo(), nullptr);
  EXPECT_EQ(history.undo_steps(), 2u);
  // At most kMostSteps steps, and kMostRecords records: the oldest go first.
  for (std::size_t k = 0; k < vesk::MarkHistory::kMostSteps + 5; ++k) history.push(step(100 + k, 1));
  EXPECT_EQ(history.undo_steps(), vesk::MarkHistory::kMostSteps);
  history.push(step(9, vesk::MarkHistory::kMostRecords - 10));
  EXPECT_EQ(history.undo_steps(), 11u);
  history.push(step(10, vesk::MarkHistory::kMostRecords + 1));  // one step alone above the bound stays
  EXPECT_EQ(history.undo_steps(), 1u);
  EXPECT_EQ(history.to_undo()->rows[0], 10u);
}

// Which rows of the hand-written phase a filter shows, by kind and index.
TEST(RowViews, TheFilterFindsLabelsInAnyCaseElementsSiteCodesAndSeveralAtoms) {
  vesk::RunRows rows = collector();
  vesk::PhaseRows& phase = rows.phases[0];
  const std::vector<std::string> elements{"Fe", "C", "O", "H"};
  // bonds: Fe1-C1 at 2_655, C1-O1; angle C1(2_655)-Fe1-C1; torsion H1-O1-C1-Fe1(?); H bond O1-H1...O1(3_556)
  struct Case {
    const char* text;
    std::vector<std::size_t> bonds, angles, torsions, hbonds;
    std::size_t unknown;
  };
  const std::vector<Case> cases{
      {"", {0, 1}, {0}, {0}, {0}, 0},
      {"fe1", {0}, {0}, {0}, {}, 0},
      {"FE", {0}, {0}, {0}, {}, 0},
      {"c1 O", {1}, {}, {0}, {}, 0},
      {"O, o", {}, {}, {}, {0}, 0},
      {"c c", {}, {0}, {}, {}, 0},
      {"2_655", {0}, {0}, {}, {}, 0},
      {"c1_2_655", {0}, {0}, {}, {}, 0},
      {"O1_3_556 h", {}, {}, {}, {0}, 0},
      {"fe1 C1 O1 H1", {}, {}, {0}, {}, 0},
      {"fe1 C1 O1 H1 C1", {}, {}, {}, {}, 0},
      {"Zn1", {}, {}, {}, {}, 1},
      {"c1 zn", {}, {}, {}, {}, 1},
      {"9_999", {}, {}, {}, {}, 0},
  };
  for (const Case& c : cases) {
    vesk::RowView view;
    view.filter = vesk::parse_atom_filter(c.text, phase.numbering.labels, elements);
    EXPECT_EQ(view.filter.unknown.size(), c.unknown) << c.text;
    EXPECT_EQ(vesk::view_rows(phase, vesk::RowKind::bond, view), c.bonds) << c.text;
    EXPECT_EQ(vesk::view_rows(phase, vesk::RowKind::angle, view), c.angles) << c.text;
    EXPECT_EQ(vesk::view_rows(phase, vesk::RowKind::torsion, view), c.torsions) << c.text;
    EXPECT_EQ(vesk::view_rows(phase, vesk::RowKind::hbond, view), c.hbonds) << c.text;
  }
  // The marked rows alone, the chemical bonds alone, and an order by a column.
  phase.of(vesk::RowKind::bond)[1].marked = true;
  phase.of(vesk::RowKind::bond)[0].chemical = true;
  vesk::RowView view;
  view.marked_only = true;
  EXPECT_EQ(vesk::view_rows(phase, vesk::RowKind::bond, view), (std::vector<std::size_t>{1}));
  view = {};
  view.chemical_only = true;
  EXPECT_EQ(vesk::view_rows(phase, vesk::RowKind::bond, view), (std::vector<std::size_t>{0}));
  // The paper's rows: the chemical bond, the contact for its mark; not
  // the angle whose legs are no bonds, nor a row across disorder groups.
  view = {};
  view.paper_only = true;
  EXPECT_EQ(vesk::view_rows(phase, vesk::RowKind::bond, view), (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(vesk::view_rows(phase, vesk::RowKind::angle, view), (std::vector<std::size_t>{}));
  phase.of(vesk::RowKind::bond)[1].marked = false;
  EXPECT_EQ(vesk::view_rows(phase, vesk::RowKind::bond, view), (std::vector<std::size_t>{0}));
  phase.of(vesk::RowKind::torsion)[0].crosses_disorder = true;
  EXPECT_EQ(vesk::view_rows(phase, vesk::RowKind::torsion, view), (std::vector<std::size_t>{}));
  view.chemical_only = true;
  phase.of(vesk::RowKind::bond)[1].marked = true;
  EXPECT_EQ(vesk::view_rows(phase, vesk::RowKind::bond, view), (std::vector<std::size_t>{0}));
  view = {};
  view.sort = vesk::SortColumn::atom;  // C1 before Fe1
  EXPECT_EQ(vesk::view_rows(phase, vesk::RowKind::bond, view), (std::vector<std::size_t>{1, 0}));
  view.descending = true;
  EXPECT_EQ(vesk::view_rows(phase, vesk::RowKind::bond, view), (std::vector<std::size_t>{0, 1}));
}

TEST(RowMarks, RowsThatAreNotThereAreRefusedAndTheFilesStay) {
  Files files;
  EXPECT_PRED2(contains, refusal(files, row("bond", {"Fe1", "C1"}, {".", "3_655"})),
               "No row of this run is \"bond Fe1 C1 . 3_655\"");
  EXPECT_PRED2(contains, refusal(files, row("angle", {"C1", "Fe1", "C1"}, {"2_655", ".", "."}, 2)),
               "angle C1 Fe1 C1 2_655 . . of phase 2");
  // A record the file does not hold (an older file): named, nothing written.
  files.marks_text = "99999\n";
  write_file(files.folder / "T.TORHB", files.marks_text);
  EXPECT_PRED2(contains, refusal(files, row("hbond", {"O1", "H1", "O1"}, {".", ".", "3_556"})),
               "holds no record of hbond O1 H1 O1");

  // The same row in two phases: the phase must be named.
  Files two;
  two.cif = collector(2);
  EXPECT_PRED2(contains, refusal(two, row("bond", {"Fe1", "C1"}, {".", "2_655"})), "in phases 1 and 2");
  EXPECT_TRUE(vesk::mark_row(two.cif, two.marks(), row("bond", {"Fe1", "C1"}, {".", "2_655"}, 1), true));

  // No more marks than a run keeps: the 1001st distance is refused.
  Files full;
  full.results_text.resize(full.results_text.find("99999"));
  for (int k = 0; k < 1000; ++k) full.results_text += record('Y', 0, {4, 4, 1, 100 + k}) + "\n";
  full.results_text += "99999\n";
  write_file(full.folder / "T.VORTAN", full.results_text);
  EXPECT_PRED2(contains, refusal(full, row("bond", {"Fe1", "C1"}, {".", "2_655"})), "1000 marked distances");
}

// The whole program on the P 41 structure of tests/support: its rows named
// from NAME.json, marked and cleared by the command line.

using testing_support::run_program;
using nlohmann::json;

const std::map<std::string, std::string> kFixedDates = {{"SOURCE_DATE_EPOCH", "1767225600"}, {"LENPAGE", "60"}};

struct P41 {
  TempFolder folder;
  json doc;  // of the first run
  std::string results, marks;
  P41() {
    write_file(folder / "s.cif", testing_support::kP41Cif);
    EXPECT_EQ(run_program(CIF2EXP_BIN, {"s.cif", "S"}, folder.path()).exit_status, 0);
    EXPECT_EQ(vortan({"--json"}).exit_status, 0);
    doc = json::parse(read_file(folder / "S.json"));
    results = read_file(folder / "S.VORTAN");
    marks = read_file(folder / "S.TORHB");
  }
  testing_support::RunResult vortan(std::vector<std::string> words) const {
    words.insert(words.begin(), "S");
    return run_program(VORTAN_BIN, words, folder.path(), "", kFixedDates);
  }
  const json& rows(const std::string& key) const { return doc["phases"][0][key]; }
  // The number of the atom of a label, from the JSON's atom list (the experiment's order).
  int atom(const std::string& label) const {
    const json& atoms = doc["phases"][0]["atoms"];
    for (std::size_t k = 0; k < atoms.size(); ++k)
      if (atoms[k]["label"] == label) return static_cast<int>(k) + 1;
    return 0;
  }
};

std::string joined(const json& words) {
  std::string text;
  for (const json& word : words) text += (text.empty() ? "" : " ") + (word.is_null() ? "?" : word.get<std::string>());
  return text;
}

// The lines of `after` that differ from `before`, which must have as many.
std::vector<std::pair<std::string, std::string>> changed_lines(const std::string& before, const std::string& after) {
  std::vector<std::pair<std::string, std::string>> changed;
  std::size_t a = 0, b = 0;
  while (a < before.size() && b < after.size()) {
    const std::size_t ea = before.find('\n', a), eb = after.find('\n', b);
    const std::string la = before.substr(a, ea - a), lb = after.substr(b, eb - b);
    if (la != lb) changed.emplace_back(la, lb);
    if (ea == std::string::npos || eb == std::string::npos) break;
    a = ea + 1;
    b = eb + 1;
  }
  return changed;
}

// The publication flags of a CIF loop, by its rows' labels and site codes.
std::map<std::string, std::string> cif_flags(const std::filesystem::path& file, const std::string& prefix,
                                             const std::vector<std::string>& columns) {
  std::map<std::string, std::string> flags;
  gemmi::cif::Document cif = gemmi::cif::read_string(read_file(file));
  gemmi::cif::Table table = cif.blocks.at(0).find(prefix, columns);
  for (const auto& row : table) {
    std::string name;
    for (std::size_t c = 0; c + 1 < columns.size(); ++c) name += (c == 0 ? "" : " ") + row.str(c);
    flags[name] = row.str(columns.size() - 1);
  }
  return flags;
}

TEST(MarkOption, MarkThenUnmarkByTheCommandLineAndTheNextRunKeepsTheMark) {
  P41 s;
  ASSERT_GE(s.rows("hydrogen_bonds").size(), 1u);
  // A distance to an image, and the first hydrogen bond, as NAME.json names
  // them.
  json bond;
  for (const json& row : s.rows("bonds"))
    if (row["site_codes"][1] != ".") bond = row;
  ASSERT_FALSE(bond.is_null());
  const json& hbond = s.rows("hydrogen_bonds")[0];
  const auto run = s.vortan({"--mark", "bond", joined(bond["atoms"]), joined(bond["site_codes"]), "--cif", "--mark",
                             "hbond", joined(hbond["atoms"]), joined(hbond["site_codes"]), "--json"});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Marked for publication: bond " + joined(bond["atoms"])), std::string::npos) << run.out;

  // One record each, changed in column 1 alone: the record of the bond's
  // first atom with the row's distance, and the hydrogen bond's.
  const std::string results = read_file(s.folder / "S.VORTAN");
  const auto bond_lines = changed_lines(s.results, results);
  ASSERT_EQ(bond_lines.size(), 1u);
  EXPECT_EQ(bond_lines[0].first[0], 'N');
  EXPECT_EQ("Y" + bond_lines[0].first.substr(1), bond_lines[0].second);
  int central = 0, neighbour = 0;
  double distance = 0;
  ASSERT_EQ(std::sscanf(bond_lines[0].second.c_str() + 5, "%lf %*f %d %d", &distance, &central, &neighbour), 3);
  EXPECT_EQ(central, s.atom(bond["atoms"][0]));
  EXPECT_EQ(neighbour, s.atom(bond["atoms"][1]));
  EXPECT_NEAR(distance, bond["distance"]["value"].get<double>(), 0.6e-5);
  const std::string marks = read_file(s.folder / "S.TORHB");
  const auto hbond_lines = changed_lines(s.marks, marks);
  ASSERT_EQ(hbond_lines.size(), 1u);
  EXPECT_EQ("Y" + hbond_lines[0].first.substr(1), hbond_lines[0].second);
  EXPECT_EQ(hbond_lines[0].second.substr(1, 4), " 1 3");

  // The JSON and the CIF of the same run show the two marks and no other.
  const json after = json::parse(read_file(s.folder / "S.json"));
  int published = 0;
  for (const char* key : {"bonds", "angles", "torsions", "hydrogen_bonds"})
    for (const json& row : after["phases"][0][key]) published += row["publish"].get<bool>();
  EXPECT_EQ(published, 2);
  for (const json& row : after["phases"][0]["bonds"])
    if (row["atoms"] == bond["atoms"] && row["site_codes"] == bond["site_codes"]) {
      EXPECT_TRUE(row["publish"]);
    }
  EXPECT_TRUE(after["phases"][0]["hydrogen_bonds"][0]["publish"]);
  // A chemical bond in the bond loop, another distance in the contacts.
  const auto bond_flags =
      cif_flags(s.folder / "S_geom.cif", bond["chemical_bond"].get<bool>() ? "_geom_bond_" : "_geom_contact_",
                {"atom_site_label_1", "atom_site_label_2", "site_symmetry_2", "publ_flag"});
  EXPECT_EQ(bond_flags.at(joined(bond["atoms"]) + " " + bond["site_codes"][1].get<std::string>()), "yes");
  int yes = 0;
  for (const auto& [name, flag] : bond_flags) yes += flag == "yes";
  EXPECT_EQ(yes, 1);
  const auto hbond_flags = cif_flags(s.folder / "S_geom.cif", "_geom_hbond_",
                                     {"atom_site_label_D", "atom_site_label_H", "atom_site_label_A", "publ_flag"});
  EXPECT_EQ(hbond_flags.at(joined(hbond["atoms"])), "yes");

  // The next plain run keeps both marks as they stand.
  ASSERT_EQ(s.vortan({}).exit_status, 0);
  EXPECT_EQ(read_file(s.folder / "S.VORTAN"), results);
  EXPECT_EQ(read_file(s.folder / "S.TORHB"), marks);

  // Cleared again, the files are those of the first run; a second clear changes nothing.
  for (int pass = 0; pass < 2; ++pass) {
    const auto cleared = s.vortan({"--unmark", "hbond", joined(hbond["atoms"]), joined(hbond["site_codes"]),
                                   "--unmark", "bond", joined(bond["atoms"]), joined(bond["site_codes"])});
    ASSERT_EQ(cleared.exit_status, 0) << cleared.out << cleared.err;
    EXPECT_EQ(read_file(s.folder / "S.VORTAN"), s.results);
    EXPECT_EQ(read_file(s.folder / "S.TORHB"), s.marks);
  }
}

TEST(MarkOption, BadRequestsAreRefusedAndLeaveTheFilesAsTheyWere) {
  P41 s;
  const json& bond = s.rows("bonds")[0];
  const std::string labels = joined(bond["atoms"]), codes = joined(bond["site_codes"]);
  // Marked, so that a wrongly applied clear would show too.
  ASSERT_EQ(s.vortan({"--mark", "bond", labels, codes}).exit_status, 0);
  const std::string results = read_file(s.folder / "S.VORTAN");
  const std::string marks = read_file(s.folder / "S.TORHB");
  ASSERT_NE(results, s.results);
  struct Refusal {
    std::vector<std::string> words;
    std::string message;
  };
  const std::vector<Refusal> refusals = {
      // The first request is good, the second no row: neither is applied.
      {{"--unmark", "bond", labels, codes, "--mark", "bond", labels, ". 4_555"},
       "No row of this run is \"bond " + labels + " . 4_555\""},
      {{"--mark", "bond", labels, "."}, "names 2 labels and 1 site codes"},
      {{"--mark", "plane", labels, codes}, "is of no kind vortan marks"},
      {{"--mark", "bond:2", labels, codes}, "No row of this run is \"bond " + labels + " " + codes + " of phase 2\""},
      {{"--unmark", "angle", labels}, "takes three arguments"},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.words[1] + " " + refusal.words[2]);
    const auto run = s.vortan(refusal.words);
    EXPECT_NE(run.exit_status, 0);
    EXPECT_NE((run.out + run.err).find(refusal.message), std::string::npos) << run.out << run.err;
    EXPECT_EQ(read_file(s.folder / "S.VORTAN"), results);
    EXPECT_EQ(read_file(s.folder / "S.TORHB"), marks);
  }

  // A good request in a run whose CIF cannot be written: no mark reaches the files.
  std::filesystem::create_directory(s.folder / "S_geom.cif");
  const auto failed = s.vortan({"--unmark", "bond", labels, codes, "--cif"});
  EXPECT_NE(failed.exit_status, 0);
  EXPECT_EQ(read_file(s.folder / "S.VORTAN"), results);
  EXPECT_EQ(read_file(s.folder / "S.TORHB"), marks);
  for (const auto& entry : std::filesystem::directory_iterator(s.folder.path()))
    EXPECT_EQ(entry.path().filename().string().find(".new"), std::string::npos) << entry.path();
  std::filesystem::remove(s.folder / "S_geom.cif");

  // With a thousand distances marked, the next is refused naming the file
  // the user edits, not the run's temporary.
  std::string experiment = read_file(s.folder / "S.EXP");
  const std::size_t controls = experiment.find("  VRTN CDAT1");
  ASSERT_NE(controls, std::string::npos);
  experiment.replace(controls + 12, 68, std::string("DMAX 7.0 DAGL 1.6") + std::string(51, ' '));
  write_file(s.folder / "S.EXP", experiment);
  ASSERT_EQ(s.vortan({"--json"}).exit_status, 0);
  std::string many = read_file(s.folder / "S.VORTAN");
  int marked = 0;
  for (std::size_t at = 0; marked < 1000 && (at = many.find("\nN 1 0", at)) != std::string::npos; ++marked)
    many[++at] = 'Y';
  ASSERT_EQ(marked, 1000) << "too few distances";
  write_file(s.folder / "S.VORTAN", many);
  const json wide = json::parse(read_file(s.folder / "S.json"));
  const json& last = wide["phases"][0]["bonds"].back();
  const auto full = s.vortan({"--mark", "bond", joined(last["atoms"]), joined(last["site_codes"])});
  EXPECT_NE(full.exit_status, 0);
  EXPECT_NE(full.out.find("The results file S.VORTAN already holds 1000 marked distances, the most a run keeps"),
            std::string::npos) << full.out;
  EXPECT_EQ(full.out.find(".new"), std::string::npos) << full.out;
  EXPECT_EQ(read_file(s.folder / "S.VORTAN"), many);
}

// --serve's page gets the run's rows and drawing, and its marks go through
// the same writer while the experiment stays locked. Run in a child
// process: a run's state is process-wide.
// The distance between two atoms of the page's drawing model.
double distance(const json& a, const json& b) {
  double sum = 0;
  for (std::size_t k = 0; k < 3; ++k) {
    const double d = a["xyz"][k].get<double>() - b["xyz"][k].get<double>();
    sum += d * d;
  }
  return std::sqrt(sum);
}

TEST(ServeOption, ThePageMarksThroughTheWriterWhileTheExperimentIsLocked) {
  P41 s;
  const json& hbond = s.rows("hydrogen_bonds")[1];
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(s.folder.path().c_str()) != 0) _exit(120);
    std::string report;
    vesk::VortanOptions options;
    options.serve = true;
    options.page = [&](const vesk::PageContext& page) {
      const auto other = run_program(VORTAN_BIN, {"S"}, ".");
      report += "second " + std::to_string(other.exit_status) + " " + other.out + other.err + "\n";
      for (const vesk::PagePhase& phase : page.phases)
        report += "drawing " + std::to_string(phase.phase) + "\n" + phase.drawing + "\n";
      const bool changed = vesk::mark_row(
          *page.rows, page.files,
          vesk::RowIdentity{"hbond", {"N1", "H1", "O2"}, {".", ".", hbond["site_codes"][2].get<std::string>()}, 0},
          true);
      report += "changed " + std::to_string(changed) + "\n";
      const std::vector<std::size_t> both{0, 1};
      report += "json " + page.rows_json(page.rows->phases[0], vesk::RowKind::hbond, both) + "\n";
      report += "cif " + page.write_cif() + "\n";
    };
    vesk::set_command_arguments({"S"});
    int status = 0;
    try {
      vesk::run_vortan(options);
    } catch (const std::exception& error) {
      report += std::string("error ") + error.what() + "\n";
      status = 1;
    }
    recio::flush_all();
    vesk::leave_experiment();
    write_file("report.txt", report);
    _exit(status);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(s.folder / "report.txt");
  const std::string report = read_file(s.folder / "report.txt");
  EXPECT_NE(report.find("The experiment S is in use by vortan (process " + std::to_string(pid) + ")"),
            std::string::npos)
      << report.substr(0, 400);
  EXPECT_NE(report.find("changed 1"), std::string::npos);
  EXPECT_EQ(changed_lines(s.marks, read_file(s.folder / "S.TORHB")).size(), 1u);
  const std::size_t at = report.find("json ");
  ASSERT_NE(at, std::string::npos);
  const json page = json::parse(report.substr(at + 5, report.find("\ncif ", at) - at - 5));
  EXPECT_TRUE(page[1]["publish"]);
  EXPECT_FALSE(page[0]["publish"]);
  EXPECT_EQ(cif_flags(s.folder / "S_geom.cif", "_geom_hbond_",
                      {"atom_site_label_D", "atom_site_label_H", "atom_site_label_A", "publ_flag"})
                .at("N1 H1 O2"),
            "yes");

  // Every bond of the drawing names its row of "bonds", which joins the
  // same two atoms; every atom of the experiment is drawn.
  const std::size_t drawing_at = report.find("drawing 1\n");
  ASSERT_NE(drawing_at, std::string::npos);
  const json drawing = json::parse(report.substr(drawing_at + 10, report.find('\n', drawing_at + 10) - drawing_at - 10));
  const json& atoms = drawing["atoms"];
  const json& bond_rows = s.rows("bonds");
  int named = 0;
  for (const json& bond : drawing["bonds"]) {
    ASSERT_TRUE(bond[2].is_number()) << bond;
    ++named;
    const json& row = bond_rows[bond[2].get<std::size_t>()];
    EXPECT_EQ(atoms[bond[0].get<std::size_t>()]["label"], row["atoms"][0]) << bond;
    EXPECT_EQ(atoms[bond[1].get<std::size_t>()]["label"], row["atoms"][1]) << bond;
    EXPECT_EQ(bond[3], row["site_codes"][1]) << bond;
    EXPECT_TRUE(row["chemical_bond"].get<bool>()) << bond;
    // The drawn atoms' Cartesian coordinates give the row's distance.
    EXPECT_NEAR(distance(atoms[bond[0].get<std::size_t>()], atoms[bond[1].get<std::size_t>()]),
                row["distance"]["value"].get<double>(), 2e-4)
        << bond;
  }
  EXPECT_GT(named, 10);
  std::set<std::string> drawn;
  for (const json& atom : atoms) drawn.insert(atom["label"].get<std::string>() + " " + atom["site_code"].get<std::string>());
  for (const json& atom : s.doc["phases"][0]["atoms"]) EXPECT_EQ(drawn.count(atom["label"].get<std::string>() + " ."), 1u);
  // Each hydrogen bond joins its H and its A, the A added where the molecule lacks it.
  ASSERT_EQ(drawing["hydrogen_bonds"].size(), s.rows("hydrogen_bonds").size());
  for (const json& hbond_line : drawing["hydrogen_bonds"]) {
    const json& row = s.rows("hydrogen_bonds")[hbond_line[3].get<std::size_t>()];
    for (std::size_t k = 0; k < 3; ++k) {
      const json& atom = atoms[hbond_line[k].get<std::size_t>()];
      EXPECT_EQ(atom["label"], row["atoms"][k]);
      EXPECT_EQ(atom["site_code"], row["site_codes"][k]);
    }
    const auto at = [&](std::size_t k) -> const json& { return atoms[hbond_line[k].get<std::size_t>()]; };
    EXPECT_NEAR(distance(at(0), at(1)), row["d_h"]["value"].get<double>(), 2e-4);
    EXPECT_NEAR(distance(at(1), at(2)), row["h_a"]["value"].get<double>(), 2e-4);
    EXPECT_NEAR(distance(at(0), at(2)), row["d_a"]["value"].get<double>(), 2e-4);
  }
}

}  // namespace
