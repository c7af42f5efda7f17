// Whole runs of cif2exp and vortan --json on structures made here and on a
// published coordination polymer: which rings are found (molecules, the
// ligands of a polymer, a periodic net), a molecule past the ring limit
// skipped without stopping the run, and which angles between planes are
// given (fused, bonded, close centroids, on request).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/run_program.hpp"

namespace {

using nlohmann::json;
using testing_support::read_file;
using testing_support::run_program;
using testing_support::TempFolder;
using testing_support::write_file;

struct Site {
  std::string label;
  double x, y, z;  // Cartesian in an orthogonal cell, Angstrom
};

// A P 1 CIF of carbon atoms in an orthogonal cell (a, b, c).
std::string carbon_cif(const std::vector<Site>& sites, double a, double b, double c) {
  std::string text = "data_made\n_cell_length_a " + std::to_string(a) + "\n_cell_length_b " + std::to_string(b) +
                     "\n_cell_length_c " + std::to_string(c) +
                     "\n_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n"
                     "loop_\n_symmetry_equiv_pos_as_xyz\n'x,y,z'\n"
                     "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n"
                     "_atom_site_fract_z\n_atom_site_U_iso_or_equiv\n";
  char line[120];
  for (const Site& s : sites) {
    std::snprintf(line, sizeof line, "%s C %.6f %.6f %.6f 0.02\n", s.label.c_str(), s.x / a, s.y / b, s.z / c);
    text += line;
  }
  return text;
}

struct Outcome {
  int status = 0;
  std::string out;
  std::string listing;
  json phase;
};

// cif2exp with `limits`, the words `controls` added to the control record, vortan --json.
Outcome convert_and_run(const TempFolder& folder, const std::string& cif, const std::vector<std::string>& limits,
                    const std::string& controls = "") {
  write_file(folder / "s.cif", cif);
  std::vector<std::string> arguments = {"s.cif", "S", "--force"};
  arguments.insert(arguments.end(), limits.begin(), limits.end());
  const auto converted = run_program(CIF2EXP_BIN, arguments, folder.path());
  EXPECT_EQ(converted.exit_status, 0) << converted.out << converted.err;
  if (!controls.empty()) {
    std::string bytes = read_file(folder / "S.EXP");
    const std::size_t at = bytes.find("  VRTN CDAT1");
    std::string value = bytes.substr(at + 12, 68);
    value = value.substr(0, value.find_last_not_of(' ') + 1) + " DFLT DFLT " + controls;
    value.resize(68, ' ');
    bytes.replace(at + 12, 68, value);
    write_file(folder / "S.EXP", bytes);
  }
  for (const char* old : {"S.LST", "S.json", "S.VORTAN", "S.TORHB"}) std::filesystem::remove(folder / old);
  const auto run = run_program(VORTAN_BIN, {"S", "--json"}, folder.path(), "", {{"SOURCE_DATE_EPOCH", "0"}});
  Outcome result{run.exit_status, run.out + run.err, read_file(folder / "S.LST"), json()};
  if (std::filesystem::exists(folder / "S.json"))
    result.phase = json::parse(read_file(folder / "S.json"))["phases"][0];
  return result;
}

// The rings as sets of labels.
std::set<std::set<std::string>> ring_sets(const json& phase) {
  std::set<std::set<std::string>> rings;
  for (const auto& ring : phase["rings"]) {
    std::set<std::string> atoms;
    for (const auto& atom : ring["atoms"]) atoms.insert(atom.get<std::string>());
    rings.insert(atoms);
  }
  return rings;
}

// A flake of graphene, m x n hexagons' worth of lattice points (C-C 1.42 A),
// in the ab plane of a cell that holds it whole.
std::vector<Site> graphene_flake(int m, int n) {
  std::vector<Site> sites;
  const double a = 2.46, h = a * std::sqrt(3.0) / 2;
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j) {
      const double x = 5 + i * a + j * a / 2, y = 5 + j * h;
      sites.push_back({"C" + std::to_string(sites.size() + 1), x, y, 5});
      sites.push_back({"C" + std::to_string(sites.size() + 1), x + a / 2, y + h / 3, 5});
    }
  return sites;
}

TEST(MoleculeAnalysis, LinkerRingsOfACoordinationPolymerAreFound) {
  // Silver(I) isonicotinate (COD 7051216): the bonds to Ag run on without
  // end; the two pyridine rings are those of the ligands, found through
  // their bonds to each other across the cell edges (the O-H...O bridge
  // through the inversion centre joins two of them into one ligand).
  TempFolder folder;
  const std::string cif = read_file(std::filesystem::path(TEST_DATA_DIR) / "cod_7051216_Ag_isonicotinate.cif");
  const Outcome run = convert_and_run(folder, cif, {});
  ASSERT_EQ(run.status, 0) << run.out;
  const auto rings = ring_sets(run.phase);
  EXPECT_EQ(rings.count({"N1", "C1", "C2", "C3", "C4", "C5"}), 1u);
  EXPECT_EQ(rings.count({"N2", "C7", "C8", "C9", "C10", "C11"}), 1u);
  for (const auto& ring : rings) EXPECT_EQ(ring.count("Ag1") + ring.count("Ag2"), 0u);
  EXPECT_NE(run.listing.find(" of ligand "), std::string::npos);
  // No atom bonded to its own image closer than its bonds can be.
  for (const auto& bond : run.phase["bonds"])
    if (bond["chemical_bond"] && bond["atoms"][0] == bond["atoms"][1]) {
      EXPECT_GT(bond["distance"]["value"].get<double>(), 1.2) << bond;
    }

  // A sheet of graphene (two atoms a cell in the ab plane) is one periodic
  // net: its one shortest-path ring, the hexagon, flat.
  const std::vector<Site> sheet = {{"C1", 0, 0, 0}, {"C2", 1.23, 0.710141, 0}};
  const std::string hexagonal = "data_sheet\n_cell_length_a 2.46\n_cell_length_b 2.46\n_cell_length_c 8\n"
                                "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 120\n"
                                "loop_\n_symmetry_equiv_pos_as_xyz\n'x,y,z'\n"
                                "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n"
                                "_atom_site_fract_y\n_atom_site_fract_z\n_atom_site_U_iso_or_equiv\n"
                                "C1 C 0 0 0 0.02\nC2 C 0.333333 0.666667 0 0.02\n";
  const Outcome net = convert_and_run(folder, hexagonal, {"--dmax", "1.8", "--dagl", "1.8"});
  ASSERT_EQ(net.status, 0) << net.out;
  ASSERT_EQ(net.phase["rings"].size(), 1u);
  EXPECT_EQ(net.phase["rings"][0]["atoms"].size(), 6u);
  EXPECT_EQ(net.phase["rings"][0]["puckering"]["conformation"], "planar");
  EXPECT_NE(net.listing.find(" Ring 1 of the net: C1"), std::string::npos);
  // A net's plane angles are given on request only.
  EXPECT_TRUE(net.phase["plane_angles"].empty());
}

TEST(MoleculeAnalysis, ARingLimitSkipsTheMoleculeNotTheRun) {
  TempFolder folder;
  // 4232 atoms in one molecule of 2025 rings: past the limit of 2000.
  const std::vector<Site> large = graphene_flake(46, 46);
  const std::string cif = carbon_cif(large, 190, 110, 10);
  const Outcome skipped = convert_and_run(folder, cif, {"--dmax", "1.8", "--dagl", "1.8"});
  ASSERT_EQ(skipped.status, 0) << skipped.out;
  const std::string note = "Phase 1: Molecule 1 has more than 2000 rings; its rings, their planes and puckering are "
                           "not analysed";
  EXPECT_NE(skipped.listing.find(note), std::string::npos);
  EXPECT_NE(skipped.out.find(note), std::string::npos);
  EXPECT_TRUE(skipped.phase["rings"].empty());
  EXPECT_GT(skipped.phase["bonds"].size(), 6000u);  // the rest of the run is there
  EXPECT_TRUE(std::filesystem::exists(folder / "S.VORTAN"));
  // RING N: no search, no note.
  const Outcome none = convert_and_run(folder, cif, {"--dmax", "1.8", "--dagl", "1.8"}, "RING N PLNS N PANG N");
  ASSERT_EQ(none.status, 0) << none.out;
  EXPECT_EQ(none.listing.find("more than 2000 rings"), std::string::npos);
  EXPECT_TRUE(none.phase["rings"].empty());

  // A molecule of 2450 atoms, beyond what a drawing completes, gets its
  // 1156 rings, each with the planes of the rings fused to it.
  const Outcome whole = convert_and_run(folder, carbon_cif(graphene_flake(35, 35), 150, 90, 10),
                                    {"--dmax", "1.8", "--dagl", "1.8"});
  ASSERT_EQ(whole.status, 0) << whole.out;
  EXPECT_EQ(whole.phase["rings"].size(), 34u * 34u);
  for (const auto& angle : whole.phase["plane_angles"]) EXPECT_EQ(angle["relation"], "fused");
  // Three pairs of fused neighbours per inner hexagon, fewer at the edges.
  EXPECT_EQ(whole.phase["plane_angles"].size(), 3u * 33u * 33u + 2u * 33u);
}

TEST(MoleculeAnalysis, PlaneAnglesOfFusedBondedAndStackedRings) {
  // Naphthalene (two fused rings), a benzene 3.5 A above its first ring,
  // and p-terphenyl whose middle ring is turned 30 degrees about the long
  // axis (rings 4.28 A apart, joined by bonds).
  std::vector<Site> sites;
  auto hexagon = [&](double cx, double cy, double cz, double start, double twist, std::vector<Site>& into) {
    for (int k = 0; k < 6; ++k) {
      const double t = (start + 60.0 * k) * M_PI / 180;
      const double dx = 1.40 * std::cos(t), dy = 1.40 * std::sin(t);
      const double r = twist * M_PI / 180;
      into.push_back({"", cx + dx, cy + dy * std::cos(r), cz + dy * std::sin(r)});
    }
  };
  std::vector<Site> naphthalene, benzene, terphenyl;
  hexagon(10 - 1.212436, 10, 5, 30, 0, naphthalene);
  hexagon(10 + 1.212436, 10, 5, 30, 0, naphthalene);
  // The second ring's (0, +0.7) and (0, -0.7) are the first ring's.
  naphthalene.erase(naphthalene.begin() + 8, naphthalene.begin() + 10);
  hexagon(10 - 1.212436, 10, 8.5, 30, 0, benzene);
  for (int k = 0; k < 3; ++k) hexagon(8 + 4.28 * k, 25, 25, 0, k == 1 ? 30 : 0, terphenyl);
  for (auto* part : {&naphthalene, &benzene, &terphenyl})
    for (Site& s : *part) {
      s.label = "C" + std::to_string(sites.size() + 1);
      sites.push_back(s);
    }
  TempFolder folder;
  const std::string cif = carbon_cif(sites, 40, 40, 40);
  auto relations = [](const Outcome& run) {
    std::multiset<std::string> found;
    for (const auto& angle : run.phase["plane_angles"]) found.insert(angle["relation"].get<std::string>());
    return found;
  };
  const Outcome related = convert_and_run(folder, cif, {"--dmax", "2.0", "--dagl", "2.0"});
  ASSERT_EQ(related.status, 0) << related.out;
  ASSERT_EQ(related.phase["rings"].size(), 6u);
  EXPECT_EQ(relations(related), (std::multiset<std::string>{"fused", "close", "bonded", "bonded"}));
  for (const auto& angle : related.phase["plane_angles"]) {
    const double degrees = angle["angle"]["value"], distance = angle["centroid_distance"]["value"];
    if (angle["relation"] == "fused") {
      EXPECT_NEAR(distance, 2.424871, 1e-4);
    }
    if (angle["relation"] == "close") {
      EXPECT_NEAR(distance, 3.5, 1e-4);
      EXPECT_NEAR(degrees, 0, 1e-4);
    }
    if (angle["relation"] == "bonded") {
      EXPECT_NEAR(degrees, 30, 1e-3);
      EXPECT_NEAR(distance, 4.28, 1e-4);
    }
  }
  // PANG ALL adds the two outer rings of terphenyl; PANG N gives none.
  const Outcome every = convert_and_run(folder, cif, {"--dmax", "2.0", "--dagl", "2.0"}, "PANG ALL");
  EXPECT_EQ(relations(every), (std::multiset<std::string>{"fused", "close", "bonded", "bonded", "requested"}));
  const Outcome off = convert_and_run(folder, cif, {"--dmax", "2.0", "--dagl", "2.0"}, "PANG N");
  EXPECT_TRUE(off.phase["plane_angles"].empty());
  EXPECT_EQ(off.listing.find(" Angles between planes"), std::string::npos);
}

}  // namespace
