#include "expfile/phase_reader.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <cstdio>
#include <sstream>

#include "console/page.hpp"
#include "console/text_utils.hpp"
#include "crystal/metric.hpp"
#include "crystal/peak_check.hpp"
#include "expfile/covariance.hpp"
#include "expfile/experiment.hpp"
#include "expfile/record_store.hpp"
#include "recio/fixed_text.hpp"
#include "recio/units.hpp"
#include "tests/support/caught_stop.hpp"
#include "tests/support/covariance_writer.hpp"
#include "tests/support/expfile_builder.hpp"
#include "tests/support/run_program.hpp"

using namespace vesk;
using testing_support::caught_stop;
using testing_support::constraint_code;
using testing_support::run_as_main;
using testing_support::ExpFileBuilder;
using testing_support::TempFolder;

namespace {

std::string fixed(double value, int width, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%*.*f", width, decimals, value);
  return text;
}
std::string pad(std::string_view text, std::size_t n) { return recio::pad(text, n); }

std::string type_value(const std::string& symbol, double bond, double angle) {
  return "  " + pad(symbol, 8) + "     " + fixed(bond, 10, 2) + fixed(angle, 10, 2);
}

// The "A" and "B" records of an atom with decimal keys.
void add_atom(ExpFileBuilder& builder, int phase, int record, const std::string& type, Vec3 x, double fraction,
              const std::string& label, const std::vector<double>& u) {
  char key[16];
  std::snprintf(key, sizeof key, "CRS%d  AT%3d", phase, record);
  builder.add(std::string(key) + "A", "  " + pad(type, 8) + fixed(x[0], 10, 5) + fixed(x[1], 10, 5) +
                                          fixed(x[2], 10, 5) + fixed(fraction, 10, 5) + pad(label, 8) + "   2 ABC");
  std::string b;
  for (double value : u) b += fixed(value, 10, 5);
  builder.add(std::string(key) + "B", pad(b, 62) + (u.size() == 1 ? "I   " : "A   "));
}

// The single record of an atom of phase flag 4.
void add_hex_atom(ExpFileBuilder& builder, int phase, int record, const std::string& type, Vec3 x, double fraction,
                  double uiso, const std::string& label) {
  char key[16];
  std::snprintf(key, sizeof key, "CRS%d  AT%04X", phase, record);
  builder.add(key, "  " + pad(type, 8) + fixed(fraction, 6, 4) + fixed(x[0], 8, 5) + fixed(x[1], 8, 5) +
                       fixed(x[2], 8, 5) + fixed(uiso, 6, 4) + pad(label, 8) + "     1000000");
}

void add_cell(ExpFileBuilder& builder, int phase, const std::array<double, 6>& cell, const std::string& group) {
  const std::string prefix = "CRS" + std::to_string(phase) + "  ";
  builder.add(prefix + "ABC   ", fixed(cell[0], 10, 5) + fixed(cell[1], 10, 5) + fixed(cell[2], 10, 5));
  builder.add(prefix + "ANGLES", fixed(cell[3], 10, 5) + fixed(cell[4], 10, 5) + fixed(cell[5], 10, 5));
  builder.add(prefix + "SG SYM", "  " + group);
}

// An experiment file opened as the program opens it, with a listing file.
class OpenedExperiment {
 public:
  OpenedExperiment(const TempFolder& folder, const ExpFileBuilder& builder, const std::string& stem = "PHASE") {
    file_ = folder / (stem + ".EXP");
    listing_file_ = folder / (stem + ".LST");
    builder.write(file_);
    int iostat = 0;
    OPNEXP("READ", file_.string(), unit, iostat);
    EXPECT_EQ(iostat, 0);
    FREEUNIT(listing);
    recio::OpenSpec spec;
    spec.status = recio::OpenStatus::New;
    EXPECT_EQ(recio::open(listing, listing_file_.string(), spec), 0);
    set_page_length(60);
    set_line_count(listing, 0);
  }
  ~OpenedExperiment() {
    if (recio::connected(listing)) recio::close(listing);
    recio::close(unit);
    release_record_store(unit);
  }
  // The listing's lines so far (the listing is closed).
  std::vector<std::string> listing_lines() {
    recio::close(listing);
    std::vector<std::string> lines;
    std::istringstream in(testing_support::read_file(listing_file_));
    for (std::string line; std::getline(in, line);) lines.emplace_back(recio::trim_right(line));
    return lines;
  }

  int unit = 11;
  int listing = 40;

 private:
  std::filesystem::path file_, listing_file_;
};

ExpFileBuilder experiment_with_types() {
  ExpFileBuilder builder = testing_support::minimal_experiment();
  // Type records 1 and 3 with NATYP 2; record 5 lies beyond the count.
  builder.add(" EXPR  NATYP", "    2")
      .add(" EXPR ATYP 1", type_value("O", 1.5, 1.7))
      .add(" EXPR ATYP 3", type_value("Si", 2.0, 2.2))
      .add(" EXPR ATYP 5", type_value("Na", 2.5, 2.5));
  return builder;
}

}  // namespace

TEST(PhaseReader, TypesCellSigmasAndSpaceGroup) {
  TempFolder folder;
  ExpFileBuilder builder = experiment_with_types();
  builder.add("CRS1    PNAM", "  Quartz-like test phase").add("CRS1   NATOM", "    0");
  add_cell(builder, 1, {4.9134, 4.9134, 5.4052, 90, 90, 120}, "P -1");
  builder.add("CRS1  ABCSIG", fixed(0.0002, 10, 5) + fixed(0.0002, 10, 5) + fixed(0.0003, 10, 5));
  builder.add("CRS1  ANGSIG", fixed(0.0, 10, 5) + fixed(0.02, 10, 5) + fixed(0.01, 10, 5));
  builder.add("CRS2   NATOM", "    0");
  add_cell(builder, 2, {5, 6, 7, 90, 100, 90}, "P 1 2/m 1");
  OpenedExperiment experiment(folder, builder);

  PhaseDescription phase;
  RDPHASE(experiment.unit, experiment.listing, 1, 1, "    ", CovarianceData{}, phase);
  ASSERT_EQ(phase.types.size(), 2u);
  EXPECT_EQ(phase.types[0].symbol, "O       ");
  EXPECT_EQ(phase.types[1].symbol, "Si      ");
  EXPECT_FLOAT_EQ(phase.types[1].bond_radius, 2.0f);
  EXPECT_FLOAT_EQ(phase.types[1].angle_radius, 2.2f);
  EXPECT_FLOAT_EQ(phase.types[0].peak_radius, 1.0e-4f);
  EXPECT_EQ(phase.number, 1);
  EXPECT_EQ(phase.name, pad("Quartz-like test phase", 66));
  EXPECT_FLOAT_EQ(phase.abc[2], 5.4052f);
  EXPECT_FLOAT_EQ(phase.abc_sigma[2], 0.0003f);
  EXPECT_NEAR(phase.cosines[0], 0.0f, 1e-7);
  EXPECT_NEAR(phase.cosines[2], -0.5f, 1e-6);
  // sigma(cos gamma) = sin(120) x 0.01 x pi / 180
  EXPECT_NEAR(phase.cosine_sigma[2], 0.8660254 * 0.01 * 3.14159265 / 180, 1e-9);
  EXPECT_NEAR(phase.cosine_sigma[1], 0.02 * 3.14159265 / 180, 1e-9);
  EXPECT_EQ(phase.cosine_sigma[0], 0.0f);
  // The stored cosines give the same orthogonalisation matrix.
  Mat3 again{}, inverse{};
  CELLMATRIX(phase.abc[0], phase.abc[1], phase.abc[2], phase.cosines[0], phase.cosines[1], phase.cosines[2], again,
             inverse);
  for (std::size_t k = 0; k < 9; ++k) EXPECT_NEAR(again[k], phase.orthogonal[k], 1e-5);
  EXPECT_EQ(phase.symbol, pad("P -1", 20));
  EXPECT_EQ(phase.group.centric, 1);
  EXPECT_EQ(phase.general_multiplicity, 2);

  // Without the sigma records the sigmas are zero.
  RDPHASE(experiment.unit, experiment.listing, 2, 1, "    ", CovarianceData{}, phase);
  EXPECT_EQ(phase.abc_sigma, (Vec3{0, 0, 0}));
  EXPECT_EQ(phase.cosine_sigma, (Vec3{0, 0, 0}));
  EXPECT_NEAR(phase.cosines[1], std::cos(100 * 3.14159265 / 180), 1e-6);
  EXPECT_EQ(phase.general_multiplicity, 4);
  for (int k = 0; k < phase.group.nsym; ++k)
    for (int i = 1; i <= 3; ++i)
      for (int j = 1; j <= 3; ++j)
        EXPECT_EQ(at(phase.rotation_t[static_cast<std::size_t>(k)], i, j),
                  static_cast<float>(phase.group.ops[static_cast<std::size_t>(k)].r(j, i)));
  EXPECT_FALSE(experiment.listing_lines().empty());  // the space-group descriptions
}

TEST(PhaseReader, AtomsGetTheirSigmasAndCovariancePositions) {
  TempFolder folder;
  ExpFileBuilder builder = experiment_with_types();
  builder.add("CRS1   NATOM", "    3");
  add_cell(builder, 1, {5, 5, 5, 90, 90, 90}, "P -1");
  add_atom(builder, 1, 1, "O", {0.1f, 0.2f, 0.3f}, 1.0, "O1", {0.011, 0.012, 0.013, 0.001, 0.002, 0.003});
  add_atom(builder, 1, 2, "Si", {0.4f, 0.5f, 0.6f}, 0.9, "Si1", {0.008});
  add_atom(builder, 1, 4, "O", {0.7f, 0.8f, 0.9f}, 1.0, "O2", {0.02});   // record 3 is a gap
  builder.add("CRS2   NATOM", "   11");
  add_cell(builder, 2, {5, 5, 5, 90, 90, 90}, "P 1");
  for (int record : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12})
    add_hex_atom(builder, 2, record, record % 2 ? "Si" : "O", {0.01f * static_cast<float>(record), 0.5f, 0.25f}, 0.5,
                 0.0125, "A" + std::to_string(record));
  // The last refinement ran cycle 4: the covariance file belongs to it.
  builder.add("  RFFN  RUN ", pad("Test refinement, R(F**2) = 0.0412", 43) + "   4" + "  " + fixed(1.5, 15, 4));
  OpenedExperiment experiment(folder, builder);

  // Seven variables; parameters tied to them as a refinement would.
  std::vector<std::vector<float>> m(7, std::vector<float>(7, 0.0f));
  const float diagonal[] = {0.0004f, 0.0009f, 0.0016f, 0.0025f, 0.0036f, 0.0049f, 0.0064f};
  for (std::size_t k = 0; k < 7; ++k) m[k][k] = diagonal[k];
  m[0][2] = m[2][0] = 0.0002f;
  testing_support::CovarianceFile content;
  content.ncycle = 4;
  content.cycle_figure = 1.2f;
  content.nvar = 7;
  content.matrix = testing_support::pack_full(m);
  content.names = {"1  1X   ", "1  1Y   ", "1  1Z   ", "1  1U11 ", "1  1U22 ", "1  2X  +", "1  2UISO",
                   "1  2FRAC", "1  1X   ", "20001X  ", "20001UIS", "20001FRA", "20001Y 1", "2000AZ  "};
  content.constraints = {{constraint_code(1, 1), 1.0f},  {constraint_code(2, 2), 1.0f},  {constraint_code(3, 1), -1.0f},
                         {constraint_code(3, 3), 1.0f},  {constraint_code(4, 4), 1.0f},  {constraint_code(5, 4), 0.5f},
                         {constraint_code(5, 0), 1.0f},  {constraint_code(6, 5), 1.0f},  {constraint_code(7, 6), 1.0f},
                         {constraint_code(8, 6), 2.0f},  {constraint_code(9, 7), 1.0f},  {constraint_code(10, 2), 1.0f},
                         {constraint_code(11, 3), 1.0f}, {constraint_code(12, 5), 1.0f}, {constraint_code(13, 7), 1.0f},
                         {constraint_code(14, 7), 1.0f}};
  testing_support::write_covariance_file(folder / "PHASE.CMT", content);
  CovarianceData covariance;
  CMTREAD(experiment.listing, experiment.unit, covariance);
  ASSERT_TRUE(covariance.read);
  ASSERT_EQ(covariance.nname, 14);

  PhaseDescription phase;
  RDPHASE(experiment.unit, experiment.listing, 1, 1, "    ", covariance, phase);
  ASSERT_EQ(phase.atoms.size(), 3u);
  const AtomSite& o1 = phase.atoms[0];
  EXPECT_EQ(o1.label, "O1      ");
  EXPECT_EQ(o1.type, 1);
  EXPECT_EQ(o1.record, 1);
  EXPECT_EQ(o1.x_position, (std::array<int, 3>{1, 2, 3}));
  EXPECT_NEAR(o1.x_sigma[0], 0.02f, 1e-6);
  EXPECT_NEAR(o1.x_sigma[1], 0.03f, 1e-6);
  // z = v3 - v1: 0.0016 + 0.0004 - 2 x 0.0002
  EXPECT_NEAR(o1.x_sigma[2], 0.04f, 1e-6);
  EXPECT_EQ(o1.u_position, (std::array<int, 6>{4, 5, 0, 0, 0, 0}));
  EXPECT_NEAR(o1.u_sigma[0], 0.05f, 1e-6);
  EXPECT_NEAR(o1.u_sigma[1], 0.025f, 1e-6);
  EXPECT_EQ(o1.u_sigma[2], 0.0f);
  EXPECT_EQ(o1.fraction_sigma, 0.0f);
  EXPECT_FLOAT_EQ(o1.u[3], 0.001f);
  EXPECT_FLOAT_EQ(o1.u[5], 0.003f);

  const AtomSite& si1 = phase.atoms[1];
  EXPECT_EQ(si1.type, 2);
  EXPECT_FLOAT_EQ(si1.fraction, 0.9f);
  // Decimal names are compared on their first seven characters.
  EXPECT_EQ(si1.x_position, (std::array<int, 3>{6, 0, 0}));
  EXPECT_NEAR(si1.x_sigma[0], 0.06f, 1e-6);
  EXPECT_NEAR(si1.fraction_sigma, 0.14f, 1e-6);
  EXPECT_EQ(si1.u_position, (std::array<int, 6>{7, 7, 7, 0, 0, 0}));
  EXPECT_NEAR(si1.u_sigma[0], 0.07f, 1e-6);
  EXPECT_EQ(si1.u_sigma[1], 0.0f);
  EXPECT_EQ(si1.u, (std::array<float, 6>{0.008f, 0.008f, 0.008f, 0, 0, 0}));

  const AtomSite& o2 = phase.atoms[2];
  EXPECT_EQ(o2.record, 4);
  EXPECT_EQ(o2.label, "O2      ");
  EXPECT_EQ(o2.x_position, (std::array<int, 3>{0, 0, 0}));
  EXPECT_EQ(o2.u, (std::array<float, 6>{0.02f, 0.02f, 0.02f, 0, 0, 0}));

  // Phase flag 4: hexadecimal keys, five names compared on all 8 characters,
  // every fraction 1.0, every atom isotropic.
  RDPHASE(experiment.unit, experiment.listing, 2, 4, "    ", covariance, phase);
  ASSERT_EQ(phase.atoms.size(), 11u);
  const AtomSite& a1 = phase.atoms[0];
  EXPECT_EQ(a1.type, 2);
  EXPECT_EQ(a1.fraction, 1.0f);
  EXPECT_FLOAT_EQ(a1.x[0], 0.01f);
  EXPECT_EQ(a1.x_position, (std::array<int, 3>{10, 0, 0}));
  EXPECT_NEAR(a1.x_sigma[0], 0.03f, 1e-6);
  EXPECT_EQ(a1.u_position, (std::array<int, 6>{11, 11, 11, 0, 0, 0}));
  EXPECT_NEAR(a1.u_sigma[0], 0.04f, 1e-6);
  EXPECT_NEAR(a1.fraction_sigma, 0.06f, 1e-6);
  EXPECT_EQ(a1.u, (std::array<float, 6>{0.0125f, 0.0125f, 0.0125f, 0, 0, 0}));
  EXPECT_EQ(phase.atoms[9].record, 10);
  EXPECT_EQ(atom_record_key(2, 10, 4), "CRS2  AT000A");
  EXPECT_EQ(phase.atoms[9].x_position, (std::array<int, 3>{0, 0, 14}));
  EXPECT_NEAR(phase.atoms[9].x_sigma[2], 0.08f, 1e-6);
  EXPECT_EQ(phase.atoms[10].record, 12);
  EXPECT_EQ(phase.atoms[10].label, "A12     ");

  // Without covariance data nothing carries a sigma.
  RDPHASE(experiment.unit, experiment.listing, 1, 1, "    ", CovarianceData{}, phase);
  EXPECT_EQ(phase.atoms[0].x_position, (std::array<int, 3>{0, 0, 0}));
  EXPECT_EQ(phase.atoms[0].x_sigma, (Vec3{0, 0, 0}));
}

TEST(PhaseReader, ParameterNamesAndKeys) {
  EXPECT_EQ(covariance_parameter_name(1, 12, 1, "X"), "1 12X   ");
  EXPECT_EQ(covariance_parameter_name(3, 999, 2, "UISO"), "3999UISO");
  EXPECT_EQ(covariance_parameter_name(1, 10, 4, "UIS"), "1000AUIS");
  EXPECT_EQ(covariance_parameter_name(9, 0xFFFF, 4, "X"), "9FFFFX  ");
  EXPECT_EQ(atom_record_key(1, 7, 1, 'B'), "CRS1  AT  7B");
  EXPECT_EQ(atom_record_key(1, 10, 4), "CRS1  AT000A");
}

TEST(PhaseReader, FourierPeaksInTheHeightWindowAndNotTooClose) {
  TempFolder folder;
  ExpFileBuilder builder = experiment_with_types();
  builder.add("CRS3   NATOM", "    1");
  add_cell(builder, 3, {8, 8, 8, 90, 90, 90}, "P -1");
  add_atom(builder, 3, 1, "O", {0, 0, 0}, 1.0, "O1", {0.01});
  // hmax 5, hmin 1, FrPk radii 1.0 and 1.2, exclusion radii 0.5 for O, Si, FrPk.
  builder.add("CRS3  PEAKRD", "   5.0   1.0 1.0 1.2 0.5 0.5 0.5");
  auto peak = [&](int n, Vec3 x, const std::string& text) {
    char key[16];
    std::snprintf(key, sizeof key, "CRS3  FPK%3d", n);
    builder.add(key, fixed(x[0], 10, 5) + fixed(x[1], 10, 5) + fixed(x[2], 10, 5) + "  " + pad(text, 12));
  };
  peak(1, {0.125f, 0, 0}, "      5.00P1");          // h = hmax, exactly at the threshold: accepted
  peak(2, {0.5f, 0.5f, 0.5f}, "      1.00P2");       // h = hmin: ignored
  peak(3, {0.05f, 0, 0}, "     -3.00P3");            // |h| tested: too close to O1
  peak(4, {0.5f, 0.5f, 0.5f}, "      2.00P4");       // accepted
  peak(5, {0.5f, 0.5f, 0.5625f}, "      2.50P5");    // too close to the accepted peak 4
  peak(6, {0.9f, 0, 0}, "      3.00P6");             // a neighbouring cell's image of O1
  peak(8, {0.3f, 0.3f, 0.3f}, "      3.00P8");       // after the gap: not read
  OpenedExperiment experiment(folder, builder);

  PhaseDescription phase;
  RDPHASE(experiment.unit, experiment.listing, 3, 1, "FORA", CovarianceData{}, phase);
  ASSERT_EQ(phase.types.size(), 3u);
  EXPECT_EQ(phase.types[2].symbol, "FrPk    ");
  EXPECT_FLOAT_EQ(phase.types[2].bond_radius, 1.0f);
  EXPECT_FLOAT_EQ(phase.types[2].angle_radius, 1.2f);
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_FLOAT_EQ(phase.types[k].peak_radius, 0.5f);
    EXPECT_FLOAT_EQ(phase.peak_radii[k], 0.5f);
  }
  ASSERT_EQ(phase.atoms.size(), 3u);
  const AtomSite& p1 = phase.atoms[1];
  EXPECT_EQ(p1.label, "5.00P1  ");
  EXPECT_EQ(p1.type, 3);
  EXPECT_EQ(p1.type_symbol, "FrPk    ");
  EXPECT_EQ(p1.fraction, 1.0f);
  EXPECT_EQ(p1.x, (Vec3{0.125f, 0, 0}));
  EXPECT_EQ(p1.u, (std::array<float, 6>{}));
  EXPECT_EQ(p1.x_position, (std::array<int, 3>{}));
  EXPECT_EQ(phase.atoms[2].label, "2.00P4  ");

  const auto lines = experiment.listing_lines();
  std::vector<std::string> peak_lines;
  for (const auto& line : lines)
    if (line.rfind(" Fourier peak", 0) == 0) peak_lines.push_back(line);
  EXPECT_EQ(peak_lines, (std::vector<std::string>{
                            " Fourier peak      -3.00P3 is too close to O1       at D = 0.400",
                            " Fourier peak       2.50P5 is too close to 2.00P4   at D = 0.500",
                            " Fourier peak       3.00P6 is too close to O1       at D = 0.800"}));

  // The radii carry over to the next phase read without peaks.
  RDPHASE(experiment.unit, experiment.listing, 3, 1, "    ", CovarianceData{}, phase);
  EXPECT_EQ(phase.types.size(), 2u);
  EXPECT_FLOAT_EQ(phase.types[1].peak_radius, 0.5f);
}

TEST(PhaseReader, PeakCheckCountsSymmetryImagesAndStrictThreshold) {
  PhaseDescription phase;
  phase.abc = {8, 8, 8};
  Mat3 inverse{};
  CELLMATRIX(8, 8, 8, 90, 90, 90, phase.orthogonal, inverse);
  SGINTERP("P -1", -1, phase.group);
  AtomType atom_type;
  atom_type.peak_radius = 0.25f;
  phase.types.push_back(atom_type);
  phase.types.push_back(atom_type);  // the Fourier-peak type, last
  AtomSite atom;
  atom.type = 1;
  atom.x = {0.25f, 0.25f, 0.25f};
  phase.atoms.push_back(atom);
  // The inversion takes (-0.2, -0.25, -0.25) onto (0.2, 0.25, 0.25): 0.4 from the atom.
  PeakCheck check = PEAKCHK({-0.2f, -0.25f, -0.25f}, phase);
  EXPECT_FALSE(check.accepted);
  EXPECT_EQ(check.atom, 1);
  EXPECT_NEAR(check.distance, 0.4f, 1e-5);
  // Exactly at the threshold 0.5 = 0.25 + 0.25: accepted; a neighbouring cell counts.
  EXPECT_TRUE(PEAKCHK({0.25f, 0.25f, 0.3125f}, phase).accepted);
  EXPECT_TRUE(PEAKCHK({0.25f, 1.25f, -0.8125f}, phase).accepted);
  check = PEAKCHK({0.25f, 1.25f, -0.8f}, phase);
  EXPECT_FALSE(check.accepted);
  EXPECT_NEAR(check.distance, 0.4f, 1e-5);
}

TEST(PhaseReader, PeakRadiiRecordInTheFirstFormWithTenTypes) {
  TempFolder folder;
  ExpFileBuilder builder = testing_support::minimal_experiment();
  builder.add(" EXPR  NATYP", "    9");
  for (int n = 1; n <= 9; ++n) {
    char key[16];
    std::snprintf(key, sizeof key, " EXPR ATYP%2d", n);
    builder.add(key, type_value("T" + std::to_string(n), 1.0, 1.0));
  }
  builder.add("CRS1   NATOM", "    0");
  add_cell(builder, 1, {8, 8, 8, 90, 90, 90}, "P 1");
  std::string radii = "   5.0   1.0 1.0 1.2";
  for (int n = 1; n <= 10; ++n) radii += fixed(0.1 * n, 4, 1);
  builder.add("CRS1  PEAKRD", radii);
  OpenedExperiment experiment(folder, builder);
  PhaseDescription phase;
  RDPHASE(experiment.unit, experiment.listing, 1, 1, "FORA", CovarianceData{}, phase);
  ASSERT_EQ(phase.types.size(), 10u);
  EXPECT_FLOAT_EQ(phase.types[0].peak_radius, 0.1f);
  EXPECT_FLOAT_EQ(phase.types[9].peak_radius, 1.0f);
}

TEST(PhaseReaderDeathTest, BadPhasesStopWithAMessage) {
  TempFolder folder;
  ExpFileBuilder builder = experiment_with_types();
  // Phase 1: an atom of an unknown type.
  builder.add("CRS1   NATOM", "    1");
  add_cell(builder, 1, {5, 5, 5, 90, 90, 90}, "P 1");
  add_atom(builder, 1, 1, "Xx", {0, 0, 0}, 1.0, "Q9", {0.01});
  // Phase 2: three atoms announced, two stored.
  builder.add("CRS2   NATOM", "    3");
  add_cell(builder, 2, {5, 5, 5, 90, 90, 90}, "P 1");
  add_atom(builder, 2, 1, "O", {0, 0, 0}, 1.0, "O1", {0.01});
  add_atom(builder, 2, 7, "O", {0.5f, 0, 0}, 1.0, "O2", {0.01});
  // Phase 3: the same with hexadecimal keys.
  builder.add("CRS3   NATOM", "    2");
  add_cell(builder, 3, {5, 5, 5, 90, 90, 90}, "P 1");
  add_hex_atom(builder, 3, 1, "O", {0, 0, 0}, 1.0, 0.01, "O1");
  // Phase 4: more atoms than the model holds.
  builder.add("CRS4   NATOM", " 5001");
  add_cell(builder, 4, {5, 5, 5, 90, 90, 90}, "P 1");
  // Phase 5: a peak-radius record that holds neither form.
  builder.add("CRS5   NATOM", "    0");
  add_cell(builder, 5, {5, 5, 5, 90, 90, 90}, "P 1");
  builder.add("CRS5  PEAKRD", "   5.0   1.0 1.0 1.2 0.5 x.5 0.5");
  OpenedExperiment experiment(folder, builder);
  PhaseDescription phase;
  const CovarianceData none;
  auto read_phase = [&](int number, int flag, const char* fourier_mode) {
    return [&, number, flag, fourier_mode] {
      RDPHASE(experiment.unit, experiment.listing, number, flag, fourier_mode, none, phase);
    };
  };
  EXPECT_EXIT(run_as_main(read_phase(1, 1, "    ")), testing::ExitedWithCode(1),
              "Atom \"Q9\" \\(record \"CRS1  AT  1A\"\\) has type \"Xx\"");
  EXPECT_EXIT(run_as_main(read_phase(2, 1, "    ")), testing::ExitedWithCode(1),
              "announces 3 atoms, but only 2 atom records exist up to record number 999");
  EXPECT_EXIT(run_as_main(read_phase(3, 4, "    ")), testing::ExitedWithCode(1), "up to record number FFFF");
  EXPECT_EXIT(run_as_main(read_phase(4, 1, "    ")), testing::ExitedWithCode(1), "announces 5001 atoms; at most 5000");
  EXPECT_EXIT(run_as_main(read_phase(5, 1, "FORA")), testing::ExitedWithCode(1), "CRS5  PEAKRD");
  // A missing required record stops through the store's report, without a stop text.
  EXPECT_EXIT(run_as_main(read_phase(6, 1, "    ")), testing::ExitedWithCode(1), "^$");
  // The stop itself, as the program's main receives it.
  const auto stop = caught_stop(read_phase(4, 1, "    "));
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->exit_status, 1);
  EXPECT_EQ(stop->message,
            "STOP Record \"CRS4   NATOM\" announces 5001 atoms; at most 5000 can be held statement executed\n");
}

TEST(PhaseReaderDeathTest, TooManyTypesStop) {
  TempFolder folder;
  ExpFileBuilder builder = testing_support::minimal_experiment();
  builder.add(" EXPR  NATYP", "   36");
  builder.add("CRS1   NATOM", "    0");
  add_cell(builder, 1, {5, 5, 5, 90, 90, 90}, "P 1");
  OpenedExperiment experiment(folder, builder);
  PhaseDescription phase;
  EXPECT_EXIT(
      run_as_main([&] { RDPHASE(experiment.unit, experiment.listing, 1, 1, "FORA", CovarianceData{}, phase); }),
              testing::ExitedWithCode(1), "asks for 36 atom types; at most 35");
  ExpFileBuilder more = testing_support::minimal_experiment();
  more.add(" EXPR  NATYP", "   37");
  TempFolder other;
  OpenedExperiment second(other, more, "MORE");
  EXPECT_EXIT(
      run_as_main([&] { RDPHASE(second.unit, second.listing, 1, 1, "    ", CovarianceData{}, phase); }),
              testing::ExitedWithCode(1), "asks for 37 atom types; at most 36");
}

namespace {

// A two-atom phase refined by least squares: the controls, the run record
// and a covariance file of the same cycle.
ExpFileBuilder refined_experiment() {
  ExpFileBuilder builder;
  builder.title("Refined test phase").version(6).history(1, "ZENTOR  created 07-Dec-26")
      .history(2, "RAFFIN  cycle 4");
  builder.phase_flags({1}).vortan_controls(1, "DMAX 2.6 DAGL 2.6");
  builder.add(" EXPR  NATYP", "    2")
      .add(" EXPR ATYP 1", type_value("SI", 1.2, 1.5))
      .add(" EXPR ATYP 2", type_value("O", 1.2, 1.5));
  builder.add("CRS1    PNAM", "  Silica, refined").add("CRS1   NATOM", "    2");
  add_cell(builder, 1, {4.5, 4.6, 4.7, 90, 100, 90}, "P 1 21/c 1");
  builder.add("CRS1  ABCSIG", fixed(0.0010, 10, 5) + fixed(0.0012, 10, 5) + fixed(0.0014, 10, 5));
  builder.add("CRS1  ANGSIG", fixed(0.0, 10, 5) + fixed(0.02, 10, 5) + fixed(0.0, 10, 5));
  add_atom(builder, 1, 1, "SI", {0.1f, 0.2f, 0.3f}, 1.0, "Si1", {0.008});
  add_atom(builder, 1, 2, "O", {0.3f, 0.25f, 0.55f}, 1.0, "O1", {0.011, 0.012, 0.013, 0.001, 0.002, 0.003});
  builder.add("  RFFN  RUN ", pad("Cycle  4, R(F**2) = 0.0412, 123 obs, 8 var", 43) + "   4" + "  " + fixed(1.2, 15, 4));
  builder.add("  RFFN CDAT1", "  WGT 2050DSMN  50DSMX   0MXCY  10CVRG-200PRNT   5MARQ1.25CONJ   N");
  builder.add("  RFFN CDAT2", "  TUKE   3NEGI Z  SGLM  30");
  return builder;
}

testing_support::CovarianceFile refined_covariance() {
  testing_support::CovarianceFile content;
  content.ncycle = 4;
  content.cycle_figure = 1.1f;
  content.names = {"1  1X   ", "1  1Y   ", "1  1Z   ", "1  1UISO", "1  2X   ", "1  2Y   ", "1  2Z   ", "1  2U11 "};
  content.nvar = 8;
  std::vector<std::vector<float>> m(8, std::vector<float>(8, 0.0f));
  const float diagonal[] = {1e-8f, 4e-8f, 9e-8f, 1e-6f, 4e-8f, 9e-8f, 1.6e-7f, 4e-6f};
  for (std::size_t k = 0; k < 8; ++k) m[k][k] = diagonal[k];
  m[0][4] = m[4][0] = 1e-8f;
  content.band = 4;
  content.matrix = testing_support::pack_band(m, 4);
  for (int p = 1; p <= 8; ++p) content.constraints.push_back({constraint_code(p, p), 1.0f});
  return content;
}

const std::map<std::string, std::string> kFixedDate{{"SOURCE_DATE_EPOCH", "1700000000"}};

}  // namespace

TEST(VortanListing, LeastSquaresBlockMatchesTheGoldenFile) {
  TempFolder folder;
  refined_experiment().write(folder / "REFINE.EXP");
  testing_support::write_covariance_file(folder / "REFINE.CMT", refined_covariance());
  auto result = testing_support::run_program(VORTAN_BIN, {"refine"}, folder.path(), {}, kFixedDate);
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  const std::string listing = testing_support::read_file(folder / "REFINE.LST");
  if (std::getenv("VESK_WRITE_GOLDEN"))
    testing_support::write_file(std::string(TEST_DATA_DIR) + "/refine_listing.lst", listing);
  EXPECT_EQ(listing, testing_support::read_file(std::string(TEST_DATA_DIR) + "/refine_listing.lst"));
}

TEST(VortanListing, WithoutAUsableCovarianceFileTheListingSaysSo) {
  TempFolder folder;
  refined_experiment().write(folder / "REFINE.EXP");
  auto result = testing_support::run_program(VORTAN_BIN, {"refine"}, folder.path(), {}, kFixedDate);
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  const std::string missing = testing_support::read_file(folder / "REFINE.LST");
  EXPECT_NE(missing.find(" The CMT file for this cycle was not found."), std::string::npos);

  // A covariance file whose NMAT is larger than the record holds is refused;
  // the run goes on with the cell's standard deviations.
  auto content = refined_covariance();
  auto two = testing_support::covariance_record(content, 2);
  two[1] = 1;  // NMAT + 256
  testing_support::write_unformatted_file(folder / "REFINE.CMT", {testing_support::covariance_record(content, 1), two,
                                                                   testing_support::covariance_record(content, 3)});
  std::filesystem::remove(folder / "REFINE.LST");
  result = testing_support::run_program(VORTAN_BIN, {"refine"}, folder.path(), {}, kFixedDate);
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  const std::string refused = testing_support::read_file(folder / "REFINE.LST");
  EXPECT_NE(refused.find(" The CMT file cannot be used: "), std::string::npos);
  EXPECT_NE(refused.find("REFINE.CMT, record 2: NMAT 296 reals, but the record holds 40"), std::string::npos) << refused;
  EXPECT_NE(refused.find(" The CMT file for this cycle was not found."), std::string::npos);
  EXPECT_NE(result.out.find(" The CMT file cannot be used: "), std::string::npos);
}
