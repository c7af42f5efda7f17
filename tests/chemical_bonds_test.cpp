// The chemical bond rule and the choice of kept neighbours: the pure rules,
// then whole runs of cif2exp and vortan on built molecules, where a wide
// angle limit must not change the torsion angles.
#include <gtest/gtest.h>

#include <gemmi/elem.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "crystal/covalent_radii.hpp"
#include "tests/support/expfile_builder.hpp"
#include "tests/support/run_program.hpp"
#include "geometry/chemical_bonds.hpp"
#include "vortan/driver.hpp"

namespace {

using testing_support::read_file;
using testing_support::run_program;
using testing_support::TempFolder;
using testing_support::write_file;

TEST(ChemicalBonds, NearestKeptTakesTheNearestWithTiesInSearchOrder) {
  const std::vector<float> few = {3.0f, 1.0f, 2.0f};
  EXPECT_EQ(vesk::nearest_kept(few, 25), (std::vector<std::size_t>{0, 1, 2}));
  // 26 found, the last the nearest: it is kept and the farthest is not.
  std::vector<float> d;
  for (int k = 0; k < 25; ++k) d.push_back(2.0f + 0.01f * static_cast<float>(k));
  d.push_back(1.0f);
  std::vector<std::size_t> kept = vesk::nearest_kept(d, 25);
  ASSERT_EQ(kept.size(), 25u);
  EXPECT_EQ(kept.back(), 25u);
  EXPECT_EQ(std::count(kept.begin(), kept.end(), 24u), 0);
  // Ties at the cut: the first found of the equal ones stay, in search order.
  const std::vector<float> ties = {2.0f, 1.0f, 2.0f, 2.0f, 1.5f};
  EXPECT_EQ(vesk::nearest_kept(ties, 3), (std::vector<std::size_t>{0, 1, 4}));
}

TEST(ChemicalBonds, BondedByCovalentRadiiNeverHydrogenPairsNorPeaks) {
  const int c = static_cast<int>(gemmi::El::C), h = static_cast<int>(gemmi::El::H),
            d = static_cast<int>(gemmi::El::D), fe = static_cast<int>(gemmi::El::Fe);
  const vesk::BondingAtom carbon = vesk::bonding_atom(c, false), hydrogen = vesk::bonding_atom(h, false),
                          deuterium = vesk::bonding_atom(d, false), iron = vesk::bonding_atom(fe, false),
                          peak = vesk::bonding_atom(0, true), unknown = vesk::bonding_atom(0, false);
  // C 0.76 + C 0.76 + 0.4 = 1.92 A (Cordero et al. 2008).
  EXPECT_TRUE(vesk::chemically_bonded(carbon, carbon, 1.54f, 0.4f));
  EXPECT_TRUE(vesk::chemically_bonded(carbon, carbon, 1.91f, 0.4f));
  EXPECT_FALSE(vesk::chemically_bonded(carbon, carbon, 1.93f, 0.4f));
  EXPECT_FALSE(vesk::chemically_bonded(carbon, carbon, 2.51f, 0.4f));  // 1,3 contact
  EXPECT_TRUE(vesk::chemically_bonded(carbon, carbon, 1.93f, 0.5f));
  EXPECT_TRUE(vesk::chemically_bonded(carbon, hydrogen, 1.09f, 0.4f));
  EXPECT_FALSE(vesk::chemically_bonded(carbon, hydrogen, 2.16f, 0.4f));
  EXPECT_FALSE(vesk::chemically_bonded(hydrogen, hydrogen, 0.74f, 0.4f));
  EXPECT_FALSE(vesk::chemically_bonded(hydrogen, deuterium, 0.74f, 0.4f));
  EXPECT_TRUE(vesk::chemically_bonded(iron, carbon, 2.05f, 0.4f));  // ferrocene
  EXPECT_FALSE(vesk::chemically_bonded(peak, carbon, 1.0f, 0.4f));
  EXPECT_TRUE(vesk::chemically_bonded(unknown, carbon, 2.9f, 0.4f));  // the angle limit decides
  EXPECT_TRUE(deuterium.hydrogen);
  // The two places of a disordered part never bond to each other; either
  // bonds to the ordered rest, and to an atom of full occupancy that a
  // group lists (it belongs to both places).
  vesk::BondingAtom part_a = carbon, part_b = carbon;
  part_a.disorder_group = 1;
  part_b.disorder_group = 2;
  part_a.partial = part_b.partial = true;
  EXPECT_FALSE(vesk::chemically_bonded(part_a, part_b, 1.4f, 0.4f));
  EXPECT_TRUE(vesk::chemically_bonded(part_a, part_a, 1.5f, 0.4f));
  EXPECT_TRUE(vesk::chemically_bonded(part_a, carbon, 1.5f, 0.4f));
  vesk::BondingAtom full_b = part_b;
  full_b.partial = false;
  EXPECT_TRUE(vesk::chemically_bonded(part_a, full_b, 1.4f, 0.4f));

  // Closer than 0.6 of the radii (0.91 A for C-C) no two atoms are bonded:
  // alternatives, or an error the checks name. A partly occupied atom and
  // its own image closer than 0.8 (1.22 A) are two places of one atom; a
  // bond across a centre (naphthalene's, 1.42 A) stays.
  EXPECT_FALSE(vesk::chemically_bonded(carbon, carbon, 0.90f, 0.4f));
  EXPECT_TRUE(vesk::chemically_bonded(carbon, carbon, 0.92f, 0.4f));
  const vesk::PairPlace own_image{true, true};
  EXPECT_TRUE(vesk::chemically_bonded(carbon, carbon, 1.10f, 0.4f, own_image));
  EXPECT_FALSE(vesk::chemically_bonded(part_a, part_a, 1.10f, 0.4f, own_image));
  EXPECT_TRUE(vesk::chemically_bonded(part_a, part_a, 1.42f, 0.4f, own_image));
  // A negative group (PART -1) bonds to no other image of itself, but
  // within its own copy as usual.
  vesk::BondingAtom special = part_a;
  special.negative_group = true;
  EXPECT_FALSE(vesk::chemically_bonded(special, special, 1.5f, 0.4f, {true, false}));
  EXPECT_TRUE(vesk::chemically_bonded(special, special, 1.5f, 0.4f, {false, false}));
  EXPECT_TRUE(vesk::chemically_bonded(special, carbon, 1.5f, 0.4f, {true, false}));

  for (gemmi::El el : {gemmi::El::Li, gemmi::El::Na, gemmi::El::Mg, gemmi::El::Al, gemmi::El::Zn, gemmi::El::Ni,
                       gemmi::El::Sn, gemmi::El::La, gemmi::El::U})
    EXPECT_TRUE(vesk::is_metal(static_cast<int>(el))) << gemmi::element_name(el);
  for (gemmi::El el : {gemmi::El::H, gemmi::El::B, gemmi::El::C, gemmi::El::Si, gemmi::El::Ge, gemmi::El::As,
                       gemmi::El::Sb, gemmi::El::Te, gemmi::El::Cl, gemmi::El::Xe})
    EXPECT_FALSE(vesk::is_metal(static_cast<int>(el))) << gemmi::element_name(el);
  // The table read by atomic number agrees with the one read by symbol.
  for (int z = 1; z <= 96; ++z)
    EXPECT_EQ(vesk::covalent_radius(z), vesk::covalent_radius(gemmi::element_name(static_cast<gemmi::El>(z)))) << z;
  EXPECT_EQ(vesk::covalent_radius(97), 0.0f);
  EXPECT_EQ(vesk::covalent_radius(0), 0.0f);
}

TEST(ChemicalBonds, ControlWordsBtolAndMtorAreReadWithTheirRange) {
  vesk::PhaseControls c = vesk::parse_phase_controls("DFLT DFLT NOFR DFLT", "K");
  EXPECT_FLOAT_EQ(c.bond_tolerance, 0.4f);
  EXPECT_FALSE(c.metal_torsions);
  c = vesk::parse_phase_controls("DFLT DFLT NOFR DFLT BTOL 0.25 MTOR y", "K");
  EXPECT_FLOAT_EQ(c.bond_tolerance, 0.25f);
  EXPECT_TRUE(c.metal_torsions);
  EXPECT_FLOAT_EQ(vesk::parse_phase_controls("DFLT DFLT NOFR DFLT BTOL 0", "K").bond_tolerance, 0.0f);
  EXPECT_FLOAT_EQ(vesk::parse_phase_controls("DFLT DFLT NOFR DFLT BTOL 2", "K").bond_tolerance, 2.0f);
  for (const char* bad : {"BTOL -0.1", "BTOL 2.01", "BTOL", "BTOL x", "MTOR", "MTOR YES"})
    EXPECT_THROW(vesk::parse_phase_controls(std::string("DFLT DFLT NOFR DFLT ") + bad, "K"), vesk::Error) << bad;
  try {
    vesk::parse_phase_controls("DFLT DFLT NOFR DFLT BTOL 3", "  VRTN CDAT1");
    ADD_FAILURE();
  } catch (const vesk::Error& e) {
    EXPECT_EQ(std::string(e.what()),
              "The BTOL value \"3\" of the control record \"  VRTN CDAT1\" is not a tolerance between 0 and 2 A");
  }
}

// ---- Built structures ----

using Vec = std::array<double, 3>;

Vec add(const Vec& a, const Vec& b, double s = 1) { return {a[0] + s * b[0], a[1] + s * b[1], a[2] + s * b[2]}; }
Vec unit(const Vec& a) {
  const double n = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
  return {a[0] / n, a[1] / n, a[2] / n};
}
Vec cross(const Vec& a, const Vec& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// The three tetrahedral directions from `centre`, bonded to `parent`, turned
// so that the first is anti to `reference` across the parent-centre bond.
std::array<Vec, 3> tetrahedral(const Vec& parent, const Vec& centre, const Vec& reference) {
  const Vec a = unit(add(centre, parent, -1));
  Vec r = add(reference, parent, -1);
  const double along = r[0] * a[0] + r[1] * a[1] + r[2] * a[2];
  const Vec p1 = unit(add(r, a, -along));
  const Vec p2 = cross(a, p1);
  std::array<Vec, 3> out;
  for (int k = 0; k < 3; ++k) {
    const double turn = M_PI + 2 * M_PI * k / 3;  // 180, 300, 60 degrees from the reference
    out[static_cast<std::size_t>(k)] =
        add(add(Vec{a[0] / 3, a[1] / 3, a[2] / 3}, p1, std::sqrt(8.0 / 9) * std::cos(turn)), p2,
            std::sqrt(8.0 / 9) * std::sin(turn));
  }
  return out;
}

struct BuiltAtom {
  std::string label, element;
  Vec x;  // Cartesian, Angstrom, in an orthogonal cell
};

// HO-(CH2)n-OH in the all-anti conformation, from `start` along x: the
// first bond leans 35.26 degrees off the axis, as every zigzag bond does.
void diol(std::vector<BuiltAtom>& atoms, int carbons, const Vec& start, const std::string& tag) {
  const double lean = std::atan(std::sqrt(0.5));
  const Vec up{-std::sin(lean), std::cos(lean), 0};
  std::vector<Vec> chain = {start, add(start, Vec{std::cos(lean), std::sin(lean), 0}, 1.43)};  // O1, C1
  Vec reference = add(start, up);
  // Each next chain atom anti to the one before the last bond; two H beside it.
  for (int k = 0; k < carbons; ++k) {
    const Vec parent = chain[chain.size() - 2], centre = chain.back();
    const std::array<Vec, 3> d = tetrahedral(parent, centre, reference);
    const std::string n = std::to_string(k + 1);
    reference = parent;
    chain.push_back(add(centre, d[0], k + 1 == carbons ? 1.43 : 1.54));  // C-O at the far end
    atoms.push_back({"H" + n + "A" + tag, "H", add(centre, d[1], 1.09)});
    atoms.push_back({"H" + n + "B" + tag, "H", add(centre, d[2], 1.09)});
  }
  atoms.push_back({"O1" + tag, "O", chain[0]});
  atoms.push_back({"HO1" + tag, "H", add(chain[0], tetrahedral(chain[1], chain[0], chain[2])[0], 0.84)});
  for (int k = 1; k + 1 < static_cast<int>(chain.size()); ++k)
    atoms.push_back({"C" + std::to_string(k) + tag, "C", chain[static_cast<std::size_t>(k)]});
  const Vec o2 = chain.back();
  atoms.push_back({"O2" + tag, "O", o2});
  atoms.push_back({"HO2" + tag, "H", add(o2, tetrahedral(chain[chain.size() - 2], o2, chain[chain.size() - 3])[0], 0.84)});
}

std::string cif_of(const std::string& name, const std::array<double, 3>& cell, const char* symops,
                   const std::vector<BuiltAtom>& atoms) {
  std::ostringstream out;
  out << "data_" << name << "\n_cell_length_a " << cell[0] << "\n_cell_length_b " << cell[1]
      << "\n_cell_length_c " << cell[2] << "\n_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n"
      << "loop_\n_symmetry_equiv_pos_as_xyz\n" << symops
      << "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n"
         "_atom_site_fract_z\n_atom_site_U_iso_or_equiv\n";
  char row[160];
  for (const BuiltAtom& a : atoms) {
    std::snprintf(row, sizeof row, "%s %s %.5f(3) %.5f(3) %.5f(3) 0.030\n", a.label.c_str(), a.element.c_str(),
                  a.x[0] / cell[0], a.x[1] / cell[1], a.x[2] / cell[2]);
    out << row;
  }
  return out.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The torsion rows of a listing, as written.
std::vector<std::string> torsion_rows(const std::string& listing) {
  static const std::regex row(R"(^  ([A-Za-z0-9]+)_([A-Za-z0-9]+)_([A-Za-z0-9]+)_([A-Za-z0-9]+) .*)");
  std::vector<std::string> rows;
  for (const std::string& line : lines_of(listing))
    if (std::regex_match(line, row)) rows.push_back(line);
  return rows;
}

std::string field(const std::string& row, int k) {
  std::string labels = row.substr(2, row.find(' ', 2) - 2);
  for (int i = 0; i < k; ++i) labels = labels.substr(labels.find('_') + 1);
  return labels.substr(0, labels.find('_'));
}

// cif2exp with `options`, then vortan with `controls` added to the control
// record's keywords; the listing.
std::string convert_and_run(const TempFolder& folder, const std::string& cif, const std::vector<std::string>& options,
                            const std::string& controls = "") {
  write_file(folder / "s.cif", cif);
  std::vector<std::string> arguments = {"s.cif", "S"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  const auto converted = run_program(CIF2EXP_BIN, arguments, folder.path());
  EXPECT_EQ(converted.exit_status, 0) << converted.out << converted.err;
  if (!controls.empty()) {
    std::string bytes = read_file(folder / "S.EXP");
    const std::size_t at = bytes.find("  VRTN CDAT1");
    EXPECT_NE(at, std::string::npos);
    std::string value = bytes.substr(at + 12, 68);
    // cif2exp writes the two limits; the Fourier mode and print option hold their places.
    value = value.substr(0, value.find_last_not_of(' ') + 1) + " DFLT DFLT " + controls;
    value.resize(68, ' ');
    bytes.replace(at + 12, 68, value);
    write_file(folder / "S.EXP", bytes);
  }
  std::filesystem::remove(folder / "S.LST");
  const auto run = run_program(VORTAN_BIN, {"S"}, folder.path(), "", {{"SOURCE_DATE_EPOCH", "0"}});
  EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
  return read_file(folder / "S.LST");
}

bool is_h(const std::string& label) { return label[0] == 'H'; }

const char* const kP21c = "'x,y,z'\n'-x,y+1/2,-z+1/2'\n'-x,-y,-z'\n'x,-y+1/2,z+1/2'\n";

TEST(ChemicalBonds, AWideAngleLimitListsTheSameTorsionsForAnOrganicAndANickelComplex) {
  // HO-(CH2)20-OH, 64 atoms, in P 21/c.
  std::vector<BuiltAtom> organic;
  diol(organic, 20, {1.0, 2.0, 3.0}, "");
  // Ni(NH2CH3)4 with two ethanediol solvent molecules: Ni on a general
  // position, metal-ligand bonds of 2.1 A within DAGL 2.25.
  std::vector<BuiltAtom> nickel;
  const Vec ni{5.0, 5.0, 0.0};
  nickel.push_back({"Ni1", "Ni", ni});
  const Vec axes[4] = {{1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}};
  for (int k = 0; k < 4; ++k) {
    const std::string n = std::to_string(k + 1);
    const Vec nitrogen = add(ni, axes[k], 2.10);
    const std::array<Vec, 3> dn = tetrahedral(ni, nitrogen, add(ni, Vec{0, 0, 1}));
    const Vec carbon = add(nitrogen, dn[0], 1.47);
    nickel.push_back({"N" + n, "N", nitrogen});
    nickel.push_back({"H" + n + "N", "H", add(nitrogen, dn[1], 0.91)});
    nickel.push_back({"H" + n + "M", "H", add(nitrogen, dn[2], 0.91)});
    nickel.push_back({"C" + n, "C", carbon});
    const std::array<Vec, 3> dc = tetrahedral(nitrogen, carbon, ni);
    for (int h = 0; h < 3; ++h)
      nickel.push_back({"H" + n + std::string(1, static_cast<char>('A' + h)), "H", add(carbon, dc[h], 0.98)});
  }
  diol(nickel, 2, {8.0, 10.0, 5.0}, "S");
  diol(nickel, 2, {2.0, 15.0, 14.0}, "T");

  struct Case {
    const char* name;
    std::string cif;
    std::size_t at_least;
    const char* geminal;  // an angle at H with its geminal partner, within DAGL 2.25 only
  } cases[] = {{"organic", cif_of("organic", {30.0, 12.0, 12.0}, kP21c, organic), 150, "H2B_H2A_C2"},
               {"nickel", cif_of("nickel", {20.0, 20.0, 20.0}, kP21c, nickel), 50, "H2BS_H2AS_C2S"}};
  for (const Case& c : cases) {
    TempFolder folder;
    const std::string radii_listing = convert_and_run(folder, c.cif, {});
    const std::vector<std::string> by_radii = torsion_rows(radii_listing);
    const std::string wide_listing = convert_and_run(folder, c.cif, {"--dagl", "2.25"});
    const std::vector<std::string> wide = torsion_rows(wide_listing);
    EXPECT_GE(by_radii.size(), c.at_least) << c.name;
    EXPECT_EQ(by_radii, wide) << c.name;
    // The wide limit did widen the angles: geminal H...H pairs are angle partners now.
    EXPECT_NE(wide_listing.find(c.geminal), std::string::npos) << c.name;
    EXPECT_EQ(radii_listing.find(c.geminal), std::string::npos) << c.name;
    for (const std::string& row : wide) {
      EXPECT_FALSE(is_h(field(row, 1)) || is_h(field(row, 2))) << c.name << ": " << row;
      EXPECT_TRUE(field(row, 1) != "Ni1" && field(row, 2) != "Ni1") << c.name << ": " << row;
    }
    EXPECT_NE(wide_listing.find(" Bonds: within the angle limit and the sum of the covalent radii + 0.40 A"),
              std::string::npos);
  }
}

TEST(ChemicalBonds, AFrameworkListsItsLinkersTorsionsAndThoseThroughMetalsOnlyOnRequest) {
  // Zn formate chains along a, all in one plane: Zn-O1-C1(H1)=O2-Zn', the
  // O-Zn-O angle 120 degrees.
  const double angle = 27.5 * M_PI / 180, zinc = 30 * M_PI / 180;
  const Vec zn{0.0, 0.5, 0.5}, o1 = add(zn, Vec{std::cos(zinc), std::sin(zinc), 0}, 2.0);
  const Vec c1 = add(o1, Vec{std::cos(angle), std::sin(angle), 0}, 1.25);
  const Vec o2 = add(c1, Vec{std::cos(angle), -std::sin(angle), 0}, 1.25);
  const std::vector<BuiltAtom> atoms = {
      {"Zn1", "Zn", zn}, {"O1", "O", o1}, {"C1", "C", c1}, {"O2", "O", o2}, {"H1", "H", add(c1, Vec{0, 1.09, 0})}};
  const std::string cif = cif_of("mof", {o2[0] + 2.0 * std::cos(zinc), 7.0, 7.0}, "'x,y,z'\n", atoms);
  TempFolder folder;
  const std::vector<std::string> linkers = torsion_rows(convert_and_run(folder, cif, {}));
  ASSERT_FALSE(linkers.empty());
  bool through_linker = false;
  for (const std::string& row : linkers) {
    EXPECT_TRUE(field(row, 1) != "Zn1" && field(row, 2) != "Zn1") << row;
    through_linker = through_linker || (field(row, 0) == "Zn1" && field(row, 1) == "O1" && field(row, 2) == "C1");
  }
  EXPECT_TRUE(through_linker);
  const std::string all = convert_and_run(folder, cif, {}, "MTOR Y");
  const std::vector<std::string> with_metals = torsion_rows(all);
  EXPECT_GT(with_metals.size(), linkers.size());
  std::size_t through_zinc = 0;
  for (const std::string& row : with_metals)
    if (field(row, 1) == "Zn1" || field(row, 2) == "Zn1") ++through_zinc;
  EXPECT_EQ(through_zinc + linkers.size(), with_metals.size());
  EXPECT_NE(all.find("torsion angles through metal atoms listed"), std::string::npos);
  // A tolerance of 0 bonds C-O (1.25 A, radii 1.42) but not Zn-O (2.0 A,
  // radii 1.88): no chain of four bonded atoms is left.
  EXPECT_TRUE(torsion_rows(convert_and_run(folder, cif, {}, "BTOL 0 MTOR Y")).empty());
}

TEST(ChemicalBonds, TheTwoPlacesOfADisorderedGroupAreNotBondedToEachOther) {
  // An ethyl group whose CH3 carbon takes two places 0.8 A apart, groups 1
  // and -1 (SHELX's PART -1, read as group 1) against group 2.
  const char* const cif = R"(data_dis
_cell_length_a 10
_cell_length_b 10
_cell_length_c 10
_cell_angle_alpha 90
_cell_angle_beta 90
_cell_angle_gamma 90
loop_
_symmetry_equiv_pos_as_xyz
'x,y,z'
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_U_iso_or_equiv
_atom_site_occupancy
_atom_site_disorder_group
O1 O 0.1000(3) 0.5000(3) 0.5000(3) 0.03 1 .
C1 C 0.2430(3) 0.5000(3) 0.5000(3) 0.03 1 .
C2A C 0.2943(3) 0.6452(3) 0.5000(3) 0.03 0.6 -1
C2B C 0.2943(3) 0.5840(3) 0.5690(3) 0.03 0.4 2
)";
  TempFolder folder;
  const std::string listing = convert_and_run(folder, cif, {});
  const std::string source = read_file(folder / "S.CIFSRC");
  // The sign of a negative group is kept: it bonds to no other image of itself.
  EXPECT_NE(source.find("\ndisorder C2A -1\n"), std::string::npos) << source;
  EXPECT_NE(source.find("\ndisorder C2B 2\n"), std::string::npos) << source;
  EXPECT_EQ(source.find("disorder O1"), std::string::npos) << source;
  const std::vector<std::string> rows = torsion_rows(listing);
  // Without the groups C2A-C2B (0.8 A) would be a bond: C2B_C2A_C1_O1 and the like.
  EXPECT_TRUE(rows.empty()) << rows.front();
  EXPECT_NE(listing.find("none between hydrogen atoms or different disorder groups"), std::string::npos);
  // The angles still see both places.
  EXPECT_NE(listing.find("C2A_C1_C2B"), std::string::npos);
}

// No invented bonds. DUM0 (occupancy 0, no type symbol) 0.917 A from S1
// would be deuterium bonded to it; Q1, Cg1 and X9 (flagged dum) are points
// the CIF lists among its atoms: cif2exp leaves all four out. C20, half
// occupied in group -1 (PART -1) 0.0018 of a cell from the twofold axis,
// is 0.036 A from its own image: bonded to neither that image nor C21's,
// though bonded to its own C21; so no three-membered ring C20-C20'-C21.
TEST(ChemicalBonds, NoBondToADummyPointOrToAnAtomsOwnImage) {
  const char* const cif = R"(data_dummies
_cell_length_a 10
_cell_length_b 10
_cell_length_c 10
_cell_angle_alpha 90
_cell_angle_beta 90
_cell_angle_gamma 90
loop_
_symmetry_equiv_pos_as_xyz
'x,y,z'
'-x,y,-z'
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_U_iso_or_equiv
_atom_site_occupancy
_atom_site_disorder_group
_atom_site_calc_flag
S1 S 0.5000 0.5000 0.5000 0.03 1 . d
DUM0 ? 0.5000 0.5917 0.5000 0.03 0 . d
Q1 ? 0.7000 0.5000 0.5000 0.05 1 . .
Cg1 ? 0.5000 0.4000 0.5000 0.05 1 . .
X9 C 0.5000 0.5000 0.3500 0.05 1 . dum
C20 C 0.0018 0.3000 0.0000 0.03 0.5 -1 d
C21 C 0.1000 0.3500 0.1200 0.03 0.5 -1 d
)";
  TempFolder folder;
  write_file(folder / "s.cif", cif);
  const auto converted = run_program(CIF2EXP_BIN, {"s.cif", "S", "--dmax", "2.5", "--dagl", "2.5"}, folder.path());
  ASSERT_EQ(converted.exit_status, 0) << converted.out << converted.err;
  EXPECT_NE(converted.out.find("Cg1, DUM0, Q1, X9 are dummy points"), std::string::npos) << converted.out;
  const std::string experiment = read_file(folder / "S.EXP");
  for (const char* dummy : {"DUM0", "Q1 ", "Cg1", "X9"}) EXPECT_EQ(experiment.find(dummy), std::string::npos) << dummy;
  const auto run = run_program(VORTAN_BIN, {"S", "--json"}, folder.path(), "", {{"SOURCE_DATE_EPOCH", "0"}});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  const std::string listing = read_file(folder / "S.LST");
  EXPECT_NE(listing.find("C20_C20"), std::string::npos);  // the contact is listed
  EXPECT_EQ(listing.find(" Rings (in ring order"), std::string::npos);
  // The chemical bonds of NAME.json, "A B site".
  std::vector<std::string> chemical;
  const nlohmann::json document = nlohmann::json::parse(read_file(folder / "S.json"));
  for (const auto& bond : document["phases"][0]["bonds"])
    if (bond["chemical_bond"])
      chemical.push_back(bond["atoms"][0].get<std::string>() + " " + bond["atoms"][1].get<std::string>() + " " +
                         bond["site_codes"][1].get<std::string>());
  EXPECT_EQ(chemical, (std::vector<std::string>{"C20 C21 ."}));
}

// COD 7051424 (a Co(II) pyridyl polymer, P 2/n) cut down to one pyridine
// ring and its solvent: C15, C16 and C17 of quarter occupancy, 1.08, 0.39
// and 1.11 A from their own images across the twofold axis. The images are
// the other orientation of the solvent, so C15-C16' and C16-C15' (1.83 A)
// join two orientations that never coexist: no four-membered ring
// C15-C16-C15'-C16'. The pyridine ring stays, and so do a half-occupied
// molecule's bonds across the axis to an image that is no alternative
// (C31-C31', 1.50 A across another twofold axis: a bond, not a clash).
TEST(ChemicalBonds, NoBondJoinsTwoOrientationsOfAPartDisorderedAboutAnAxis) {
  const char* const cif = R"(data_co
_cell_length_a 11.8538(14)
_cell_length_b 7.4146(8)
_cell_length_c 19.448(6)
_cell_angle_alpha 90
_cell_angle_beta 90.06(2)
_cell_angle_gamma 90
loop_
_symmetry_equiv_pos_as_xyz
'x, y, z'
'-x+1/2, y, -z+1/2'
'-x, -y, -z'
'x-1/2, -y, z-1/2'
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_U_iso_or_equiv
_atom_site_occupancy
C1 C -0.2070(5) 0.5303(8) 0.4052(3) 0.0355(13) 1
N1 N -0.0958(4) 0.5038(6) 0.4065(2) 0.0299(10) 1
C2 C -0.2699(5) 0.5288(9) 0.3450(3) 0.0378(13) 1
C3 C -0.2177(4) 0.5013(7) 0.2828(3) 0.0279(11) 1
C4 C -0.1017(5) 0.4736(9) 0.2842(3) 0.0395(14) 1
C5 C -0.0451(5) 0.4766(9) 0.3461(3) 0.0407(14) 1
C15 C -0.7172(3) -0.2104(6) 0.2306(3) 0.181(29) 0.25
C16 C -0.7663(3) -0.4495(6) 0.2493(3) 0.222(30) 0.25
C17 C -0.7841(3) -0.6948(6) 0.2305(3) 0.160(25) 0.25
C31 C 0.2500(3) 0.8000(6) 0.7114(3) 0.05 0.5
)";
  TempFolder folder;
  write_file(folder / "s.cif", cif);
  ASSERT_EQ(run_program(CIF2EXP_BIN, {"s.cif", "S"}, folder.path()).exit_status, 0);
  const auto run = run_program(VORTAN_BIN, {"S", "--json"}, folder.path(), "", {{"SOURCE_DATE_EPOCH", "0"}});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  const nlohmann::json phase = nlohmann::json::parse(read_file(folder / "S.json"))["phases"][0];
  std::vector<std::string> solvent;
  for (const auto& bond : phase["bonds"]) {
    const std::string a = bond["atoms"][0], b = bond["atoms"][1];
    if (bond["chemical_bond"] && (a[1] == '1' || a[1] == '3') && a.size() == 3)
      solvent.push_back(a + " " + b + " " + bond["site_codes"][1].get<std::string>());
  }
  std::sort(solvent.begin(), solvent.end());
  EXPECT_EQ(solvent, (std::vector<std::string>{"C15 C16 .", "C16 C17 .", "C31 C31 2_556"}))
      << phase["bonds"];
  // The pyridine ring alone (found from each of its atoms' sides: twice).
  ASSERT_FALSE(phase["rings"].empty());
  for (const auto& ring : phase["rings"]) {
    std::vector<std::string> atoms = ring["atoms"];
    std::sort(atoms.begin(), atoms.end());
    EXPECT_EQ(atoms, (std::vector<std::string>{"C1", "C2", "C3", "C4", "C5", "N1"})) << ring;
  }
}

TEST(ChemicalBonds, TheNearestOfTwentySixNeighboursFoundLastKeepsItsAngles) {
  // A1 with 25 neighbours B1..B25 at 2.60 to 2.84 A found first and Z1 at
  // 1.50 A found last: Z1 is kept and B25, the farthest, is not.
  testing_support::TestPhase phase;
  phase.cell = {20, 20, 20, 90, 90, 90};
  phase.atoms = {{"A1", "A", 0.5, 0.5, 0.5}};
  const double golden = M_PI * (3 - std::sqrt(5.0));
  for (int k = 0; k < 25; ++k) {
    const double z = 1 - 2 * (k + 0.5) / 25, r = std::sqrt(1 - z * z), length = 2.60 + 0.01 * k;
    phase.atoms.push_back({"B" + std::to_string(k + 1), "B", 0.5 + length * r * std::cos(golden * k) / 20,
                           0.5 + length * r * std::sin(golden * k) / 20, 0.5 + length * z / 20});
  }
  phase.atoms.push_back({"Z1", "Z", 0.5 + 1.5 / 20 * 0.6, 0.5 + 1.5 / 20 * 0.0, 0.5 + 1.5 / 20 * 0.8});
  TempFolder folder;
  testing_support::ExpFileBuilder builder = testing_support::minimal_experiment();
  builder.phase_flags({1})
      .atom_types({{"A", 1.5, 1.5}, {"B", -1.0, -1.0}, {"Z", -1.0, -1.0}})
      .phase(phase)
      .vortan_controls(1, "DMAX 3.0 DAGL 3.0");
  builder.write(folder / "NEAR.EXP");
  const auto run = run_program(VORTAN_BIN, {"NEAR"}, folder.path(), "", {{"SOURCE_DATE_EPOCH", "0"}});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const std::string listing = read_file(folder / "NEAR.LST");
  int starred = 0, with_z = 0, with_b25 = 0;
  for (const std::string& line : lines_of(listing)) {
    if (line.find('*') != std::string::npos && line.find("A1_") != std::string::npos) {
      ++starred;
      EXPECT_NE(line.find("*A1_B25 "), std::string::npos) << line;
    }
    if (line.find("_A1_") != std::string::npos) {
      if (line.find("Z1") != std::string::npos) ++with_z;
      if (line.find("B25") != std::string::npos) ++with_b25;
    }
  }
  EXPECT_EQ(starred, 1);
  EXPECT_EQ(with_z, 24);
  EXPECT_EQ(with_b25, 0);
  EXPECT_NE(listing.find(" **** More than 24 Interatomic distances found ****"), std::string::npos);
  EXPECT_NE(listing.find(" Angles will be calculated between the nearest 25"), std::string::npos);
}

}  // namespace
