// The paper's own CIF as the numbering of the publication CIF's site codes:
// its origin when cif2exp moved it, its group by name only, a CIF changed
// since the conversion, and operator loops that cannot be used.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>

#include <gemmi/cif.hpp>
#include <gemmi/symmetry.hpp>

#include "recio/error.hpp"
#include "tests/support/run_program.hpp"
#include "report/paper_cif.hpp"

namespace {

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::run_program;
using testing_support::RunResult;
using testing_support::TempFolder;
using testing_support::write_file;

const std::array<double, 3> kCell = {6.1234, 7.2345, 8.3456};

// A structure in the setting `group` of gemmi's table, its operators in
// a loop or its name alone; Ni at the origin (multiplicity `ni_multiplicity`,
// "?" when that is no special position), O1 and N1 in general positions.
std::string paper_structure(const std::string& group, const std::array<double, 3>& cell, bool with_loop,
                            const std::string& block = "paper", const std::string& ni_multiplicity = "?") {
  char cell_text[200];
  std::snprintf(cell_text, sizeof cell_text,
                "\n_cell_length_a %.4f(5)\n_cell_length_b %.4f(6)\n_cell_length_c %.4f(7)\n", cell[0], cell[1],
                cell[2]);
  std::string cif = "data_" + block + cell_text + "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n";
  if (with_loop) {
    cif += "loop_\n_space_group_symop_id\n_space_group_symop_operation_xyz\n";
    int id = 0;
    for (const gemmi::Op& op : gemmi::find_spacegroup_by_name(group)->operations().all_ops_sorted())
      cif += std::to_string(++id) + " " + op.triplet() + "\n";
  } else {
    cif += "_space_group_name_H-M_alt '" + group + "'\n";
  }
  cif += "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
         "_atom_site_U_iso_or_equiv\n_atom_site_site_symmetry_multiplicity\n"
         "Ni1 0 0 0 0.010(1) " + ni_multiplicity + "\n"
         "O1 0.3600(2) 0.5700(3) 0.7000(3) 0.020(2) ?\n"
         "N1 0.4600(2) 0.1700(3) 0.3900(3) 0.020(2) ?\n";
  return cif;
}

// P n n n in origin choice 1 (International Tables A, No. 48: 2 2 2 at the
// origin, multiplicity 2).
std::string pnnn_origin1(bool with_loop, const std::string& block = "paper") {
  return paper_structure(with_loop ? "P n n n:1" : "P n n n :1", kCell, with_loop, block, "2");
}

using Xyz = std::array<double, 3>;

std::map<std::string, Xyz> paper_positions() {
  return {{"Ni1", {0, 0, 0}}, {"O1", {0.36, 0.57, 0.70}}, {"N1", {0.46, 0.17, 0.39}}};
}

double value_of(const std::string& text) { return std::stod(text.substr(0, text.find('('))); }

// Half the last printed place, and a little for the single-precision value.
double printed_tolerance(const std::string& text) {
  const std::string number = text.substr(0, text.find('('));
  const std::size_t point = number.find('.');
  const int decimals = point == std::string::npos ? 0 : static_cast<int>(number.size() - point - 1);
  return 0.5 * std::pow(10.0, -decimals) + 1e-5;
}

// Every bond of the publication CIF, its site code applied to the paper's
// own coordinates with the paper's own operators, gives the distance listed.
int check_bonds_in_paper_setting(const fs::path& geometry_cif, const std::array<double, 3>& cell = kCell) {
  gemmi::cif::Document document = gemmi::cif::read_file(geometry_cif.string());
  gemmi::cif::Block& block = document.blocks.at(0);
  std::map<std::string, gemmi::Op> ops;
  for (auto row : block.find("_space_group_symop_", {"id", "operation_xyz"}))
    ops[row.str(0)] = gemmi::parse_triplet(row.str(1));
  EXPECT_FALSE(ops.empty());
  const auto positions = paper_positions();
  int checked = 0;
  for (auto row : block.find("_geom_bond_", {"atom_site_label_1", "atom_site_label_2", "distance",
                                             "site_symmetry_2"})) {
    const std::string code = row.str(3);
    Xyz image = positions.at(row.str(1));
    if (code != ".") {
      const std::size_t bar = code.find('_');
      const gemmi::Op& op = ops.at(code.substr(0, bar));
      const std::array<double, 3> moved = op.apply_to_xyz(image);
      for (std::size_t i = 0; i < 3; ++i) image[i] = moved[i] + (code[bar + 1 + i] - '5');
    }
    const Xyz& from = positions.at(row.str(0));
    double length2 = 0;
    for (std::size_t i = 0; i < 3; ++i) length2 += std::pow((image[i] - from[i]) * cell[i], 2);
    const double length = std::sqrt(length2);
    EXPECT_NEAR(length, value_of(row.str(2)), printed_tolerance(row.str(2))) << row.str(0) << " " << row.str(1) << " " << code;
    ++checked;
  }
  return checked;
}

RunResult convert(const TempFolder& folder, const std::string& cif) {
  write_file(folder / "paper.cif", cif);
  RunResult run = run_program(CIF2EXP_BIN, {"paper.cif", "--dmax", "3.2", "--dagl", "2.2"}, folder.path());
  EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
  return run;
}

RunResult vortan(const TempFolder& folder, const std::string& option) {
  return run_program(VORTAN_BIN, {"PAPER", option}, folder.path(), "", {{"SOURCE_DATE_EPOCH", "0"}});
}

}  // namespace

TEST(PaperSetting, OriginChoiceOneSiteCodesAreThePapersOwn) {
  TempFolder folder;
  convert(folder, pnnn_origin1(true));
  EXPECT_NE(read_file(folder / "PAPER.CIFSRC").find("\nshift 1/4 1/4 1/4\n"), std::string::npos);
  for (const std::string option : {"--cif", "--cif=paper.cif"}) {
    const RunResult run = vortan(folder, option);
    ASSERT_EQ(run.exit_status, 0) << option << run.out << run.err;
    // The chemical bonds of the publication CIF, each checked against the paper's operators.
    EXPECT_GE(check_bonds_in_paper_setting(folder / "PAPER_geom.cif"), 4) << option;
  }
  // By name only: the operators of P n n n :1 from gemmi's table.
  convert(folder, pnnn_origin1(false));
  const RunResult run = vortan(folder, "--cif");
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_GE(check_bonds_in_paper_setting(folder / "PAPER_geom.cif"), 4);
  EXPECT_NE(read_file(folder / "PAPER_geom.cif").find("(the operators of P n n n :1)"), std::string::npos);
}

TEST(PaperSetting, OtherSettingsWithAnotherOriginNumberAsThePaper) {
  // Settings whose origin cif2exp moves to the one its symbols give; the
  // paper's operators and coordinates check every bond.
  const std::pair<const char*, std::array<double, 3>> settings[] = {
      {"F d d d:1", {8.123, 9.234, 10.345}},
      {"I 41/a:1", {7.123, 7.123, 9.345}},
      {"C c c a:1", {7.123, 8.234, 9.345}},
      {"P 21 n m", {6.123, 7.234, 8.345}},
  };
  for (const auto& [group, cell] : settings) {
    TempFolder folder;
    convert(folder, paper_structure(group, cell, true));
    const RunResult run = vortan(folder, "--cif");
    ASSERT_EQ(run.exit_status, 0) << group << run.out << run.err;
    EXPECT_GE(check_bonds_in_paper_setting(folder / "PAPER_geom.cif", cell), 2) << group;
    EXPECT_NE(read_file(folder / "PAPER.CIFSRC").find("\nshift "), std::string::npos) << group;
  }
}

TEST(PaperSetting, ACifChangedSinceTheConversionIsNamedAndTheRunGoesOn) {
  TempFolder folder;
  convert(folder, pnnn_origin1(true));
  const std::string other_group = "data_paper\nloop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\n-x,-y,-z\n";
  for (const std::string& changed :
       {pnnn_origin1(true, "renamed"), std::string("data_paper\n_cell_length_a 6.1\n"), other_group}) {
    write_file(folder / "paper.cif", changed);
    for (const std::string option : {"--cif", "--cif=paper.cif"}) {
      const RunResult run = vortan(folder, option);
      ASSERT_EQ(run.exit_status, 0) << option << run.out << run.err;
      EXPECT_NE(run.out.find(changed == other_group ? "named in PAPER.CIFSRC has changed since the conversion"
                                                    : "PAPER.CIFSRC names data_paper"),
                std::string::npos) << run.out;
      EXPECT_NE(run.out.find("vortan's own operator list"), std::string::npos) << run.out;
      EXPECT_EQ(read_file(folder / "PAPER_geom.cif").find("Site codes numbered as the operators of"), std::string::npos);
    }
  }
}

TEST(PaperSetting, OperatorsAndIdsThatCannotBeUsedAreRefusedByName) {
  TempFolder folder;
  const std::string head = "data_p\nloop_\n_space_group_symop_id\n_space_group_symop_operation_xyz\n";
  const std::pair<std::string, std::string> cases[] = {
      {"1 x,y,z\n99999999999 -x,-y,-z\n", "the operator id 99999999999 (of -x,-y,-z) is not from 1 to 9999"},
      {"0 x,y,z\n1 -x,-y,-z\n", "the operator id 0 (of x,y,z) is not from 1 to 9999"},
      {"1 x,y,z\n1 -x,-y,-z\n", "the operator id 1 is given twice"},
      {"a x,y,z\n1 -x,-y,-z\n", "the operator ids mix numbers and names"},
      {"1 x+10000000000,y,z\n", "a translation beyond 100 cells"},
      {"1 1e300*x,y,z\n", "a coefficient beyond 12"},
      {"1 x+x+x+x+x+x+x+x+x+x+x+x+x,y,z\n", "a coefficient beyond 12"},
  };
  for (const auto& [loop, message] : cases) {
    write_file(folder / "p.cif", head + loop);
    try {
      vesk::read_paper_cif((folder / "p.cif").string());
      ADD_FAILURE() << loop;
    } catch (const vesk::Error& error) {
      EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
    }
  }
  // NAME.CIFSRC's shift: fractions of 1/24, and nothing else.
  write_file(folder / "X.CIFSRC", "cif /p.cif\nblock b\nshift 1/8 0 -1/4\n");
  EXPECT_EQ(vesk::read_cif_source((folder / "X.CIFSRC").string())->shift, (vesk::OriginShift24{3, 0, -6}));
  for (const char* bad : {"shift 1/5 0 0", "shift 1/8 0", "shift 1-8 0 0", "shift 3/2 0 0"}) {
    write_file(folder / "X.CIFSRC", "cif /p.cif\nblock b\n" + std::string(bad) + "\n");
    EXPECT_THROW(vesk::read_cif_source((folder / "X.CIFSRC").string()), vesk::Error) << bad;
  }
  // A folder or a missing file: what it is and the system's reason.
  try {
    vesk::read_paper_cif(folder.path().string());
    ADD_FAILURE();
  } catch (const vesk::Error& error) {
    EXPECT_NE(std::string(error.what()).find("is a folder; name the paper's CIF file"), std::string::npos)
        << error.what();
  }
  try {
    vesk::read_paper_cif((folder / "none.cif").string());
    ADD_FAILURE();
  } catch (const vesk::Error& error) {
    EXPECT_NE(std::string(error.what()).find("No such file or directory"), std::string::npos) << error.what();
  }
}
