// cif2exp on a published block that embeds its refinement's instructions
// and reflections (COD 1550236, tests/data/published): the full covariance
// with the paper's R1 and the CIF's coordinate s.u.'s, riding hydrogen
// atoms on their pivots' variables and without s.u.'s in vortan's CIF; and
// every reason the full covariance cannot be given, named on the terminal
// and in NAME.CIFSRC, with the diagonal one written instead. And a published
// inversion twin with the paper's parameter count, R1 and twin fraction, and
// a rigid hexagon (nosphera2_malbac) against the paper's s.u.'s of its atoms.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include <gemmi/cif.hpp>
#include <gemmi/numb.hpp>

#include "cif2exp/cif_structure.hpp"
#include "cif2exp/conversion.hpp"
#include "cif2exp/full_covariance.hpp"
#include "cif2exp/res_instructions.hpp"
#include "expfile/covariance.hpp"
#include "tests/support/run_program.hpp"

namespace {

using testing_support::read_file;
using testing_support::run_program;
using testing_support::RunResult;
using testing_support::TempFolder;
using testing_support::write_file;

const std::string kPaper = std::string(TEST_DATA_DIR) + "/published/cod_1550236.cif.gz";

std::string gunzipped(const std::string& path) {
  TempFolder folder;
  const RunResult gunzip = run_program("/bin/gzip", {"-dc", path}, folder.path());
  EXPECT_EQ(gunzip.exit_status, 0) << gunzip.err;
  return gunzip.out;
}

std::string paper_text() {
  static const std::string text = gunzipped(kPaper);
  return text;
}

RunResult cif2exp(const TempFolder& folder, const std::string& cif, std::vector<std::string> args = {}) {
  write_file(folder / "paper.cif", cif);
  args.insert(args.begin(), {"paper.cif", "P"});
  return run_program(CIF2EXP_BIN, args, folder.path());
}

// The text field of `tag` (between its two ";" lines), or the CIF without it.
std::string text_field(const std::string& cif, const std::string& tag) {
  const std::size_t start = cif.find(tag + "\n;");
  const std::size_t open = cif.find('\n', start) + 2;
  return cif.substr(open, cif.find("\n;", open) - open);
}
std::string without_field(const std::string& cif, const std::string& tag) {
  const std::size_t start = cif.find(tag + "\n;");
  const std::size_t end = cif.find("\n;", cif.find('\n', start) + 2) + 2;
  return cif.substr(0, start) + cif.substr(end);
}
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return text.replace(at, from.size(), to);
}

vesk::CovarianceData covariance(const TempFolder& folder) {
  vesk::CovarianceData data;
  std::string problem;
  EXPECT_EQ(vesk::read_covariance_file(21, (folder / "P.CMT").string(), data, problem), vesk::CovarianceRead::Ok)
      << problem;
  vesk::index_constraints(data);
  return data;
}

int position(const vesk::CovarianceData& data, int record, const std::string& parameter) {
  const std::string name = cif2exp::parameter_name(record, parameter);
  for (int p = 0; p < data.nname; ++p)
    if (data.names[static_cast<std::size_t>(p)] == name) return p + 1;
  return 0;
}

TEST(FullCovariance, PublishedBlockGivesTheCovarianceOfItsRefinement) {
  TempFolder folder;
  const RunResult run = cif2exp(folder, paper_text());
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find("P.CMT: full covariance of 211 parameters from 4,797 reflections (R1 0.0778, paper 0.0778; "
                         "GooF 1.13"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("11,831 read, 14 omitted; 4,797 unique (3,253 with Fo^2 > 2s)"), std::string::npos) << run.out;
  const std::string source = read_file(folder / "P.CIFSRC");
  EXPECT_NE(source.find("\nriding H2A C2\n"), std::string::npos) << source;
  EXPECT_NE(source.find("\n# P.CMT: full covariance of 211 parameters"), std::string::npos) << source;

  // Every atom variable, with its correlations: the full upper triangle.
  const vesk::CovarianceData data = covariance(folder);
  EXPECT_EQ(data.nvar, 23 * 9);
  EXPECT_EQ(data.band, 0);
  EXPECT_EQ(data.nmat, data.nvar * (data.nvar + 1) / 2);

  // The CIF's coordinate s.u.'s are this covariance's, to their printed digit.
  gemmi::cif::Document document = gemmi::cif::read_string(paper_text());
  const cif2exp::CifStructure paper = cif2exp::read_cif_structure(document.blocks[0], "paper.cif");
  std::map<std::string, int> record;
  for (std::size_t n = 0; n < paper.atoms.size(); ++n) record[paper.atoms[n].label] = static_cast<int>(n + 1);
  int met = 0, compared = 0;
  double largest_correlation = 0;
  static const char* const axes[3] = {"X", "Y", "Z"};
  for (const cif2exp::CifAtom& atom : paper.atoms)
    for (int i = 0; i < 3; ++i) {
      const double su = atom.x[static_cast<std::size_t>(i)].su;
      if (su == 0) continue;
      const int p = position(data, record[atom.label], axes[i]);
      ASSERT_GT(p, 0) << atom.label;
      const double ours = std::sqrt(vesk::COVEL(data, p, p));
      ++compared;
      met += std::fabs(ours - su) <= 1.5 * atom.x[static_cast<std::size_t>(i)].last_place ? 1 : 0;
      const int q = position(data, record["C1"], "X");
      if (q != p)
        largest_correlation = std::max(largest_correlation, std::fabs(double{vesk::COVEL(data, p, q)}) /
                                                                std::sqrt(double{vesk::COVEL(data, p, p)} * vesk::COVEL(data, q, q)));
    }
  EXPECT_EQ(compared, 23 * 3);
  EXPECT_GE(met, compared * 9 / 10);
  EXPECT_GT(largest_correlation, 0.1);  // a diagonal covariance has none

  // A riding hydrogen atom moves with its pivot: the same variables.
  const int h = position(data, record["H4"], "X"), c = position(data, record["C4"], "X");
  EXPECT_FLOAT_EQ(vesk::COVEL(data, h, c), vesk::COVEL(data, c, c));
  EXPECT_EQ(position(data, record["H4"], "UISO"), 0);  // constrained, not refined

  // vortan's CIF: the paper's bond s.u.'s, the riding ones without.
  const RunResult vortan = run_program(VORTAN_BIN, {"P", "--cif"}, folder.path());
  ASSERT_EQ(vortan.exit_status, 0) << vortan.err;
  const std::string rows = read_file(folder / "P_geom.cif");
  EXPECT_NE(rows.find("C1  C9   1.529(4) ."), std::string::npos);
  // AFIX 43 puts H4 at 0.95 A from C4, as the paper's own bond loop has it.
  EXPECT_NE(rows.find("C4  H4   0.95     ."), std::string::npos);
  EXPECT_NE(read_file(folder / "P.LST").find("rows with a riding atom are written in the CIF without s.u.'s"),
            std::string::npos);
}

TEST(FullCovariance, TheCifToSubmitIsThePapersBlockWithItsOwnBondsAndAngles) {
  TempFolder folder;
  ASSERT_EQ(cif2exp(folder, paper_text()).exit_status, 0);
  const RunResult vortan = run_program(VORTAN_BIN, {"P", "--cif=paper.cif"}, folder.path());
  ASSERT_EQ(vortan.exit_status, 0) << vortan.out << vortan.err;
  gemmi::cif::Document paper = gemmi::cif::read_string(paper_text());
  gemmi::cif::Document ours = gemmi::cif::read_string(read_file(folder / "P_paper.cif"));
  ASSERT_EQ(ours.blocks.size(), 1u);
  gemmi::cif::Block& theirs = paper.blocks.at(0);
  gemmi::cif::Block& block = ours.blocks.at(0);
  EXPECT_EQ(block.name, theirs.name);
  // Every item but the geometry loops as it was.
  for (const char* tag : {"_cell_length_a", "_refine_ls_R_factor_gt", "_chemical_formula_sum"})
    EXPECT_EQ(*block.find_value(tag), *theirs.find_value(tag)) << tag;
  EXPECT_EQ(block.find_values("_atom_site_label").length(), theirs.find_values("_atom_site_label").length());
  // Our rows against the paper's, by their atoms and site codes: bonds and
  // angles, each published value within one unit of the paper's last digit.
  struct Kind {
    std::string prefix;
    std::vector<std::string> tags;
    std::size_t value;  // the value's column; the columns before it name the row
  };
  const Kind kinds[] = {
      {"_geom_bond_", {"atom_site_label_1", "atom_site_label_2", "?site_symmetry_2", "distance"}, 3},
      {"_geom_angle_", {"atom_site_label_1", "atom_site_label_2", "atom_site_label_3", "site_symmetry_1",
                        "site_symmetry_3"}, 5},
  };
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.prefix);
    auto rows_of = [&](gemmi::cif::Block& b) {
      std::map<std::string, double> rows;
      gemmi::cif::Table table = kind.prefix == "_geom_angle_"
                                    ? b.find("_geom_angle", {"_atom_site_label_1", "_atom_site_label_2",
                                                             "_atom_site_label_3", "?_site_symmetry_1",
                                                             "?_site_symmetry_3", ""})
                                    : b.find(kind.prefix, kind.tags);
      for (auto row : table) {
        std::string key;
        // A paper whose rows are all in the asymmetric unit has no site
        // symmetry columns.
        std::vector<std::string> cells;
        for (std::size_t c = 0; c < kind.value; ++c)
          cells.push_back(row.has2(static_cast<int>(c)) ? row[static_cast<int>(c)] : std::string("."));
        if (kind.value == 5) {  // an angle read from either end
          const std::string first = cells[0] + " " + cells[3], last = cells[2] + " " + cells[4];
          key = std::min(first, last) + " " + cells[1] + " " + std::max(first, last);
        } else {
          for (const std::string& cell : cells) key += cell + " ";
        }
        rows[key] = gemmi::cif::as_number(row[kind.value]);
      }
      return rows;
    };
    const std::map<std::string, double> published = rows_of(theirs), written = rows_of(block);
    ASSERT_GT(published.size(), 10u);
    std::size_t found = 0;
    for (const auto& [key, value] : published)
      if (const auto at = written.find(key); at != written.end()) {
        ++found;
        EXPECT_NEAR(at->second, value, kind.value == 3 ? 0.0025 : 0.25) << key;  // the CIF rounds the coordinates
      }
    // At least 95% of the paper's rows are ours, and 90% of ours the paper's.
    EXPECT_GE(found * 100, published.size() * 95) << found << " of " << published.size();
    EXPECT_GE(found * 100, written.size() * 90) << found << " of " << written.size();
  }
}

TEST(FullCovariance, AModelThatAsksForLargeShiftsIsAWarningWithTwoMoreCycles) {
  TempFolder folder;
  const RunResult run = cif2exp(folder, replaced(paper_text(), "FVAR       0.31576", "FVAR       0.32076"));
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find("P.CMT: full covariance of 211 parameters"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("warning: largest shift/s.u. of a cycle from the published parameters: 3.7"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("after 3 cycles from the published parameters the largest shift/s.u. is 0.0"),
            std::string::npos)
      << run.out;
}

TEST(FullCovariance, EveryFallbackNamesItsReason) {
  const std::string paper = paper_text();
  struct Case {
    std::string cif;
    std::vector<std::string> args;
    std::string reason;
    std::string named_file = "", its_text = "";  // a file the arguments name, a folder when its name ends in "/"
  };
  const Case cases[] = {
      {replaced(paper, "FVAR       0.31576", "CHIV C1\nFVAR       0.31576"), {},
       "the instructions use what cif2exp does not rebuild yet: CHIV (line 21)"},
      {paper, {"--diagonal"}, "--diagonal"},
      {without_field(paper, "_shelx_res_file"), {}, "the block carries no refinement instructions (_shelx_res_file); give --res"},
      {without_field(paper, "_shelx_hkl_file"), {}, "the block carries no reflections"},
      {replaced(paper, "C1    1    0.417913", "C1    1    0.427913"), {},
       "atom C1: the instructions place it at x = 0.427913, the CIF at 0.4179"},
      {replaced(paper, "FVAR       0.31576", "FVAR       0.36576"), {},
       "R1 0.1733 of the model rebuilt from the instructions is far from the paper's 0.0778"},
      {replaced(paper, "CELL 0.71073   9.74380", "CELL 0.71073   9.84380"), {}, "the instructions' cell (a = 9.8438) is not the CIF's (9.7438)"},
      {replaced(paper, "C15   1    0.348400", "C99   1    0.348400"), {}, "atom C15 of the CIF is not in the instructions"},
      {paper, {"--res", "nothing.res"}, "cannot read nothing.res"},
      {paper, {"--hkl", "data.hkl"}, "data.hkl is a folder, not a file", "data.hkl/"},
      {paper, {"--res", "x.res"}, "x.res is empty", "x.res", " \n\n"},
      {paper, {"--fcf", "x.fcf"}, "x.fcf is not a text file (the byte 0x00 at offset 5)", "x.fcf", std::string("data_\0\x7f", 7)},
      {replaced(paper, "FVAR       0.31576", "TWIN\nBASF 0.3 0.2\nFVAR       0.31576"), {},
       "TWIN with 2 domains needs 1 BASF fractions, the instructions give 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    TempFolder folder;
    if (c.named_file.ends_with("/"))
      std::filesystem::create_directory(folder / c.named_file);
    else if (!c.named_file.empty())
      write_file(folder / c.named_file, c.its_text);
    const RunResult run = cif2exp(folder, c.cif, c.args);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.out.find("diagonal covariance, without correlations: " + c.reason), std::string::npos) << run.out;
    EXPECT_NE(read_file(folder / "P.CIFSRC").find("# P.CMT: diagonal, from the CIF's s.u.'s (" + c.reason),
              std::string::npos);
    const vesk::CovarianceData data = covariance(folder);
    EXPECT_EQ(data.nvar, 23 * 9);  // the non-hydrogen atoms' coordinates and Uij, as the CIF prints their s.u.'s
    EXPECT_EQ(vesk::matrix_element(data, 1, 2), 0.0f);
  }
}

TEST(FullCovariance, AnInversionTwinAsThePaperRefinedIt) {
  // An organosilicon compound in C c refined as an inversion twin (TWIN, BASF
  // 0.15695), disordered, its restraints naming atoms with part suffixes
  // (N4A^a); its SAME instructions left out here, which leaves R1 and the
  // parameters as they are. The paper: 652 parameters with the twin
  // fraction, R1 0.0340, and the fraction as the Flack parameter 0.16(10).
  std::string cif = gunzipped(std::string(TEST_DATA_DIR) + "/published/cifvis_twin_cc.cif.gz");
  for (std::size_t at = cif.find("\nSAME "); at != std::string::npos; at = cif.find("\nSAME ", at))
    cif.erase(at + 1, cif.find('\n', at + 1) - at);
  TempFolder folder;
  const RunResult run = cif2exp(folder, cif);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find("full covariance of 652 parameters from 11,096 reflections (R1 0.0340, paper 0.0340;"),
            std::string::npos)
      << run.out;
  const std::size_t twin = run.out.find("twin fraction of domain 2: 0.15695 (s.u. ");
  ASSERT_NE(twin, std::string::npos) << run.out;
  const double su = std::stod(run.out.substr(twin + 41));
  EXPECT_GE(su, 0.095);  // the paper's 0.16(10); without the Friedel rule 0.068
  EXPECT_LT(su, 0.105);
  EXPECT_NE(run.out.find("Friedel opposites counted as one reflection"), std::string::npos);
}

// A Pd complex refined by olex2.refine (an fcf only) with a disordered
// phenyl ring as a rigid hexagon whose first atom stays in place: the
// paper's parameter count and R1, the ring atoms' coordinate s.u.'s near
// the paper's (the whole block's run some 9% above them), none for the
// fixed atom, and bonds within the ring with no s.u. but the cell's.
TEST(FullCovariance, RigidHexagonTurnsAboutItsFixedFirstAtom) {
  TempFolder folder;
  const RunResult gunzip =
      run_program("/bin/gzip", {"-dc", std::string(TEST_DATA_DIR) + "/published/nosphera2_malbac.cif.gz"}, folder.path());
  ASSERT_EQ(gunzip.exit_status, 0) << gunzip.err;
  const RunResult run = cif2exp(folder, gunzip.out);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find("P.CMT: full covariance of 339 parameters from 7,595 reflections (R1 0.0449, paper 0.0449; "
                         "GooF 0.907, paper 0.907)"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("AFIX 66 (line 162): its first atom C10 has a fixed coordinate: the group turns about it"),
            std::string::npos);

  const vesk::CovarianceData data = covariance(folder);
  gemmi::cif::Document document = gemmi::cif::read_string(gunzip.out);
  const cif2exp::CifStructure paper = cif2exp::read_cif_structure(document.blocks[0], "paper.cif");
  std::map<std::string, int> record;
  for (std::size_t n = 0; n < paper.atoms.size(); ++n) record[paper.atoms[n].label] = static_cast<int>(n + 1);
  static const char* const axes[3] = {"X", "Y", "Z"};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(position(data, record["C10"], axes[i]), 0);
  int compared = 0;
  for (const cif2exp::CifAtom& atom : paper.atoms) {
    if (atom.label != "C11" && atom.label != "C13" && atom.label != "C4" && atom.label != "C25" && atom.label != "C26") continue;
    for (int i = 0; i < 3; ++i) {
      const int p = position(data, record[atom.label], axes[i]);
      ASSERT_GT(p, 0) << atom.label;
      const double ratio = std::sqrt(vesk::COVEL(data, p, p)) / atom.x[static_cast<std::size_t>(i)].su;
      EXPECT_GT(ratio, 0.85) << atom.label << " " << axes[i];
      EXPECT_LT(ratio, 1.3) << atom.label << " " << axes[i];
      ++compared;
    }
  }
  EXPECT_EQ(compared, 15);

  const RunResult vortan = run_program(VORTAN_BIN, {"P", "--cif"}, folder.path());
  ASSERT_EQ(vortan.exit_status, 0) << vortan.err;
  const std::string rows = read_file(folder / "P_geom.cif");
  EXPECT_NE(rows.find("C10 C11  1.3904(3)"), std::string::npos) << rows;  // the cell's s.u. alone
  EXPECT_NE(rows.find("C4  C25  1.3893(3)"), std::string::npos);
  EXPECT_NE(rows.find("C10 C27  1.330(8)"), std::string::npos);       // the paper's 1.329(9)
}

std::string published_text(const std::string& name) {
  return gunzipped(std::string(TEST_DATA_DIR) + "/published/" + name);
}

// Restraints counted as the papers count them (_refine_ls_number_restraints,
// SHELXL's): n distances restrained equal are n (n - 1) / 2 restraints, and
// sets of equal distances with one s.u. that share a distance are one set
// (xharpy_cpna: 18 SADI of two distances each, 21 restraints).
TEST(FullCovariance, EqualDistancesCountAsThePapersCountThem) {
  const std::pair<const char*, const char*> blocks[] = {
      {"bestcsp_mce_mecn_293k.cif.gz", "restraints: 40, paper 40;"},
      {"xharpy_cpna.cif.gz", "restraints: 21, paper 21;"},
      {"cod_2238212.cif.gz", "restraints: 4, paper 4;"},
      {"olex2_timmy.cif.gz", "restraints: 4, paper 4;"},
  };
  for (const auto& [name, count] : blocks) {
    TempFolder folder;
    const RunResult run = cif2exp(folder, published_text(name));
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.out.find("P.CMT: full covariance"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(count), std::string::npos) << name << "\n" << run.out;
  }
}

// SAME against its 1,2 and 1,3 distances written out by hand as SADI
// (finalcif_sad: N1 > C3 is N1 C1 C2 C3, bonded N1-C3, C3-C2, C2-C1, with
// N1...C2 and C3...C1 across; the same for N2 > C14): the same covariance,
// R1 the paper's.
TEST(FullCovariance, SameIsItsDistancesRestrainedEqual) {
  const std::string paper = published_text("finalcif_sad.cif.gz");
  std::string by_hand = replaced(paper, "SAME N1 > C3\n", "");
  by_hand = replaced(by_hand, "SAME N2 > C14\n", "");
  by_hand = replaced(by_hand, "SADI N1 P1 N1' P1\n",
                     "SADI N1 P1 N1' P1\nSADI N1 C3 N1' C3'\nSADI C3 C2 C3' C2'\nSADI C2 C1 C2' C1'\n"
                     "SADI 0.04 N1 C2 N1' C2'\nSADI 0.04 C3 C1 C3' C1'\n");
  by_hand = replaced(by_hand, "SADI N2 P2 N2' P2\n",
                     "SADI N2 P2 N2' P2\nSADI N2 C14 N2' C14'\nSADI C14 C13 C14' C13'\nSADI C13 C12 C13' C12'\n"
                     "SADI 0.04 N2 C13 N2' C13'\nSADI 0.04 C14 C12 C14' C12'\n");
  TempFolder same, sadi;
  const RunResult run = cif2exp(same, paper), hand = cif2exp(sadi, by_hand);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  ASSERT_EQ(hand.exit_status, 0) << hand.err;
  EXPECT_NE(run.out.find("P.CMT: full covariance of 287 parameters from 5,352 reflections (R1 0.0308, paper 0.0308"),
            std::string::npos)
      << run.out;
  const vesk::CovarianceData a = covariance(same), b = covariance(sadi);
  ASSERT_EQ(a.matrix.size(), b.matrix.size());
  for (std::size_t k = 0; k < a.matrix.size(); ++k)
    ASSERT_NEAR(a.matrix[k], b.matrix[k], 1e-5f * std::fabs(b.matrix[k]) + 1e-12f) << "element " << k;
}

// Residues (finalcif_p21c: three disordered [OC(CF3)3] groups of class
// CCF3 with SADI_CCF3, SIMU_CCF3, RIGU_CCF3 and SAME_CCF3, SADI Al1 O1_*,
// one more of class CF3): the atoms as the CIF labels them (O1_1), the
// paper's R1.
TEST(FullCovariance, ResiduesAndTheirClassesRestraints) {
  TempFolder folder;
  const RunResult run = cif2exp(folder, published_text("finalcif_p21c.cif.gz"));
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find("P.CMT: full covariance of 945 parameters from 10,786 reflections (R1 0.0400, paper 0.0400"),
            std::string::npos)
      << run.out;
  EXPECT_NE(read_file(folder / "P.CIFSRC").find("O1_1"), std::string::npos);
}

// SHELXL lists the sets of distances it holds equal after END ("SADI
// restraints, including those derived from SAME"): cifvis_twin_cc's 45
// sets (SAME over a disordered ligand swapped between its two parts, SADI
// with part suffixes, pairs of two parts left out) are ours, set for set.
TEST(FullCovariance, EqualDistanceSetsAreTheOnesShelxlLists) {
  gemmi::cif::Document document = gemmi::cif::read_string(published_text("cifvis_twin_cc.cif.gz"));
  const gemmi::cif::Block& block = document.blocks.at(0);
  const std::string res_text = gemmi::cif::as_string(*block.find_value("_shelx_res_file"));
  std::vector<std::string> notes;
  const lsq::Model model = cif2exp::refinement_model(cif2exp::read_res_instructions(res_text, "paper.cif"), block, notes);

  using Set = std::pair<double, std::set<std::set<std::string>>>;  // s.u. and the label pairs
  auto bare = [](std::string label) {
    label = label.substr(0, label.find('^'));
    for (char& c : label) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return label;
  };
  std::set<Set> ours, listed;
  for (const lsq::Restraint& r : model.restraints) {
    if (r.kind != lsq::RestraintKind::EqualDistances) continue;
    Set set{r.sigma, {}};
    for (std::size_t k = 0; k + 1 < r.atoms.size(); k += 2)
      set.second.insert({bare(model.atoms[static_cast<std::size_t>(r.atoms[k])].label),
                         bare(model.atoms[static_cast<std::size_t>(r.atoms[k + 1])].label)});
    ours.insert(set);
  }
  std::istringstream lines(res_text.substr(res_text.find("SADI restraints, including those derived from SAME")));
  std::string line, words;
  std::getline(lines, line);
  auto take = [&] {
    std::istringstream in(words);
    std::string keyword, a, b;
    Set set{0, {}};
    in >> keyword >> set.first;
    while (in >> a >> b) set.second.insert({bare(a), bare(b)});
    listed.insert(set);
    words.clear();
  };
  while (std::getline(lines, line) && !line.empty()) {
    if (line.rfind("SADI", 0) == 0 && !words.empty()) take();
    words += " " + line.substr(0, line.find('='));
  }
  take();
  EXPECT_EQ(listed.size(), 45u);
  EXPECT_EQ(ours, listed);
}

TEST(FullCovariance, InstructionsAndReflectionsNamedOnTheCommandLine) {
  const std::string paper = paper_text();
  TempFolder folder;
  write_file(folder / "x.res", text_field(paper, "_shelx_res_file"));
  write_file(folder / "x.hkl", text_field(paper, "_shelx_hkl_file"));
  const std::string bare = without_field(without_field(paper, "_shelx_res_file"), "_shelx_hkl_file");
  RunResult run = cif2exp(folder, bare, {"--res", "x.res", "--hkl", "x.hkl"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find("P.CMT: full covariance of 211 parameters from 4,797 reflections (R1 0.0778"),
            std::string::npos)
      << run.out;
  run = cif2exp(folder, bare, {"--res", "x.res", "--diagonal"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("--diagonal leaves the refinement aside"), std::string::npos) << run.err;
}

}  // namespace
