// The publication CIF: operators in GENEQ order checked against GENEQ and
// gemmi's tables, the n_klm codes, value(s.u.) text, quoting, and whole data
// blocks read back with gemmi's CIF reader.
#include "vortan/cif_output.hpp"

#include <gemmi/cif.hpp>
#include <gemmi/numb.hpp>
#include <gemmi/symmetry.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <set>
#include <tuple>

#include "recio/fixed_text.hpp"
#include "support/run_program.hpp"

namespace vesk {
namespace {

SpaceGroupInfo group_of(const char* symbol) {
  SpaceGroupInfo group;
  SGINTERP(symbol, -1, group);
  EXPECT_FALSE(group.failed()) << symbol;
  return group;
}

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
    const SpaceGroupInfo group = group_of(symbol);
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
  const SpaceGroupInfo p21c = group_of("P 21/c");
  EXPECT_EQ(symop_number(p21c, -2), 4);
  EXPECT_EQ(symop_number(p21c, 3), 0);
  EXPECT_EQ(symop_number(p21c, 101), 0);
  EXPECT_EQ(symop_number(group_of("P 21"), -1), 0);
  EXPECT_EQ(symop_number(group_of("C 2/c"), -102), 8);
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

TEST(CifNumbers, SameDigitsAsTheListingWithoutBlanks) {
  // The listing's worked examples.
  EXPECT_EQ(cif_number(2.1f, 0.00004f, EsdKind::Distance), "2.10000(4)");
  EXPECT_EQ(cif_number(2.1f, 0.0012f, EsdKind::Distance), "2.1000(12)");
  EXPECT_EQ(cif_number(109.47f, 0.4f, EsdKind::Angle), "109.5(4)");
  EXPECT_EQ(cif_number(109.47f, 0.35f, EsdKind::Angle), "109.47(35)");
  EXPECT_EQ(cif_number(109.47f, 4.0f, EsdKind::Angle), "109.(4)");
  // No s.u.: the value alone, with the listing's decimals.
  EXPECT_EQ(cif_number(2.1f, 0.0f, EsdKind::Distance), "2.10000");
  EXPECT_EQ(cif_number(90.0f, 0.0f, EsdKind::Angle), "90.000");
  // Every one is a CIF number with the same value.
  for (const char* text : {"2.10000(4)", "109.(4)", "2.10000", "90.000"}) {
    EXPECT_TRUE(gemmi::cif::is_numb(text)) << text;
  }
  EXPECT_DOUBLE_EQ(gemmi::cif::as_number("109.(4)"), 109.0);
  // Wider than the listing's field: still the digits, not asterisks.
  EXPECT_EQ(cif_number(12345.678f, 0.01f, EsdKind::Distance), "12345.678(10)");
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
  phase.group = group_of(symbol);
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

struct Collected {
  std::vector<FoundDistance> hits;
  std::vector<std::array<NeighbourEntry, 2>> angle_pairs;
  std::vector<bool> bond_marks;
  std::vector<bool> angle_marks;
  std::vector<int> bond_centrals, angle_centrals;
};

// The search of every atom, with angles between the kept neighbours, handed
// to the collector as the driver does; every third distance and angle marked.
Collected collect_phase(CifCollector& cif, const PhaseDescription& phase) {
  Collected out;
  PublishLists publish;
  SearchControls controls;
  start_cif_phase(cif, phase);
  for (int i = 1; i <= static_cast<int>(phase.atoms.size()); ++i) {
    std::vector<NeighbourEntry> kept;
    search_neighbours(phase, i, controls, [&](const FoundDistance& hit) {
      const int cell = cell_code(hit.n[0], hit.n[1], hit.n[2]);
      const bool mark = out.hits.size() % 3 == 1;
      if (mark)
        publish.distances.push_back({static_cast<short>(phase.number), static_cast<short>(i),
                                     static_cast<short>(hit.atom), static_cast<short>(hit.code),
                                     static_cast<short>(cell)});
      collect_bond(cif, phase, publish, i, hit, 0.0011f);
      out.hits.push_back(hit);
      out.bond_marks.push_back(mark);
      out.bond_centrals.push_back(i);
      if (hit.vec.d <= hit.limits.angle && kept.size() < kMaxKeptNeighbours) {
        NeighbourEntry entry;
        entry.code = hit.code;
        entry.code16 = static_cast<short>(hit.code);
        entry.cell_code = static_cast<short>(cell);
        entry.x = hit.x;
        entry.d = hit.vec.d;
        entry.atom = hit.atom;
        kept.push_back(entry);
      }
    });
    for (std::size_t m1 = 0; m1 + 1 < kept.size(); ++m1)
      for (std::size_t m2 = m1 + 1; m2 < kept.size(); ++m2) {
        const bool mark = out.angle_pairs.size() % 3 == 0;
        if (mark)
          publish.angles.push_back({static_cast<short>(phase.number), static_cast<short>(kept[m1].atom),
                                    static_cast<short>(i), static_cast<short>(kept[m2].atom), kept[m1].code16,
                                    kept[m1].cell_code, kept[m2].code16, kept[m2].cell_code});
        Angle angle;
        angle.degrees = 100.0f + static_cast<float>(out.angle_pairs.size());
        angle.sigma = 0.12f;
        collect_angle(cif, phase, publish, i, kept[m1], kept[m2], angle);
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
  CifCollector cif;
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
    ASSERT_EQ(bonds.length(), c.hits.size());
    for (std::size_t r = 0; r < bonds.length(); ++r) {
      const FoundDistance& hit = c.hits[r];
      EXPECT_EQ(bonds[r][0], label_of(ph, c.bond_centrals[r]));
      EXPECT_EQ(bonds[r][1], label_of(ph, hit.atom));
      EXPECT_EQ(bonds[r][2], cif_number(hit.vec.d, 0.0011f, EsdKind::Distance));
      EXPECT_NEAR(gemmi::cif::as_number(bonds[r][2]), hit.vec.d, 1e-4);
      EXPECT_EQ(bonds[r][4], c.bond_marks[r] ? "yes" : "no");
      expect_at(site_position(ops, bonds[r][3], ph.atoms[static_cast<std::size_t>(hit.atom - 1)].x), hit.x);
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
  EXPECT_TRUE(cif_notes(cif).empty());
}

TEST(CifBlocks, TranslationBeyondOneDigitIsWrittenInFull) {
  CifCollector cif;
  cif.name = "FAR";
  PhaseDescription phase = make_phase("P 21/c", {2.0f, 3.0f, 4.0f}, {90.0f, 95.0f, 90.0f});
  add_atom(phase, "A", {0.1f, 0.2f, 0.3f});
  add_atom(phase, "B", {0.2f, 0.3f, 0.4f});
  start_cif_phase(cif, phase);
  // Operator 2 (-x, y+1/2, -z+1/2) of B with the translation (6, 0, -1).
  FoundDistance far;
  far.atom = 2;
  far.code = 2;
  far.n = {6, 0, -1};
  far.x = {-0.2f + 6, 0.8f, 0.1f - 1};
  far.vec = cell_vector(phase, phase.atoms[0].x, far.x);
  collect_bond(cif, phase, PublishLists{}, 1, far, 0.001f);
  NeighbourEntry near;
  near.atom = 2;
  near.code = 1;
  near.code16 = 1;
  near.cell_code = 555;
  near.x = phase.atoms[1].x;
  NeighbourEntry distant = near;
  distant.code = -2;
  distant.code16 = -2;
  distant.x = {0.2f - 5, -0.8f, -0.1f + 1};
  collect_angle(cif, phase, PublishLists{}, 1, near, distant, Angle{120.0f, 0.5f, -0.5f});

  const std::vector<std::string> notes = cif_notes(cif);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_NE(notes[0].find("bond A_B"), std::string::npos) << notes[0];
  EXPECT_NE(notes[0].find("-x+6,y+1/2,-z-1/2"), std::string::npos) << notes[0];
  EXPECT_NE(notes[1].find("angle B_A_B"), std::string::npos) << notes[1];
  EXPECT_NE(notes[1].find("x-5,-y-1/2,z+1/2"), std::string::npos) << notes[1];
  EXPECT_TRUE(cif_notes(cif).empty());  // each site noted once

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
  // The operator in the comment puts B where the search found it.
  const auto p = gemmi::parse_triplet("-x+6,y+1/2,-z-1/2").apply_to_xyz({0.2, 0.3, 0.4});
  expect_at(p, far.x);
}

TEST(CifFile, WrittenThroughATemporaryFile) {
  testing_support::TempFolder folder;
  CifCollector cif;
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

}  // namespace
}  // namespace vesk
