// Marks set by a row's identity: the file after set_row_mark is the file a
// text edit of column 1 makes, for each kind of row and from either end of
// a bond; rows that are no row of the model are refused and leave the file.
// The rows and the records here are written by hand, as a results file and
// a marks file read.
#include "vortan/row_marks.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "recio/error.hpp"
#include "support/run_program.hpp"
#include "vortan/json_output.hpp"

namespace {

using testing_support::read_file;
using testing_support::TempFolder;
using testing_support::write_file;
using vesk::RowIdentity;

// Records as the writers format them: "(A1,2I2,2F10.5,4I5)" and the others.
std::string distance(char mark, int a, int b, int op, int cell, double d = 1.9) {
  char line[80];
  std::snprintf(line, sizeof line, "%c%2d%2d%10.5f%10.5f%5d%5d%5d%5d", mark, 1, 0, d, 0.002, a, b, op, cell);
  return line;
}
std::string angle(char mark, int a, int b, int c, int op1, int cell1, int op3, int cell3) {
  char line[100];
  std::snprintf(line, sizeof line, "%c%2d%2d%10.4f%10.4f%5d%5d%5d%5d%5d%5d%5d", mark, 1, 1, 109.5, 0.2, a, b, c, op1,
                cell1, op3, cell3);
  return line;
}
std::string torsion(char mark, int a, int b, int c, int d, int op4, int cell4) {
  char line[120];
  std::snprintf(line, sizeof line, "%c%2d%2d%10.4f%10.4f%5d%5d%5d%5d%5d%5d%5d%5d%5d%5d", mark, 1, 2, -60.5, 0.3, a, b,
                c, d, 1, 555, 1, 555, op4, cell4);
  return line;
}
std::string hbond(char mark, int d, int h, int a, int op, int cell) {
  char line[120];
  std::snprintf(line, sizeof line, "%c%2d%2d%10.5f%10.5f%10.4f%10.4f%5d%5d%5d%5d%5d%5d%5d", mark, 1, 3, 1.9, 0.02,
                170.0, 2.0, d, h, a, 1, 555, op, cell);
  return line;
}

vesk::CifSite site(int code, std::array<int, 3> n, const std::string& symmetry) {
  return vesk::CifSite{code, n, symmetry};
}

// Phase 1: Fe1, C1, O1, H1. Fe1-C1 at 2_655 seen from both ends, C1-O1
// only from O1 (the other direction was not searched), an angle, a
// torsion and a hydrogen bond.
vesk::CifCollector collector(int phases = 1) {
  vesk::CifCollector cif;
  for (int p = 1; p <= phases; ++p) {
    vesk::CifBlock block;
    block.phase = p;
    block.labels = {"Fe1", "C1", "O1", "H1"};
    vesk::CifBond forward;
    forward.central = 1;
    forward.neighbour = 2;
    forward.site = site(2, {1, 0, 0}, "2_655");
    forward.reverse = site(2, {-1, 0, 0}, "2_455");
    vesk::CifBond backward;
    backward.central = 2;
    backward.neighbour = 1;
    backward.site = forward.reverse;
    backward.reverse = forward.site;
    vesk::CifBond one_way;
    one_way.central = 3;
    one_way.neighbour = 2;
    one_way.site = site(1, {0, 0, 0}, ".");
    one_way.reverse = site(1, {0, 0, 0}, ".");
    block.bonds = {forward, backward, one_way};
    vesk::CifAngle a;
    a.first = 2;
    a.central = 1;
    a.second = 2;
    a.site1 = site(2, {1, 0, 0}, "2_655");
    a.site3 = site(1, {0, 0, 0}, ".");
    block.angles = {a};
    vesk::CifTorsion t;
    t.atoms = {4, 3, 2, 1};
    t.sites = {site(1, {0, 0, 0}, "."), site(1, {0, 0, 0}, "."), site(1, {0, 0, 0}, "."), site(-1, {1, 1, 0}, "")};
    block.torsions = {t};
    vesk::CifHbond h;
    h.donor = 3;
    h.hydrogen = 4;
    h.acceptor = 3;
    h.donor_site = site(1, {0, 0, 0}, ".");
    h.hydrogen_site = h.donor_site;
    h.acceptor_site = site(3, {0, 0, 1}, "3_556");
    block.hbonds = {h};
    cif.blocks.push_back(std::move(block));
  }
  return cif;
}

RowIdentity row(const std::string& kind, std::vector<std::string> labels, std::vector<std::string> codes,
                int phase = 0) {
  return RowIdentity{kind, std::move(labels), std::move(codes), phase};
}

struct Files {
  TempFolder folder;
  std::string results_text, marks_text;
  vesk::CifCollector cif = collector();
  vesk::RowMarks marks() {
    return vesk::RowMarks{(folder / "T.VORTAN").string(), (folder / "T.TORHB").string(), &cif};
  }
  Files() {
    // A byte-order mark, a CR LF line end and an insert-mode "YN" mark, as editors leave them.
    results_text = "\xEF\xBB\xBF" "    3         0.0\n" + distance('N', 1, 2, 2, 655) + "\r\n" +
                   distance('N', 2, 1, 2, 455) + "\n" + distance('N', 3, 2, 1, 555) + "\n" +
                   "Y" + angle('N', 2, 1, 2, 2, 655, 1, 555) + "\n99999\n";
    marks_text = torsion('N', 4, 3, 2, 1, -1, 665) + "\n" + hbond('N', 3, 4, 3, 3, 556) + "\n99999\n";
    write_file(folder / "T.VORTAN", results_text);
    write_file(folder / "T.TORHB", marks_text);
  }
  std::string results() const { return read_file(folder / "T.VORTAN"); }
  std::string geometry() const { return read_file(folder / "T.TORHB"); }
};

// The text with the mark of the line that begins with `record` replaced by
// `mark` (and an insert-mode "YN" by one letter), as an editor would.
std::string hand_edit(std::string text, const std::string& record, char mark, std::size_t width = 1) {
  const std::size_t at = text.find(record);
  EXPECT_NE(at, std::string::npos) << record;
  if (at != std::string::npos) text.replace(at, width, 1, mark);
  return text;
}

bool flag_of_bond(const vesk::CifCollector& cif, std::size_t row) {
  return vesk::json_bonds(cif.blocks[0])[row]["publish"].get<bool>();
}

TEST(RowMarks, MarkAndClearAreTheTextEditsOfColumnOne) {
  Files files;
  const std::string before = files.results();
  // The angle row: its record carries an insert-mode mark, so it is marked already.
  const RowIdentity the_angle = row("angle", {"C1", "Fe1", "C1"}, {"2_655", ".", "."});
  EXPECT_FALSE(vesk::set_row_mark(files.marks(), the_angle, true));
  EXPECT_EQ(files.results(), before);
  EXPECT_TRUE(files.cif.blocks[0].angles[0].published);
  // Cleared, "YN" becomes the "N" the user would have left.
  EXPECT_TRUE(vesk::set_row_mark(files.marks(), the_angle, false));
  const std::string cleared = hand_edit(before, "Y" + angle('N', 2, 1, 2, 2, 655, 1, 555), 'N', 2);
  EXPECT_EQ(files.results(), cleared);
  EXPECT_FALSE(files.cif.blocks[0].angles[0].published);
  EXPECT_FALSE(vesk::set_row_mark(files.marks(), the_angle, false));

  // The bond on the CR LF line, marked then cleared: only column 1 moves.
  const RowIdentity the_bond = row("bond", {"Fe1", "C1"}, {".", "2_655"});
  EXPECT_TRUE(vesk::set_row_mark(files.marks(), the_bond, true));
  const std::string marked = hand_edit(cleared, distance('N', 1, 2, 2, 655), 'Y');
  EXPECT_EQ(files.results(), marked);
  EXPECT_TRUE(flag_of_bond(files.cif, 0));
  EXPECT_FALSE(vesk::set_row_mark(files.marks(), the_bond, true));
  EXPECT_EQ(files.results(), marked);
  EXPECT_TRUE(vesk::set_row_mark(files.marks(), the_bond, false));
  EXPECT_EQ(files.results(), cleared);
  EXPECT_FALSE(flag_of_bond(files.cif, 0));
  EXPECT_EQ(files.geometry(), files.marks_text);  // the other file untouched
  // Nothing of the replace is left beside the file.
  for (const auto& entry : std::filesystem::directory_iterator(files.folder.path()))
    EXPECT_TRUE(entry.path().filename() == "T.VORTAN" || entry.path().filename() == "T.TORHB") << entry.path();
}

TEST(RowMarks, ABondIsMarkedFromItsFirstAtomAndClearedFromBothEnds) {
  Files files;
  const RowIdentity the_bond = row("bond", {"Fe1", "C1"}, {".", "2_655"});
  // Marked by hand from the other end: the row is published already.
  const std::string from_c1 = hand_edit(files.results_text, distance('N', 2, 1, 2, 455), 'y');
  write_file(files.folder / "T.VORTAN", from_c1);
  EXPECT_FALSE(vesk::set_row_mark(files.marks(), the_bond, true));
  EXPECT_EQ(files.results(), from_c1);
  // Both ends marked; clearing clears both.
  const std::string both = hand_edit(from_c1, distance('N', 1, 2, 2, 655), 'Y');
  write_file(files.folder / "T.VORTAN", both);
  EXPECT_TRUE(vesk::set_row_mark(files.marks(), the_bond, false));
  EXPECT_EQ(files.results(), files.results_text);
  EXPECT_FALSE(flag_of_bond(files.cif, 0));
  // Seen from its other end the row is no row: the JSON lists it once.
  EXPECT_THROW(vesk::set_row_mark(files.marks(), row("bond", {"C1", "Fe1"}, {".", "2_455"}), true), vesk::Error);

  // C1-O1 was searched from O1 only; the row names C1 first, and its one record is marked.
  const vesk::Json rows = vesk::json_bonds(files.cif.blocks[0]);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1]["atoms"], vesk::Json({"C1", "O1"}));
  EXPECT_TRUE(vesk::set_row_mark(files.marks(), row("bond", {"C1", "O1"}, {".", "."}), true));
  EXPECT_EQ(files.results(), hand_edit(files.results_text, distance('N', 3, 2, 1, 555), 'Y'));
  EXPECT_TRUE(flag_of_bond(files.cif, 1));
}

TEST(RowMarks, TorsionsAndHydrogenBondsAreMarkedInTheMarksFile) {
  Files files;
  // The fourth site has no n_klm code: the JSON's null, named "?".
  const RowIdentity the_torsion = row("torsion", {"H1", "O1", "C1", "Fe1"}, {".", ".", ".", "?"});
  const RowIdentity the_hbond = row("hbond", {"O1", "H1", "O1"}, {".", ".", "3_556"});
  EXPECT_TRUE(vesk::set_row_mark(files.marks(), the_torsion, true));
  EXPECT_TRUE(vesk::set_row_mark(files.marks(), the_hbond, true));
  std::string expected = hand_edit(files.marks_text, torsion('N', 4, 3, 2, 1, -1, 665), 'Y');
  expected = hand_edit(expected, hbond('N', 3, 4, 3, 3, 556), 'Y');
  EXPECT_EQ(files.geometry(), expected);
  EXPECT_EQ(files.results(), files.results_text);
  EXPECT_TRUE(vesk::json_torsions(files.cif.blocks[0])[0]["publish"].get<bool>());
  EXPECT_TRUE(vesk::json_hydrogen_bonds(files.cif.blocks[0])[0]["publish"].get<bool>());
  EXPECT_TRUE(vesk::set_row_mark(files.marks(), the_torsion, false));
  EXPECT_EQ(files.geometry(), hand_edit(files.marks_text, hbond('N', 3, 4, 3, 3, 556), 'Y'));
}

TEST(RowMarks, RowsThatAreNotThereAreRefusedAndTheFilesStay) {
  Files files;
  auto refused = [&files](const RowIdentity& identity, const std::string& words) {
    try {
      vesk::set_row_mark(files.marks(), identity, true);
      ADD_FAILURE() << vesk::describe_row(identity) << " was taken";
    } catch (const vesk::Error& error) {
      EXPECT_NE(std::string(error.what()).find(words), std::string::npos) << error.what();
    }
    EXPECT_EQ(files.results(), files.results_text);
    EXPECT_EQ(files.geometry(), files.marks_text);
  };
  refused(row("bond", {"Fe1", "C1"}, {".", "3_655"}), "bond Fe1 C1 . 3_655");
  refused(row("bond", {"Fe1", "C2"}, {".", "2_655"}), "bond Fe1 C2 . 2_655");
  refused(row("bond", {"Fe1", "C1"}, {"."}), "2 labels and 1 site codes");
  refused(row("plane", {"Fe1"}, {"."}), "no kind");
  refused(row("angle", {"C1", "Fe1", "C1"}, {"2_655", ".", "."}, 2), "of phase 2");
  // A record the file no longer holds (an older file): named, nothing written.
  write_file(files.folder / "T.TORHB", "99999\n");
  files.marks_text = "99999\n";
  refused(row("hbond", {"O1", "H1", "O1"}, {".", ".", "3_556"}), "holds no record of hbond O1 H1 O1");

  // The same row in two phases: the phase must be named.
  Files two;
  two.cif = collector(2);
  try {
    vesk::set_row_mark(two.marks(), row("bond", {"Fe1", "C1"}, {".", "2_655"}), true);
    ADD_FAILURE();
  } catch (const vesk::Error& error) {
    EXPECT_NE(std::string(error.what()).find("in phases 1 and 2"), std::string::npos) << error.what();
  }
  EXPECT_TRUE(vesk::set_row_mark(two.marks(), row("bond", {"Fe1", "C1"}, {".", "2_655"}, 1), true));

  // No more marks than a run keeps: the 1001st distance is refused.
  Files full;
  std::string text = full.results_text.substr(0, full.results_text.find("99999"));
  for (int k = 0; k < 1000; ++k) text += distance('Y', 4, 4, 1, 100 + k) + "\n";
  text += "99999\n";
  write_file(full.folder / "T.VORTAN", text);
  try {
    vesk::set_row_mark(full.marks(), row("bond", {"Fe1", "C1"}, {".", "2_655"}), true);
    ADD_FAILURE();
  } catch (const vesk::Error& error) {
    EXPECT_NE(std::string(error.what()).find("1000 marked distances"), std::string::npos) << error.what();
  }
  EXPECT_EQ(read_file(full.folder / "T.VORTAN"), text);
}

}  // namespace
