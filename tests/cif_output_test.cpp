// The publication CIF: operators in GENEQ order checked against GENEQ and
// gemmi's tables, the n_klm codes, value(s.u.) text, quoting, and whole data
// blocks read back with gemmi's CIF reader.
#include "report/cif_output.hpp"

#include <gemmi/calculate.hpp>
#include <gemmi/cif.hpp>
#include <gemmi/numb.hpp>
#include <gemmi/symmetry.hpp>
#include <gemmi/unitcell.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "crystal/equivalent_positions.hpp"
#include "recio/fixed_text.hpp"
#include "support/expfile_builder.hpp"
#include "support/run_program.hpp"
#include "tests/support/groups.hpp"
#include "geometry/image_grid.hpp"
#include "report/paper_cif.hpp"
#include "report/rows.hpp"

namespace vesk {
namespace {

using testing_support::valid_group;


std::array<double, 3> apply(const gemmi::Op& op, const Vec3& x) {
  return op.apply_to_xyz({x[0], x[1], x[2]});
}

// An operator in integers with its translation in 24ths taken modulo 1.
using OpKey = std::tuple<std::array<int, 9>, std::array<int, 3>>;
OpKey wrapped(const gemmi::Op& op) {
  OpKey key;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) std::get<0>(key)[static_cast<std::size_t>(3 * i + j)] = op.rot[i][j] / gemmi::Op::DEN;
    std::get<1>(key)[static_cast<std::size_t>(i)] = ((op.tran[i] % gemmi::Op::DEN) + gemmi::Op::DEN) % gemmi::Op::DEN;
  }
  return key;
}

TEST(CifOperators, FollowGeneqOrderAndMatchTheInternationalTables) {
  // gemmi's name of the same setting; centric groups with the origin at -1.
  const std::pair<const char*, const char*> groups[] = {
      {"P 21/c", "P 1 21/c 1"}, {"P 32 2 1", "P 32 2 1"}, {"F d -3 m", "F d -3 m:2"},
      {"R -3 m", "R -3 m:H"},   {"I 41/a", "I 41/a:2"},   {"C m c m", "C m c m"},
  };
  const Vec3 general{0.1234f, 0.3456f, 0.7891f};
  for (const auto& [symbol, reference] : groups) {
    SCOPED_TRACE(symbol);
    const SpaceGroupInfo group = valid_group(symbol);
    const std::vector<CifOperator> operators = generation_operators(group);
    ASSERT_EQ(static_cast<int>(operators.size()), group.general_multiplicity());

    // GENEQ in comparison mode keeps every candidate in generation order:
    // row k of the loop must put the point where GENEQ's k-th candidate is.
    EquivalentPositions positions;
    GENEQ(general, group, GeneqMode::Comparison, positions);
    ASSERT_EQ(positions.size(), operators.size());
    std::set<OpKey> written;
    for (std::size_t k = 0; k < operators.size(); ++k) {
      const gemmi::Op op = gemmi::parse_triplet(operator_xyz(operators[k]));
      const auto p = apply(op, general);
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(p[static_cast<std::size_t>(i)], positions[k].x[static_cast<std::size_t>(i)], 1e-5) << k;
      if (k > 0) {
        EXPECT_EQ(operators[k].code, positions[k].code) << k;
      }
      EXPECT_EQ(symop_number(group, operators[k].code), static_cast<int>(k + 1));
      written.insert(wrapped(op));
    }
    EXPECT_EQ(operator_xyz(operators[0]), "x,y,z");

    // The same set as the International Tables' general position.
    const gemmi::SpaceGroup* sg = gemmi::find_spacegroup_by_name(reference);
    ASSERT_NE(sg, nullptr);
    std::set<OpKey> expected;
    for (const gemmi::Op& op : sg->operations()) expected.insert(wrapped(op));
    EXPECT_EQ(written, expected);
  }
  // Codes the group cannot name.
  const SpaceGroupInfo p21c = valid_group("P 21/c");
  EXPECT_EQ(symop_number(p21c, -2), 4);
  EXPECT_EQ(symop_number(p21c, 3), 0);
  EXPECT_EQ(symop_number(p21c, 101), 0);
  EXPECT_EQ(symop_number(valid_group("P 21"), -1), 0);
  EXPECT_EQ(symop_number(valid_group("C 2/c"), -102), 8);
}

TEST(CifOperators, XyzText) {
  CifOperator op;
  op.r = {-1, 0, 0, 0, 1, 0, 0, 0, -1};
  op.t = {0, 6, -6};
  EXPECT_EQ(operator_xyz(op), "-x,y+1/2,-z-1/2");
  EXPECT_EQ(operator_xyz(op, {6, 0, 1}), "-x+6,y+1/2,-z+1/2");
  op.r = {1, -1, 0, 1, 0, 0, 0, 0, 1};
  op.t = {8, 4, 16};
  EXPECT_EQ(operator_xyz(op), "x-y+2/3,x+1/3,z+4/3");
  op.t = {0, 0, 12};
  EXPECT_EQ(operator_xyz(op), "x-y,x,z+1");
}

TEST(CifSiteSymmetry, CodeOfOperatorAndTranslation) {
  EXPECT_EQ(site_symmetry_code(1, {0, 0, 0}), ".");
  EXPECT_EQ(site_symmetry_code(1, {1, 0, 0}), "1_655");
  EXPECT_EQ(site_symmetry_code(2, {0, 0, 0}), "2_555");
  EXPECT_EQ(site_symmetry_code(12, {-4, 4, -1}), "12_194");
  EXPECT_EQ(site_symmetry_code(3, {5, 0, 0}), "");
  EXPECT_EQ(site_symmetry_code(3, {0, -5, 0}), "");
  EXPECT_EQ(site_symmetry_code(0, {0, 0, 0}), "");
}

TEST(JournalNumbers, TheSuUpTo19AndTheValueToItsLastDigit) {
  // Worked by hand from the journals' rule: the s.u. in units of the
  // value's last digit, two digits only when the first is 1.
  struct Case {
    double value, su;
    const NumberStyle* style;
    const char* text;
  };
  const Case cases[] = {
      {1.22834, 0.0071, &kDistanceStyle, "1.228(7)"},
      {2.0793, 0.0026, &kDistanceStyle, "2.079(3)"},    // not 2.0793(26)
      {2.0793, 0.0019, &kDistanceStyle, "2.0793(19)"},  // 19 keeps two digits
      {2.0793, 0.00196, &kDistanceStyle, "2.079(2)"},   // 0.00196 rounds to 20: one digit
      {2.0793, 0.00096, &kDistanceStyle, "2.0793(10)"},
      {164.47, 4.6, &kAngleStyle, "164(5)"},            // never "164.(5)"
      {165.2, 23.0, &kAngleStyle, "170(20)"},
      {109.47, 0.36, &kAngleStyle, "109.5(4)"},
      {109.47, 0.35, &kAngleStyle, "109.5(3)"},         // 0.35 is 0.34999... in binary
      {109.47, 0.15, &kAngleStyle, "109.47(15)"},
      {-0.04, 0.3, &kAngleStyle, "0.0(3)"},             // no minus sign on a zero
      {-12.345, 0.012, &kAngleStyle, "-12.345(12)"},
      {2.1, 0.0, &kDistanceStyle, "2.1000"},            // nothing refined: the value alone
      {2.1, -1.0, &kDistanceStyle, "2.1000"},
      {2.1, std::numeric_limits<double>::quiet_NaN(), &kDistanceStyle, "2.1000"},
      {2.1, 1e-9, &kDistanceStyle, "2.1000"},           // below the finest digit: exact by symmetry
      {90.0, 0.0, &kAngleStyle, "90.0"},
      {0.30563, 0.00012, &kQuantityStyle, "0.30563(12)"},
      {std::numeric_limits<double>::infinity(), 0.1, &kDistanceStyle, "?"},
      {0.125, 0.0, &kAngleStyle, "0.1"},                // 0.125 is exact in binary: halves round away
      {0.35, 0.0, &kAngleStyle, "0.3"},                 // 0.35 is 0.34999... in binary
  };
  for (const Case& c : cases) {
    const std::string text = journal_text(c.value, c.su, *c.style);
    EXPECT_EQ(text, c.text) << c.value << " " << c.su;
    if (text != "?") {
      EXPECT_TRUE(gemmi::cif::is_numb(text)) << text;
      EXPECT_EQ(text.find(".("), std::string::npos) << text;
    }
  }
  // A constrained value: the style's few decimals, no s.u.
  EXPECT_EQ(constrained_text(0.87984, kDistanceStyle), "0.88");
  EXPECT_EQ(constrained_text(170.43, kAngleStyle), "170.4");
  // The shortest decimal of a stored float reads back as that float.
  for (const float stored : {0.30563f, 0.88f, 12.3456f, 1.0e-5f}) {
    EXPECT_EQ(static_cast<float>(stored_value(stored)), stored);
    EXPECT_LE(std::to_string(stored_value(stored)).size(), std::to_string(static_cast<double>(stored)).size());
  }
  EXPECT_EQ(stored_value(0.30563f), 0.30563);
  // s.u.'s from 0.011 to 99 degrees on a grid: one significant digit, or
  // two from 10 to 19; the value and the s.u. within half a unit of the
  // last digit.
  for (double su = 1.1e-2; su < 99; su *= 1.37) {
    const double value = 123.456789;
    const std::string text = journal_text(value, su, kAngleStyle);
    const std::size_t open = text.find('('), close = text.find(')');
    ASSERT_NE(open, std::string::npos) << text;
    std::string digits = text.substr(open + 1, close - open - 1);
    const std::size_t point = text.find('.');
    double unit = 1;
    if (point != std::string::npos) {
      unit = std::pow(10.0, -static_cast<double>(open - point - 1));
    } else {
      while (digits.size() > 1 && digits.back() == '0') {
        digits.pop_back();
        unit *= 10;
      }
    }
    const long units = std::stol(digits);
    EXPECT_TRUE((units >= 2 && units <= 9) || (units >= 10 && units <= 19)) << text;
    EXPECT_NEAR(gemmi::cif::as_number(text.substr(0, open)), value, unit / 2 + 1e-9) << text;
    EXPECT_NEAR(static_cast<double>(units) * unit, su, unit / 2 + 1e-9) << text;
  }
}

TEST(CifValues, QuotedWhenTheyWouldReadAsSomethingElse) {
  EXPECT_EQ(cif_value("O1"), "O1");
  EXPECT_EQ(cif_value("Si1'"), "Si1'");
  EXPECT_EQ(cif_value("_O1"), "'_O1'");
  EXPECT_EQ(cif_value("#1"), "'#1'");
  EXPECT_EQ(cif_value("?"), "'?'");
  EXPECT_EQ(cif_value("."), "'.'");
  EXPECT_EQ(cif_value("DATA_1"), "'DATA_1'");
  EXPECT_EQ(cif_value("A B"), "'A B'");
  EXPECT_EQ(cif_value("A' B"), "\"A' B\"");
  for (const char* label : {"O1", "_O1", "#1", "?", ".", "data_x", "A B", "'A B", "A' B\""}) {
    const std::string text = "data_t\nloop_\n_a\n_b\n" + cif_value(label) + " 1\n";
    const gemmi::cif::Document doc = gemmi::cif::read_string(text);
    gemmi::cif::Block block = doc.blocks.at(0);
    gemmi::cif::Table table = block.find("_", {"a", "b"});
    ASSERT_EQ(table.length(), 1u) << label;
    EXPECT_EQ(gemmi::cif::as_string(table[0][0]), label);
  }
}

// ---- whole blocks ------------------------------------------------------

PhaseDescription make_phase(const char* symbol, Vec3 abc, Vec3 angles) {
  PhaseDescription phase;
  phase.number = 2;
  phase.name = "test phase";
  phase.symbol = symbol;
  phase.abc = abc;
  for (int k = 0; k < 3; ++k) phase.cosines[k] = COSD(angles[k]);
  CELLMATRIX(abc[0], abc[1], abc[2], angles[0], angles[1], angles[2], phase.orthogonal, phase.inverse);
  phase.group = valid_group(symbol);
  for (int n = 0; n < phase.group.nsym; ++n)
    for (int i = 1; i <= 3; ++i)
      for (int j = 1; j <= 3; ++j)
        at(phase.rotation_t[static_cast<std::size_t>(n)], i, j) = static_cast<float>(phase.group.ops[static_cast<std::size_t>(n)].r(j, i));
  AtomType type;
  type.symbol = "X       ";
  type.bond_radius = 1.6f;
  type.angle_radius = 1.4f;
  phase.types.push_back(type);
  return phase;
}

void add_atom(PhaseDescription& phase, const char* label, Vec3 x) {
  AtomSite atom;
  atom.label = recio::pad(label, 8);
  atom.type = 1;
  atom.x = x;
  atom.fraction = 1;
  phase.atoms.push_back(atom);
}

int cell_code_of(const Bond& bond) { return cell_code(bond.n[0], bond.n[1], bond.n[2]); }

struct Collected {
  std::vector<FoundDistance> hits;
  std::vector<std::array<Bond, 2>> angle_pairs;
  std::vector<bool> bond_marks;
  std::vector<bool> angle_marks;
  std::vector<int> bond_centrals, angle_centrals;
};

// The search of every atom, with angles between the kept neighbours, handed
// to the rows as the driver does; every third distance and angle marked.
Collected collect_phase(RunRows& cif, const PhaseDescription& phase) {
  Collected out;
  RunMarks marks;
  PublishLists& publish = marks.results.publish;
  SearchControls controls;
  RowBuilder rows{start_phase_rows(cif, phase), phase, marks};
  for (int i = 1; i <= static_cast<int>(phase.atoms.size()); ++i) {
    std::vector<Bond> kept;
    search_neighbours(phase, i, controls, [&](const FoundDistance& hit) {
      const int cell = cell_code(hit.n[0], hit.n[1], hit.n[2]);
      const bool mark = out.hits.size() % 3 == 1;
      if (mark)
        publish.distances.push_back({static_cast<short>(phase.number), static_cast<short>(i),
                                     static_cast<short>(hit.atom), static_cast<short>(hit.code),
                                     static_cast<short>(cell)});
      add_bond_row(rows, i, Bond{hit.atom, hit.code, hit.n, hit.x, hit.vec.d}, hit.vec.d, 0.0011f, true);
      out.hits.push_back(hit);
      out.bond_marks.push_back(mark);
      out.bond_centrals.push_back(i);
      if (hit.vec.d <= hit.limits.angle && kept.size() < kMaxKeptNeighbours) {
        kept.push_back(Bond{hit.atom, hit.code, hit.n, hit.x, hit.vec.d});
      }
    });
    for (std::size_t m1 = 0; m1 + 1 < kept.size(); ++m1)
      for (std::size_t m2 = m1 + 1; m2 < kept.size(); ++m2) {
        const bool mark = out.angle_pairs.size() % 3 == 0;
        if (mark)
          publish.angles.push_back({static_cast<short>(phase.number), static_cast<short>(kept[m1].atom),
                                    static_cast<short>(i), static_cast<short>(kept[m2].atom),
                                    static_cast<short>(kept[m1].code), static_cast<short>(cell_code_of(kept[m1])),
                                    static_cast<short>(kept[m2].code), static_cast<short>(cell_code_of(kept[m2]))});
        add_angle_row(rows, i, kept[m1], kept[m2], 100.0f + static_cast<float>(out.angle_pairs.size()), 0.12f, true);
        out.angle_pairs.push_back({kept[m1], kept[m2]});
        out.angle_marks.push_back(mark);
        out.angle_centrals.push_back(i);
      }
  }
  return out;
}

std::string label_of(const PhaseDescription& phase, int atom) {
  const std::string& label = phase.atoms[static_cast<std::size_t>(atom - 1)].label;
  return label.substr(0, label.find(' '));
}

// Position of an atom under a site symmetry code read from the CIF.
std::array<double, 3> site_position(const std::vector<gemmi::Op>& ops, const std::string& code, const Vec3& x) {
  if (code == ".") return {x[0], x[1], x[2]};
  const std::size_t bar = code.find('_');
  const int n = std::stoi(code.substr(0, bar));
  auto p = ops.at(static_cast<std::size_t>(n - 1)).apply_to_xyz({x[0], x[1], x[2]});
  for (int i = 0; i < 3; ++i) p[static_cast<std::size_t>(i)] += code[bar + 1 + static_cast<std::size_t>(i)] - '5';
  return p;
}

void expect_at(const std::array<double, 3>& p, const Vec3& x) {
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(p[static_cast<std::size_t>(i)], x[static_cast<std::size_t>(i)], 2e-5);
}

TEST(CifBlocks, EveryDistanceAndAngleReadsBackThroughGemmi) {
  RunRows cif;
  cif.name = "TEST";
  PhaseDescription phase = make_phase("P 21/c", {5.0f, 6.0f, 7.0f}, {90.0f, 101.0f, 90.0f});
  add_atom(phase, "Si1", {0.1f, 0.2f, 0.3f});
  add_atom(phase, "O1", {0.3f, 0.25f, 0.35f});
  add_atom(phase, "O2", {0.95f, 0.1f, 0.2f});
  const Collected first = collect_phase(cif, phase);
  PhaseDescription hexagonal = make_phase("R -3 m", {3.0f, 3.0f, 14.0f}, {90.0f, 90.0f, 120.0f});
  hexagonal.number = 5;
  add_atom(hexagonal, "Ti1", {0, 0, 0});
  add_atom(hexagonal, "S1", {0, 0, 0.25f});
  const Collected second = collect_phase(cif, hexagonal);
  ASSERT_FALSE(first.hits.empty());
  ASSERT_FALSE(first.angle_pairs.empty());
  ASSERT_FALSE(second.angle_pairs.empty());

  const std::string text = cif_text(cif);
  testing_support::write_file("cif_output_test_blocks.cif", text);  // for a look after a failure
  const gemmi::cif::Document doc = gemmi::cif::read_string(text);
  ASSERT_EQ(doc.blocks.size(), 2u);
  EXPECT_EQ(doc.blocks[0].name, "TEST_phase2");
  EXPECT_EQ(doc.blocks[1].name, "TEST_phase5");

  const std::pair<const PhaseDescription*, const Collected*> phases[] = {{&phase, &first}, {&hexagonal, &second}};
  for (std::size_t b = 0; b < 2; ++b) {
    const PhaseDescription& ph = *phases[b].first;
    const Collected& c = *phases[b].second;
    gemmi::cif::Block block = doc.blocks[b];
    SCOPED_TRACE(block.name);
    std::vector<gemmi::Op> ops;
    gemmi::cif::Table symops = block.find("_space_group_symop_", {"id", "operation_xyz"});
    for (std::size_t r = 0; r < symops.length(); ++r) {
      EXPECT_EQ(symops[r][0], std::to_string(r + 1));
      ops.push_back(gemmi::parse_triplet(gemmi::cif::as_string(symops[r][1])));
    }
    EXPECT_EQ(static_cast<int>(ops.size()), ph.group.general_multiplicity());

    gemmi::cif::Table bonds =
        block.find("_geom_bond_", {"atom_site_label_1", "atom_site_label_2", "distance", "site_symmetry_2", "publ_flag"});
    // Each bond once, from the atom that comes first, its site code putting
    // the second atom at the distance written.
    const std::vector<Row>& rows = cif.phases[b].of(RowKind::bond);
    ASSERT_EQ(bonds.length(), rows.size());
    EXPECT_LT(rows.size(), c.hits.size());
    for (std::size_t r = 0; r < bonds.length(); ++r) {
      const int a = rows[r].sites[0].atom, n = rows[r].sites[1].atom;
      EXPECT_LE(a, n);
      EXPECT_EQ(bonds[r][0], label_of(ph, a));
      EXPECT_EQ(bonds[r][1], label_of(ph, n));
      const auto q = site_position(ops, bonds[r][3], ph.atoms[static_cast<std::size_t>(n - 1)].x);
      const Vec3 image{static_cast<float>(q[0]), static_cast<float>(q[1]), static_cast<float>(q[2])};
      EXPECT_NEAR(gemmi::cif::as_number(bonds[r][2]), cell_vector(ph, ph.atoms[static_cast<std::size_t>(a - 1)].x, image).d, 1e-4);
    }
    gemmi::cif::Table angles =
        block.find("_geom_angle", {"_atom_site_label_1", "_atom_site_label_2", "_atom_site_label_3", "",
                                   "_site_symmetry_1", "_site_symmetry_3", "_publ_flag"});
    ASSERT_EQ(angles.length(), c.angle_pairs.size());
    for (std::size_t r = 0; r < angles.length(); ++r) {
      const auto& [n1, n3] = c.angle_pairs[r];
      EXPECT_EQ(angles[r][0], label_of(ph, n1.atom));
      EXPECT_EQ(angles[r][1], label_of(ph, c.angle_centrals[r]));
      EXPECT_EQ(angles[r][2], label_of(ph, n3.atom));
      EXPECT_NEAR(gemmi::cif::as_number(angles[r][3]), 100.0 + static_cast<double>(r), 0.01);
      EXPECT_EQ(angles[r][6], c.angle_marks[r] ? "yes" : "no");
      expect_at(site_position(ops, angles[r][4], ph.atoms[static_cast<std::size_t>(n1.atom - 1)].x), n1.x);
      expect_at(site_position(ops, angles[r][5], ph.atoms[static_cast<std::size_t>(n3.atom - 1)].x), n3.x);
    }
  }
  EXPECT_TRUE(cif_notes(cif.phases.back()).empty());
}

TEST(CifBlocks, TranslationBeyondOneDigitIsWrittenInFull) {
  RunRows cif;
  cif.name = "FAR";
  PhaseDescription phase = make_phase("P 21/c", {2.0f, 3.0f, 4.0f}, {90.0f, 95.0f, 90.0f});
  add_atom(phase, "A", {0.1f, 0.2f, 0.3f});
  add_atom(phase, "B", {0.2f, 0.3f, 0.4f});
  const RunMarks marks;
  RowBuilder rows{start_phase_rows(cif, phase), phase, marks};
  // Operator 2 (-x, y+1/2, -z+1/2) of B with the translation (6, 0, -1).
  FoundDistance far;
  far.atom = 2;
  far.code = 2;
  far.n = {6, 0, -1};
  far.x = {-0.2f + 6, 0.8f, 0.1f - 1};
  far.vec = cell_vector(phase, phase.atoms[0].x, far.x);
  add_bond_row(rows, 1, Bond{far.atom, far.code, far.n, far.x, far.vec.d}, far.vec.d, 0.001f, true);
  Bond near;
  near.atom = 2;
  near.code = 1;
  near.x = phase.atoms[1].x;
  Bond distant = near;
  distant.code = -2;
  distant.n = {-5, 0, 1};
  distant.x = {0.2f - 5, -0.8f, -0.1f + 1};
  add_angle_row(rows, 1, near, distant, 120.0f, 0.5f, true);
  // A torsion angle reaching the bond's far site, a hydrogen bond the angle's.
  auto image = [](int atom, int code, LatticeTranslation n) {
    NamedImage named;
    named.point.atom = atom;
    named.name = {code, n};
    return named;
  };
  TorsionAtoms torsion;
  torsion.atoms = {2, 1, 2, 2};
  torsion.names = {ImageName{1, {}}, ImageName{1, {}}, ImageName{1, {}}, ImageName{2, {6, 0, -1}}};
  add_torsion_row(rows, torsion, 60.0f, 0.0f);
  HydrogenBond hbond;
  hbond.donor = image(1, 1, {});
  hbond.hydrogen = image(2, 1, {});
  hbond.acceptor = image(2, -2, {-5, 0, 1});
  add_hbond_row(rows, hbond);

  const std::vector<std::string> notes = cif_notes(cif.phases.back());
  ASSERT_EQ(notes.size(), 4u);
  EXPECT_NE(notes[0].find("bond A_B"), std::string::npos) << notes[0];
  EXPECT_NE(notes[0].find("-x+6,y+1/2,-z-1/2"), std::string::npos) << notes[0];
  EXPECT_NE(notes[1].find("angle B_A_B"), std::string::npos) << notes[1];
  EXPECT_NE(notes[1].find("x-5,-y-1/2,z+1/2"), std::string::npos) << notes[1];
  EXPECT_EQ(notes[2], " CIF: torsion B_A_B_B, B at -x+6,y+1/2,-z-1/2 (operator code 2, translation 6 0 -1) is "
                      "beyond n_klm; written as ?");
  EXPECT_EQ(notes[3], " CIF: hydrogen bond A-B...B, B at x-5,-y-1/2,z+1/2 (operator code -2, translation -5 0 1) "
                      "is beyond n_klm; written as ?");
  EXPECT_EQ(cif_notes(cif.phases.back()), notes);  // the run writes them once, after the phase

  const std::string text = cif_text(cif);
  EXPECT_NE(text.find("# B of bond A_B is at -x+6,y+1/2,-z-1/2 (operator code 2, translation 6 0 -1)"),
            std::string::npos)
      << text;
  const gemmi::cif::Document doc = gemmi::cif::read_string(text);
  gemmi::cif::Block block = doc.blocks.at(0);
  gemmi::cif::Table bonds = block.find("_geom_bond_", {"site_symmetry_2"});
  ASSERT_EQ(bonds.length(), 1u);
  EXPECT_EQ(bonds[0][0], "?");
  gemmi::cif::Table angles = block.find("_geom_angle_", {"site_symmetry_1", "site_symmetry_3"});
  ASSERT_EQ(angles.length(), 1u);
  EXPECT_EQ(angles[0][0], ".");
  EXPECT_EQ(angles[0][1], "?");
  EXPECT_NE(text.find("# B of torsion B_A_B_B is at -x+6,y+1/2,-z-1/2"), std::string::npos) << text;
  gemmi::cif::Table torsions = block.find("_geom_torsion_", {"site_symmetry_1", "site_symmetry_4"});
  ASSERT_EQ(torsions.length(), 1u);
  EXPECT_EQ(torsions[0][0], ".");
  EXPECT_EQ(torsions[0][1], "?");
  EXPECT_NE(text.find("# B of hydrogen bond A-B...B is at x-5,-y-1/2,z+1/2"), std::string::npos) << text;
  gemmi::cif::Table hbonds = block.find("_geom_hbond_", {"site_symmetry_D", "site_symmetry_A"});
  ASSERT_EQ(hbonds.length(), 1u);
  EXPECT_EQ(hbonds[0][0], ".");
  EXPECT_EQ(hbonds[0][1], "?");
  // The operator in the comment puts B where the search found it.
  const auto p = gemmi::parse_triplet("-x+6,y+1/2,-z-1/2").apply_to_xyz({0.2, 0.3, 0.4});
  expect_at(p, far.x);
}

TEST(CifFile, WrittenThroughATemporaryFile) {
  testing_support::TempFolder folder;
  RunRows cif;
  cif.name = "EMPTY";
  const std::string file = (folder / "EMPTY_geom.cif").string();
  EXPECT_EQ(cif_file_name((folder / "EMPTY").string()), file);
  testing_support::write_file(file, "old");
  write_cif_file(cif, file);
  EXPECT_EQ(testing_support::read_file(file), cif_text(cif));
  EXPECT_FALSE(std::filesystem::exists(file + ".new"));
  EXPECT_THROW(write_cif_file(cif, (folder / "no such folder" / "X_geom.cif").string()), Error);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), std::filesystem::directory_iterator{}), 1);
}


// ---- whole runs ----------------------------------------------------------

using testing_support::read_file;
using testing_support::run_program;
using testing_support::TempFolder;

const std::map<std::string, std::string> kFixedDates = {{"SOURCE_DATE_EPOCH", "1767225600"}, {"LENPAGE", "60"}};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// Cell and atom coordinates of every phase, read straight from the
// experiment file's records ("CRSp  ABC   ", "CRSp  ANGLES", "CRSp  AT  nA").
struct ExperimentPhase {
  std::array<float, 6> cell{};
  std::map<int, Vec3> atoms;  // by record number: the atom numbers in order
  std::vector<Vec3> positions() const {
    std::vector<Vec3> list;
    for (const auto& [number, x] : atoms) list.push_back(x);
    return list;
  }
};

std::map<int, ExperimentPhase> read_experiment(const std::filesystem::path& file) {
  std::map<int, ExperimentPhase> phases;
  const std::regex atom_key("CRS([1-9])  AT +([0-9]+)A");
  for (const std::string& line : lines_of(read_file(file))) {
    if (line.size() < 12) continue;
    const std::string key = line.substr(0, 12), value = line.substr(12);
    auto number = [&value](std::size_t k) { return std::stof(value.substr(k, 10)); };
    std::smatch m;
    if (std::regex_match(key, m, atom_key)) {
      phases[std::stoi(m[1])].atoms[std::stoi(m[2])] = {number(10), number(20), number(30)};
    } else if (key.rfind("CRS", 0) == 0 && key.substr(4) == "  ABC   ") {
      for (std::size_t k = 0; k < 3; ++k) phases[key[3] - '0'].cell[k] = number(10 * k);
    } else if (key.rfind("CRS", 0) == 0 && key.substr(4) == "  ANGLES") {
      for (std::size_t k = 0; k < 3; ++k) phases[key[3] - '0'].cell[3 + k] = number(10 * k);
    }
  }
  return phases;
}

// A distance or angle record of the results file.
struct ResultRecord {
  char mark = 'N';
  int phase = 0, kind = 0;
  std::array<int, 7> v{};  // atoms and codes after the two reals
};

std::vector<ResultRecord> read_results(const std::filesystem::path& file) {
  std::vector<ResultRecord> records;
  const std::vector<std::string> lines = lines_of(read_file(file));
  for (std::size_t k = 1; k + 1 < lines.size(); ++k) {
    const std::string& line = lines[k];
    ResultRecord r;
    r.mark = line[0];
    r.phase = std::stoi(line.substr(1, 2));
    r.kind = std::stoi(line.substr(3, 2));
    const int count = r.kind == 0 ? 4 : 7;
    for (int i = 0; i < count; ++i) r.v[static_cast<std::size_t>(i)] = std::stoi(line.substr(25 + 5 * static_cast<std::size_t>(i), 5));
    records.push_back(r);
  }
  return records;
}

// A distance or angle line of the listing.
struct ListedRow {
  std::string label;        // without the star
  std::string value;        // value(esd) as printed
  bool distance = false;
  bool orthonormal = false;  // the vector of a distance is "ON Neighbor coord."
  Vec3 vector{};
};

std::vector<ListedRow> read_listing(const std::string& listing) {
  std::vector<ListedRow> rows;
  const std::regex row(R"(^ +\*?(\S+) +(-?[0-9]*\.[0-9]*\([0-9]+\)) +(.*)$)");
  const std::regex vector_tail(R"(( +-?[0-9]+\.[0-9]{5}){3}$)");
  bool in_tables = false, orthonormal = false;
  for (const std::string& line : lines_of(listing)) {
    if (line.find("Vector         Length") != std::string::npos) {
      in_tables = true;
      orthonormal = line.find("ON Neighbor coord.") != std::string::npos;
    }
    // The torsion and hydrogen-bond tables close a phase's tables.
    if (line.find("  Torsion angle ") != std::string::npos || line.find("  D-H...A ") != std::string::npos)
      in_tables = false;
    std::smatch m;
    if (!in_tables || !std::regex_match(line, m, row)) continue;
    ListedRow r;
    r.label = m[1];
    r.value = m[2];
    r.distance = std::regex_search(line, vector_tail);
    if (r.distance) {
      r.orthonormal = orthonormal;
      const std::string tail = line.substr(line.size() - 30);
      for (std::size_t k = 0; k < 3; ++k) r.vector[k] = std::stof(tail.substr(10 * k, 10));
    }
    rows.push_back(r);
  }
  return rows;
}

std::array<double, 3> coded_position(const std::vector<gemmi::Op>& ops, const std::string& code, const Vec3& x) {
  if (code == ".") return {x[0], x[1], x[2]};
  const std::smatch m = [&code] {
    std::smatch match;
    static const std::regex form("([0-9]+)_([1-9])([1-9])([1-9])");
    EXPECT_TRUE(std::regex_match(code, match, form)) << code;
    return match;
  }();
  if (m.empty()) return {};
  auto p = ops.at(static_cast<std::size_t>(std::stoi(m[1]) - 1)).apply_to_xyz({x[0], x[1], x[2]});
  for (std::size_t i = 0; i < 3; ++i) p[i] += std::stoi(m[i + 2]) - 5;
  return p;
}

// Half a unit of the last digit of a printed value(s.u.).
double half_unit(const std::string& text) {
  const std::size_t end = std::min(text.find('('), text.size());
  const std::size_t point = text.find('.');
  const double decimals = point == std::string::npos || point > end ? 0.0 : static_cast<double>(end - point - 1);
  return 0.5 * std::pow(10.0, -decimals);
}

// The publication CIF's value (journal rounding) and the listing's
// (value(esd) notation) are the same number rounded twice.
bool same_value(const std::string& cif, const std::string& listed) {
  const std::string plain = listed.substr(0, listed.find('('));
  return std::abs(gemmi::cif::as_number(cif) - gemmi::cif::as_number(plain)) <=
         half_unit(cif) + half_unit(listed) + 1e-9;
}

struct CheckCounts {
  std::size_t bonds = 0, angles = 0, published = 0, unwritable = 0, flagged = 0;
};

// Compares the CIF of a run with its listing and results file record by
// record. A site symmetry "?" must be one the n_klm form cannot hold.
CheckCounts expect_cif_matches_run(const std::filesystem::path& folder, const std::string& name) {
  CheckCounts counts;
  const auto phases = read_experiment(folder / (name + ".EXP"));
  const std::vector<ResultRecord> records = read_results(folder / (name + ".VORTAN"));
  std::vector<ListedRow> distance_rows, angle_rows;
  for (const ListedRow& row : read_listing(read_file(folder / (name + ".LST"))))
    (row.distance ? distance_rows : angle_rows).push_back(row);
  gemmi::cif::Document doc = gemmi::cif::read_file((folder / (name + "_geom.cif")).string());

  std::size_t next_distance = 0, next_angle = 0;
  std::map<int, std::size_t> angle_row;  // next row of each phase's angle loop
  // (phase, central, neighbour, operator code, cell code) -> position the CIF gives
  std::map<std::array<int, 5>, std::array<double, 3>> sites;
  struct Distance {
    int central = 0, neighbour = 0;
    std::array<double, 3> p{};
    std::string value;
    bool marked = false;
    bool writable = true;  // translation within the n_klm form
  };
  std::map<int, std::vector<Distance>> distances;
  std::map<std::pair<int, int>, std::string> labels;  // (phase, atom)
  for (const ResultRecord& r : records) {
    SCOPED_TRACE(name + " phase " + std::to_string(r.phase));
    gemmi::cif::Block* block = doc.find_block(name + "_phase" + std::to_string(r.phase));
    if (block == nullptr) {
      ADD_FAILURE() << "no block for phase " << r.phase;
      return counts;
    }
    const ExperimentPhase& phase = phases.at(r.phase);
    const std::vector<Vec3> x = phase.positions();
    std::vector<gemmi::Op> ops;
    for (const std::string& xyz : block->find_loop("_space_group_symop_operation_xyz"))
      ops.push_back(gemmi::parse_triplet(gemmi::cif::as_string(xyz)));
    auto value_matches = [](const std::string& cif, const std::string& listed) { return same_value(cif, listed); };
    if (r.kind == 0) {
      // Bonds are checked per block below: the loop has each bond once.
      EXPECT_LT(next_distance, distance_rows.size());
      if (next_distance >= distance_rows.size()) return counts;
      const ListedRow& listed = distance_rows[next_distance++];
      const int central = r.v[0], neighbour = r.v[1];
      const Vec3& xi = x.at(static_cast<std::size_t>(central - 1));
      std::array<double, 3> p{listed.vector[0], listed.vector[1], listed.vector[2]};
      if (listed.orthonormal) {
        Mat3 orthogonal{}, inverse{};
        CELLMATRIX(phase.cell[0], phase.cell[1], phase.cell[2], phase.cell[3], phase.cell[4], phase.cell[5],
                   orthogonal, inverse);
        const Vec3 back = VECMAT3(listed.vector, inverse);
        for (std::size_t i = 0; i < 3; ++i) p[i] = xi[i] - back[i];
      }
      sites[{r.phase, central, neighbour, r.v[2], r.v[3]}] = p;
      const std::string label = listed.label;
      labels[{r.phase, central}] = label.substr(0, label.find('_'));
      labels[{r.phase, neighbour}] = label.substr(label.find('_') + 1);
      const int cell = r.v[3];
      const bool writable = cell >= 111 && cell <= 999 && cell % 10 != 0 && cell / 10 % 10 != 0;
      distances[r.phase].push_back({central, neighbour, p, listed.value, r.mark == 'Y', writable});
      if (r.mark == 'Y') ++counts.published;
      ++counts.bonds;
    } else {
      const std::size_t k = angle_row[r.phase]++;
      gemmi::cif::Table angles =
          block->find("_geom_angle", {"_atom_site_label_1", "_atom_site_label_2", "_atom_site_label_3", "",
                                      "_site_symmetry_1", "_site_symmetry_3", "_publ_flag"});
      EXPECT_LT(k, angles.length());
      if (k >= angles.length()) return counts;
      EXPECT_LT(next_angle, angle_rows.size());
      if (next_angle >= angle_rows.size()) return counts;
      const ListedRow& listed = angle_rows[next_angle++];
      const auto row = angles[k];
      SCOPED_TRACE("angle " + listed.label);
      EXPECT_EQ(row.str(0) + "_" + row.str(1) + "_" + row.str(2), listed.label);
      EXPECT_PRED2(value_matches, row[3], listed.value);
      EXPECT_EQ(row[6], r.mark == 'Y' ? "yes" : "no");
      if (r.mark == 'Y') ++counts.published;
      ++counts.angles;
      const int first = r.v[0], central = r.v[1], second = r.v[2];
      // Each end must sit where the distance of the same neighbour put it.
      const std::pair<int, std::size_t> ends[] = {{first, 4}, {second, 5}};
      for (const auto& [atom, column] : ends) {
        if (row[column] == "?") {
          ++counts.unwritable;
          continue;
        }
        const std::size_t codes = column == 4 ? 3 : 5;
        const auto found = sites.find({r.phase, central, atom, r.v[codes], r.v[codes + 1]});
        EXPECT_NE(found, sites.end()) << row[column];
        if (found == sites.end()) continue;
        const auto p = coded_position(ops, row[column], x.at(static_cast<std::size_t>(atom - 1)));
        for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(p[i], found->second[i], 1e-5) << row[column];
      }
    }
  }
  EXPECT_EQ(next_distance, distance_rows.size());
  EXPECT_EQ(next_angle, angle_rows.size());
  // Each bond once, from the atom that comes first; its site code puts the
  // second atom at the distance given; the flag is set when either
  // direction was marked.
  for (auto& [phase_number, list] : distances) {
    SCOPED_TRACE(name + " bonds of phase " + std::to_string(phase_number));
    gemmi::cif::Block* block = doc.find_block(name + "_phase" + std::to_string(phase_number));
    if (block == nullptr) continue;
    const ExperimentPhase& phase = phases.at(phase_number);
    const std::vector<Vec3> x = phase.positions();
    std::vector<gemmi::Op> ops;
    for (const std::string& xyz : block->find_loop("_space_group_symop_operation_xyz"))
      ops.push_back(gemmi::parse_triplet(gemmi::cif::as_string(xyz)));
    const gemmi::UnitCell cell(phase.cell[0], phase.cell[1], phase.cell[2], phase.cell[3], phase.cell[4], phase.cell[5]);
    auto atom_of = [&](const std::string& label) {
      for (const auto& [key, text] : labels)
        if (key.first == phase_number && text == label) return key.second;
      return 0;
    };
    std::vector<int> matched(list.size(), 0);
    // The chemical bonds and the marked distances that are no bonds, as
    // rows of label 1, label 2, distance, site symmetry 2 and flag.
    std::vector<std::vector<std::string>> bonds;
    for (auto row : block->find("_geom_bond_", {"atom_site_label_1", "atom_site_label_2", "distance",
                                                "site_symmetry_2", "publ_flag"}))
      bonds.push_back({row[0], row[1], row[2], row[3], row[4]});
    for (auto row : block->find("_geom_contact_", {"atom_site_label_1", "atom_site_label_2", "distance",
                                                   "site_symmetry_1", "site_symmetry_2", "publ_flag"})) {
      EXPECT_EQ(row[3], ".");
      bonds.push_back({row[0], row[1], row[2], row[4], row[5]});
    }
    for (std::size_t k = 0; k < bonds.size(); ++k) {
      struct {
        const std::vector<std::string>& cells;
        const std::string& operator[](std::size_t c) const { return cells[c]; }
        std::string str(std::size_t c) const { return gemmi::cif::as_string(cells[c]); }
      } row{bonds[k]};
      const int a = atom_of(row.str(0)), b = atom_of(row.str(1));
      SCOPED_TRACE("bond " + row.str(0) + "_" + row.str(1) + " " + row[3]);
      EXPECT_GT(a, 0);
      EXPECT_LE(a, b);
      if (a == 0 || b == 0) continue;
      if (row[3] == "?") {
        ++counts.unwritable;
        continue;
      }
      const auto q = coded_position(ops, row[3], x.at(static_cast<std::size_t>(b - 1)));
      const Vec3& xa = x.at(static_cast<std::size_t>(a - 1));
      const double d = cell.orthogonalize_difference(gemmi::Fractional(q[0] - xa[0], q[1] - xa[1], q[2] - xa[2])).length();
      // Within half a unit of the last decimal printed.
      const std::string& value = row[2];
      const std::size_t point = value.find('.');
      const std::size_t end = std::min(value.find('('), value.size());
      const std::size_t decimals = point == std::string::npos ? 0 : end - point - 1;
      EXPECT_NEAR(d, gemmi::cif::as_number(value), 0.5 * std::pow(10.0, -static_cast<double>(decimals)) + 1e-6) << value;
      bool found = false;
      for (std::size_t r = 0; r < list.size(); ++r) {
        const Distance& record = list[r];
        if (record.central != a || record.neighbour != b) continue;
        if (std::abs(record.p[0] - q[0]) > 2e-5 || std::abs(record.p[1] - q[1]) > 2e-5 ||
            std::abs(record.p[2] - q[2]) > 2e-5)
          continue;
        found = true;
        ++matched[r];
        EXPECT_TRUE(same_value(row[2], record.value)) << record.value << " " << row[2];
        if (record.marked) {
          EXPECT_EQ(row[4], "yes");
        }
      }
      // A bond of an atom with its own image may stand the other way round.
      if (!found) {
        EXPECT_EQ(a, b);
      }
      if (row[4] == "yes") {
        ++counts.flagged;
        bool either = false;
        for (const Distance& record : list)
          either = either || (record.marked && ((record.central == a && record.neighbour == b) ||
                                                (record.central == b && record.neighbour == a)) &&
                              same_value(row[2], record.value));
        EXPECT_TRUE(either) << "flagged without a mark";
      }
    }
    for (std::size_t r = 0; r < list.size(); ++r)
      if (list[r].central < list[r].neighbour && list[r].writable) {
        EXPECT_EQ(matched[r], 1) << list[r].central << "_" << list[r].neighbour;
      }
  }
  // No rows beyond the records.
  for (gemmi::cif::Block& block : doc.blocks) {
    const int phase = std::stoi(block.name.substr(block.name.rfind("_phase") + 6));
    std::size_t forward = 0, own = 0;
    for (const auto& record : distances[phase]) {
      forward += record.central < record.neighbour ? 1 : 0;
      own += record.central == record.neighbour ? 1 : 0;
    }
    const std::size_t rows = static_cast<std::size_t>(block.find_values("_geom_bond_distance").length() +
                                                      block.find_values("_geom_contact_distance").length());
    EXPECT_GE(rows, forward + own / 2) << block.name;
    EXPECT_LE(rows, forward + own) << block.name;
    EXPECT_EQ(block.find_values("_geom_angle").length(), angle_row[phase]) << block.name;
  }
  return counts;
}

void copy_example(const TempFolder& folder, const std::string& name) {
  for (const char* extension : {".EXP", ".CMT"})
    std::filesystem::copy_file(std::filesystem::path(EXAMPLES_DIR) / (name + extension), folder / (name + extension));
}

// Marks every record of the results file, with a lower-case "y" now and then.
void mark_all(const std::filesystem::path& file) {
  std::vector<std::string> lines = lines_of(read_file(file));
  for (std::size_t k = 1; k + 1 < lines.size(); ++k) lines[k][0] = k % 3 == 0 ? 'y' : 'Y';
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  testing_support::write_file(file, text);
}

TEST(VortanCif, EveryExampleReadsBackRecordByRecord) {
  int order = 0;
  for (const std::string name : {"QUARTZ", "SPINEL", "FERROCENE"}) {
    SCOPED_TRACE(name);
    TempFolder plain, with_cif;
    copy_example(plain, name);
    copy_example(with_cif, name);
    // The option before or after the name.
    const std::vector<std::string> args =
        order++ % 2 == 0 ? std::vector<std::string>{name, "--cif"} : std::vector<std::string>{"--cif", name};
    for (int pass = 0; pass < 2; ++pass) {
      if (pass == 1) {
        // The publication CIF holds the chemical bonds and the angles
        // between them, plus whatever is marked: with every record marked,
        // every record is a row of it (a distance that is no bond a contact).
        mark_all(plain / (name + ".VORTAN"));
        mark_all(with_cif / (name + ".VORTAN"));
        std::filesystem::remove(plain / (name + ".LST"));
        std::filesystem::remove(with_cif / (name + ".LST"));
      }
      const auto a = run_program(VORTAN_BIN, {name}, plain.path(), "", kFixedDates);
      const auto b = run_program(VORTAN_BIN, args, with_cif.path(), "", kFixedDates);
      ASSERT_EQ(a.exit_status, 0) << a.err;
      ASSERT_EQ(b.exit_status, 0) << b.err;
      EXPECT_FALSE(std::filesystem::exists(plain / (name + "_geom.cif")));
      ASSERT_TRUE(std::filesystem::exists(with_cif / (name + "_geom.cif")));
      EXPECT_FALSE(std::filesystem::exists(with_cif / (name + "_geom.cif.new")));
      // The option changes neither the listing nor the results file.
      EXPECT_EQ(read_file(plain / (name + ".LST")), read_file(with_cif / (name + ".LST")));
      EXPECT_EQ(read_file(plain / (name + ".VORTAN")), read_file(with_cif / (name + ".VORTAN")));
      if (pass == 0) continue;
      const CheckCounts counts = expect_cif_matches_run(with_cif.path(), name);
      EXPECT_GT(counts.bonds, 0u);
      EXPECT_GT(counts.angles, 0u);
      EXPECT_EQ(counts.unwritable, 0u);
      EXPECT_GT(counts.published, 0u);
    }
  }
}

TEST(VortanCif, TranslationsBeyondOneDigitAreNotedOnlyWithTheOption) {
  testing_support::TestPhase phase;
  phase.name = "Narrow cell";
  phase.cell = {2, 2, 10, 90, 90, 90};
  phase.atoms = {{"A1", "A", 0, 0, 0}, {"B1", "B", 0.5, 0.5, 0.2}};
  testing_support::ExpFileBuilder builder = testing_support::minimal_experiment();
  builder.phase_flags({1}).atom_types({{"A", 1.0, 1.0}, {"B", 1.0, 1.0}}).phase(phase).vortan_controls(1, "DMAX 10.5 DAGL 2.1");
  TempFolder plain, with_cif;
  builder.write(plain / "FAR.EXP");
  builder.write(with_cif / "FAR.EXP");
  ASSERT_EQ(run_program(VORTAN_BIN, {"FAR"}, plain.path(), "", kFixedDates).exit_status, 0);
  ASSERT_EQ(run_program(VORTAN_BIN, {"FAR", "--cif"}, with_cif.path(), "", kFixedDates).exit_status, 0);
  // A and B are no elements, so none of the distances is a chemical bond:
  // marked, each is a contact of the publication CIF.
  for (const TempFolder* folder : {&plain, &with_cif}) {
    mark_all(*folder / "FAR.VORTAN");
    std::filesystem::remove(*folder / "FAR.LST");
  }
  ASSERT_EQ(run_program(VORTAN_BIN, {"FAR"}, plain.path(), "", kFixedDates).exit_status, 0);
  const auto run = run_program(VORTAN_BIN, {"FAR", "--cif"}, with_cif.path(), "", kFixedDates);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(read_file(plain / "FAR.VORTAN"), read_file(with_cif / "FAR.VORTAN"));
  const CheckCounts counts = expect_cif_matches_run(with_cif.path(), "FAR");
  EXPECT_GT(counts.unwritable, 0u);

  // The listing gains one note per such site after the phase's tables, and
  // nothing else.
  const std::string without = read_file(plain / "FAR.LST"), with = read_file(with_cif / "FAR.LST");
  ASSERT_EQ(with.compare(0, without.size(), without), 0);
  std::size_t notes = 0;
  for (const std::string& line : lines_of(with.substr(without.size())))
    if (line.rfind(" CIF: bond ", 0) == 0) ++notes;
  EXPECT_EQ(notes, counts.unwritable);
  EXPECT_EQ(without.find(" CIF: "), std::string::npos);

  // Each "?" has its operator in full in the comment before it, and that
  // operator puts the atom where the listing has it.
  const std::vector<ListedRow> listed = read_listing(without);
  const std::regex comment(R"(^# (\S+) of bond (\S+) is at (\S+) \(operator code .*\)$)");
  std::size_t comments = 0;
  for (const std::string& line : lines_of(read_file(with_cif / "FAR_geom.cif"))) {
    std::smatch m;
    if (!std::regex_match(line, m, comment)) continue;
    ++comments;
    const Vec3 x = m[1] == "A1" ? Vec3{0, 0, 0} : Vec3{0.5f, 0.5f, 0.2f};
    const auto p = gemmi::parse_triplet(m[3]).apply_to_xyz({x[0], x[1], x[2]});
    EXPECT_TRUE(std::abs(p[0] - x[0]) > 4.5 || std::abs(p[1] - x[1]) > 4.5) << line;
    bool seen = false;
    for (const ListedRow& row : listed)
      if (row.distance && row.label == m.str(2) && std::abs(row.vector[0] - p[0]) < 2e-5 &&
          std::abs(row.vector[1] - p[1]) < 2e-5 && std::abs(row.vector[2] - p[2]) < 2e-5)
        seen = true;
    EXPECT_TRUE(seen) << line;
  }
  EXPECT_EQ(comments, counts.unwritable);
}

TEST(VortanCif, RunWithoutDistancesStillWritesTheBlock) {
  testing_support::TestPhase phase;
  phase.atoms = {{"A1", "A", 0, 0, 0}};
  testing_support::ExpFileBuilder builder = testing_support::minimal_experiment();
  builder.phase_flags({1}).atom_types({{"A", 1.0, 1.0}}).phase(phase).vortan_controls(1, "");
  TempFolder folder;
  builder.write(folder / "LONE.EXP");
  const auto run = run_program(VORTAN_BIN, {"--cif", "LONE.EXP"}, folder.path(), "", kFixedDates);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const gemmi::cif::Document doc = gemmi::cif::read_file((folder / "LONE_geom.cif").string());
  ASSERT_EQ(doc.blocks.size(), 1u);
  EXPECT_EQ(doc.blocks[0].name, "LONE_phase1");
  gemmi::cif::Block block = doc.blocks[0];
  EXPECT_EQ(block.find_values("_space_group_symop_operation_xyz").length(), 1);
  EXPECT_EQ(block.find_values("_geom_bond_distance").length(), 0);
}

TEST(VortanCif, AFileThatCannotBeWrittenFailsTheRunButKeepsTheResults) {
  TempFolder folder;
  copy_example(folder, "QUARTZ");
  std::filesystem::create_directory(folder / "QUARTZ_geom.cif");
  const auto run = run_program(VORTAN_BIN, {"QUARTZ", "--cif"}, folder.path(), "", kFixedDates);
  EXPECT_NE(run.exit_status, 0);
  EXPECT_NE(run.out.find("The publication CIF QUARTZ_geom.cif cannot be replaced"), std::string::npos) << run.out;
  EXPECT_TRUE(std::filesystem::is_directory(folder / "QUARTZ_geom.cif"));
  EXPECT_FALSE(std::filesystem::exists(folder / "QUARTZ_geom.cif.new"));
  EXPECT_FALSE(std::filesystem::exists(folder / "QUARTZ.VORTAN"));  // left as it was: none
}

// ---- the paper's numbering ---------------------------------------------

TEST(PaperOperators, DecimalsAndEveryFormReadExactly) {
  const SymmetryOperation screw = parse_symop_xyz("-x, Y+.5, 0.5-z");
  EXPECT_EQ(screw.rotation, (IntMat3{{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}}));
  EXPECT_EQ(screw.twelfths, (std::array<int, 3>{0, 6, 6}));
  EXPECT_EQ(parse_symop_xyz("x-y,x,z+.3333").twelfths, (std::array<int, 3>{0, 0, 4}));
  EXPECT_EQ(parse_symop_xyz("-x+y,-x,z+0.6667").rotation[0], (std::array<int, 3>{-1, 1, 0}));
  EXPECT_EQ(parse_symop_xyz("1/4+y,1/4-x,3/4+z").twelfths, (std::array<int, 3>{3, 3, 9}));
  for (const char* bad : {"x,y", "x,y,z+0.3", "x,y,q", "x,y,z+", "x,1.5*y,z"})
    EXPECT_THROW(parse_symop_xyz(bad), Error) << bad;

  // P 21/c in another order, with a translation a whole cell away: the
  // same group; without the inversion it is not.
  const SpaceGroupInfo group = valid_group("P 21/c");
  std::vector<PaperSymop> symops;
  for (const char* xyz : {"x,y,z", "-x,-y,-z", "x,-y+1/2,z+1/2", "-x,y+1/2,-z+1/2"})
    symops.push_back({"", xyz, parse_symop_xyz(xyz)});
  EXPECT_EQ(group_difference(group, symops), "");
  symops[2].operation.twelfths[1] -= 12;
  EXPECT_EQ(group_difference(group, symops), "");
  symops.erase(symops.begin() + 1);
  EXPECT_NE(group_difference(group, symops).find("-x,-y,-z"), std::string::npos) << group_difference(group, symops);
  // A missing operation is named with its translation within the cell.
  symops = {{"", "x,y,z", parse_symop_xyz("x,y,z")}, {"", "-x,-y,-z", parse_symop_xyz("-x,-y,-z")}};
  EXPECT_EQ(group_difference(group, symops),
            "the operation -x,y+1/2,-z+1/2 of the group is not among the CIF's operators");
}

// gemmi reads no decimals in operators: the check gives them as fractions.
std::string with_fractions(std::string xyz) {
  for (const auto& [decimal, fraction] : {std::pair{"0.5", "1/2"}, {".5", "1/2"}, {"0.25", "1/4"}, {".25", "1/4"}}) {
    for (std::size_t at = xyz.find(decimal); at != std::string::npos; at = xyz.find(decimal))
      xyz.replace(at, std::string(decimal).size(), fraction);
  }
  return xyz;
}

TEST(VortanCif, LoopsPasteIntoThePapersCif) {
  // The paper: P 21/c with its operators in an order of its own and decimal
  // translations, labels longer than an experiment holds. cif2exp left
  // NAME.CIFSRC beside the experiment it made from it.
  const std::string paper =
      "data_global\n_journal_name_full 'Test'\n\n"
      "data_paper_block\n"
      "_cell_length_a 7.1234(5)\n_cell_length_b 9.8765(7)\n_cell_length_c 6.5432(4)\n"
      "_cell_angle_alpha 90\n_cell_angle_beta 104.321(3)\n_cell_angle_gamma 90\n"
      "_space_group_name_H-M_alt 'P 1 21/c 1'\n"
      "loop_\n_space_group_symop_id\n_space_group_symop_operation_xyz\n"
      "1 'x, y, z'\n2 '-x, -y, -z'\n3 'x, -y+0.5, z+.5'\n4 '-x, 1/2+y, 1/2-z'\n"
      "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
      "Cu1 0.5 0 0.5\nO1_water 0.3123 0.1456 0.6789\nN1_amine 0.7012 0.1123 0.3345\n"
      "C1_methyl 0.8456 0.2234 0.4567\n";
  testing_support::TestPhase phase;
  phase.name = "Paper phase";
  phase.space_group = "P 21/c";
  phase.cell = {7.1234, 9.8765, 6.5432, 90, 104.321, 90};
  phase.atoms = {{"Cu1", "Cu", 0.5, 0, 0.5},
                 {"O1_water", "O", 0.3123, 0.1456, 0.6789},
                 {"N1_amine", "N", 0.7012, 0.1123, 0.3345},
                 {"C1_methy", "C", 0.8456, 0.2234, 0.4567}};
  testing_support::ExpFileBuilder builder = testing_support::minimal_experiment();
  builder.phase_flags({1})
      .atom_types({{"Cu", 1.3, 1.3}, {"O", 0.8, 0.8}, {"N", 0.8, 0.8}, {"C", 0.8, 0.8}})
      .phase(phase)
      .vortan_controls(1, "DMAX 3.2 DAGL 2.6");
  TempFolder folder;
  builder.write(folder / "PAPER.EXP");
  testing_support::write_file(folder / "paper.cif", paper);
  testing_support::write_file(folder / "PAPER.CIFSRC",
                              "# PAPER.EXP was converted by cif2exp from this CIF block\ncif " +
                                  std::filesystem::absolute(folder / "paper.cif").string() +
                                  "\nblock paper_block\nlabel Cu1 Cu1\nlabel O1_water O1_water\n"
                                  "label N1_amine N1_amine\nlabel C1_methy C1_methyl\n");
  const auto run = run_program(VORTAN_BIN, {"PAPER", "--cif"}, folder.path(), "", kFixedDates);
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  const std::string written = read_file(folder / "PAPER_geom.cif");
  testing_support::write_file("cif_output_test_paper.cif", written);  // for a look after a failure
  // The symop loop is the paper's.
  EXPECT_NE(written.find("3 'x, -y+0.5, z+.5'"), std::string::npos) << written;

  // Paste the geometry loops into the paper's block.
  const std::size_t first_loop = written.find("loop_\n_geom_bond");
  ASSERT_NE(first_loop, std::string::npos) << written;
  const gemmi::cif::Document merged = gemmi::cif::read_string(paper + "\n" + written.substr(first_loop));
  gemmi::cif::Block block = merged.blocks.at(1);
  ASSERT_EQ(block.name, "paper_block");
  std::map<std::string, gemmi::Op> ops;
  gemmi::cif::Table symops = block.find("_space_group_symop_", {"id", "operation_xyz"});
  for (auto row : symops) ops[row.str(0)] = gemmi::parse_triplet(with_fractions(row.str(1)));
  std::map<std::string, gemmi::Fractional> sites;
  for (auto row : block.find("_atom_site_", {"label", "fract_x", "fract_y", "fract_z"}))
    sites[row.str(0)] = gemmi::Fractional(gemmi::cif::as_number(row[1]), gemmi::cif::as_number(row[2]),
                                          gemmi::cif::as_number(row[3]));
  const gemmi::UnitCell cell(7.1234, 9.8765, 6.5432, 90, 104.321, 90);
  auto place = [&](const std::string& label, const std::string& code) {
    EXPECT_EQ(sites.count(label), 1u) << label;
    gemmi::Fractional x = sites[label];
    if (code == ".") return cell.orthogonalize(x);
    const std::size_t bar = code.find('_');
    EXPECT_EQ(ops.count(code.substr(0, bar)), 1u) << code;
    const auto p = ops[code.substr(0, bar)].apply_to_xyz({x.x, x.y, x.z});
    return cell.orthogonalize(gemmi::Fractional(p[0] + code[bar + 1] - '5', p[1] + code[bar + 2] - '5',
                                                p[2] + code[bar + 3] - '5'));
  };
  auto last_place = [](const std::string& value) {
    const std::size_t point = value.find('.');
    return 0.5 * std::pow(10.0, -static_cast<double>(std::min(value.find('('), value.size()) - point - 1)) + 1e-6;
  };
  std::size_t bonds = 0, angles = 0, moved = 0;
  for (auto row : block.find("_geom_bond_", {"atom_site_label_1", "atom_site_label_2", "distance", "site_symmetry_2"})) {
    // Raw values: gemmi's str() reads "." as empty.
    const double d = place(row.str(0), ".").dist(place(row.str(1), row[3]));
    EXPECT_NEAR(d, gemmi::cif::as_number(row[2]), last_place(row[2])) << row.str(0) << " " << row.str(1) << " " << row[3];
    ++bonds;
    moved += row[3] != "." ? 1 : 0;
  }
  for (auto row : block.find("_geom_angle", {"_atom_site_label_1", "_atom_site_label_2", "_atom_site_label_3", "",
                                             "_site_symmetry_1", "_site_symmetry_3"})) {
    const double angle = gemmi::deg(
        gemmi::calculate_angle(place(row.str(0), row[4]), place(row.str(1), "."), place(row.str(2), row[5])));
    EXPECT_NEAR(angle, gemmi::cif::as_number(row[3]), last_place(row[3])) << row.str(0) << row.str(1) << row.str(2);
    ++angles;
  }
  // The chemical bonds alone: Cu1-O1_water, Cu1-N1_amine (to an image of
  // Cu1) and N1_amine-C1_methyl, and the angles between them; the longer
  // distances are not bonds.
  EXPECT_GE(bonds, 3u);
  EXPECT_GE(moved, 1u);
  EXPECT_GE(angles, 2u);
  EXPECT_NE(written.find("C1_methyl"), std::string::npos);

  // Another paper's group is refused, and nothing is written.
  std::filesystem::remove(folder / "PAPER_geom.cif");
  std::string other = paper;
  other.replace(other.find("'x, -y+0.5, z+.5'"), 17, "'x, -y, z+.5'");
  testing_support::write_file(folder / "other.cif", other);
  const auto refused = run_program(VORTAN_BIN, {"PAPER", "--cif=other.cif"}, folder.path(), "", kFixedDates);
  EXPECT_NE(refused.exit_status, 0);
  EXPECT_NE(refused.out.find("is not of the space group"), std::string::npos) << refused.out;
  EXPECT_FALSE(std::filesystem::exists(folder / "PAPER_geom.cif"));
}

TEST(VortanCif, LabelsOutsideAsciiAreTransliteratedOrRefused) {
  testing_support::TestPhase phase;
  phase.atoms = {{"O\xC3\xA9" "1", "O", 0, 0, 0}, {"Si1", "Si", 0.3, 0, 0}};
  testing_support::ExpFileBuilder builder = testing_support::minimal_experiment();
  builder.phase_flags({1}).atom_types({{"O", 1.0, 1.0}, {"Si", 1.0, 1.0}}).phase(phase).vortan_controls(1, "");
  TempFolder folder;
  builder.write(folder / "ACCENT.EXP");
  const auto run = run_program(VORTAN_BIN, {"ACCENT", "--cif"}, folder.path(), "", kFixedDates);
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  const std::string text = read_file(folder / "ACCENT_geom.cif");
  for (char ch : text) EXPECT_TRUE(ch == '\n' || (ch >= ' ' && ch <= '~')) << static_cast<int>(ch);
  EXPECT_NE(text.find("Oe1"), std::string::npos) << text;

  phase.atoms[0].label = "O\xCE\xB1" "1";  // a Greek alpha
  testing_support::ExpFileBuilder greek = testing_support::minimal_experiment();
  greek.phase_flags({1}).atom_types({{"O", 1.0, 1.0}, {"Si", 1.0, 1.0}}).phase(phase).vortan_controls(1, "");
  greek.write(folder / "GREEK.EXP");
  const auto refused = run_program(VORTAN_BIN, {"GREEK", "--cif"}, folder.path(), "", kFixedDates);
  EXPECT_NE(refused.exit_status, 0);
  EXPECT_NE(refused.out.find("has a character that a CIF cannot hold"), std::string::npos) << refused.out;
  EXPECT_FALSE(std::filesystem::exists(folder / "GREEK_geom.cif"));
}

}  // namespace
}  // namespace vesk
