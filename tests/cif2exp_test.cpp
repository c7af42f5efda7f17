// cif2exp: CIF numbers, covalent radii, the group check, site constraints,
// the experiment and covariance files read back by the readers vortan uses,
// and whole runs of the program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>

#include <gemmi/cif.hpp>
#include <gemmi/elem.hpp>
#include <gemmi/smcif.hpp>
#include <gemmi/symmetry.hpp>
#include <gemmi/unitcell.hpp>

#include "cif2exp/cif_number.hpp"
#include "cif2exp/conversion.hpp"
#include "cif2exp/covalent_radii.hpp"
#include "cif2exp/covariance_file.hpp"
#include "cif2exp/experiment_records.hpp"
#include "cif2exp/group_operators.hpp"
#include "cif2exp/recorded_pressure.hpp"
#include "cif2exp/site_constraints.hpp"
#include "crystal/spacegroup.hpp"
#include "expfile/covariance.hpp"
#include "expfile/keys.hpp"
#include "expfile/record_store.hpp"
#include "recio/error.hpp"
#include "recio/format.hpp"
#include "tests/support/expfile_builder.hpp"
#include "tests/support/run_program.hpp"

using namespace cif2exp;
using testing_support::TempFolder;

namespace {

std::vector<SeitzOperator> table_group(const std::string& name) {
  std::vector<SeitzOperator> group = group_from_table(name, 90, 90);
  EXPECT_FALSE(group.empty()) << name;
  return group;
}

CifNumber exact(double value, double su = 0, double last_place = 1e-6) { return {true, value, su, last_place}; }

ResolvedSymmetry table_symmetry(const std::string& name) {
  ResolvedSymmetry symmetry;
  symmetry.symbol = name;
  symmetry.group = table_group(name);
  return symmetry;
}

}  // namespace

TEST(CifNumbers, ValueStandardUncertaintyAndLastPrintedPlace) {
  CifNumber n = parse_cif_number("0.1234(5)");
  EXPECT_TRUE(n.present);
  EXPECT_DOUBLE_EQ(n.value, 0.1234);
  EXPECT_NEAR(n.su, 0.0005, 1e-15);
  EXPECT_NEAR(n.last_place, 1e-4, 1e-18);

  n = parse_cif_number("12.07(12)");
  EXPECT_NEAR(n.su, 0.12, 1e-12);
  n = parse_cif_number("90");
  EXPECT_TRUE(n.present);
  EXPECT_EQ(n.su, 0);
  EXPECT_DOUBLE_EQ(n.last_place, 1.0);
  n = parse_cif_number("1.5e-3(2)");
  EXPECT_NEAR(n.value, 1.5e-3, 1e-15);
  EXPECT_NEAR(n.su, 2e-4, 1e-15);
  n = parse_cif_number("'0.25'");
  EXPECT_DOUBLE_EQ(n.value, 0.25);
  EXPECT_NEAR(n.last_place, 0.01, 1e-15);

  for (const char* absent : {"?", ".", "abc", "0.12(3", "'", "\"", "1E999", "-1e400(2)", "1e-400", "1e-99999999999"})
    EXPECT_FALSE(parse_cif_number(absent).present) << absent;
}

// gemmi carries radii from the same paper; ours keep carbon's sp3 radius
// and the paper's Lu and Hf, which gemmi's table has exchanged.
TEST(RecordedPressure, ItemsInKilopascalsElseAPressureWrittenInTheText) {
  struct Case {
    std::string items;
    double gpa;  // negative: none
    const char* item;
  };
  const Case cases[] = {
      {"_diffrn_ambient_pressure 5.2E6(1)", 5.2, "_diffrn_ambient_pressure"},
      {"_diffrn.ambient_pressure 101.3", 1.013e-4, "_diffrn.ambient_pressure"},
      {"_cell_measurement_pressure_gt 2000000", 2, "_cell_measurement_pressure_gt"},
      {"_diffrn_ambient_pressure_lt 2000000", -1, ""},  // an upper bound says nothing of a high pressure
      {"_diffrn_ambient_pressure ?\n_exptl_special_details 'loaded at 0.45(2) gpa'", 0.45, "_exptl_special_details"},
      {"_diffrn_ambient_environment 'He, 300 MPa'", 0.3, "_diffrn_ambient_environment"},
      {"_publ_section_title 'Compression of X to 120 kbar'\n_exptl_special_details 'at 7 GPa'", 7,
       "_exptl_special_details"},
      {"_publ_section_title 'A GPa-sized problem'", -1, ""},
      {"_diffrn_ambient_pressure -5", -1, ""},
      {"_exptl_special_details '" + std::string(400, '9') + " GPa'", -1, ""},  // beyond any double
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.items);
    const gemmi::cif::Document document = gemmi::cif::read_string(std::string("data_p\n") + c.items + "\n");
    const std::optional<cif2exp::RecordedPressure> read = cif2exp::recorded_pressure(document.blocks.at(0));
    ASSERT_EQ(read.has_value(), c.gpa >= 0);
    if (!read) continue;
    EXPECT_NEAR(read->gpa, c.gpa, 1e-9);
    EXPECT_EQ(read->item, c.item);
  }
}

TEST(CovalentRadii, AgreeWithGemmisTableFromTheSamePaper) {
  for (int z = 1; z <= 96; ++z) {
    const gemmi::Element element(z);
    const std::string symbol = element.name();
    float expected = element.covalent_r();
    if (symbol == "C") expected = 0.76f;
    if (symbol == "Lu") expected = 1.87f;
    if (symbol == "Hf") expected = 1.75f;
    EXPECT_FLOAT_EQ(covalent_radius(symbol), expected) << symbol;
    std::string upper = symbol;  // as instruction files write them: SI, CL
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_FLOAT_EQ(covalent_radius(upper), expected) << upper;
  }
  EXPECT_FLOAT_EQ(covalent_radius("D"), covalent_radius("H"));
  EXPECT_FLOAT_EQ(covalent_radius("d"), covalent_radius("H"));
  EXPECT_EQ(covalent_radius("Bk"), 0.0f);
  EXPECT_EQ(covalent_radius("Xx"), 0.0f);
}

TEST(GroupOperators, TripletsCloseIntoTheGroupOfTheTable) {
  // Two generators of P 21 21 21 give its four operators.
  const auto generated = group_from_triplets({"-x+1/2,-y,z+1/2", "-x,y+1/2,-z+1/2"});
  EXPECT_EQ(generated.size(), 4u);
  EXPECT_EQ(generated, table_group("P 21 21 21"));
  // Translations are kept modulo 1.
  EXPECT_EQ(group_from_triplets({"x,y,z", "-x+3/2,-y+1,z-1/2", "-x,y+1/2,-z+1/2"}), table_group("P 21 21 21"));
  EXPECT_EQ(table_group("F m -3 m").size(), 192u);
  EXPECT_EQ(triplet(group_from_triplets({"x,y,z"})[0]), "x,y,z");

  EXPECT_THROW(group_from_triplets({"x+1/8,y,z"}), vesk::Error);
  EXPECT_THROW(group_from_triplets({"x,y"}), vesk::Error);
  EXPECT_TRUE(group_from_table("Q 9 9", 90, 90).empty());
}

TEST(GroupOperators, SymbolsInTheSpacedFormOfOurInterpreter) {
  EXPECT_EQ(spaced_symbol("P21/c", 90, 90, "a.cif"), "P 1 21/c 1");
  EXPECT_EQ(spaced_symbol("P 1 21/n 1", 90, 90, "a.cif"), "P 1 21/n 1");
  EXPECT_EQ(spaced_symbol("Pnma", 90, 90, "a.cif"), "P n m a");
  EXPECT_EQ(spaced_symbol("Fm-3m", 90, 90, "a.cif"), "F m -3 m");
  EXPECT_EQ(spaced_symbol("P63/mmc", 90, 120, "a.cif"), "P 63/m m c");
  EXPECT_EQ(spaced_symbol("R-3", 90, 120, "a.cif"), "R -3");
  EXPECT_EQ(spaced_symbol("R-3", 80, 80, "a.cif"), "R -3 R");
  EXPECT_EQ(spaced_symbol("R -3 :R", 80, 80, "a.cif"), "R -3 R");
  EXPECT_EQ(spaced_symbol("P -1", 80, 85, "a.cif"), "P -1");
  // A name the table does not know is kept for our interpreter to judge.
  EXPECT_EQ(spaced_symbol("P 2/m 2/m 2/m", 90, 90, "a.cif"), "P 2/m 2/m 2/m");
  try {
    spaced_symbol(" ", 90, 90, "a.cif");
    FAIL();
  } catch (const vesk::Error& e) {
    EXPECT_NE(std::string(e.what()).find("a.cif: no space-group name"), std::string::npos) << e.what();
  }
}

TEST(GroupOperators, AnotherOriginChoiceIsRefusedNamingBothGroups) {
  const auto origin1 = group_from_table("P n n n:1", 90, 90);
  const auto origin2 = group_from_table("P n n n:2", 90, 90);
  EXPECT_EQ(origin1.size(), 8u);
  EXPECT_NO_THROW(require_same_group("P n n n", origin2, origin2, "the CIF's operator loop"));
  try {
    require_same_group("P n n n", origin2, origin1, "the CIF's operator loop");
    FAIL();
  } catch (const vesk::Error& e) {
    const std::string message = e.what();
    EXPECT_NE(message.find("\"P n n n\" gives 8 operators, the CIF's operator loop 8"), std::string::npos) << message;
    EXPECT_NE(message.find("only in the symbol's group: "), std::string::npos) << message;
    EXPECT_NE(message.find("only in the CIF's group: "), std::string::npos) << message;
  }
}

// Every setting of gemmi's table, given as its operator list, gets a symbol
// our interpreter reads whose group is the CIF's exactly, or the CIF's
// moved to another origin (each origin-choice-1 setting, which shares its
// name with origin choice 2).
TEST(GroupOperators, EverySettingOfGemmisTableResolvesExactlyOrByAnOriginShift) {
  std::set<int> numbers;
  for (const gemmi::SpaceGroup& entry : gemmi::spacegroup_tables::main) {
    std::vector<std::string> triplets;
    for (const gemmi::Op& op : entry.operations().all_ops_sorted()) triplets.push_back(op.triplet());
    const bool hexagonal = entry.number >= 143 && entry.number <= 194 && entry.ext != 'R';
    const double alpha = entry.ext == 'R' ? 80 : 90;
    const double gamma = entry.ext == 'R' ? 80 : hexagonal ? 120 : 90;
    ResolvedSymmetry resolved;
    ASSERT_NO_THROW(resolved = resolve_symmetry("", "", triplets, alpha, gamma)) << entry.xhm();
    std::vector<SeitzOperator> ours = resolved.group;
    std::sort(ours.begin(), ours.end());
    EXPECT_EQ(shifted_group(group_from_triplets(triplets), resolved.origin), ours) << entry.xhm();
    if (entry.ext == '1') {
      EXPECT_FALSE(resolved.origin.none()) << entry.xhm();
    }
    if (entry.ext == '2' || (entry.is_reference_setting() && entry.ext != '1')) {
      EXPECT_TRUE(resolved.origin.none()) << entry.xhm();
    }
    numbers.insert(entry.number);
  }
  EXPECT_EQ(numbers.size(), 230u);

  // A bare name means origin choice 2, as our interpreter reads it.
  for (const char* name : {"F d d d", "I 41/a", "P n n n", "P 42/n", "F d -3 m"})
    EXPECT_TRUE(resolve_symmetry(name, "", {}, 90, 90).origin.none()) << name;
}

TEST(GroupOperators, HallSymbolsScrewAxisSpellingsAndDecimalTranslations) {
  const auto p21c = table_group("P 1 21/c 1");
  for (const char* name : {"P2(1)/c", "P2_1/c", "P12(1)/c1", "P 1 2_1/c 1", " P21/c "})
    EXPECT_EQ(group_from_table(name, 90, 90), p21c) << name;
  EXPECT_EQ(normalised_name("Pmn2(1)"), "Pmn21");
  EXPECT_EQ(group_from_hall("-P 2ybc"), p21c);
  EXPECT_TRUE(group_from_hall("Q 9 9").empty());
  EXPECT_EQ(group_from_triplets({"-x,.5+y,.5-z"}), group_from_triplets({"x,y,z", "-x,y+1/2,-z+1/2"}));
  EXPECT_EQ(triplet(parse_operator("0.6667+X,0.3333+Y,0.3333+Z")), "x+2/3,y+1/3,z+1/3");
  EXPECT_EQ(triplet(parse_operator("-Z+0.5, x-y, -0.25+y")), "-z+1/2,x-y,y+3/4");
  for (const char* bad : {"x+0.1,y,z", "x+1/8,y,z", "x,y", "x,y,z,", "2x,y,z", "x,y,q", "x+,y,z"})
    EXPECT_THROW(parse_operator(bad), vesk::Error) << bad;

  // Hall-only and name-only blocks; a name beside the loop is checked.
  EXPECT_EQ(resolve_symmetry("", "-P 2ybc", {}, 90, 90).symbol, "P 1 21/c 1");
  EXPECT_EQ(resolve_symmetry("P2(1)/n", "", {}, 90, 90).symbol, "P 1 21/n 1");
  EXPECT_EQ(resolve_symmetry("Pmn2(1)", "", {}, 90, 90).symbol, "P m n 21");
  EXPECT_EQ(resolve_symmetry("", "", {"x,y,z", "-x,-y,-z"}, 80, 85).symbol, "P -1");
  try {
    resolve_symmetry("P -1", "", {"x,y,z", "-x,-y,z"}, 90, 90);
    FAIL();
  } catch (const vesk::Error& e) {
    EXPECT_NE(std::string(e.what()).find("the name \"P -1\" a group of 2"), std::string::npos) << e.what();
  }
  EXPECT_THROW(resolve_symmetry("", "", {}, 90, 90), vesk::Error);
  EXPECT_THROW(resolve_symmetry("Q 9 9", "", {}, 90, 90), vesk::Error);
}

// Wyckoff positions typed from International Tables A: multiplicity, and
// which coordinates are free or follow a free one.
TEST(SiteConstraints, WyckoffPositionsOfTheInternationalTables) {
  const Coordinates fine{5e-7, 5e-7, 5e-7};
  const auto p6mmm = table_group("P 6/m m m");
  ASSERT_EQ(p6mmm.size(), 24u);

  // 6l (x, 2x, 0), site symmetry m m 2
  SiteConstraints site = constrain_site({0.1234, 0.2468, 0.0}, fine, p6mmm);
  EXPECT_EQ(site.stabiliser_order, 4);
  EXPECT_TRUE(site.free[0]);
  EXPECT_FALSE(site.free[1]);
  EXPECT_FALSE(site.free[2]);
  EXPECT_DOUBLE_EQ(site.dependence[1][0], 2.0);
  EXPECT_TRUE(site.fixed(2));
  EXPECT_FALSE(site.fixed(1));

  // 2c (1/3, 2/3, 0), -6 m 2, printed with four decimals: on the position exactly.
  site = constrain_site({0.3333, 0.6667, 0.0}, {5e-5, 5e-5, 5e-5}, p6mmm);
  EXPECT_EQ(24 / site.stabiliser_order, 2);
  EXPECT_NEAR(site.position[0], 1.0 / 3, 1e-12);
  EXPECT_NEAR(site.position[1], 2.0 / 3, 1e-12);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(site.fixed(i));
  // Taken as printed to six decimals the same numbers lie 3.3e-5 from 2c,
  // on 6m (x, -x, 0) shifted by (0, 1, 0): m m 2.
  site = constrain_site({0.3333, 0.6667, 0.0}, fine, p6mmm);
  EXPECT_EQ(24 / site.stabiliser_order, 6);
  EXPECT_DOUBLE_EQ(site.dependence[1][0], -1.0);
  EXPECT_DOUBLE_EQ(site.position[0], 0.3333);

  // Pm-3m 8g (x, x, x), . 3 m: y and z follow x.
  const auto pm3m = table_group("P m -3 m");
  site = constrain_site({0.2, 0.2, 0.2}, fine, pm3m);
  EXPECT_EQ(48 / site.stabiliser_order, 8);
  EXPECT_TRUE(site.free[0]);
  EXPECT_DOUBLE_EQ(site.dependence[1][0], 1.0);
  EXPECT_DOUBLE_EQ(site.dependence[2][0], 1.0);

  // P4/mmm 4j (x, x, 0), m . 2 m
  const auto p4mmm = table_group("P 4/m m m");
  site = constrain_site({0.3, 0.3, 0.0}, fine, p4mmm);
  EXPECT_EQ(16 / site.stabiliser_order, 4);
  EXPECT_DOUBLE_EQ(site.dependence[1][0], 1.0);
  EXPECT_TRUE(site.fixed(2));
  // 8s (x, 0, z), . m ., with the zero printed as "-0.0000"
  site = constrain_site({0.31, -0.0, 0.27}, fine, p4mmm);
  EXPECT_EQ(16 / site.stabiliser_order, 8);
  EXPECT_TRUE(site.free[0] && site.free[2] && site.fixed(1));

  // A general position of P 21/c keeps three free coordinates.
  site = constrain_site({0.1, 0.2, 0.3}, fine, table_group("P 1 21/c 1"));
  EXPECT_EQ(site.stabiliser_order, 1);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(site.free[i]);
  // The inversion centre (1/2, 0, 0) of P 21/c, printed "0.5" and "0":
  site = constrain_site({0.5, 0.0, 0.0}, {0.05, 0.5, 0.5}, table_group("P 1 21/c 1"));
  EXPECT_EQ(site.stabiliser_order, 2);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(site.fixed(i));
}

namespace {

CifAtom atom(const std::string& label, const std::string& element, Coordinates x, Coordinates su,
             double last_place = 1e-4) {
  CifAtom a;
  a.label = label;
  a.type_symbol = element;
  a.element = element;
  for (int i = 0; i < 3; ++i) a.x[i] = exact(x[i], su[i], last_place);
  a.occupancy = exact(1.0, 0, 1);
  a.uiso = 0.01;
  return a;
}

CifStructure hexagonal_structure() {
  CifStructure s;
  s.file = "dir/hex.cif";
  s.block_name = "hex";
  s.title = "A hexagonal test";
  s.phase_name = "Mg B2";
  const double cell[6] = {3.086, 3.086, 3.524, 90, 90, 120};
  for (int i = 0; i < 6; ++i) s.cell[i] = exact(cell[i], i < 3 ? 0.002 : 0.0);
  s.space_group_name = "P 6/m m m";
  s.atoms.push_back(atom("B1", "B", {1.0 / 3, 2.0 / 3, 0.5}, {0.0003, 0.0003, 0.0003}));  // 2d, s.u.'s spurious
  s.atoms.push_back(atom("Mg1", "Mg", {0.1234, 0.2468, 0.0}, {0.0002, 0.0004, 0.0}));       // 6l (x, 2x, 0)
  CifAtom general = atom("O1", "O", {0.13, 0.37, 0.29}, {0.0001, 0.0002, 0.0003});
  general.occupancy = exact(0.5, 0.02, 0.01);
  s.atoms.push_back(general);
  CifAtom riding = atom("Mg2", "Mg", {0.4, 0.2, 0.1}, {0, 0, 0});
  riding.anisotropic = true;
  riding.u = {0.011, 0.012, 0.013, 0.001, 0.002, 0.003};
  s.atoms.push_back(riding);
  s.r_factor = 0.0345;
  s.refined_on = "Fsqd";
  s.sigma_cutoff = 2;
  return s;
}

}  // namespace

TEST(Conversion, OneVariablePerFreeParameterTiedByTheSiteSymmetry) {
  const Conversion c = convert(hexagonal_structure(), table_symmetry("P 6/m m m"), {});
  const CovarianceContent& cov = c.covariance;
  // B1: nothing refined. Mg1: x free, y = 2x, z fixed. O1: FRAC, X, Y, Z. Mg2: no s.u.'s.
  const std::vector<std::string> names = {"1  2X   ", "1  2Y   ", "1  3FRAC", "1  3X   ", "1  3Y   ", "1  3Z   "};
  EXPECT_EQ(cov.names, names);
  ASSERT_EQ(cov.variances.size(), 5u);
  EXPECT_NEAR(cov.variances[0], 0.0002 * 0.0002, 1e-15);
  EXPECT_NEAR(cov.variances[1], 0.02 * 0.02, 1e-15);
  EXPECT_NEAR(cov.variances[4], 0.0003 * 0.0003, 1e-15);
  EXPECT_EQ(cov.variable_names[0], "1  2X   ");
  ASSERT_EQ(cov.constraints.size(), 6u);
  EXPECT_EQ(cov.constraints[0].parameter, 1);
  EXPECT_EQ(cov.constraints[0].variable, 1);
  EXPECT_EQ(cov.constraints[1].parameter, 2);
  EXPECT_EQ(cov.constraints[1].variable, 1);
  EXPECT_DOUBLE_EQ(cov.constraints[1].coefficient, 2.0);
  for (std::size_t i = 1; i < cov.constraints.size(); ++i)
    EXPECT_LE(cov.constraints[i - 1].parameter, cov.constraints[i].parameter);

  const ExperimentContent& e = c.experiment;
  ASSERT_EQ(e.types.size(), 3u);
  EXPECT_EQ(e.types[0].symbol, "B");
  EXPECT_FLOAT_EQ(e.types[0].bond_radius, 0.84f + kBondRadiusTolerance);
  EXPECT_FLOAT_EQ(e.types[1].angle_radius, 1.41f + kAngleRadiusTolerance);
  EXPECT_EQ(e.atoms[0].multiplicity, 2);
  EXPECT_EQ(e.atoms[1].multiplicity, 6);
  EXPECT_EQ(e.atoms[2].multiplicity, 24);
  EXPECT_DOUBLE_EQ(e.atoms[2].fraction, 0.5);
  EXPECT_FALSE(e.atoms[0].anisotropic);
  EXPECT_DOUBLE_EQ(e.atoms[0].u[0], 0.01);
  EXPECT_TRUE(e.atoms[3].anisotropic);
  EXPECT_EQ(e.history, "cif2exp from hex.cif, data_hex");
  EXPECT_EQ(e.vortan_controls, "DFLT DFLT");
  EXPECT_EQ(e.control_fields, (std::vector<std::string>{"RFN-Fsq ", "SGLM  20"}));
  EXPECT_EQ(parameter_name(123, "U11"), "1123U11 ");
}

TEST(Conversion, RefusesWhatAnExperimentFileCannotHold) {
  const ResolvedSymmetry group = table_symmetry("P 6/m m m");
  auto refused = [&](CifStructure s, const std::string& part, const ConversionOptions& options = {}) {
    try {
      convert(s, group, options);
      ADD_FAILURE() << "accepted, expected: " << part;
    } catch (const vesk::Error& e) {
      EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
    }
  };
  CifStructure s = hexagonal_structure();
  s.atoms[0].label = "B 1";
  refused(s, "atom B 1: the label holds a blank");
  s = hexagonal_structure();
  s.cell[0].value = 1e-300;
  refused(s, "the cell length a = 0.000000 A is no cell edge");
  s = hexagonal_structure();
  s.cell[3].value = s.cell[4].value = s.cell[5].value = 120;
  refused(s, "close no cell");
  refused(hexagonal_structure(), "needs more than 10000 lattice translations", {"50", ""});
  // Either the multiplicity or the site-symmetry order: Mg1 on 6l (order 4).
  s = hexagonal_structure();
  s.atoms[1].declared_multiplicity = 4;
  EXPECT_NO_THROW(convert(s, group, {}));
  s.atoms[1].declared_multiplicity = 6;
  EXPECT_NO_THROW(convert(s, group, {}));
  s.atoms[1].declared_multiplicity = 12;
  s.atoms[1].off_special_position = true;  // SHELX's PART -1 beside a special position
  EXPECT_NO_THROW(convert(s, group, {}));
  s.atoms[1].off_special_position = false;
  refused(s, "the CIF gives the site multiplicity 12, but 4 of the 24 operators leave these coordinates in place"
             " (multiplicity 6, site-symmetry order 4)");
  s = hexagonal_structure();
  s.atoms[1].element = "Cf";
  s.atoms[1].type_symbol = "Cf";
  refused(s, "atom Mg1: no covalent radius is known for the element Cf");
  // The CIF says the general atom sits on a site of multiplicity 6.
  s = hexagonal_structure();
  s.atoms[2].declared_multiplicity = 6;
  refused(s, "atom O1 at (0.130000, 0.370000, 0.290000): the CIF gives the site multiplicity 6, but 1 of the 24");
  s = hexagonal_structure();
  s.atoms[1].declared_order = 2;
  refused(s, "atom Mg1 at");
  s = hexagonal_structure();
  for (int i = 0; i < 40; ++i) s.atoms.push_back(atom("C" + std::to_string(i), "C", {0.1, 0.2, 0.3}, {0, 0, 0}));
  for (int i = 0; i < 40; ++i) s.atoms[4 + i].type_symbol = "C" + std::to_string(i) + "+";
  refused(s, "more than 36 atom types");
}

// The Uij of an atom on a special position are tied as its coordinates
// are: written on the ties (the mean of U over the site's operators) and
// given one least-squares variable per free Uij, the others following it.
// The symmetrised values and the counts of free Uij are those of cctbx's
// site_symmetry (average_u_star, adp_constraints) for the same sites.
TEST(Conversion, DisplacementParametersOfSpecialPositionsAreTied) {
  struct Case {
    const char* group;
    std::array<double, 6> cell;
    Coordinates x;
    std::array<double, 6> tied;  // cctbx's average of U = (0.011, 0.012, 0.013, 0.001, 0.002, 0.003)
    std::size_t free;
  };
  const Case cases[] = {
      {"P 6/m m m", {3.086, 3.086, 3.524, 90, 90, 120}, {0.4, 0.2, 0.1}, {0.011, 0.0165, 0.013, 0.0055, 0.002, 0.001}, 4},
      {"P -3", {5, 5, 6, 90, 90, 120}, {1.0 / 3, 2.0 / 3, 0.2}, {0.0146667, 0.0146667, 0.013, 0.0073333, 0, 0}, 2},
      {"P 4/m m m", {4, 4, 7, 90, 90, 90}, {0, 0, 0.3}, {0.0115, 0.0115, 0.013, 0, 0, 0}, 2},
      {"F m -3 m", {8, 8, 8, 90, 90, 90}, {0.3, 0.3, 0.3}, {0.012, 0.012, 0.012, 0.002, 0.002, 0.002}, 2},
      {"C 1 2/c 1", {10, 6, 9, 90, 105, 90}, {0, 0.3, 0.25}, {0.011, 0.012, 0.013, 0, 0.002, 0}, 4},
      {"P m m m", {5, 6, 7, 90, 90, 90}, {0.2, 0.3, 0.5}, {0.011, 0.012, 0.013, 0.001, 0, 0}, 4},
      {"P -1", {5, 6, 7, 80, 85, 95}, {0, 0, 0}, {0.011, 0.012, 0.013, 0.001, 0.002, 0.003}, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.group);
    CifStructure s = hexagonal_structure();
    for (int i = 0; i < 6; ++i) s.cell[i] = exact(c.cell[i], 0);
    s.space_group_name = c.group;
    CifAtom a = atom("X1", "Mg", c.x, {0, 0, 0});
    a.anisotropic = true;
    a.u = {0.011, 0.012, 0.013, 0.001, 0.002, 0.003};
    a.u_su = {0.001, 0.001, 0.001, 0.0005, 0.0005, 0.0005};
    s.atoms = {a};
    const Conversion converted = convert(s, table_symmetry(c.group), {});
    for (std::size_t k = 0; k < 6; ++k) EXPECT_NEAR(converted.experiment.atoms[0].u[k], c.tied[k], 1e-7) << k;
    // One variable per free Uij; each tied Uij a parameter of its free ones.
    EXPECT_EQ(converted.covariance.variances.size(), c.free);
    for (const ConstraintEntry& e : converted.covariance.constraints) {
      const std::string& parameter = converted.covariance.names[static_cast<std::size_t>(e.parameter - 1)];
      const std::string& variable = converted.covariance.variable_names[static_cast<std::size_t>(e.variable - 1)];
      EXPECT_EQ(parameter.substr(0, 4), "1  1");
      if (parameter == variable) {
        EXPECT_EQ(e.coefficient, 1.0);
      }
    }
  }
  // The threefold axis: U22 = U11 and U12 = U11 / 2 with U11's variance;
  // U13 and U23 fixed at zero, with no entry.
  CifStructure s = hexagonal_structure();
  s.space_group_name = "P -3";
  CifAtom a = atom("X1", "Mg", {1.0 / 3, 2.0 / 3, 0.2}, {0, 0, 0});
  a.anisotropic = true;
  a.u = {0.011, 0.012, 0.013, 0.001, 0.002, 0.003};
  a.u_su = {0.001, 0.002, 0.003, 0.0005, 0.0005, 0.0005};
  s.atoms = {a};
  const CovarianceContent cov = convert(s, table_symmetry("P -3"), {}).covariance;
  EXPECT_EQ(cov.variable_names, (std::vector<std::string>{"1  1U11 ", "1  1U33 "}));
  EXPECT_NEAR(cov.variances[0], 1e-6, 1e-15);
  EXPECT_NEAR(cov.variances[1], 9e-6, 1e-15);
  EXPECT_EQ(cov.names, (std::vector<std::string>{"1  1U11 ", "1  1U22 ", "1  1U33 ", "1  1U12 "}));
  ASSERT_EQ(cov.constraints.size(), 4u);
  EXPECT_EQ(cov.constraints[1].variable, 1);
  EXPECT_DOUBLE_EQ(cov.constraints[1].coefficient, 1.0);
  EXPECT_EQ(cov.constraints[3].variable, 1);
  EXPECT_NEAR(cov.constraints[3].coefficient, 0.5, 1e-12);
}

TEST(ExperimentFile, RecordsReadBackWithTheLayoutsThePhaseReaderUses) {
  TempFolder folder;
  const Conversion c = convert(hexagonal_structure(), table_symmetry("P 6/m m m"), {"3.0", ""});
  const std::string file = (folder / "HEX.EXP").string();
  write_experiment_file(file, experiment_records(c.experiment));
  EXPECT_NO_THROW(vesk::check_record_layout(file));
  EXPECT_THROW(write_experiment_file(file, {}), vesk::Error);  // never over an existing file

  testing_support::OpenExperiment open(file);
  auto value = [&](const std::string& key) {
    std::string v(68, ' ');
    EXPECT_EQ(vesk::READEXP(open.unit, key, v), 0) << key;
    return v;
  };
  EXPECT_EQ(value("      DESCR ").substr(2, 16), "A hexagonal test");
  int version = 0;
  EXPECT_EQ(recio::read_string(value("     VERSION"), "(I5)", {version}), 0);
  EXPECT_EQ(version, 6);
  EXPECT_EQ(value("    HSTRY  1").substr(0, 30), "cif2exp from hex.cif, data_hex");
  std::array<int, vesk::kMaxPhases> flags{};
  vesk::NPHASRD(open.unit, flags);
  EXPECT_EQ(flags, (std::array<int, vesk::kMaxPhases>{1, 0, 0, 0, 0, 0, 0, 0, 0}));

  int ntypes = 0;
  recio::read_string(value(" EXPR  NATYP"), "(I5)", {ntypes});
  EXPECT_EQ(ntypes, 3);
  std::string symbol(8, ' ');
  float bond = 0, angle = 0;
  recio::read_string(value(" EXPR ATYP 2"), "(2X,A,5X,2F10.2)", {symbol, bond, angle});
  EXPECT_EQ(symbol, "Mg      ");
  EXPECT_FLOAT_EQ(bond, 1.91f);
  EXPECT_FLOAT_EQ(angle, 1.61f);

  const std::string prefix = vesk::CRSKEY(1);
  EXPECT_EQ(value(prefix + "  PNAM").substr(0, 7), "  Mg B2");
  int natom = 0;
  recio::read_string(value(prefix + " NATOM"), "(I5)", {natom});
  EXPECT_EQ(natom, 4);
  float a = 0, b = 0, cc = 0;
  recio::read_string(value(prefix + "ABC   "), "(3F10.5)", {a, b, cc});
  EXPECT_FLOAT_EQ(cc, 3.524f);
  recio::read_string(value(prefix + "ABCSIG"), "(3F10.5)", {a, b, cc});
  EXPECT_FLOAT_EQ(a, 0.002f);
  recio::read_string(value(prefix + "ANGLES"), "(3F10.5)", {a, b, cc});
  EXPECT_FLOAT_EQ(cc, 120.0f);
  recio::read_string(value(prefix + "ANGSIG"), "(3F10.5)", {a, b, cc});
  EXPECT_FLOAT_EQ(cc, 0.0f);
  EXPECT_EQ(value(prefix + "SG SYM").substr(0, 22), "  P 6/m m m           ");

  // Atom 1 (B1 on 2d, exactly at 1/3, 2/3) and atom 4 (anisotropic).
  std::string type(8, ' '), label(8, ' '), flags3(3, ' ');
  float x = 0, y = 0, z = 0, fraction = 0, multiplicity = 0;
  ASSERT_EQ(recio::read_string(value(prefix + "AT  1A"), "(2X,A,4F10.0,A,F4.0,1X,3A)",
                               {type, x, y, z, fraction, label, multiplicity, flags3}),
            0);
  EXPECT_EQ(type, "B       ");
  EXPECT_EQ(label, "B1      ");
  EXPECT_FLOAT_EQ(x, 0.333333f);
  EXPECT_FLOAT_EQ(y, 0.666667f);
  EXPECT_FLOAT_EQ(z, 0.5f);
  EXPECT_FLOAT_EQ(fraction, 1.0f);
  EXPECT_FLOAT_EQ(multiplicity, 2.0f);
  std::string kind(4, ' ');
  recio::read_string(value(prefix + "AT  1B"), "(62X,4A)", {kind});
  EXPECT_EQ(kind, "I   ");
  float u[6] = {};
  recio::read_string(value(prefix + "AT  1B"), "(F10.0)", {u[0]});
  EXPECT_FLOAT_EQ(u[0], 0.01f);
  recio::read_string(value(prefix + "AT  4B"), "(62X,4A)", {kind});
  EXPECT_EQ(kind, "A   ");
  recio::read_string(value(prefix + "AT  4B"), "(6F10.0)", {u[0], u[1], u[2], u[3], u[4], u[5]});
  // On the mirror (2x, x, z), as its ties give them: U11 = 2 U12, U13 = 2 U23.
  EXPECT_FLOAT_EQ(u[2], 0.013f);
  EXPECT_FLOAT_EQ(u[3], 0.0055f);
  EXPECT_FLOAT_EQ(u[5], 0.001f);

  // The run record matches the covariance file's cycle; its figure is R1.
  const std::string run = value("  RFFN  RUN ");
  int cycle = 0;
  float figure = 0;
  recio::read_string(run, "(43X,I4)", {cycle});
  recio::read_string(run.substr(49, 15), "(F15.0)", {figure});
  EXPECT_EQ(cycle, kCycle);
  EXPECT_FLOAT_EQ(figure, 0.0345f);
  EXPECT_EQ(value("  RFFN CDAT1").substr(0, 18), "  RFN-Fsq SGLM  20");
  EXPECT_EQ(value("  VRTN CDAT1").substr(0, 14), "DMAX 3.0 DFLT ");
  EXPECT_EQ(value("ZZZZZZZZZZZZ").substr(0, 3), "end");
}

TEST(CovarianceFile, ReadBackByTheCovarianceReaderInBothStorages) {
  TempFolder folder;
  for (int nvar : {3, kFullStorageLimit + 1}) {
    CovarianceContent content;
    for (int v = 1; v <= nvar; ++v) {
      content.variable_names.push_back("1  1X   ");
      content.variances.push_back(1e-8 * v);
    }
    // Parameters 1 and 2 follow variable 1 (x and y = 2x), 3 takes the last.
    content.names = {"1  1X   ", "1  1Y   ", "1  2Z   "};
    content.constraints = {{1, 1, 1.0}, {2, 1, 2.0}, {3, nvar, 1.0}};
    content.cycle_figure = 0.05;
    const std::string file = (folder / ("T" + std::to_string(nvar) + ".CMT")).string();
    write_covariance_file(file, content);

    vesk::CovarianceData data;
    std::string problem;
    int unit = 20;
    ASSERT_EQ(vesk::read_covariance_file(unit, file, data, problem), vesk::CovarianceRead::Ok) << problem;
    EXPECT_EQ(data.cycle, kCycle);
    EXPECT_FLOAT_EQ(data.cycle_figure, 0.05f);
    EXPECT_EQ(data.nname, 3);
    EXPECT_EQ(data.names[1], "1  1Y   ");
    EXPECT_EQ(data.nvar, nvar);
    EXPECT_EQ(data.band, nvar <= kFullStorageLimit ? 0 : 1);
    vesk::index_constraints(data);
    EXPECT_FLOAT_EQ(vesk::COVEL(data, 1, 1), 1e-8f);
    EXPECT_FLOAT_EQ(vesk::COVEL(data, 2, 2), 4e-8f);
    EXPECT_FLOAT_EQ(vesk::COVEL(data, 1, 2), 2e-8f);  // y = 2x: fully correlated
    EXPECT_FLOAT_EQ(vesk::COVEL(data, 1, 3), 0.0f);
    EXPECT_FLOAT_EQ(vesk::COVEL(data, 3, 3), static_cast<float>(1e-8 * nvar));
    EXPECT_FLOAT_EQ(vesk::matrix_element(data, 2, 2), 2e-8f);
    EXPECT_FLOAT_EQ(vesk::matrix_element(data, 1, 2), 0.0f);
  }
}

// ---- Whole runs of cif2exp, and of vortan on what it writes ----

namespace {

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::run_program;
using testing_support::RunResult;
using testing_support::write_file;

RunResult cif2exp_run(const TempFolder& folder, const std::string& cif, std::vector<std::string> arguments = {}) {
  write_file(folder / "in.cif", cif);
  arguments.insert(arguments.begin(), "in.cif");
  return run_program(CIF2EXP_BIN, arguments, folder.path());
}

std::set<std::string> files_in(const TempFolder& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder.path())) names.insert(entry.path().filename().string());
  return names;
}

const char* const kTriclinic = R"(data_tri
_publ_section_title
;
 A triclinic test structure
;
_chemical_formula_sum 'C2 O'
_cell_length_a 5.1234(5)
_cell_length_b 6.2345(6)
_cell_length_c 7.3456(7)
_cell_angle_alpha 81.23(2)
_cell_angle_beta 95.67(3)
_cell_angle_gamma 102.34(4)
_symmetry_space_group_name_H-M 'P -1'
_refine_ls_R_factor_gt 0.0412
loop_
_symmetry_equiv_pos_as_xyz
'x, y, z'
'-x, -y, -z'
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_U_iso_or_equiv
_atom_site_occupancy
O1 O 0.1234(3) 0.2345(4) 0.3456(5) 0.0123(4) 1
C1 C 0.2500(4) 0.3100(5) 0.4700(6) 0.0150(5) 1
C2 C 0.3500(4) 0.1200(5) 0.5900(6) 0.0160(5) 0.95(2)
)";

// Rutile: Ti on 2a (0, 0, 0), O on 4f (x, x, 0); the CIF gives spurious
// s.u.'s to coordinates that the site symmetry fixes.
const char* const kRutile = R"(data_rutile
_cell_length_a 4.5937(3)
_cell_length_b 4.5937(3)
_cell_length_c 2.9587(2)
_cell_angle_alpha 90
_cell_angle_beta 90
_cell_angle_gamma 90
_space_group_name_H-M_alt 'P 42/m n m'
loop_
_space_group_symop_operation_xyz
x,y,z
-x,-y,z
-y+1/2,x+1/2,z+1/2
y+1/2,-x+1/2,z+1/2
-x+1/2,y+1/2,-z+1/2
x+1/2,-y+1/2,-z+1/2
y,x,-z
-y,-x,-z
-x,-y,-z
x,y,-z
y+1/2,-x+1/2,-z+1/2
-y+1/2,x+1/2,-z+1/2
x+1/2,-y+1/2,z+1/2
-x+1/2,y+1/2,z+1/2
-y,-x,z
y,x,z
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_U_iso_or_equiv
_atom_site_site_symmetry_multiplicity
Ti1 Ti4+ 0.0000(2) 0.0000(2) 0.0000(3) 0.0060(2) 2
O1 O2- 0.30478(9) 0.30478(9) 0.0000(4) 0.0080(3) 4
)";

const char* const kCubic = R"(data_nacl
_cell_length_a 5.6402(3)
_cell_length_b 5.6402(3)
_cell_length_c 5.6402(3)
_cell_angle_alpha 90
_cell_angle_beta 90
_cell_angle_gamma 90
_symmetry_space_group_name_H-M 'F m -3 m'
loop_
_atom_site_label
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_B_iso_or_equiv
Na1 0 0 0 1.2
Cl1 0.5 0.5 0.5 1.0
)";

const char* const kAnisotropic = R"(data_aniso
_cell_length_a 7.123(2)
_cell_length_b 8.234(3)
_cell_length_c 9.345(4)
_cell_angle_alpha 90
_cell_angle_beta 101.23(2)
_cell_angle_gamma 90
_symmetry_space_group_name_H-M 'P 21/c'
loop_
_symmetry_equiv_pos_as_xyz
'x, y, z'
'-x, y+1/2, -z+1/2'
'-x, -y, -z'
'x, -y-1/2, z-1/2'
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_U_iso_or_equiv
_atom_site_adp_type
S1 S 0.23456(5) 0.12345(4) 0.34567(4) 0.0200(2) Uani
O1 O 0.3012(2) 0.2501(2) 0.2890(2) 0.0300(4) Uani
H1 H 0.45 0.30 0.31 0.04 Uiso
loop_
_atom_site_aniso_label
_atom_site_aniso_U_11
_atom_site_aniso_U_22
_atom_site_aniso_U_33
_atom_site_aniso_U_12
_atom_site_aniso_U_13
_atom_site_aniso_U_23
S1 0.0210(3) 0.0190(3) 0.0200(3) 0.0010(2) 0.0030(2) -0.0005(2)
O1 0.031(1) 0.029(1) 0.030(1) 0.002(1) 0.004(1) 0.001(1)
)";

std::string with(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

void expect_refused(const std::string& cif, const std::string& part, std::vector<std::string> arguments = {}) {
  TempFolder folder;
  const RunResult run = cif2exp_run(folder, cif, arguments);
  EXPECT_EQ(run.exit_status, 1) << run.out << run.err;
  EXPECT_NE(run.err.find(part), std::string::npos) << run.err;
  EXPECT_EQ(files_in(folder), std::set<std::string>{"in.cif"}) << "left behind after: " << run.err;
}

}  // namespace

TEST(Cif2expProgram, WritesTheExperimentAndCovarianceFilesNamedAfterTheBlock) {
  TempFolder folder;
  RunResult run = cif2exp_run(folder, kTriclinic);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(files_in(folder), (std::set<std::string>{"in.cif", "IN.EXP", "IN.CMT", "IN.CIFSRC"}));
  EXPECT_NE(run.out.find("vortan IN"), std::string::npos) << run.out;
  EXPECT_NO_THROW(vesk::check_record_layout((folder / "IN.EXP").string()));

  vesk::CovarianceData data;
  std::string problem;
  ASSERT_EQ(vesk::read_covariance_file(21, (folder / "IN.CMT").string(), data, problem), vesk::CovarianceRead::Ok)
      << problem;
  EXPECT_EQ(data.nvar, 13);  // nine coordinates, one occupancy, three Uiso
  EXPECT_FLOAT_EQ(data.cycle_figure, 0.0412f);
  vesk::index_constraints(data);
  EXPECT_FLOAT_EQ(vesk::COVEL(data, 1, 1), 0.0003f * 0.0003f);

  // A second run rewrites its own files; a name on the command line is
  // upper-cased and loses ".exp", as vortan treats it.
  run = cif2exp_run(folder, kTriclinic, {"mine.exp"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  run = cif2exp_run(folder, kTriclinic, {"mine"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_TRUE(fs::exists(folder / "MINE.EXP"));

  // An experiment file of the suite is never replaced without --force.
  testing_support::minimal_experiment().write(folder / "SUITE.EXP");
  const std::string before = read_file(folder / "SUITE.EXP");
  run = cif2exp_run(folder, kTriclinic, {"SUITE"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("SUITE.EXP exists and was not written by cif2exp"), std::string::npos) << run.err;
  EXPECT_EQ(read_file(folder / "SUITE.EXP"), before);
  EXPECT_FALSE(fs::exists(folder / "SUITE.CMT"));
  run = cif2exp_run(folder, kTriclinic, {"SUITE", "--force"});
  EXPECT_EQ(run.exit_status, 0) << run.err;

  // Without any s.u. there is no covariance file, and an old one goes.
  write_file(folder / "MINE.CMT", "stale");
  run = cif2exp_run(folder, kCubic, {"MINE"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_FALSE(fs::exists(folder / "MINE.CMT"));
  EXPECT_NE(run.out.find("no MINE.CMT"), std::string::npos) << run.out;
}

TEST(Cif2expProgram, AnisotropicAtomsKeepTheirSixParameters) {
  TempFolder folder;
  RunResult run = cif2exp_run(folder, kAnisotropic, {"--dmax", "2.5"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  testing_support::OpenExperiment open(folder / "IN.EXP");
  std::string value(68, ' ');
  ASSERT_EQ(vesk::READEXP(open.unit, "CRS1  SG SYM", value), 0);
  EXPECT_EQ(value.substr(0, 14), "  P 1 21/c 1  ");
  ASSERT_EQ(vesk::READEXP(open.unit, "CRS1  AT  1B", value), 0);
  std::string kind(4, ' ');
  std::array<float, 6> u{};
  recio::read_string(value, "(62X,4A)", {kind});
  recio::read_string(value, "(6F10.0)", {u[0], u[1], u[2], u[3], u[4], u[5]});
  EXPECT_EQ(kind, "A   ");
  EXPECT_FLOAT_EQ(u[0], 0.021f);
  EXPECT_FLOAT_EQ(u[5], -0.0005f);
  ASSERT_EQ(vesk::READEXP(open.unit, "CRS1  AT  3B", value), 0);
  recio::read_string(value, "(62X,4A)", {kind});
  EXPECT_EQ(kind, "I   ");
  ASSERT_EQ(vesk::READEXP(open.unit, "  VRTN CDAT1", value), 0);
  EXPECT_EQ(value.substr(0, 14), "DMAX 2.5 DFLT ");
}

TEST(Cif2expProgram, RefusesBadInputLeavingNothingBehind) {
  expect_refused(with(kTriclinic, "_cell_length_b 6.2345(6)", ""), "in.cif: the block data_tri has no cell: _cell_length_b");
  expect_refused(with(kTriclinic, "_atom_site_fract_y", "_atom_site_fract_q"), "has no coordinates");
  expect_refused(with(kTriclinic, "C1 C 0.2500", "C1 Qq 0.2500"), "atom C1: unknown atom type Qq");
  expect_refused(with(kTriclinic, "O1 O 0.1234(3)", "O1 O ?"), "atom O1: _atom_site_fract_x ? is not a coordinate");
  // The CIF puts O1 of rutile on a site of multiplicity 4 that its
  // coordinates leave: (x, x+0.01, 0) is on no special position of 4f's kind.
  expect_refused(with(kRutile, "O1 O2- 0.30478(9) 0.30478(9)", "O1 O2- 0.30478(9) 0.31478(9)"),
                 "atom O1 at (0.304780, 0.314780, 0.000000): the CIF gives the site multiplicity 4, but 2 of the 16");
  expect_refused(with(with(kTriclinic, "_symmetry_space_group_name_H-M 'P -1'", ""), "_symmetry_equiv_pos_as_xyz", "_other"),
                 "no data block holds a structure:\n  data_tri: no symmetry");
  expect_refused(with(kTriclinic, "'-x, -y, -z'", "'-x, -y, z'"), "they are not the same group");
  expect_refused("data_x\n_cell_length_a 5\n", "data_x: no atom coordinates");
  expect_refused("not a CIF at all", "in.cif");
  expect_refused(kTriclinic, "no data block data_other", {"--block", "other"});
  for (const char* limit : {"far", "inf", "0x10", "nan", "1e1", "0", "50.5", "-3"})
    expect_refused(kTriclinic, "is not a distance in Angstrom above 0 and up to vortan's 50 A", {"--dmax", limit});
  expect_refused(with(kTriclinic, "_cell_angle_alpha 81.23(2)\n_cell_angle_beta 95.67(3)\n_cell_angle_gamma 102.34(4)",
                      "_cell_angle_alpha 120\n_cell_angle_beta 120\n_cell_angle_gamma 120"),
                 "close no cell");
  // Two rows of Uij for one atom: which one is meant cannot be told.
  const std::string o1_row = "O1 0.031(1) 0.029(1) 0.030(1) 0.002(1) 0.004(1) 0.001(1)\n";
  expect_refused(with(kAnisotropic, o1_row, o1_row + "O1 0.021(1) 0.029(1) 0.030(1) 0.002(1) 0.004(1) 0.001(1)\n"),
                 "atom O1: the anisotropic loop gives its Uij twice (two rows of _atom_site_aniso_label O1)");
  // A charge vortan would not read, or outside the oxidation states.
  for (const auto& [symbol, fault] : std::vector<std::pair<std::string, std::string>>{
           {"Ti3.5+", "its charge \"3.5+\" is not a whole number written before or after its sign"},
           {"Ti3+a", "its charge \"3+a\" is not a whole number written before or after its sign"},
           {"Ti+3+", "its charge \"+3+\" is not a whole number written before or after its sign"},
           {"Ti33+", "its charge \"33+\" is outside the oxidation states -8 to 8"},
           {"Ti300+", "its charge \"300+\" is outside the oxidation states -8 to 8"},
           {"Ti-9", "its charge \"-9\" is outside the oxidation states -8 to 8"}})
    expect_refused(with(kRutile, "Ti1 Ti4+", "Ti1 " + symbol),
                   "atom Ti1: the type symbol " + symbol + " (_atom_site_type_symbol): " + fault);
}

// ---- vortan on cif2exp's files, against distances computed from the CIF ----

namespace {

struct ResultDistance {
  int central = 0, neighbour = 0, operator_code = 0, cell_code = 0;
  double d = 0, sigma = 0;
};

// Runs vortan on NAME and reads the distance records of its results file.
std::vector<ResultDistance> vortan_distances(const TempFolder& folder, const std::string& name) {
  const RunResult run = run_program(VORTAN_BIN, {name}, folder.path(), "", {{"SOURCE_DATE_EPOCH", "0"}});
  EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_NE(run.err.find("VORTAN successful completion"), std::string::npos) << run.err;
  std::vector<ResultDistance> distances;
  std::istringstream results(read_file(folder / (name + ".VORTAN")));
  std::string line;
  while (std::getline(results, line)) {
    if (line.size() < 45 || line.substr(1, 4) != " 1 0") continue;
    ResultDistance r;
    r.d = std::stod(line.substr(5, 10));
    r.sigma = std::stod(line.substr(15, 10));
    r.central = std::stoi(line.substr(25, 5));
    r.neighbour = std::stoi(line.substr(30, 5));
    r.operator_code = std::stoi(line.substr(35, 5));
    r.cell_code = std::stoi(line.substr(40, 5));
    distances.push_back(r);
  }
  return distances;
}

// The structure as a function of its independent parameters (cell constants
// and free coordinates, each with the CIF's s.u.), so that the s.u. of a
// distance can be propagated by hand with numerical derivatives.
struct Model {
  std::vector<double> values;
  std::vector<double> sigmas;
  std::function<std::array<double, 6>(const std::vector<double>&)> cell;
  std::function<std::vector<std::array<double, 3>>(const std::vector<double>&)> atoms;
  std::string group;  // name for gemmi's table
};

struct Image {
  gemmi::Op op;
  std::array<int, 3> shift{};
};

double image_distance(const Model& model, const std::vector<double>& p, int i, int j, const Image& image) {
  const std::array<double, 6> c = model.cell(p);
  const gemmi::UnitCell cell(c[0], c[1], c[2], c[3], c[4], c[5]);
  const auto atoms = model.atoms(p);
  const std::array<double, 3> moved = image.op.apply_to_xyz(atoms[j]);
  const gemmi::Fractional delta(moved[0] + image.shift[0] - atoms[i][0], moved[1] + image.shift[1] - atoms[i][1],
                                moved[2] + image.shift[2] - atoms[i][2]);
  return cell.orthogonalize_difference(delta).length();
}

double propagated_sigma(const Model& model, int i, int j, const Image& image) {
  double variance = 0;
  for (std::size_t k = 0; k < model.values.size(); ++k) {
    if (model.sigmas[k] == 0) continue;
    std::vector<double> up = model.values, down = model.values;
    const double h = 1e-6 * std::max(1.0, std::abs(model.values[k]));
    up[k] += h;
    down[k] -= h;
    const double derivative = (image_distance(model, up, i, j, image) - image_distance(model, down, i, j, image)) / (2 * h);
    variance += std::pow(derivative * model.sigmas[k], 2);
  }
  return std::sqrt(variance);
}

// Every vortan distance is one from the CIF's coordinates, with the s.u.
// propagated by hand; and every such distance up to the limit is listed.
void expect_distances_of(const Model& model, const std::vector<ResultDistance>& listed, double limit) {
  const gemmi::SpaceGroup* group = gemmi::find_spacegroup_by_name(model.group);
  ASSERT_NE(group, nullptr) << model.group;
  const std::vector<gemmi::Op> ops = group->operations().all_ops_sorted();
  const int natoms = static_cast<int>(model.atoms(model.values).size());
  std::vector<std::vector<std::pair<double, Image>>> around(natoms);
  const std::array<double, 6> c = model.cell(model.values);
  const gemmi::UnitCell cell(c[0], c[1], c[2], c[3], c[4], c[5]);
  for (int i = 0; i < natoms; ++i)
    for (int j = 0; j < natoms; ++j) {
      std::vector<gemmi::Position> seen;
      for (const gemmi::Op& op : ops)
        for (int a = -2; a <= 2; ++a)
          for (int b = -2; b <= 2; ++b)
            for (int e = -2; e <= 2; ++e) {
              const Image image{op, {a, b, e}};
              const double d = image_distance(model, model.values, i, j, image);
              if (d < 1e-4 || d > limit) continue;
              const auto xj = op.apply_to_xyz(model.atoms(model.values)[j]);
              const gemmi::Position where = cell.orthogonalize(gemmi::Fractional(xj[0] + a, xj[1] + b, xj[2] + e));
              bool again = false;
              for (const gemmi::Position& other : seen) again = again || where.dist(other) < 1e-6;
              if (again) continue;
              seen.push_back(where);
              around[i].push_back({d, image});
            }
    }
  std::vector<int> count(natoms, 0);
  for (const ResultDistance& r : listed) {
    ASSERT_GE(r.central, 1);
    ASSERT_LE(r.central, natoms);
    ++count[r.central - 1];
    bool found = false, sigma_agrees = false;
    double nearest_sigma = -1;
    for (const auto& [d, image] : around[r.central - 1]) {
      if (std::abs(d - r.d) > 2e-5 * std::max(1.0, d)) continue;
      if (image_distance(model, model.values, r.central - 1, r.neighbour - 1, image) != d) continue;
      found = true;
      nearest_sigma = propagated_sigma(model, r.central - 1, r.neighbour - 1, image);
      sigma_agrees = sigma_agrees || std::abs(nearest_sigma - r.sigma) <= 2e-5 + 0.01 * nearest_sigma;
    }
    EXPECT_TRUE(found) << "atom " << r.central << " to atom " << r.neighbour << ": " << r.d;
    EXPECT_TRUE(sigma_agrees) << "atom " << r.central << " to atom " << r.neighbour << ": " << r.d << " s.u. "
                              << r.sigma << ", by hand " << nearest_sigma;
  }
  for (int i = 0; i < natoms; ++i)
    EXPECT_EQ(count[i], static_cast<int>(around[i].size())) << "distances around atom " << i + 1;
}

}  // namespace

TEST(Cif2expProgram, NumbersThatAreNoNumbersAreRefusedNamingAtomAndItem) {
  expect_refused(with(kTriclinic, "0.95(2)", "0,5"), "atom C2: _atom_site_occupancy 0,5 is not a number");
  expect_refused(with(kTriclinic, "0.95(2)", "nan"), "atom C2: _atom_site_occupancy nan is not a number");
  expect_refused(with(kTriclinic, "0.0150(5)", "0,015"), "atom C1: _atom_site_U_iso_or_equiv 0,015 is not a number");
  expect_refused(with(kRutile, "0.0060(2) 2", "0.0060(2) 2.5"),
                 "atom Ti1: _atom_site_site_symmetry_multiplicity 2.5 is not a whole number");
  expect_refused(with(kAnisotropic, "0.031(1) 0.029(1)", "0.031(1) 0,029"),
                 "atom O1: _atom_site_aniso_U_22 0,029 is not a number");
  expect_refused(with(kAnisotropic, "'-x, -y, -z'", "'99999999999*x, -y, -z'"), "is too large");
  // A folder that does not exist: named, with the system's reason.
  TempFolder folder;
  const RunResult run = cif2exp_run(folder, kTriclinic, {"nofolder/X"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("the folder nofolder for the experiment's files cannot be used: No such file or directory"),
            std::string::npos) << run.err;
}

// Each reading gives the files that the plain form of the same CIF gives.
TEST(Cif2expProgram, ReadingsAcceptedWithAWarning) {
  auto converted = [](const std::string& cif, std::string* out = nullptr) {
    TempFolder folder;
    const RunResult run = cif2exp_run(folder, cif);
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    if (out != nullptr) *out = run.out;
    std::string files = read_file(folder / "IN.EXP");
    if (fs::exists(folder / "IN.CMT")) files += read_file(folder / "IN.CMT");
    return files;
  };
  // Simple fractions as coordinates.
  EXPECT_EQ(converted(with(kCubic, "Cl1 0.5 0.5 0.5", "Cl1 1/2 1/2 +1/2")), converted(kCubic));

  // CIF2 s.u. columns.
  const std::string cell = "data_su\n_cell.length_a 5.1234(5)\n_cell.length_b 6.2345(6)\n_cell.length_c 7.3456\n"
                           "_cell.length_c_su 0.0007\n_cell.angle_alpha 90\n_cell.angle_beta 95.67(3)\n"
                           "_cell.angle_gamma 90\n_space_group.name_H-M_alt 'P 1'\nloop_\n_atom_site.label\n"
                           "_atom_site.fract_x\n_atom_site.fract_y\n_atom_site.fract_z\n_atom_site.U_iso_or_equiv\n";
  const std::string in_parentheses = cell + "_atom_site.occupancy\n"
                                            "O1 0.1234(3) 0.2345(4) 0.3456(5) 0.0123(4) 0.95(2)\n"
                                            "C1 0.2500(4) 0.3100(5) 0.4700(6) 0.0150(5) 1\n"
                                            "C2 0.3500 0.1200 0.5900 0.0160 1\n";
  const std::string in_columns = cell + "_atom_site.occupancy\n_atom_site.fract_x_su\n_atom_site.fract_y_su\n"
                                        "_atom_site.fract_z_su\n_atom_site.U_iso_or_equiv_su\n_atom_site.occupancy_su\n"
                                        "O1 0.1234 0.2345 0.3456 0.0123 0.95 0.0003 0.0004 0.0005 0.0004 0.02\n"
                                        "C1 0.2500 0.3100 0.4700 0.0150 1 0.0004 0.0005 0.0006 0.0005 ?\n"
                                        "C2 0.3500 0.1200 0.5900 0.0160 1 ? ? ? ? ?\n";
  EXPECT_EQ(converted(in_columns), converted(with(in_parentheses, "7.3456\n_cell.length_c_su 0.0007", "7.3456(7)")));

  // An aniso row of no atom: skipped with a warning, the atom it was meant
  // for kept isotropic; refused when that atom has no Uiso.
  std::string out;
  const std::string mistyped = with(kAnisotropic, "O1 0.031(1)", "Ol 0.031(1)");
  const std::string isotropic = with(with(kAnisotropic, "O1 0.031(1) 0.029(1) 0.030(1) 0.002(1) 0.004(1) 0.001(1)\n", ""),
                                     "0.0300(4) Uani", "0.0300(4) Uiso");
  EXPECT_EQ(converted(mistyped, &out), converted(isotropic));
  EXPECT_NE(out.find("_atom_site_aniso_label Ol names no atom of _atom_site_label: that row skipped"),
            std::string::npos) << out;
  expect_refused(with(mistyped, "0.0300(4) Uani", "? Uani"),
                 "_atom_site_aniso_label Ol names no atom of _atom_site_label, and atom O1 has neither Uij nor a Uiso");

  // An atom without s.u. up to 0.0005 off the special position of its
  // multiplicity is moved onto it; 0.0006 off it is still refused.
  const std::string cubic = with(kCubic, "_atom_site_B_iso_or_equiv\nNa1 0 0 0 1.2\nCl1 0.5 0.5 0.5 1.0",
                                 "_atom_site_B_iso_or_equiv\n_atom_site_site_symmetry_multiplicity\n"
                                 "Na1 0 0 0 1.2 4\nCl1 0.5 0.5 0.5 1.0 4");
  EXPECT_EQ(converted(with(cubic, "Na1 0 0 0", "Na1 0.0004 0.0003 0.0002"), &out), converted(cubic));
  EXPECT_NE(out.find("atom Na1 at (0.000400, 0.000300, 0.000200), without s.u.'s, is moved onto the special position "
                     "(0.0000, 0.0000, 0.0000) that its multiplicity 4 declares"),
            std::string::npos) << out;
  expect_refused(with(cubic, "Na1 0 0 0", "Na1 0.0006 0 0"),
                 "its site symmetry does not leave it in place");
}

TEST(Cif2expWithVortan, TriclinicDistancesAndTheirStandardDeviations) {
  TempFolder folder;
  ASSERT_EQ(cif2exp_run(folder, kTriclinic, {"--dmax", "3.0", "--dagl", "3.0"}).exit_status, 0);
  const auto listed = vortan_distances(folder, "IN");
  ASSERT_FALSE(listed.empty());
  Model model;
  model.group = "P -1";
  model.values = {5.1234, 6.2345, 7.3456, 81.23, 95.67, 102.34,
                  0.1234, 0.2345, 0.3456, 0.2500, 0.3100, 0.4700, 0.3500, 0.1200, 0.5900};
  model.sigmas = {0.0005, 0.0006, 0.0007, 0.02, 0.03, 0.04,
                  0.0003, 0.0004, 0.0005, 0.0004, 0.0005, 0.0006, 0.0004, 0.0005, 0.0006};
  model.cell = [](const std::vector<double>& p) { return std::array<double, 6>{p[0], p[1], p[2], p[3], p[4], p[5]}; };
  model.atoms = [](const std::vector<double>& p) {
    return std::vector<std::array<double, 3>>{{p[6], p[7], p[8]}, {p[9], p[10], p[11]}, {p[12], p[13], p[14]}};
  };
  expect_distances_of(model, listed, 3.0);

  // In P -1 the operator code is 1 or -1 and the cell code 555 for no shift:
  // O1 to C1 in the same cell, by hand from the CIF.
  const auto o1_c1 = std::find_if(listed.begin(), listed.end(),
                                  [](const ResultDistance& r) { return r.central == 1 && r.neighbour == 2; });
  ASSERT_NE(o1_c1, listed.end());
  EXPECT_EQ(o1_c1->operator_code, 1);
  EXPECT_EQ(o1_c1->cell_code, 555);
  const Image same{gemmi::Op::identity(), {0, 0, 0}};
  EXPECT_NEAR(o1_c1->d, image_distance(model, model.values, 0, 1, same), 2e-5);
  EXPECT_NEAR(o1_c1->sigma, propagated_sigma(model, 0, 1, same), 2e-5);

  // The occupancy's s.u. reaches the atom list.
  const std::string listing = read_file(folder / "IN.LST");
  EXPECT_NE(listing.find("C2       0.3500(4)     0.1200(5)     0.5900(6)        1     C       3 0.950(20)"),
            std::string::npos)
      << listing;
}

TEST(Cif2expWithVortan, SpecialPositionsGetNoStandardDeviationFromFixedCoordinates) {
  TempFolder folder;
  ASSERT_EQ(cif2exp_run(folder, kRutile, {"--dmax", "3.0", "--dagl", "3.0"}).exit_status, 0);
  const auto listed = vortan_distances(folder, "IN");
  ASSERT_FALSE(listed.empty());
  // Independent parameters: a (= b), c and x of O1 on (x, x, 0); Ti1 on
  // (0, 0, 0) and z of O1 are fixed whatever s.u.'s the CIF prints.
  Model model;
  model.group = "P 42/m n m";
  model.values = {4.5937, 2.9587, 0.30478};
  model.sigmas = {0.0003, 0.0002, 0.00009};
  model.cell = [](const std::vector<double>& p) { return std::array<double, 6>{p[0], p[0], p[1], 90, 90, 90}; };
  model.atoms = [](const std::vector<double>& p) {
    return std::vector<std::array<double, 3>>{{0, 0, 0}, {p[2], p[2], 0}};
  };
  expect_distances_of(model, listed, 3.0);

  // The covariance file knows only x and y of O1, both from one variable.
  vesk::CovarianceData data;
  std::string problem;
  ASSERT_EQ(vesk::read_covariance_file(21, (folder / "IN.CMT").string(), data, problem),
            vesk::CovarianceRead::Ok);
  EXPECT_EQ(data.names, (std::vector<std::string>{"1  1UISO", "1  2X   ", "1  2Y   ", "1  2UISO"}));
  EXPECT_EQ(data.nvar, 3);
  // The atom list shows Ti1 on its special position without s.u.'s.
  const std::string listing = read_file(folder / "IN.LST");
  EXPECT_NE(listing.find("Ti1      0.0000000(0)"), std::string::npos) << listing;
}

TEST(Cif2expWithVortan, CubicDistancesFromTheCellAlone) {
  TempFolder folder;
  ASSERT_EQ(cif2exp_run(folder, kCubic, {"--dmax", "3.0", "--dagl", "3.0"}).exit_status, 0);
  EXPECT_FALSE(fs::exists(folder / "IN.CMT"));
  const auto listed = vortan_distances(folder, "IN");
  ASSERT_EQ(listed.size(), 12u);  // six Cl around Na, six Na around Cl
  Model model;
  model.group = "F m -3 m";
  model.values = {5.6402};
  model.sigmas = {0.0003};
  model.cell = [](const std::vector<double>& p) { return std::array<double, 6>{p[0], p[0], p[0], 90, 90, 90}; };
  model.atoms = [](const std::vector<double>&) {
    return std::vector<std::array<double, 3>>{{0, 0, 0}, {0.5, 0.5, 0.5}};
  };
  expect_distances_of(model, listed, 3.0);
  for (const ResultDistance& r : listed) {
    EXPECT_NEAR(r.d, 5.6402 / 2, 2e-5);
    EXPECT_NEAR(r.sigma, 0.0003 / 2, 2e-5);
  }
}

TEST(Cif2expWithVortan, AnisotropicMonoclinicStructure) {
  TempFolder folder;
  ASSERT_EQ(cif2exp_run(folder, kAnisotropic, {"--dmax", "2.6", "--dagl", "2.6"}).exit_status, 0);
  const auto listed = vortan_distances(folder, "IN");
  ASSERT_FALSE(listed.empty());
  Model model;
  model.group = "P 1 21/c 1";
  model.values = {7.123, 8.234, 9.345, 101.23, 0.23456, 0.12345, 0.34567, 0.3012, 0.2501, 0.2890};
  model.sigmas = {0.002, 0.003, 0.004, 0.02, 0.00005, 0.00004, 0.00004, 0.0002, 0.0002, 0.0002};
  model.cell = [](const std::vector<double>& p) { return std::array<double, 6>{p[0], p[1], p[2], 90, p[3], 90}; };
  model.atoms = [](const std::vector<double>& p) {
    return std::vector<std::array<double, 3>>{{p[4], p[5], p[6]}, {p[7], p[8], p[9]}, {0.45, 0.30, 0.31}};
  };
  expect_distances_of(model, listed, 2.6);
}

// Hexagonal special positions: B1 on 6l (x, 2x, 0), whose y follows x with
// coefficient 2, and C1 printed 0.3333, 0.6667 for 2d (1/3, 2/3, 1/2).
TEST(Cif2expWithVortan, HexagonalTiesReachTheDistancesWithTheirCoefficients) {
  const char* const hexagonal = R"(data_hex
_cell_length_a 5.0123(4)
_cell_length_b 5.0123(4)
_cell_length_c 3.2345(3)
_cell_angle_alpha 90
_cell_angle_beta 90
_cell_angle_gamma 120
_symmetry_space_group_name_H-M 'P 6/m m m'
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_U_iso_or_equiv
Al1 Al 0 0 0 0.01
B1 B 0.2012(3) 0.4024(6) 0 0.01
C1 C 0.3333 0.6667 0.5 0.01
)";
  TempFolder folder;
  const RunResult run = cif2exp_run(folder, hexagonal, {"--dmax", "3.0", "--dagl", "3.0"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const auto listed = vortan_distances(folder, "IN");
  ASSERT_FALSE(listed.empty());
  Model model;
  model.group = "P 6/m m m";
  model.values = {5.0123, 3.2345, 0.2012};
  model.sigmas = {0.0004, 0.0003, 0.0003};
  model.cell = [](const std::vector<double>& p) { return std::array<double, 6>{p[0], p[0], p[1], 90, 90, 120}; };
  model.atoms = [](const std::vector<double>& p) {
    return std::vector<std::array<double, 3>>{{0, 0, 0}, {p[2], 2 * p[2], 0}, {1.0 / 3, 2.0 / 3, 0.5}};
  };
  expect_distances_of(model, listed, 3.0);
  // Al1 to B1: sqrt(3) a x, with s.u. from a and x alone.
  const auto al_b = std::find_if(listed.begin(), listed.end(),
                                 [](const ResultDistance& r) { return r.central == 1 && r.neighbour == 2; });
  ASSERT_NE(al_b, listed.end());
  EXPECT_NEAR(al_b->d, std::sqrt(3.0) * 5.0123 * 0.2012, 2e-5);
  EXPECT_NEAR(al_b->sigma, std::sqrt(3.0) * std::hypot(0.2012 * 0.0004, 5.0123 * 0.0003), 2e-5);
  const std::string listing = read_file(folder / "IN.LST");
  EXPECT_NE(listing.find("B1       0.20120(30)   0.4024(6)     0.0000000(0) MM2(120)"), std::string::npos) << listing;
}

// ---- The CIFs crystallographers have, against gemmi on the CIF's own data ----

namespace {

// One structure in P 1 21/n 1; SYMMETRY and the multiplicity column are
// filled in per test. The multiplicity 1 of the general atoms is the
// site-symmetry order, as SHELXL-97 wrote it.
const char* const kMonoclinic = R"(data_BLOCK
_cell_length_a 7.1234(5)
_cell_length_b 8.2345(6)
_cell_length_c 9.3456(7)
_cell_angle_alpha 90
_cell_angle_beta 101.23(2)
_cell_angle_gamma 90
SYMMETRY
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_U_iso_or_equiv
_atom_site_symmetry_multiplicity
Cu1 Cu 0 0 0 0.0210(3) 2
O1_long_a O 0.1234(3) 0.2345(4) 0.0456(5) 0.0223(4) 1
O1_long_b O 0.0700(4) -0.1900(5) 0.1200(6) 0.0250(5) 1
N1 N 0.3234(3) 0.2045(4) 0.1456(5) 0.0233(4) 1
)";

const char* const kP21nLoop = R"(loop_
_symmetry_equiv_pos_as_xyz
'x, y, z'
'-x+1/2, y+1/2, -z+1/2'
'-x, -y, -z'
'x+1/2, -y+1/2, z+1/2')";

std::string monoclinic(const std::string& block, const std::string& symmetry) {
  return with(with(kMonoclinic, "data_BLOCK", "data_" + block), "SYMMETRY", symmetry);
}

// Every distance up to `limit` around each atom, from gemmi's reading of the
// CIF (cell and coordinates) and the operators given, each image once.
// `reach` 0: P 1 in a cell much longer than `limit`, nearest images only.
std::vector<std::vector<double>> gemmi_distances(const std::string& cif, const std::vector<gemmi::Op>& ops,
                                                 double limit, int reach = 2) {
  const gemmi::SmallStructure small =
      gemmi::make_small_structure_from_block(gemmi::cif::read_string(cif).sole_block());
  std::vector<std::vector<double>> around(small.sites.size());
  for (std::size_t i = 0; i < small.sites.size(); ++i) {
    std::vector<gemmi::Position> seen;
    for (const auto& site : small.sites)
      for (const gemmi::Op& op : ops)
        for (int a = -reach; a <= reach; ++a)
          for (int b = -reach; b <= reach; ++b)
            for (int c = -reach; c <= reach; ++c) {
              auto x = op.apply_to_xyz(std::array<double, 3>{site.fract.x, site.fract.y, site.fract.z});
              if (reach == 0)
                for (int k = 0; k < 3; ++k) x[k] -= std::round(x[k] - small.sites[i].fract.at(k));
              const gemmi::Position where = small.cell.orthogonalize(gemmi::Fractional(x[0] + a, x[1] + b, x[2] + c));
              const double d = where.dist(small.cell.orthogonalize(small.sites[i].fract));
              if (d < 1e-4 || d > limit) continue;
              if (std::any_of(seen.begin(), seen.end(), [&](const gemmi::Position& p) { return p.dist(where) < 1e-6; }))
                continue;
              seen.push_back(where);
              around[i].push_back(d);
            }
    std::sort(around[i].begin(), around[i].end());
  }
  return around;
}

std::vector<gemmi::Op> table_ops(const std::string& name) {
  return gemmi::find_spacegroup_by_name(name)->operations().all_ops_sorted();
}

void expect_same_distances(const std::vector<ResultDistance>& listed, const std::vector<std::vector<double>>& expected,
                           const std::string& what) {
  std::vector<std::vector<double>> around(expected.size());
  for (const ResultDistance& r : listed) {
    ASSERT_LE(static_cast<std::size_t>(r.central), expected.size()) << what;
    around[static_cast<std::size_t>(r.central - 1)].push_back(r.d);
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    std::sort(around[i].begin(), around[i].end());
    ASSERT_EQ(around[i].size(), expected[i].size()) << what << ", atom " << i + 1;
    for (std::size_t k = 0; k < around[i].size(); ++k)
      EXPECT_NEAR(around[i][k], expected[i][k], 2e-5 * std::max(1.0, expected[i][k])) << what << ", atom " << i + 1;
  }
}

}  // namespace

TEST(Cif2expWithVortan, OlderConventionsOfOneStructureGiveGemmisDistances) {
  const std::vector<std::vector<double>> expected =
      gemmi_distances(monoclinic("x", kP21nLoop), table_ops("P 1 21/n 1"), 3.0);
  std::string dotted = monoclinic("dotted", "_space_group.name_Hall '-P 2yn'");
  for (const char* tag : {"_cell_length_a", "_cell_length_b", "_cell_length_c", "_cell_angle_alpha",
                          "_cell_angle_beta", "_cell_angle_gamma"})
    dotted = with(dotted, tag, std::string("_cell.") + (tag + 6));
  for (const char* item : {"label", "type_symbol", "fract_x", "fract_y", "fract_z", "U_iso_or_equiv"})
    dotted = with(dotted, std::string("_atom_site_") + item + "\n", std::string("_atom_site.") + item + "\n");
  const std::vector<std::pair<std::string, std::string>> variants = {
      {"P2(1)/n, SHELX-era multiplicities", monoclinic("shelx", "_symmetry_space_group_name_H-M 'P2(1)/n'")},
      {"Hall symbol only, dotted tags", dotted},
      {"decimal translations only",
       monoclinic("decimal", "loop_\n_space_group_symop_operation_xyz\nx,y,z\n-x+.5,0.5+y,-z+0.5000\n-x,-y,-z\n"
                             "x+0.5,-Y+.5,Z+0.5")},
  };
  for (const auto& [what, cif] : variants) {
    TempFolder folder;
    const RunResult run = cif2exp_run(folder, cif, {"--dmax", "3.0", "--dagl", "3.0"});
    ASSERT_EQ(run.exit_status, 0) << what << "\n" << run.out << run.err;
    expect_same_distances(vortan_distances(folder, "IN"), expected, what);
    // Labels past 8 characters: short, unique, and mapped beside the experiment.
    EXPECT_NE(run.out.find("O1_long_b -> O1_long1"), std::string::npos) << run.out;
    const std::string source = read_file(folder / "IN.CIFSRC");
    EXPECT_NE(source.find("cif " + (folder / "in.cif").string() + "\n"), std::string::npos) << source;
    EXPECT_NE(source.find("\nlabel Cu1 Cu1\nlabel O1_long_ O1_long_a\nlabel O1_long1 O1_long_b\nlabel N1 N1\n"),
              std::string::npos) << source;
  }
}

// A file with a global block and two structures: both converted, named
// from the file and the block; the marks of one never reach the other.
TEST(Cif2expProgram, EveryStructureOfAFileAndMarksThatStayWithTheirStructure) {
  TempFolder folder;
  const std::string two = "data_global\n_publ_contact_author_name 'A. Author'\n" +
                          monoclinic("I", kP21nLoop) + "\n" + monoclinic("II", kP21nLoop);
  RunResult run = cif2exp_run(folder, two, {"--dmax", "3.0", "--dagl", "3.0"});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("blocks skipped:\n  data_global: no cell"), std::string::npos) << run.out;
  EXPECT_TRUE(fs::exists(folder / "IN_I.EXP") && fs::exists(folder / "IN_II.EXP"));
  expect_same_distances(vortan_distances(folder, "IN_II"), gemmi_distances(monoclinic("x", kP21nLoop),
                                                                              table_ops("P 1 21/n 1"), 3.0), "IN_II");

  // Marks made on data_II stay with its atoms: the same atoms from another
  // file keep them; another structure under the same name sends its
  // results file aside with the marks.
  std::string marked = read_file(folder / "IN_II.VORTAN");
  marked[marked.find("\nN") + 1] = 'Y';
  write_file(folder / "IN_II.VORTAN", marked);
  write_file(folder / "same.cif", monoclinic("II", kP21nLoop));
  run = run_program(CIF2EXP_BIN, {"same.cif", "IN_II"}, folder.path());
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.out.find("moved to"), std::string::npos) << run.out;
  EXPECT_EQ(read_file(folder / "IN_II.VORTAN"), marked);
  write_file(folder / "other.cif", kTriclinic);
  run = run_program(CIF2EXP_BIN, {"other.cif", "IN_II"}, folder.path());
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find("IN_II.VORTAN belonged to data_II of " + (folder / "same.cif").string() +
                         "; moved to IN_II.VORTAN.1"), std::string::npos) << run.out;
  EXPECT_EQ(read_file(folder / "IN_II.VORTAN.1"), marked);
  EXPECT_FALSE(fs::exists(folder / "IN_II.VORTAN"));
  // The same structure again keeps the results file; a third structure never
  // overwrites the file moved first.
  vortan_distances(folder, "IN_II");
  run = run_program(CIF2EXP_BIN, {"other.cif", "IN_II"}, folder.path());
  EXPECT_TRUE(fs::exists(folder / "IN_II.VORTAN"));
  run = run_program(CIF2EXP_BIN, {"in.cif", "IN_II", "--block", "II"}, folder.path());
  EXPECT_TRUE(fs::exists(folder / "IN_II.VORTAN.2"));
  EXPECT_EQ(read_file(folder / "IN_II.VORTAN.1"), marked);
}

namespace {

// P n n n with its two origins: origin choice 1 (2 2 2 at the origin) lies
// at -1/4, -1/4, -1/4 from origin choice 2 (-1 at the origin), International
// Tables A, space group 48; checked against gemmi's two operator lists below.
std::string pnnn(int choice) {
  std::string cif = "data_pnnn" + std::to_string(choice) +
                    "\n_cell_length_a 6.1234(5)\n_cell_length_b 7.2345(6)\n_cell_length_c 8.3456(7)\n"
                    "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n"
                    "_symmetry_space_group_name_H-M 'P n n n'\nloop_\n_symmetry_equiv_pos_as_xyz\n";
  for (const gemmi::Op& op : table_ops("P n n n:" + std::to_string(choice))) cif += op.triplet() + "\n";
  cif += "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
         "_atom_site_U_iso_or_equiv\n";
  const double shift = choice == 1 ? 0.25 : 0;
  auto x = [shift](double origin2, const char* su) {
    char text[40];
    std::snprintf(text, sizeof text, " %.4f%s", origin2 + shift, su);
    return std::string(text);
  };
  cif += "Ni1" + x(0, "") + x(0, "") + x(0, "") + " 0.010(1)\n";
  cif += "O1" + x(0.11, "(2)") + x(0.32, "(3)") + x(0.45, "(3)") + " 0.020(2)\n";
  cif += "N1" + x(0.21, "(2)") + x(-0.08, "(3)") + x(0.14, "(3)") + " 0.020(2)\n";
  return cif;
}

}  // namespace

TEST(Cif2expWithVortan, OriginChoiceOneAndTwoGiveTheSameDistancesAndStandardDeviations) {
  const gemmi::Op to_origin2 = gemmi::parse_triplet("x+1/4,y+1/4,z+1/4");
  std::vector<gemmi::Op> moved;
  for (const gemmi::Op& op : table_ops("P n n n:1"))
    moved.push_back(to_origin2.combine(op).combine(to_origin2.inverse()).wrap());
  std::sort(moved.begin(), moved.end());
  ASSERT_EQ(moved, table_ops("P n n n:2"));

  TempFolder folder;
  std::vector<ResultDistance> listed[2];
  for (int choice : {1, 2}) {
    const std::string name = "ORIGIN" + std::to_string(choice);
    write_file(folder / (name + ".cif"), pnnn(choice));
    const RunResult run = run_program(CIF2EXP_BIN, {name + ".cif", "--dmax", "3.0", "--dagl", "3.0"}, folder.path());
    ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
    if (choice == 1) {
      EXPECT_NE(run.out.find("setting of the CIF: P n n n:1 (from the CIF's operator loop)\ncif2exp:   setting "
                             "written:    P n n n\ncif2exp:   coordinates moved:  x' = x+1/4,y+1/4,z+1/4"),
                std::string::npos) << run.out;
    }
    listed[choice - 1] = vortan_distances(folder, name);
    expect_same_distances(listed[choice - 1], gemmi_distances(pnnn(choice), table_ops("P n n n:" + std::to_string(choice)), 3.0),
                          name);
    auto by_atom_and_length = [](const ResultDistance& p, const ResultDistance& q) {
      return std::tie(p.central, p.d, p.sigma) < std::tie(q.central, q.d, q.sigma);
    };
    std::sort(listed[choice - 1].begin(), listed[choice - 1].end(), by_atom_and_length);
  }
  ASSERT_EQ(listed[0].size(), listed[1].size());
  ASSERT_FALSE(listed[0].empty());
  for (std::size_t k = 0; k < listed[0].size(); ++k) {
    EXPECT_EQ(listed[0][k].central, listed[1][k].central);
    EXPECT_NEAR(listed[0][k].d, listed[1][k].d, 2e-5);
    EXPECT_NEAR(listed[0][k].sigma, listed[1][k].sigma, 2e-5);
  }
}

// 2000 isotropic atoms of P 1 on a slightly uneven grid, 1.5 A apart: the
// hexadecimal atom keys carry them, each with its six neighbours.
TEST(Cif2expWithVortan, TwoThousandIsotropicAtoms) {
  std::string cif = "data_big\n_cell_length_a 15\n_cell_length_b 15\n_cell_length_c 30.0000(3)\n_cell_angle_alpha 90\n"
                    "_cell_angle_beta 90\n_cell_angle_gamma 90\n_symmetry_space_group_name_H-M 'P 1'\nloop_\n"
                    "_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
                    "_atom_site_U_iso_or_equiv\n";
  for (int n = 0; n < 2000; ++n) {
    char line[120];
    const double jitter = 0.001 * ((n * 7) % 5 - 2);  // fractions of the cell, at most 0.03 A
    std::snprintf(line, sizeof line, "C%d %.5f(5) %.5f %.5f 0.0100(5)\n", n + 1, (n % 10) / 10.0 + jitter,
                  (n / 10 % 10) / 10.0 - jitter, (n / 100) / 20.0 + jitter / 2);
    cif += line;
  }
  TempFolder folder;
  const RunResult run = cif2exp_run(folder, cif, {"--dmax", "1.6", "--dagl", "1.6"});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("2000 atoms: written in the isotropic layout with hexadecimal keys"), std::string::npos);
  testing_support::OpenExperiment open(folder / "IN.EXP");
  std::string value(68, ' ');
  EXPECT_EQ(vesk::READEXP(open.unit, "CRS1  AT07D0", value), 0);  // atom 2000
  EXPECT_EQ(value.substr(40, 14), "0.0100C2000   ");
  expect_same_distances(vortan_distances(folder, "IN"), gemmi_distances(cif, {gemmi::Op::identity()}, 1.6, 0), "2000 atoms");
}
