#include "expfile/covariance.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <algorithm>
#include <array>
#include <filesystem>
#include <random>
#include <sstream>

#include "console/page.hpp"
#include "console/text_utils.hpp"
#include "expfile/experiment.hpp"
#include "expfile/record_store.hpp"
#include "recio/fixed_text.hpp"
#include "recio/units.hpp"
#include "tests/support/covariance_writer.hpp"
#include "tests/support/expfile_builder.hpp"
#include "tests/support/run_program.hpp"

using namespace vesk;
using testing_support::constraint_code;
using testing_support::CovarianceFile;

namespace {

const std::vector<std::vector<float>> kDense = {
    {4.0f, 1.0f, 0.5f, 0.25f, 0.125f},
    {1.0f, 9.0f, 2.0f, 0.75f, 0.375f},
    {0.5f, 2.0f, 16.0f, 3.0f, 0.625f},
    {0.25f, 0.75f, 3.0f, 25.0f, 4.0f},
    {0.125f, 0.375f, 0.625f, 4.0f, 36.0f},
};

CovarianceData in_memory(const std::vector<float>& packed, int nvar, int band) {
  CovarianceData data;
  data.nvar = nvar;
  data.band = band;
  data.nmat = static_cast<int>(packed.size());
  data.matrix = packed;
  return data;
}

void add_entry(CovarianceData& data, int parameter, int variable, float coefficient) {
  data.map_code.push_back(parameter * kConstraintBase + variable);
  data.map_coefficient.push_back(coefficient);
}

}  // namespace

TEST(Covariance, PackedElementNumbers) {
  // Full storage, NVAR 4, NMAT 10: upper triangle row by row.
  EXPECT_EQ(packed_index(4, 10, 0, 2, 3), 6);
  EXPECT_EQ(packed_index(4, 10, 0, 3, 2), 6);
  EXPECT_EQ(packed_index(4, 10, 0, 1, 1), 1);
  EXPECT_EQ(packed_index(4, 10, 0, 1, 4), 4);
  EXPECT_EQ(packed_index(4, 10, 0, 4, 4), 10);
  // A longer array keeps the triangle at its end.
  EXPECT_EQ(packed_index(4, 12, 0, 1, 1), 3);
  // Band 2.
  EXPECT_EQ(packed_index(4, 12, 2, 1, 3), 7);
  EXPECT_EQ(packed_index(4, 12, 2, 1, 4), 0);
  EXPECT_EQ(packed_index(5, 15, 2, 3, 5), 13);
  EXPECT_EQ(packed_index(5, 15, 2, 5, 3), 13);
  EXPECT_EQ(packed_index(5, 15, 2, 1, 1), 3);
}

TEST(Covariance, MatrixElementsAgreeWithTheDenseMatrix) {
  const CovarianceData full = in_memory(testing_support::pack_full(kDense), 5, 0);
  const CovarianceData band = in_memory(testing_support::pack_band(kDense, 2), 5, 2);
  for (int r = 1; r <= 5; ++r)
    for (int s = 1; s <= 5; ++s) {
      const float dense = kDense[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(s - 1)];
      EXPECT_EQ(matrix_element(full, r, s), dense) << r << "," << s;
      EXPECT_EQ(matrix_element(band, r, s), std::abs(r - s) <= 2 ? dense : 0.0f) << r << "," << s;
    }
  // Variables outside 1..NVAR have no element.
  EXPECT_EQ(matrix_element(full, 0, 1), 0.0f);
  EXPECT_EQ(matrix_element(full, 6, 6), 0.0f);
}

TEST(Covariance, CovelSumsOverTheConstraintEntries) {
  CovarianceData data = in_memory(testing_support::pack_full(kDense), 5, 0);
  add_entry(data, 1, 1, 1.0f);
  add_entry(data, 2, 2, 0.5f);
  add_entry(data, 2, 3, 0.5f);
  add_entry(data, 2, 0, 3.0f);   // no variable: contributes nothing
  add_entry(data, 3, 5, -2.0f);
  for (bool indexed : {false, true}) {
    if (indexed) index_constraints(data);
    EXPECT_FLOAT_EQ(COVEL(data, 1, 1), 4.0f);
    // 0.25 * 9 + 0.25 * 16 + 2 * 0.25 * 2
    EXPECT_FLOAT_EQ(COVEL(data, 2, 2), 7.25f);
    // 1 * (0.5 * M12 + 0.5 * M13)
    EXPECT_FLOAT_EQ(COVEL(data, 1, 2), 0.75f);
    EXPECT_FLOAT_EQ(COVEL(data, 2, 1), 0.75f);
    // -2 * (0.5 * M25 + 0.5 * M35)
    EXPECT_FLOAT_EQ(COVEL(data, 3, 2), -1.0f);
    EXPECT_FLOAT_EQ(COVEL(data, 3, 3), 144.0f);
    EXPECT_FLOAT_EQ(COVEL(data, -1, -2), 0.75f);   // both negative: p q > 0
    EXPECT_EQ(COVEL(data, 0, 1), 0.0f);
    EXPECT_EQ(COVEL(data, 2, 0), 0.0f);
    EXPECT_EQ(COVEL(data, -1, 2), 0.0f);
    EXPECT_EQ(COVEL(data, 4, 4), 0.0f);             // a parameter without entries
  }
  // Band storage drops the far elements: variables 1 and 5 lie outside band 2.
  CovarianceData banded = in_memory(testing_support::pack_band(kDense, 2), 5, 2);
  add_entry(banded, 1, 1, 1.0f);
  add_entry(banded, 2, 5, 1.0f);
  add_entry(banded, 2, 3, 1.0f);
  index_constraints(banded);
  EXPECT_FLOAT_EQ(COVEL(banded, 1, 2), 0.5f);
}

TEST(Covariance, IndexedCovelAgreesWithTheDirectSum) {
  // Random lists with distinct variables per parameter: the index gives the
  // scan's sums bit for bit.
  std::mt19937 random(11);
  std::uniform_real_distribution<float> coefficient(-2.0f, 2.0f);
  CovarianceData data = in_memory(testing_support::pack_full(kDense), 5, 0);
  for (int parameter = 1; parameter <= 12; ++parameter)
    for (int variable = 0; variable <= 5; ++variable)
      if (random() % 2 == 0) add_entry(data, parameter, variable, coefficient(random));
  std::shuffle(data.map_code.begin(), data.map_code.end(), std::mt19937(3));  // parameters out of order
  CovarianceData indexed = data;
  index_constraints(indexed);
  for (int p = -2; p <= 14; ++p)
    for (int q = -2; q <= 14; ++q) EXPECT_EQ(COVEL(indexed, p, q), COVEL(data, p, q)) << p << " " << q;

  // 16000 entries of one parameter on 4 variables, read from a file: each
  // variable's coefficients are combined once, and the sum is the direct one.
  testing_support::TempFolder folder;
  CovarianceFile content;
  content.names = {"1  1X   ", "1  1Y   "};
  content.nvar = 4;
  content.matrix = testing_support::pack_full({{4.0f, 1.0f, 0.5f, 0.25f},
                                               {1.0f, 9.0f, 2.0f, 0.75f},
                                               {0.5f, 2.0f, 16.0f, 3.0f},
                                               {0.25f, 0.75f, 3.0f, 25.0f}});
  std::array<double, 5> total{};
  for (int k = 0; k < 16000; ++k) {
    const int variable = k % 5;  // every fifth entry without a variable
    const float a = 0.001f * static_cast<float>(1 + k % 7);
    content.constraints.push_back({constraint_code(1, variable), a});
    total[static_cast<std::size_t>(variable)] += a;
  }
  content.constraints.push_back({constraint_code(2, 3), 1.0f});
  testing_support::write_covariance_file(folder / "LONG.CMT", content);
  CovarianceData read;
  std::string problem;
  ASSERT_EQ(read_covariance_file(20, (folder / "LONG.CMT").string(), read, problem), CovarianceRead::Ok) << problem;
  double direct = 0, with_second = 0;
  for (int v = 1; v <= 4; ++v) {
    for (int w = 1; w <= 4; ++w)
      direct += total[static_cast<std::size_t>(v)] * total[static_cast<std::size_t>(w)] * matrix_element(read, v, w);
    with_second += total[static_cast<std::size_t>(v)] * matrix_element(read, v, 3);
  }
  EXPECT_NEAR(COVEL(read, 1, 1), direct, 1.0E-5 * direct);
  EXPECT_NEAR(COVEL(read, 2, 1), with_second, 1.0E-5 * with_second);
  EXPECT_EQ(COVEL(read, 2, 2), 16.0f);
}

TEST(Covariance, FileNameFromTheWholeExperimentName) {
  const std::string deep = "/" + std::string(120, 'd') + "/STUDY.EXP";
  EXPECT_EQ(covariance_file_name(deep), "/" + std::string(120, 'd') + "/STUDY.CMT");
  EXPECT_EQ(covariance_file_name("/data/A.EXPORT/B.EXP"), "/data/A.EXPORT/B.CMT");
  EXPECT_EQ(covariance_file_name("NOEXTENSION"), "");
}

TEST(Covariance, ReadsBothRecordOneLayoutsAndBothPackings) {
  testing_support::TempFolder folder;
  CovarianceFile content;
  content.ncycle = 7;
  content.names = {"1  1X   ", "1  1Y   ", "1  2FRAC"};
  content.nvar = 5;
  content.cycle_figure = 2.5f;
  content.matrix = testing_support::pack_full(kDense);
  content.constraints = {{constraint_code(1, 1), 1.0f}, {constraint_code(2, 2), 0.5f}, {constraint_code(3, 0), 1.0f}};
  testing_support::write_covariance_file(folder / "FULL.CMT", content);

  CovarianceData data;
  std::string problem;
  ASSERT_EQ(read_covariance_file(20, (folder / "FULL.CMT").string(), data, problem), CovarianceRead::Ok) << problem;
  EXPECT_EQ(data.cycle, 7);
  EXPECT_EQ(data.cycle_figure, 2.5f);
  EXPECT_EQ(data.nname, 3);
  ASSERT_EQ(data.names.size(), 3u);
  EXPECT_EQ(data.names[2], "1  2FRAC");
  EXPECT_EQ(data.nvar, 5);
  EXPECT_EQ(data.nmat, 15);
  EXPECT_EQ(data.band, 0);
  EXPECT_EQ(data.map_code.size(), 3u);
  EXPECT_FLOAT_EQ(COVEL(data, 2, 2), 0.25f * 9.0f);
  EXPECT_FLOAT_EQ(COVEL(data, 1, 3), 0.0f);

  content.older_layout = true;
  content.band = 2;
  content.matrix = testing_support::pack_band(kDense, 2);
  testing_support::write_covariance_file(folder / "BAND.CMT", content);
  ASSERT_EQ(read_covariance_file(20, (folder / "BAND.CMT").string(), data, problem), CovarianceRead::Ok) << problem;
  EXPECT_EQ(data.cycle_figure, 0.0f);
  EXPECT_EQ(data.band, 2);
  EXPECT_EQ(data.nmat, 15);
  EXPECT_EQ(matrix_element(data, 3, 5), 0.625f);
  EXPECT_EQ(matrix_element(data, 1, 4), 0.0f);

  EXPECT_EQ(read_covariance_file(20, (folder / "NONE.CMT").string(), data, problem), CovarianceRead::NotOpened);
}

TEST(Covariance, DamagedFilesAreRefusedWithTheirReason) {
  testing_support::TempFolder folder;
  CovarianceFile good;
  good.ncycle = 3;
  good.names = {"1  1X   ", "1  1Y   "};
  good.nvar = 3;
  good.matrix = testing_support::pack_full({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
  good.constraints = {{constraint_code(1, 1), 1.0f}, {constraint_code(2, 2), 1.0f}};

  auto refusal = [&](const std::vector<std::vector<std::uint8_t>>& records, const std::string& name) {
    const auto file = folder / name;
    testing_support::write_unformatted_file(file, records);
    CovarianceData data;
    std::string problem;
    EXPECT_EQ(read_covariance_file(20, file.string(), data, problem), CovarianceRead::Refused) << name;
    EXPECT_FALSE(data.read);
    EXPECT_EQ(data.nname, 0);
    EXPECT_TRUE(data.matrix.empty());
    EXPECT_NE(problem.find(file.string()), std::string::npos) << problem;
    return std::make_pair(data.cycle, problem);
  };
  auto record = [&](const CovarianceFile& content, int n) { return testing_support::covariance_record(content, n); };

  // NNAME larger than the names the record holds.
  auto one = record(good, 1);
  one[4] = 40;
  auto [cycle, problem] = refusal({one, record(good, 2), record(good, 3)}, "NAMES.CMT");
  EXPECT_EQ(cycle, 3);
  EXPECT_NE(problem.find("record 1: NNAME 40"), std::string::npos) << problem;

  CovarianceFile many = good;
  many.nvar = 15001;
  many.matrix.clear();
  problem = refusal({record(many, 1), record(good, 2), record(good, 3)}, "NVAR.CMT").second;
  EXPECT_NE(problem.find("NVAR 15001"), std::string::npos) << problem;

  CovarianceFile map = good;
  map.constraints.assign(50001, {constraint_code(1, 1), 1.0f});
  problem = refusal({record(good, 1), record(good, 2), record(map, 3)}, "NMAP.CMT").second;
  EXPECT_NE(problem.find("record 3: NMAP 50001"), std::string::npos) << problem;

  CovarianceFile small = good;
  small.matrix.resize(5);
  problem = refusal({record(good, 1), record(small, 2), record(good, 3)}, "SMALL.CMT").second;
  EXPECT_NE(problem.find("NMAT 5 is too small for NVAR 3 and BAND 0"), std::string::npos) << problem;
  small.band = 1;
  problem = refusal({record(good, 1), record(small, 2), record(good, 3)}, "BAND.CMT").second;
  EXPECT_NE(problem.find("NMAT 5 is too small for NVAR 3 and BAND 1"), std::string::npos) << problem;

  auto two = record(good, 2);
  two[0] = 100;   // NMAT 100 with six reals stored
  problem = refusal({record(good, 1), two, record(good, 3)}, "NMAT.CMT").second;
  EXPECT_NE(problem.find("record 2: NMAT 100"), std::string::npos) << problem;

  CovarianceFile far = good;
  far.constraints.push_back({constraint_code(2, 4), 1.0f});
  problem = refusal({record(good, 1), record(good, 2), record(far, 3)}, "FAR.CMT").second;
  EXPECT_NE(problem.find("constraint entry 3"), std::string::npos) << problem;

  problem = refusal({record(good, 1), record(good, 2)}, "SHORT.CMT").second;
  EXPECT_NE(problem.find("record 3 is missing"), std::string::npos) << problem;

  // A file cut inside its last record.
  const auto cut = folder / "CUT.CMT";
  testing_support::write_covariance_file(cut, good);
  std::filesystem::resize_file(cut, std::filesystem::file_size(cut) - 6);
  CovarianceData data;
  EXPECT_EQ(read_covariance_file(20, cut.string(), data, problem), CovarianceRead::Refused);
  EXPECT_NE(problem.find("record 3"), std::string::npos) << problem;
  EXPECT_FALSE(data.read);
}

namespace {

// "  RFFN  RUN ": a summary whose columns 44-47 hold the cycle, then the
// cycle figure in columns 50-64.
std::string run_record(int cycle, float figure) {
  char text[80];
  std::snprintf(text, sizeof text, "%-43s%4d  %15.4f", "Least squares, R(F**2) = 0.0412", cycle,
                static_cast<double>(figure));
  return text;
}

struct Loaded {
  CovarianceData data;
  std::vector<std::string> listing;
};

// Writes STEM.EXP (with the run record when given) beside the covariance
// file, opens it as the program does and loads the covariance file.
Loaded load(const std::filesystem::path& folder, const std::string& run, const std::string& stem = "LS") {
  testing_support::ExpFileBuilder builder = testing_support::minimal_experiment();
  if (!run.empty()) builder.add("  RFFN  RUN ", run);
  builder.write(folder / (stem + ".EXP"));
  int unit = 11, iostat = 0;
  OPNEXP("READ", (folder / (stem + ".EXP")).string(), unit, iostat);
  EXPECT_EQ(iostat, 0);
  int listing = 40;
  FREEUNIT(listing);
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::New;
  const auto listing_file = folder / (stem + ".LST");
  std::filesystem::remove(listing_file);
  EXPECT_EQ(recio::open(listing, listing_file.string(), spec), 0);
  set_page_length(60);
  set_line_count(listing, 0);
  Loaded loaded;
  CMTREAD(listing, unit, loaded.data);
  recio::close(listing);
  recio::close(unit);
  release_record_store(unit);
  std::istringstream in(testing_support::read_file(listing_file));
  for (std::string line; std::getline(in, line);) loaded.listing.emplace_back(recio::trim_right(line));
  return loaded;
}

CovarianceFile small_file(int cycle, float figure, bool older = false) {
  CovarianceFile content;
  content.ncycle = cycle;
  content.cycle_figure = figure;
  content.older_layout = older;
  content.names = {"1  1X   "};
  content.nvar = 1;
  content.matrix = {0.0004f};
  content.constraints = {{constraint_code(1, 1), 1.0f}};
  return content;
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(Covariance, FileJudgedAgainstTheLastRefinementRun) {
  testing_support::TempFolder folder;
  // Same cycle: used whatever its figure.
  testing_support::write_covariance_file(folder / "LS.CMT", small_file(4, 99.0f));
  Loaded same = load(folder.path(), run_record(4, 1.0f));
  EXPECT_TRUE(same.data.read);
  EXPECT_EQ(same.data.nname, 1);
  EXPECT_FLOAT_EQ(std::sqrt(COVEL(same.data, 1, 1)), 0.02f);
  EXPECT_TRUE(same.listing.empty());

  // Another cycle, file figure 3.0 against 0.5 (divisor 1.0): dropped.
  testing_support::write_covariance_file(folder / "LS.CMT", small_file(3, 3.0f));
  Loaded stale = load(folder.path(), run_record(4, 0.5f));
  EXPECT_FALSE(stale.data.read);
  EXPECT_EQ(stale.data.nname, 0);
  EXPECT_EQ(stale.data.cycle, 3);
  EXPECT_EQ(stale.listing, (Lines{" NCYCLE on the .CMT file is   3", " NCYCLE for last RAFFIN is    4",
                                  " The number of variables was set to ZERO"}));

  // Another cycle, ratio 1.2 / 1.0: reported and used.
  testing_support::write_covariance_file(folder / "LS.CMT", small_file(3, 1.2f));
  Loaded near = load(folder.path(), run_record(4, 0.8f));
  EXPECT_TRUE(near.data.read);
  EXPECT_EQ(near.data.nname, 1);
  EXPECT_EQ(near.listing, (Lines{" NCYCLE on the .CMT file is   3", " NCYCLE for last RAFFIN is    4"}));

  // The older layout has no figure and is never judged stale; without the
  // run record the experiment's cycle is -1.
  testing_support::write_covariance_file(folder / "LS.CMT", small_file(3, 50.0f, true));
  Loaded older = load(folder.path(), "");
  EXPECT_TRUE(older.data.read);
  EXPECT_EQ(older.data.cycle_figure, 0.0f);
  EXPECT_EQ(older.listing, (Lines{" NCYCLE on the .CMT file is   3", " NCYCLE for last RAFFIN is   -1"}));

  // No covariance file: nothing read, nothing said.
  std::filesystem::remove(folder / "LS.CMT");
  Loaded none = load(folder.path(), run_record(4, 1.0f));
  EXPECT_FALSE(none.data.read);
  EXPECT_TRUE(none.listing.empty());
}

TEST(Covariance, RefusedFileIsReportedAndTheRunGoesOn) {
  testing_support::TempFolder folder;
  CovarianceFile content = small_file(4, 1.0f);
  auto two = testing_support::covariance_record(content, 2);
  two[0] = 9;  // NMAT 9 with one real stored
  testing_support::write_unformatted_file(folder / "LS.CMT", {testing_support::covariance_record(content, 1), two,
                                                               testing_support::covariance_record(content, 3)});
  Loaded refused = load(folder.path(), run_record(4, 1.0f));
  EXPECT_FALSE(refused.data.read);
  EXPECT_EQ(refused.data.nname, 0);
  EXPECT_EQ(refused.listing,
            (Lines{" The CMT file cannot be used: " + (folder / "LS.CMT").string() +
                       ", record 2: NMAT 9 reals, but the record holds 1",
                   " No standard deviations are taken from it in this run."}));
}

TEST(Covariance, FileFoundBesideAnExperimentWithALongName) {
  testing_support::TempFolder folder;
  const auto deep = folder / std::string(100, 'q');
  std::filesystem::create_directory(deep);
  testing_support::write_covariance_file(deep / "LONGNAME.CMT", small_file(4, 1.0f));
  ASSERT_GT((deep / "LONGNAME.EXP").string().size(), 80u);
  Loaded loaded = load(deep, run_record(4, 1.0f), "LONGNAME");
  EXPECT_TRUE(loaded.data.read);
  EXPECT_EQ(loaded.data.nname, 1);
}
