// Torsion angles and hydrogen bonds of a published structure, converted by
// cif2exp and run through vortan, against the authors' own tables; and the
// publication marks of their own file across runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gemmi/calculate.hpp>
#include <gemmi/cif.hpp>
#include <gemmi/symmetry.hpp>
#include <gemmi/unitcell.hpp>

#include "tests/support/run_program.hpp"
#include "tests/support/small_structures.hpp"

namespace {

using testing_support::read_file;
using testing_support::run_program;
using testing_support::TempFolder;
using testing_support::write_file;

// 5-Hydroxymethyl-7,7,N-trimethyl-6-oxabicyclo[3.2.1]octane-1-carboxamide,
// the tetragonal phase: Foces-Foces, Lopez-Rodriguez & Perez, Acta Cryst.
// (2008) C64, o95-o97 (COD 2016470, from the cod-tools test inputs). Cut to
// the non-hydrogen atoms, the three hydrogen atoms of the hydrogen bonds,
// and the authors' torsion and hydrogen-bond tables. P 41 with the model's
// hand: a sign error of the torsion angles shows in every row.
const std::string kPaper = testing_support::kP41Cif;

// C10H14N2O2S in F d d 2: Zhang, Cozzolino, Mahmoudkhani, Tulumello, Mansour
// & Vargas-Baca, J. Phys. Chem. B 109 (2005) 18378-18384 (COD 1506408, from a
// public CIF test collection). Cut to the heavy atoms and the N-H hydrogen
// (its riding hydrogen atoms and displacement parameters left out) and the
// authors' torsion and hydrogen-bond tables. Here the CIF's rounded
// coordinates still give the authors' digits, and vortan must too.
const std::string kFdd2Paper = std::string(testing_support::kFdd2Cif) + R"(loop_
_geom_hbond_atom_site_label_D
_geom_hbond_atom_site_label_H
_geom_hbond_atom_site_label_A
_geom_hbond_distance_DH
_geom_hbond_distance_HA
_geom_hbond_distance_DA
_geom_hbond_angle_DHA
_geom_hbond_site_symmetry_A
N1 H1 O1 0.80(3) 2.37(3) 3.170(3) 171(3) 12
loop_
_geom_torsion_atom_site_label_1
_geom_torsion_atom_site_label_2
_geom_torsion_atom_site_label_3
_geom_torsion_atom_site_label_4
_geom_torsion
C1 S1 N1 C7 113.55(18)
)";

// The authors' tables: label 1-4, torsion angle; label D, H, A, the
// acceptor's site in the paper's operator numbering, D-H, H...A, D...A, angle.
const char* const kPublishedTorsions = R"(
C9 O1 C1 C6 -14.1(3)    C9 O1 C1 C8 -137.6(3)   C9 O1 C1 C2 101.9(3)    O1 C1 C2 C3 -50.5(4)
C6 C1 C2 C3 62.4(4)     C8 C1 C2 C3 -170.3(3)   C2 C3 C4 C5 39.5(5)     C3 C4 C5 C6 -55.9(4)
C3 C4 C5 C7 178.4(3)    C3 C4 C5 C9 53.8(4)     O1 C1 C6 C5 38.3(3)     C8 C1 C6 C5 158.2(3)
C2 C1 C6 C5 -76.9(3)    C7 C5 C6 C1 -167.7(3)   C4 C5 C6 C1 71.4(3)     C9 C5 C6 C1 -46.6(3)
C12 N1 C7 O3 -1.6(5)    C6 C5 C7 O3 170.4(3)    C6 C5 C7 N1 -11.7(4)    C9 C5 C7 N1 -126.0(3)
C1 C2 C3 C4 -41.3(4)    O1 C1 C8 O2 64.3(3)     C4 C5 C7 O3 -68.6(4)    C4 C5 C7 N1 109.3(3)
C12 N1 C7 C5 -179.5(3)  C9 C5 C7 O3 56.1(4)     C6 C1 C8 O2 -52.8(4)    C2 C1 C8 O2 -177.0(3)
C1 O1 C9 C11 103.0(3)   C1 O1 C9 C10 -139.0(3)  C1 O1 C9 C5 -15.4(3)    C6 C5 C9 O1 38.5(3)
C7 C5 C9 O1 162.1(3)    C4 C5 C9 O1 -76.0(3)    C6 C5 C9 C11 -77.0(3)   C7 C5 C9 C11 46.5(4)
C4 C5 C9 C11 168.5(3)   C6 C5 C9 C10 156.7(3)   C7 C5 C9 C10 -79.8(4)   C4 C5 C9 C10 42.2(4)
)";
const char* const kPublishedHbonds = R"(
O2 H2 O3 1_455 0.84 1.94 2.779(3) 179
N1 H1 O2 3_655 0.88 2.13 2.936(4) 152
C6 H6B O1 3_655 0.99 2.39 3.292(4) 152
)";

const char* const kPaperOperators[] = {"x,y,z", "-x,-y,z+1/2", "-y,x,z+1/4", "y,-x,z+3/4"};

double number(const std::string& text) { return std::stod(text.substr(0, text.find('('))); }

int decimals(const std::string& text) {
  const std::string value = text.substr(0, text.find('('));
  const std::size_t point = value.find('.');
  return point == std::string::npos ? 0 : static_cast<int>(value.size() - point - 1);
}

// Half a unit of the last printed digit.
double half_unit(const std::string& text) { return 0.5 * std::pow(10.0, -decimals(text)); }

// The value of `ours` with as many decimals as `published` prints, s.u. left off.
std::string to_digits_of(const std::string& published, const std::string& ours) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals(published), number(ours));
  return text;
}

// The authors computed from unrounded coordinates; the CIF's are rounded to
// 1e-4 of a cell edge, which moves a torsion angle by up to about 0.1 degree
// and a distance by up to about 0.001 A: the printed digits agree within one
// unit of the last. Against the same geometry computed by gemmi from the
// CIF's coordinates they agree to the last digit vortan prints.
void expect_same_digits(const std::string& ours, const std::string& published, double independent,
                        const std::string& what) {
  EXPECT_LE(std::fabs(number(ours) - number(published)), 2 * half_unit(published) + 1e-9)
      << what << ": vortan " << ours << ", published " << published;
  EXPECT_LE(std::fabs(number(ours) - independent), half_unit(ours) + 1e-9)
      << what << ": vortan " << ours << ", from the coordinates " << independent;
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> list;
  for (std::string w; in >> w;) list.push_back(w);
  return list;
}

struct Written {
  std::map<std::string, std::vector<std::string>> torsions;  // "A B C D" -> row
  std::map<std::string, std::vector<std::string>> hbonds;    // "D H A" -> row
  std::vector<std::string> operators;
};

Written read_geometry_cif(const std::filesystem::path& file) {
  Written written;
  gemmi::cif::Document doc = gemmi::cif::read_file(file.string());
  gemmi::cif::Block& block = doc.blocks.at(0);
  for (const std::string& xyz : block.find_loop("_space_group_symop_operation_xyz"))
    written.operators.push_back(gemmi::cif::as_string(xyz));
  // Rows by their labels, joined by blanks.
  auto rows = [](gemmi::cif::Table table, std::size_t labels, std::map<std::string, std::vector<std::string>>& out) {
    for (auto row : table) {
      std::vector<std::string> values(row.begin(), row.end());
      std::string key = values[0];
      for (std::size_t k = 1; k < labels; ++k) key += " " + values[k];
      out[key] = values;
    }
  };
  rows(block.find("_geom_torsion", {"_atom_site_label_1", "_atom_site_label_2", "_atom_site_label_3",
                                    "_atom_site_label_4", "", "_site_symmetry_1", "_site_symmetry_4", "_publ_flag"}),
       4, written.torsions);
  rows(block.find("_geom_hbond_", {"atom_site_label_D", "atom_site_label_H", "atom_site_label_A", "distance_DH",
                                   "distance_HA", "distance_DA", "angle_DHA", "site_symmetry_A", "publ_flag"}),
       3, written.hbonds);
  return written;
}

// The fractional position a site code gives an atom at `x`.
gemmi::Fractional site_position(const std::string& code, const std::vector<std::string>& operators,
                                const gemmi::Fractional& x) {
  if (code == ".") return x;
  const std::size_t bar = code.find('_');
  const gemmi::Op op = gemmi::parse_triplet(operators.at(std::stoul(code.substr(0, bar)) - 1));
  const auto moved = op.apply_to_xyz({x.x, x.y, x.z});
  return gemmi::Fractional(moved[0] + code[bar + 1] - '5', moved[1] + code[bar + 2] - '5',
                           moved[2] + code[bar + 3] - '5');
}

// Replaces the value of the record `key` of an experiment file (82-byte
// records) in place.
void set_record(const std::filesystem::path& file, const std::string& key, const std::string& value) {
  std::string bytes = read_file(file);
  for (std::size_t at = 0; at + 82 <= bytes.size(); at += 82)
    if (bytes.compare(at, key.size(), key) == 0) {
      std::string padded = value;
      padded.resize(68, ' ');
      bytes.replace(at + 12, 68, padded);
      write_file(file, bytes);
      return;
    }
  FAIL() << key << " not in " << file;
}

testing_support::RunResult vortan(const TempFolder& folder) {
  return run_program(VORTAN_BIN, {"P41", "--cif"}, folder.path(), "", {{"SOURCE_DATE_EPOCH", "0"}});
}

}  // namespace

TEST(BondGeometry, EveryPublishedTorsionAndHydrogenBondWithTheAuthorsDigits) {
  TempFolder folder;
  write_file(folder / "paper.cif", kPaper);
  ASSERT_EQ(run_program(CIF2EXP_BIN, {"paper.cif", "P41"}, folder.path()).exit_status, 0);
  // The authors' table has one C-H...O bond.
  set_record(folder / "P41.EXP", "  VRTN CDAT1", "DFLT DFLT DFLT DFLT DONR C/N/O");
  const auto run = vortan(folder);
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  const Written written = read_geometry_cif(folder / "P41_geom.cif");
  // Atoms of the paper, in Angstrom, optionally moved by a site code first.
  gemmi::cif::Document paper = gemmi::cif::read_string(kPaper);
  gemmi::cif::Block& block = paper.blocks[0];
  const gemmi::UnitCell cell(8.2616, 8.2616, 17.517, 90, 90, 90);
  gemmi::cif::Table atoms = block.find("_atom_site_", {"label", "fract_x", "fract_y", "fract_z"});
  auto position = [&](const std::string& label, const std::function<gemmi::Fractional(const gemmi::Fractional&)>& move) {
    const auto row = atoms.find_row(label);
    gemmi::Fractional x(number(row[1]), number(row[2]), number(row[3]));
    return cell.orthogonalize(move ? move(x) : x);
  };

  const std::vector<std::string> t = words(kPublishedTorsions);
  ASSERT_EQ(t.size(), 5u * 40);
  for (std::size_t k = 0; k < t.size(); k += 5) {
    // A torsion angle is the same read from either end.
    const std::string forward = t[k] + " " + t[k + 1] + " " + t[k + 2] + " " + t[k + 3];
    const std::string backward = t[k + 3] + " " + t[k + 2] + " " + t[k + 1] + " " + t[k];
    auto found = written.torsions.find(forward);
    if (found == written.torsions.end()) found = written.torsions.find(backward);
    ASSERT_NE(found, written.torsions.end()) << forward;
    EXPECT_EQ(found->second[5], ".") << forward;
    EXPECT_EQ(found->second[6], ".") << forward;
    gemmi::Position p[4];
    for (int a = 0; a < 4; ++a) p[a] = position(t[k + static_cast<std::size_t>(a)], nullptr);
    expect_same_digits(found->second[4], t[k + 4], gemmi::deg(gemmi::calculate_dihedral(p[0], p[1], p[2], p[3])),
                       forward);
  }

  const std::vector<std::string> h = words(kPublishedHbonds);
  for (std::size_t k = 0; k < h.size(); k += 8) {
    const std::string name = h[k] + " " + h[k + 1] + " " + h[k + 2];
    const auto found = written.hbonds.find(name);
    ASSERT_NE(found, written.hbonds.end()) << name;
    const std::vector<std::string>& row = found->second;
    // Our site code and the paper's put the acceptor in one place.
    const std::vector<std::string> paper_ops(std::begin(kPaperOperators), std::end(kPaperOperators));
    const gemmi::Position d = position(h[k], nullptr), hydrogen = position(h[k + 1], nullptr);
    const gemmi::Position ours = position(h[k + 2], [&](const gemmi::Fractional& x) {
      return site_position(row[7], written.operators, x);
    });
    const gemmi::Position theirs = position(h[k + 2], [&](const gemmi::Fractional& x) {
      return site_position(h[k + 3], paper_ops, x);
    });
    EXPECT_LT(ours.dist(theirs), 1e-6) << name << " " << row[7] << " and the paper's " << h[k + 3];
    expect_same_digits(row[3], h[k + 4], d.dist(hydrogen), name);
    expect_same_digits(row[4], h[k + 5], hydrogen.dist(theirs), name);
    expect_same_digits(row[5], h[k + 6], d.dist(theirs), name);
    expect_same_digits(row[6], h[k + 7], gemmi::deg(gemmi::calculate_angle(d, hydrogen, theirs)), name);
  }
}

TEST(BondGeometry, TorsionAndHydrogenBondWithEveryDigitOfTheAuthorsInFdd2) {
  TempFolder folder;
  write_file(folder / "paper.cif", kFdd2Paper);
  ASSERT_EQ(run_program(CIF2EXP_BIN, {"paper.cif", "FDD2"}, folder.path()).exit_status, 0);
  const auto run = run_program(VORTAN_BIN, {"FDD2", "--cif"}, folder.path(), "", {{"SOURCE_DATE_EPOCH", "0"}});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  const Written written = read_geometry_cif(folder / "FDD2_geom.cif");

  // C1-S1-N1-C7 113.55(18), listed from either end.
  auto torsion = written.torsions.find("C1 S1 N1 C7");
  if (torsion == written.torsions.end()) torsion = written.torsions.find("C7 N1 S1 C1");
  ASSERT_NE(torsion, written.torsions.end());
  EXPECT_EQ(to_digits_of("113.55(18)", torsion->second[4]), "113.55");

  // N1-H1...O1 to the acceptor at the paper's operator 12.
  ASSERT_EQ(written.hbonds.count("N1 H1 O1"), 1u);
  const std::vector<std::string>& row = written.hbonds.at("N1 H1 O1");
  EXPECT_EQ(row[7], "12_555");
  EXPECT_EQ(to_digits_of("0.80(3)", row[3]), "0.80");
  EXPECT_EQ(to_digits_of("2.37(3)", row[4]), "2.37");
  EXPECT_EQ(to_digits_of("3.170(3)", row[5]), "3.170");
  EXPECT_EQ(to_digits_of("171(3)", row[6]), "171");
}

TEST(BondGeometry, MarksOfTheirOwnFileSurviveRunsAndAFailedRun) {
  TempFolder folder;
  write_file(folder / "paper.cif", kPaper);
  ASSERT_EQ(run_program(CIF2EXP_BIN, {"paper.cif", "P41"}, folder.path()).exit_status, 0);
  ASSERT_EQ(vortan(folder).exit_status, 0);
  const std::string results = read_file(folder / "P41.VORTAN");
  std::string marks = read_file(folder / "P41.TORHB");
  // The third torsion record and the first hydrogen-bond record, marked.
  std::size_t torsion = 0;
  for (int k = 0; k < 3; ++k) torsion = marks.find("N 1 2", torsion + (k > 0 ? 1 : 0));
  const std::size_t hbond = marks.find("N 1 3");
  ASSERT_NE(torsion, std::string::npos);
  ASSERT_NE(hbond, std::string::npos);
  marks[torsion] = 'y';
  marks[hbond] = 'Y';
  write_file(folder / "P41.TORHB", marks);

  ASSERT_EQ(vortan(folder).exit_status, 0);
  std::string expected = marks;
  expected[torsion] = 'Y';
  EXPECT_EQ(read_file(folder / "P41.TORHB"), expected);
  EXPECT_EQ(read_file(folder / "P41.VORTAN"), results);  // its layout and content unchanged
  const Written written = read_geometry_cif(folder / "P41_geom.cif");
  int flagged = 0;
  for (const auto& [name, row] : written.torsions) flagged += row[7] == "yes";
  EXPECT_EQ(flagged, 1);
  EXPECT_EQ(written.hbonds.at("O2 H2 O3")[8], "yes");

  // A run that stops on a bad control record leaves the marks as they were.
  set_record(folder / "P41.EXP", "  VRTN CDAT1", "DFLT DFLT DFLT DFLT DONR Q");
  const auto failed = vortan(folder);
  EXPECT_NE(failed.out.find("\"Q\" is not an element symbol"), std::string::npos) << failed.out << failed.err;
  EXPECT_EQ(read_file(folder / "P41.TORHB"), expected);
  EXPECT_FALSE(std::filesystem::exists(folder / "P41.TORHB.new"));
}

// Marks every torsion record of a marks file; returns how many.
int mark_every_torsion(const std::filesystem::path& file) {
  std::string marks = read_file(file);
  int count = 0;
  for (std::size_t at = marks.find("N 1 2"); at != std::string::npos; at = marks.find("N 1 2", at + 1)) {
    marks[at] = 'Y';
    ++count;
  }
  write_file(file, marks);
  return count;
}

int count_of(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(BondGeometry, TorsControlLeavesOutChainsWithHydrogenOrEveryTorsionAndKeepsTheirMarks) {
  TempFolder folder;
  write_file(folder / "paper.cif", kPaper);
  ASSERT_EQ(run_program(CIF2EXP_BIN, {"paper.cif", "P41"}, folder.path()).exit_status, 0);
  // Without the word the CIF holds the chains without hydrogen, as papers
  // do, and the marks file every chain; TORS ALL puts every one in the CIF.
  ASSERT_EQ(vortan(folder).exit_status, 0);
  std::vector<std::string> by_default;
  for (const auto& [name, row] : read_geometry_cif(folder / "P41_geom.cif").torsions) by_default.push_back(name);
  const std::string every_chain = read_file(folder / "P41.TORHB");
  set_record(folder / "P41.EXP", "  VRTN CDAT1", "DFLT DFLT DFLT DFLT TORS ALL");
  ASSERT_EQ(vortan(folder).exit_status, 0);
  EXPECT_EQ(read_file(folder / "P41.TORHB"), every_chain);
  const Written all = read_geometry_cif(folder / "P41_geom.cif");
  // The paper's hydrogen atoms are the labels that begin with H.
  std::vector<std::string> without_hydrogen;
  for (const auto& [name, row] : all.torsions) {
    bool hydrogen = false;
    for (std::size_t k = 0; k < 4; ++k) hydrogen = hydrogen || row[k][0] == 'H';
    if (!hydrogen) without_hydrogen.push_back(name);
  }
  ASSERT_LT(without_hydrogen.size(), all.torsions.size());
  ASSERT_FALSE(without_hydrogen.empty());
  EXPECT_EQ(by_default, without_hydrogen);
  const int marked = mark_every_torsion(folder / "P41.TORHB");
  EXPECT_EQ(static_cast<std::size_t>(marked), all.torsions.size());
  // A marked chain with hydrogen is in the default CIF all the same.
  set_record(folder / "P41.EXP", "  VRTN CDAT1", "DFLT DFLT DFLT DFLT");
  ASSERT_EQ(vortan(folder).exit_status, 0);
  EXPECT_EQ(read_geometry_cif(folder / "P41_geom.cif").torsions.size(), all.torsions.size());

  set_record(folder / "P41.EXP", "  VRTN CDAT1", "DFLT DFLT DFLT DFLT TORS noh");
  ASSERT_EQ(vortan(folder).exit_status, 0);
  std::vector<std::string> listed;
  for (const auto& [name, row] : read_geometry_cif(folder / "P41_geom.cif").torsions) {
    listed.push_back(name);
    EXPECT_EQ(row[7], "yes") << name;
  }
  EXPECT_EQ(listed, without_hydrogen);
  // The chains left out keep their marks.
  EXPECT_EQ(count_of(read_file(folder / "P41.TORHB"), "Y 1 2"), marked);

  set_record(folder / "P41.EXP", "  VRTN CDAT1", "DFLT DFLT DFLT DFLT TORS NONE");
  std::filesystem::remove(folder / "P41.LST");
  ASSERT_EQ(vortan(folder).exit_status, 0);
  EXPECT_EQ(read_file(folder / "P41_geom.cif").find("_geom_torsion"), std::string::npos);
  const std::string listing = read_file(folder / "P41.LST");
  EXPECT_EQ(listing.find("Torsion angle"), std::string::npos);
  EXPECT_NE(listing.find("D-H...A"), std::string::npos);  // the hydrogen bonds stay
  EXPECT_EQ(count_of(read_file(folder / "P41.TORHB"), "Y 1 2"), marked);

  set_record(folder / "P41.EXP", "  VRTN CDAT1", "DFLT DFLT DFLT DFLT TORS ALL");
  ASSERT_EQ(vortan(folder).exit_status, 0);
  const Written again = read_geometry_cif(folder / "P41_geom.cif");
  EXPECT_EQ(again.torsions.size(), all.torsions.size());
  for (const auto& [name, row] : again.torsions) EXPECT_EQ(row[7], "yes") << name;

  set_record(folder / "P41.EXP", "  VRTN CDAT1", "DFLT DFLT DFLT DFLT TORS SOME");
  const auto refused = vortan(folder);
  EXPECT_NE(refused.exit_status, 0);
  EXPECT_NE(refused.out.find("The TORS value \"SOME\" of the control record \"  VRTN CDAT1\" is not ALL, NOH or NONE"),
            std::string::npos)
      << refused.out << refused.err;
}
