// `vortan NAME --json` on the bundled examples: NAME.json read back with
// nlohmann-json has the keys scripts rely on, and its bond, angle, torsion
// and hydrogen-bond rows are those of the publication CIF of the same run,
// row for row: the same labels, site codes, publication flags and the
// same value(s.u.) once rounded as the CIF rounds them. The option changes
// neither the listing nor the results file.
#include <gtest/gtest.h>

#include <filesystem>
#include <gemmi/cif.hpp>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/run_program.hpp"
#include "support/small_structures.hpp"
#include "report/cif_output.hpp"

namespace {

using nlohmann::json;
using testing_support::read_file;
using testing_support::run_program;
using testing_support::TempFolder;

const std::map<std::string, std::string> kFixedDates = {{"SOURCE_DATE_EPOCH", "1767225600"}, {"LENPAGE", "60"}};

void copy_example(const TempFolder& folder, const std::string& name) {
  for (const char* extension : {".EXP", ".CMT"})
    std::filesystem::copy_file(std::filesystem::path(EXAMPLES_DIR) / (name + extension), folder / (name + extension));
}

std::string site(const json& code) { return code.is_null() ? std::string("?") : code.get<std::string>(); }

// The rows the publication CIF holds, in their order.
std::vector<json> in_paper(const json& rows) {
  std::vector<json> out;
  for (const json& row : rows)
    if (row["paper"].get<bool>()) out.push_back(row);
  return out;
}

void expect_quantity(const json& q, const std::string& where) {
  ASSERT_TRUE(q.is_object()) << where;
  EXPECT_TRUE(q["value"].is_number()) << where;
  EXPECT_TRUE(q["su"].is_number() || q["su"].is_null()) << where;
}

TEST(VortanJson, RowsAreThePublicationCifsOfTheSameRun) {
  for (const std::string name : {"QUARTZ", "SPINEL", "FERROCENE"}) {
    SCOPED_TRACE(name);
    TempFolder plain, with_json;
    copy_example(plain, name);
    copy_example(with_json, name);
    for (int pass = 0; pass < 2; ++pass) {
      if (pass == 1) {
        // Every third results record marked for publication.
        for (const TempFolder* folder : {&plain, &with_json}) {
          std::string text = read_file(*folder / (name + ".VORTAN"));
          std::size_t line = 0;
          for (std::size_t at = text.find('\n'); at != std::string::npos && at + 1 < text.size();
               at = text.find('\n', at + 1))
            if (++line % 3 == 0) text[at + 1] = 'Y';
          testing_support::write_file(*folder / (name + ".VORTAN"), text);
          std::filesystem::remove(*folder / (name + ".LST"));
        }
      }
      const auto a = run_program(VORTAN_BIN, {name}, plain.path(), "", kFixedDates);
      const auto b = run_program(VORTAN_BIN, {"--json", name, "--cif"}, with_json.path(), "", kFixedDates);
      ASSERT_EQ(a.exit_status, 0) << a.err;
      ASSERT_EQ(b.exit_status, 0) << b.err;
      EXPECT_FALSE(std::filesystem::exists(plain / (name + ".json")));
      EXPECT_EQ(read_file(plain / (name + ".LST")), read_file(with_json / (name + ".LST")));
      EXPECT_EQ(read_file(plain / (name + ".VORTAN")), read_file(with_json / (name + ".VORTAN")));

      const json doc = json::parse(read_file(with_json / (name + ".json")));
      EXPECT_EQ(doc["program"], "vortan");
      EXPECT_EQ(doc["experiment"], name);
      EXPECT_TRUE(doc["version"].is_string());
      EXPECT_EQ(doc["schema"], "vortan-results/2");
      // The examples come with their refinement's covariance file.
      EXPECT_NE(doc["covariance"], "none: s.u.'s from the cell alone");
      gemmi::cif::Document cif = gemmi::cif::read_string(read_file(with_json / (name + "_geom.cif")));
      ASSERT_EQ(doc["phases"].size(), cif.blocks.size());
      for (std::size_t p = 0; p < cif.blocks.size(); ++p) {
        const json& phase = doc["phases"][p];
        gemmi::cif::Block& block = cif.blocks[p];
        for (const char* key :
             {"phase", "name", "space_group", "cell", "cartesian_frame", "symmetry_operators", "atoms", "bonds",
              "angles", "torsions", "hydrogen_bonds", "rings", "planes", "plane_angles", "rigid_bond"})
          EXPECT_TRUE(phase.contains(key)) << key;
        for (const char* key : {"a", "b", "c", "alpha", "beta", "gamma"}) expect_quantity(phase["cell"][key], key);
        // The operator list the site codes count in.
        gemmi::cif::Column xyz = block.find_values("_space_group_symop_operation_xyz");
        ASSERT_EQ(phase["symmetry_operators"].size(), static_cast<std::size_t>(xyz.length()));
        for (int k = 0; k < xyz.length(); ++k)
          EXPECT_EQ(phase["symmetry_operators"][static_cast<std::size_t>(k)]["xyz"], gemmi::cif::as_string(xyz[k]));

        gemmi::cif::Table bonds = block.find(
            "_geom_bond_", {"atom_site_label_1", "atom_site_label_2", "distance", "site_symmetry_2", "publ_flag"});
        // The CIF's bonds are the chemical bonds; a marked distance that is
        // no bond is a contact; the other distances are only in NAME.json.
        std::vector<json> paper_bonds, contacts;
        std::size_t published = 0;
        for (const json& row : phase["bonds"]) {
          EXPECT_EQ(row["paper"].get<bool>(), row["chemical_bond"].get<bool>() || row["publish"].get<bool>());
          if (row["paper"].get<bool>()) (row["chemical_bond"].get<bool>() ? paper_bonds : contacts).push_back(row);
          EXPECT_EQ(row["chemical_bond"].get<bool>(), row["distance"]["value"].get<double>() < 2.1);
          published += row["publish"].get<bool>() ? 1 : 0;
        }
        ASSERT_EQ(paper_bonds.size(), bonds.length());
        EXPECT_EQ(contacts.size(), static_cast<std::size_t>(block.find_values("_geom_contact_distance").length()));
        for (std::size_t r = 0; r < bonds.length(); ++r) {
          const json& row = paper_bonds[r];
          const gemmi::cif::Table::Row cif_row = bonds[r];
          EXPECT_EQ(row["atoms"][0], cif_row.str(0));
          EXPECT_EQ(row["atoms"][1], cif_row.str(1));
          expect_quantity(row["distance"], "distance");
          EXPECT_EQ(row["distance"]["text"], cif_row[2]) << r;
          EXPECT_EQ(site(row["site_codes"][1]), cif_row[3]) << r;
          EXPECT_EQ(row["publish"].get<bool>(), cif_row[4] == "yes") << r;
        }
        // In these three the chemical bonds are the distances below 2.1 A
        // (Si-O up to 1.61, Al-O up to 1.93, Fe-C, C-C, C-H); the shortest
        // other distances are O...O of 2.59 A.
        gemmi::cif::Table angles =
            block.find("_geom_angle", {"", "_site_symmetry_1", "_site_symmetry_3", "_atom_site_label_2", "_publ_flag"});
        const std::vector<json> paper_angles = in_paper(phase["angles"]);
        ASSERT_EQ(paper_angles.size(), angles.length());
        for (std::size_t r = 0; r < angles.length(); ++r) {
          const json& row = paper_angles[r];
          EXPECT_EQ(row["angle"]["text"], angles[r][0]) << r;
          EXPECT_EQ(site(row["site_codes"][0]), angles[r][1]) << r;
          EXPECT_EQ(site(row["site_codes"][2]), angles[r][2]) << r;
          EXPECT_EQ(row["atoms"][1], angles[r].str(3)) << r;  // the vertex in the middle
          EXPECT_EQ(row["publish"].get<bool>(), angles[r][4] == "yes") << r;
        }
        gemmi::cif::Column torsions = block.find_values("_geom_torsion");
        const std::vector<json> paper_torsions = in_paper(phase["torsions"]);
        ASSERT_EQ(paper_torsions.size(), static_cast<std::size_t>(torsions.length()));
        for (int r = 0; r < torsions.length(); ++r)
          EXPECT_EQ(paper_torsions[static_cast<std::size_t>(r)]["angle"]["text"], torsions[r]);
        for (const json& atom : phase["atoms"]) {
          EXPECT_TRUE(atom["label"].is_string());
          EXPECT_EQ(atom["fract"].size(), 3u);
        }
        EXPECT_EQ(published > 0, pass == 1);
      }
    }
  }
}

// cif2exp on the P 41 paper, then vortan --json with `controls` added to
// the control record; the run's result.
testing_support::RunResult run_p41(const TempFolder& folder, const std::string& controls) {
  testing_support::write_file(folder / "s.cif", testing_support::kP41Cif);
  const auto converted = run_program(CIF2EXP_BIN, {"s.cif", "S"}, folder.path());
  EXPECT_EQ(converted.exit_status, 0) << converted.out << converted.err;
  std::string bytes = read_file(folder / "S.EXP");
  const std::size_t at = bytes.find("  VRTN CDAT1");
  std::string value = bytes.substr(at + 12, 68);
  value = value.substr(0, value.find_last_not_of(' ') + 1) + " DFLT DFLT " + controls;
  EXPECT_LE(value.size(), 68u);
  value.resize(68, ' ');
  bytes.replace(at + 12, 68, value);
  testing_support::write_file(folder / "S.EXP", bytes);
  std::filesystem::remove(folder / "S.LST");
  std::filesystem::remove(folder / "S.json");
  return run_program(VORTAN_BIN, {"S", "--json"}, folder.path(), "", kFixedDates);
}

TEST(VortanJson, UserPlanesWithSiteCodesAndTablesTurnedOff) {
  TempFolder folder;
  const auto plain = run_p41(folder, "");
  ASSERT_EQ(plain.exit_status, 0) << plain.err;
  const std::string listing = read_file(folder / "S.LST");
  const char* headings[] = {" Rings (in ring order", " Least-squares planes", " Angles between planes",
                            " Rigid-bond test"};
  // All atoms isotropic: no rigid-bond table; the other three are there.
  for (std::size_t k = 0; k < 3; ++k) EXPECT_NE(listing.find(headings[k]), std::string::npos) << headings[k];
  EXPECT_EQ(listing.find(headings[3]), std::string::npos);

  const auto run = run_p41(folder, "PLAN C1 C2 C3 C4 C5_1_556");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const json phase = json::parse(read_file(folder / "S.json"))["phases"][0];
  ASSERT_EQ(phase["rings"].size(), 2u);
  ASSERT_EQ(phase["planes"].size(), 3u);
  const json& user = phase["planes"][2];
  EXPECT_EQ(user["user_plane"], 1);
  EXPECT_TRUE(user["ring"].is_null());
  EXPECT_EQ(user["atoms"], json({"C1", "C2", "C3", "C4", "C5"}));
  EXPECT_EQ(user["site_codes"], json({".", ".", ".", ".", "1_556"}));
  EXPECT_EQ(user["deviations"][4]["site_code"], "1_556");
  // The two ring planes (fused) with each other, and the user plane with both.
  ASSERT_EQ(phase["plane_angles"].size(), 3u);
  EXPECT_EQ(phase["plane_angles"][0]["relation"], "fused");
  EXPECT_EQ(phase["plane_angles"][0]["site_code"], ".");
  EXPECT_EQ(phase["plane_angles"][2]["relation"], "plan");
  EXPECT_TRUE(phase["plane_angles"][2]["centroid_distance"]["su"].is_number());
  EXPECT_NE(read_file(folder / "S.LST").find(" Plane 3 PLAN 1: C1 C2 C3 C4 C5_1_556"), std::string::npos);
  // RING N: no ring search at all; the user plane stands alone.
  ASSERT_EQ(run_p41(folder, "PLAN C1 C2 C3 C4 C5_1_556 RING N").exit_status, 0);
  const json alone = json::parse(read_file(folder / "S.json"))["phases"][0];
  EXPECT_TRUE(alone["rings"].empty());
  ASSERT_EQ(alone["planes"].size(), 1u);
  EXPECT_TRUE(alone["plane_angles"].empty());
  const std::string turned_off = read_file(folder / "S.LST");
  EXPECT_EQ(turned_off.find(headings[0]), std::string::npos);
  EXPECT_NE(turned_off.find(" Plane 1 PLAN 1: C1 C2 C3 C4 C5_1_556"), std::string::npos);

  // A whole cell away, C5 pulls the plane far from the other four.
  ASSERT_EQ(run_p41(folder, "PLAN C1 C2 C3 C4 C5").exit_status, 0);
  const json own = json::parse(read_file(folder / "S.json"))["phases"][0]["planes"][2];
  EXPECT_EQ(own["site_codes"][4], ".");
  EXPECT_GT(user["rms_deviation"]["value"].get<double>(), 2 * own["rms_deviation"]["value"].get<double>());

  ASSERT_EQ(run_p41(folder, "PLNS N PANG N").exit_status, 0);
  const std::string rings_only = read_file(folder / "S.LST");
  EXPECT_NE(rings_only.find(headings[0]), std::string::npos);
  EXPECT_EQ(rings_only.find(headings[1]), std::string::npos);
  EXPECT_EQ(rings_only.find(headings[2]), std::string::npos);

  const struct {
    const char* controls;
    const char* message;
  } refused[] = {
      {"PLAN C1 C2", "PLAN in the control record \"  VRTN CDAT1\" names 2 atoms; a plane takes 3 to 50"},
      {"PLAN C1 C2 X9",
       "PLAN in the control record \"  VRTN CDAT1\" names the atom \"X9\", which phase 1 does not have"},
      {"PLAN C1 C2 C3_9_555",
       "PLAN in the control record \"  VRTN CDAT1\" names \"C3_9_555\", whose site code 9_555 "
       "is not one of phase 1's operators"},
      {"RIGB maybe", "The RIGB value \"maybe\" of the control record \"  VRTN CDAT1\" is not Y or N"},
      {"PANG some", "The PANG value \"some\" of the control record \"  VRTN CDAT1\" is not Y, ALL or N"},
  };
  for (const auto& r : refused) {
    const auto bad = run_p41(folder, r.controls);
    EXPECT_NE(bad.exit_status, 0) << r.controls;
    EXPECT_NE(bad.out.find(r.message), std::string::npos) << r.controls << ": " << bad.out;
    EXPECT_FALSE(std::filesystem::exists(folder / "S.json")) << r.controls;
  }
}

}  // namespace
