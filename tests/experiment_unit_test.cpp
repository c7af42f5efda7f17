// An experiment's files as one unit, through the real programs: marks kept
// across runs and conversions, the lock both programs take, the safe
// replace of every output, and refusals that change nothing.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "expfile/unit_replace.hpp"
#include "recio/error.hpp"
#include "recio/file_replace.hpp"
#include "tests/support/background_program.hpp"
#include "tests/support/expfile_builder.hpp"
#include "tests/support/file_operations.hpp"
#include "tests/support/run_program.hpp"
#include "tests/support/small_structures.hpp"
#include "report/drawing.hpp"

namespace {

namespace fs = std::filesystem;
using testing_support::BackgroundProgram;
using testing_support::read_file;
using testing_support::RunResult;
using testing_support::run_program;
using testing_support::TempFolder;
using testing_support::write_file;

const std::map<std::string, std::string> kFixedDate{{"SOURCE_DATE_EPOCH", "0"}};

// VESK_VORTAN_BIN and VESK_CIF2EXP_BIN name other builds of the programs
// (an older one, to see each test fail where the fault was).
std::string program(const char* variable, const char* built) {
  const char* text = std::getenv(variable);
  return text != nullptr && *text != '\0' ? text : built;
}
const std::string kVortan = program("VESK_VORTAN_BIN", VORTAN_BIN);
const std::string kCif2exp = program("VESK_CIF2EXP_BIN", CIF2EXP_BIN);

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

int count_marks(const std::string& text) {
  int marks = 0;
  for (const std::string& line : lines_of(text)) marks += !line.empty() && line[0] == 'Y';
  return marks;
}

// The P 41 structure converted into `folder`/T and run once.
struct Converted {
  TempFolder folder;
  Converted() {
    write_file(folder / "a.cif", testing_support::kP41Cif);
    write_file(folder / "b.cif", testing_support::kFdd2Cif);
    const RunResult conversion = run_program(kCif2exp, {"a.cif", "T"}, folder.path());
    EXPECT_EQ(conversion.exit_status, 0) << conversion.out << conversion.err;
    const RunResult first = vortan();
    EXPECT_EQ(first.exit_status, 0) << first.out << first.err;
  }
  RunResult vortan(std::vector<std::string> args = {"T"}) const {
    return run_program(kVortan, args, folder.path(), "", kFixedDate);
  }
  // The control record of phase 1 and its phase flag.
  void controls(std::string words, bool computed = true) const {
    std::string bytes = read_file(folder / "T.EXP");
    words.resize(68, ' ');
    for (std::size_t at = 0; at + 80 <= bytes.size(); at += 82) {
      if (bytes.compare(at, 12, "  VRTN CDAT1") == 0) bytes.replace(at + 12, 68, words);
      if (bytes.compare(at, 12, " EXPR NPHAS ") == 0) bytes[at + 16] = computed ? '1' : '0';
    }
    write_file(folder / "T.EXP", bytes);
  }
  // Marks the first record of `kind` (column 5) in `file`; returns the marked line.
  std::string mark(const std::string& file, char kind, int skip = 0) const {
    std::vector<std::string> lines = lines_of(read_file(folder / file));
    for (std::string& line : lines)
      if (line.size() > 40 && line[0] == 'N' && line[4] == kind && skip-- == 0) {
        line[0] = 'Y';
        write_file(folder / file, joined(lines));
        return line;
      }
    ADD_FAILURE() << "no record of kind " << kind << " in " << file;
    return {};
  }
  std::string text(const std::string& file) const { return read_file(folder / file); }
  bool has(const std::string& file) const { return fs::exists(folder / file); }
};

// The first run's mark on a hydrogen bond, dropped by HMAX, then one on a
// torsion angle, dropped by DAGL: each is kept in a .prev generation of its
// own, and the terminal names each once it exists.
TEST(ExperimentUnit, KeptGenerationsNeverLoseAMark) {
  Converted t;
  const std::string hbond = t.mark("T.TORHB", '3');
  const std::string torsion = t.mark("T.TORHB", '2');
  t.controls("DFLT DFLT DFLT DFLT HMAX 1.2");
  const RunResult first = t.vortan();
  EXPECT_EQ(first.exit_status, 0) << first.out;
  EXPECT_NE(first.out.find("1 mark of the previous marks file was not found again; that file is kept as T.TORHB.prev "
                           "(2 marks; T.TORHB now holds 1)"),
            std::string::npos)
      << first.out;
  t.controls("DFLT DAGL 1.0");
  const RunResult second = t.vortan();
  EXPECT_NE(second.out.find("that file is kept as T.TORHB.prev.1"), std::string::npos) << second.out;
  EXPECT_NE(t.text("T.TORHB.prev").find(hbond), std::string::npos);
  EXPECT_NE(t.text("T.TORHB.prev.1").find(torsion.substr(0, 5)), std::string::npos);
  EXPECT_NE(t.text("T.LST").find("kept as T.TORHB.prev.1"), std::string::npos);
  EXPECT_EQ(count_marks(t.text("T.TORHB.prev")), 2);
  EXPECT_EQ(count_marks(t.text("T.TORHB.prev.1")), 1);
}

// Lines longer than any buffer, a byte-order mark, an insert-mode "Y", an
// empty first line and random bytes: every mark is read, every line that is
// no record is named by its number, and the file is kept whole.
TEST(ExperimentUnit, AnyBytesInAMarksFileAreReadOrReported) {
  Converted t;
  std::vector<std::string> lines = lines_of(t.text("T.TORHB"));
  ASSERT_GT(lines.size(), 6u);
  lines[0][0] = 'Y';
  lines[3] = "Y" + lines[3];  // insert mode: "YN 1 2 ..."
  lines[5][0] = 'Y';
  const std::string marked0 = lines[0], marked3 = "Y" + lines[3].substr(2), marked5 = lines[5];
  lines.insert(lines.begin() + 2, std::string(70000, 'x'));
  lines.insert(lines.begin() + 4, "");
  write_file(t.folder / "T.TORHB", "\xEF\xBB\xBF" + joined(lines));
  const RunResult run = t.vortan();
  EXPECT_EQ(run.exit_status, 0) << run.out;
  const std::string now = t.text("T.TORHB");
  for (const std::string& marked : {marked0, marked3, marked5})
    EXPECT_NE(now.find(marked.substr(0, 20)), std::string::npos) << marked;
  EXPECT_EQ(count_marks(now), 3);
  EXPECT_NE(run.out.find("The marks file T.TORHB has a line that cannot be read as a record (line 3: \"xxxx"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("The previous marks file had 1 unreadable line; that file is kept as T.TORHB.prev"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(t.text("T.TORHB.prev").size(), 3 + joined(lines).size());

  // An empty first line, then random bytes: no crash, nothing left behind.
  for (const std::string& bytes : {std::string("\n"), [] {
         std::mt19937 random(7);
         std::string noise(4096, ' ');
         for (char& c : noise) c = static_cast<char>(random() & 0xff);
         return noise;
       }()}) {
    write_file(t.folder / "T.TORHB", bytes);
    const RunResult again = t.vortan();
    EXPECT_EQ(again.exit_status, 0) << again.out << again.err;
    EXPECT_FALSE(t.has("T.VORTAN.lock"));
    for (const auto& entry : fs::directory_iterator(t.folder.path()))
      EXPECT_EQ(entry.path().filename().string().find(".new"), std::string::npos) << entry.path();
  }
}

// cif2exp of another structure moves both marks files aside under one
// number that no earlier file has; the new structure's run flags nothing.
TEST(ExperimentUnit, AnotherStructureMovesEveryMarksFileAsideTogether) {
  Converted t;
  t.mark("T.VORTAN", '0');
  t.mark("T.TORHB", '2');
  EXPECT_EQ(t.vortan().exit_status, 0);
  write_file(t.folder / "T.TORHB.1", "an earlier file\n");
  write_file(t.folder / "T.VORTAN.prev.3", "a kept copy\n");
  const std::string results = t.text("T.VORTAN"), marks = t.text("T.TORHB");
  const RunResult conversion = run_program(kCif2exp, {"b.cif", "T"}, t.folder.path());
  ASSERT_EQ(conversion.exit_status, 0) << conversion.out << conversion.err;
  EXPECT_EQ(t.text("T.VORTAN.2"), results);
  EXPECT_EQ(t.text("T.TORHB.2"), marks);
  EXPECT_EQ(t.text("T.TORHB.1"), "an earlier file\n");
  EXPECT_EQ(t.text("T.VORTAN.2.prev.3"), "a kept copy\n");  // never compared with the new structure's marks
  EXPECT_FALSE(t.has("T.VORTAN.prev.3"));
  EXPECT_FALSE(t.has("T.VORTAN") || t.has("T.TORHB") || t.has("T.REPLACING"));
  EXPECT_NE(conversion.out.find("T.TORHB belonged to data_2016470"), std::string::npos) << conversion.out;
  const RunResult run = t.vortan({"T", "--cif"});
  EXPECT_EQ(run.exit_status, 0) << run.out;
  EXPECT_EQ(count_marks(t.text("T.TORHB")) + count_marks(t.text("T.VORTAN")), 0);
}

// The published bonds of a --json run, as "C1 C2 . .".
std::set<std::string> published_bonds(const Converted& t) {
  std::set<std::string> bonds;
  const nlohmann::json document = nlohmann::json::parse(t.text("T.json"));
  for (const nlohmann::json& bond : document["phases"][0]["bonds"])
    if (bond["publish"].get<bool>())
      bonds.insert(bond["atoms"][0].get<std::string>() + " " + bond["atoms"][1].get<std::string>() + " " +
                   bond["site_codes"][0].get<std::string>() + " " + bond["site_codes"][1].get<std::string>());
  return bonds;
}

// Marks follow atoms, not numbers: the CIF edited in place (O2 and H2
// deleted, which renumbers every atom after them) and converted again
// carries the mark on C1-C2 to C1-C2, sets the one on O2-C8 aside in a file
// a message names, and marks no other bond; the same atoms converted again
// from another block leave the marks where they are.
TEST(ExperimentUnit, MarksFollowTheirAtomsThroughAConversionOfAnEditedCif) {
  Converted t;
  ASSERT_EQ(t.vortan({"T", "--mark", "bond", "C1 C2", ". .", "--mark", "bond", "O2 C8", ". .", "--json"}).exit_status, 0);
  ASSERT_EQ(published_bonds(t), (std::set<std::string>{"C1 C2 . .", "O2 C8 . ."}));
  const std::string marked = t.text("T.VORTAN");

  std::string edited = testing_support::kP41Cif;
  for (const char* row : {"O O2 0.4398(3) 0.3520(3) 0.30670(14) 0.0218(5)\n", "H H2 0.3544 0.3525 0.3327 0.033\n"})
    edited.erase(edited.find(row), std::strlen(row));
  write_file(t.folder / "a.cif", edited);
  const RunResult conversion = run_program(kCif2exp, {"a.cif", "T"}, t.folder.path());
  ASSERT_EQ(conversion.exit_status, 0) << conversion.out << conversion.err;
  EXPECT_NE(conversion.out.find("T.VORTAN belonged to data_2016470 of"), std::string::npos) << conversion.out;
  EXPECT_NE(conversion.out.find("moved to T.VORTAN.1 with its marks"), std::string::npos) << conversion.out;
  EXPECT_NE(conversion.out.find("carries their marks of the atoms that are still there (17 of 19"), std::string::npos)
      << conversion.out;
  EXPECT_EQ(t.text("T.VORTAN.1"), marked);
  const RunResult run = t.vortan({"T", "--json"});
  ASSERT_EQ(run.exit_status, 0) << run.out;
  EXPECT_NE(run.out.find("1 of the 2 marks of T.VORTAN.1, set aside by the last conversion, are of atoms that are still "
                         "there and are carried to T.VORTAN; T.VORTAN.1 keeps them all"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(published_bonds(t), std::set<std::string>{"C1 C2 . ."});
  EXPECT_EQ(count_marks(t.text("T.VORTAN")), 1);
  EXPECT_EQ(t.text("T.VORTAN.1"), marked);

  // The same atoms from another block, a little moved: the marks stay.
  std::string moved = edited;
  moved.replace(moved.find("data_2016470"), 12, "data_again");
  moved.replace(moved.find("0.6639(4)"), 9, "0.6641(4)");
  write_file(t.folder / "again.cif", moved);
  const std::string now = t.text("T.VORTAN");
  const RunResult again = run_program(kCif2exp, {"again.cif", "T"}, t.folder.path());
  ASSERT_EQ(again.exit_status, 0) << again.out << again.err;
  EXPECT_EQ(again.out.find("moved to"), std::string::npos) << again.out;
  EXPECT_EQ(t.text("T.VORTAN"), now);
  ASSERT_EQ(t.vortan({"T", "--json"}).exit_status, 0);
  EXPECT_EQ(published_bonds(t), std::set<std::string>{"C1 C2 . ."});
}

// A cif2exp stopped between its renames: the next program completes the
// plan (vortan then asks to be run again, as it opened the old file).
TEST(ExperimentUnit, AReplacementStoppedHalfWayIsCompletedByTheNextProgram) {
  Converted t;
  t.mark("T.VORTAN", '0');
  const std::string stem = (t.folder / "T").string();
  const std::string old_results = t.text("T.VORTAN");
  vesk::UnitReplace plan;
  plan.stem = stem;
  plan.moves = {{stem + ".VORTAN", stem + ".VORTAN.1"}, {stem + ".TORHB", stem + ".TORHB.1"}};
  plan.renames = {{recio::temporary_name(stem + ".CIFSRC"), stem + ".CIFSRC"},
                  {recio::temporary_name(stem + ".EXP"), stem + ".EXP"}};
  write_file(plan.renames[0].first, "the new source");
  write_file(plan.renames[1].first, "the new experiment");
  // The plan as cif2exp writes it; the move and the first rename done, then the stop.
  write_file(t.folder / "T.REPLACING", vesk::unit_plan_text(plan));
  ASSERT_EQ(::link((stem + ".VORTAN").c_str(), (stem + ".VORTAN.1").c_str()), 0);
  fs::rename(plan.renames[0].first, t.folder / "T.CIFSRC");
  const RunResult run = t.vortan();
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.out.find("the replacement is complete now: run vortan again"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("T.VORTAN belonged to the structure before; it is kept as T.VORTAN.1"), std::string::npos);
  EXPECT_EQ(t.text("T.EXP"), "the new experiment");
  EXPECT_EQ(t.text("T.CIFSRC"), "the new source");
  EXPECT_EQ(t.text("T.VORTAN.1"), old_results);
  EXPECT_FALSE(t.has("T.VORTAN") || t.has("T.REPLACING"));
  EXPECT_TRUE(t.has("T.TORHB.1"));
  EXPECT_TRUE(vesk::complete_interrupted_replace(stem).empty());  // nothing left to do
}

// Two conversions into one name at the same time: the unit is always the
// files of one CIF, never a mix; the one that finds the lock held says so.
TEST(ExperimentUnit, TwoConversionsAtOnceNeverMixTheirFiles) {
  Converted t;
  std::map<std::string, std::string> experiment, covariance;
  for (const char* cif : {"a.cif", "b.cif"}) {
    TempFolder alone;
    ASSERT_EQ(run_program(kCif2exp, {(t.folder / cif).string(), "T"}, alone.path()).exit_status, 0);
    experiment[read_file(alone / "T.EXP")] = cif;
    covariance[read_file(alone / "T.CMT")] = cif;
  }
  int refused = 0;
  for (int attempt = 0; attempt < 40; ++attempt) {
    BackgroundProgram first(kCif2exp, {"a.cif", "T", "--force"}, t.folder.path(), t.folder / "first.txt");
    const RunResult second = run_program(kCif2exp, {"b.cif", "T", "--force"}, t.folder.path());
    first.wait();
    refused += second.out.find("is in use by cif2exp (process ") != std::string::npos ||
               read_file(t.folder / "first.txt").find("is in use by cif2exp (process ") != std::string::npos;
    ASSERT_EQ(experiment.count(t.text("T.EXP")), 1u);
    EXPECT_EQ(experiment[t.text("T.EXP")], covariance[t.text("T.CMT")]) << attempt;
    EXPECT_NE(t.text("T.CIFSRC").find(experiment[t.text("T.EXP")]), std::string::npos) << attempt;
  }
  RecordProperty("refused", refused);
}

// A long vortan run holds the experiment: cif2exp into the same name stops
// at once, names the run, and changes nothing.
TEST(ExperimentUnit, Cif2expStopsWhileVortanHoldsTheExperiment) {
  TempFolder folder;
  write_file(folder / "a.cif", testing_support::kP41Cif);
  testing_support::TestPhase phase;
  phase.cell = {21, 21, 21, 90, 90, 90};
  std::mt19937 random(3);
  std::uniform_real_distribution<double> coordinate(0, 1);
  for (int i = 1; i <= 999; ++i)
    phase.atoms.push_back({"C" + std::to_string(i), "C", coordinate(random), coordinate(random), coordinate(random)});
  testing_support::minimal_experiment()
      .atom_types({{"C", 0.77, 0.9}})
      .phase_flags({1})
      .phase(phase)
      .vortan_controls(1, "DMAX 3.6 DAGL 2.2")
      .write(folder / "T.EXP");
  const std::string experiment = read_file(folder / "T.EXP");
  bool seen = false;
  for (int attempt = 0; attempt < 5 && !seen; ++attempt) {
    BackgroundProgram run(kVortan, {"T"}, folder.path(), folder / "run.txt");
    while (!fs::exists(folder / "T.VORTAN.lock") && run.running())
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (!run.running()) continue;
    const RunResult conversion = run_program(kCif2exp, {"a.cif", "T", "--force"}, folder.path());
    const bool still_running = run.running();
    EXPECT_EQ(run.wait(), 0);
    if (!still_running && conversion.exit_status == 0) break;  // it ended first: nothing to learn
    seen = true;
    EXPECT_EQ(conversion.exit_status, 1);
    EXPECT_NE(conversion.err.find("The experiment T is in use by vortan (process " + std::to_string(run.pid()) + ")"),
              std::string::npos)
        << conversion.err;
    EXPECT_EQ(read_file(folder / "T.EXP"), experiment);
    EXPECT_FALSE(fs::exists(folder / "T.CIFSRC"));
  }
  EXPECT_TRUE(seen) << "the run never held the lock long enough";
}

// Outputs that are inputs, a FIFO as marks file, lock files that are links:
// refused before anything is written.
TEST(ExperimentUnit, RefusalsChangeNothing) {
  Converted t;
  auto files = [&t] {
    std::map<std::string, std::string> found;
    for (const auto& entry : fs::directory_iterator(t.folder.path()))
      if (entry.is_regular_file() && !entry.is_symlink()) found[entry.path().filename().string()] = read_file(entry.path());
    return found;
  };
  // --cif=T_geom.cif: the paper is the output.
  fs::copy_file(t.folder / "a.cif", t.folder / "T_geom.cif");
  auto before = files();
  RunResult run = t.vortan({"T", "--cif=T_geom.cif"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.out.find("The output T_geom.cif is the same file as the paper CIF T_geom.cif, which this run would overwrite"), std::string::npos)
      << run.out;
  EXPECT_EQ(files(), before);
  // The structure CIF under the output's name, through a hard link.
  fs::remove(t.folder / "T_geom.cif");
  fs::create_hard_link(t.folder / "a.cif", t.folder / "T_geom.cif");
  before = files();
  run = t.vortan({"T", "--cif"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.out.find("is the same file as the CIF the experiment was converted from"), std::string::npos) << run.out;
  EXPECT_EQ(files(), before);
  fs::remove(t.folder / "T_geom.cif");

  // A FIFO as marks file would hold the run up for ever.
  fs::rename(t.folder / "T.TORHB", t.folder / "kept");
  ASSERT_EQ(::mkfifo((t.folder / "T.TORHB").c_str(), 0600), 0);
  before = files();
  run = t.vortan();
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.out.find("The marks file T.TORHB is not a plain file"), std::string::npos) << run.out;
  EXPECT_EQ(files(), before);
  fs::remove(t.folder / "T.TORHB");
  fs::rename(t.folder / "kept", t.folder / "T.TORHB");

  // A lock file that is a second name of a user's file, or a symbolic link.
  write_file(t.folder / "notes", "the user's notes\n");
  fs::create_hard_link(t.folder / "notes", t.folder / "T.VORTAN.lock");
  before = files();
  for (const std::string& binary : {kVortan, kCif2exp}) {
    run = run_program(binary, binary == kVortan ? std::vector<std::string>{"T"} : std::vector<std::string>{"a.cif", "T"},
                      t.folder.path());
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE((run.out + run.err).find("The lock file T.VORTAN.lock of this experiment is refused: it has another name"),
              std::string::npos)
        << run.out << run.err;
    EXPECT_EQ(files(), before);
  }
  fs::remove(t.folder / "T.VORTAN.lock");
  fs::create_symlink("notes", t.folder / "T.VORTAN.lock");
  run = t.vortan();
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.out.find("(it is a symbolic link; remove it and run again)"), std::string::npos) << run.out;
  EXPECT_EQ(read_file(t.folder / "notes"), "the user's notes\n");
}

// A run that computes no phase leaves a good publication CIF as it is.
TEST(ExperimentUnit, ARunWithoutPhasesKeepsThePublicationCif) {
  Converted t;
  ASSERT_EQ(t.vortan({"T", "--cif"}).exit_status, 0);
  const std::string cif = t.text("T_geom.cif");
  ASSERT_NE(cif.find("_geom_bond_distance"), std::string::npos);
  t.controls("DFLT DFLT", false);
  const RunResult run = t.vortan({"T", "--cif"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_NE(run.out.find("No phase was computed in this run; the publication CIF T_geom.cif is not written"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("The distances and angles are in the publication CIF"), std::string::npos);
  EXPECT_EQ(t.text("T_geom.cif"), cif);
}

// On a full disk (a file size limit here) the copy of the previous results
// file fails: the run stops and says so, and never says it kept the file.
TEST(ExperimentUnit, AKeptCopyThatCannotBeWrittenIsNeverAnnounced) {
  Converted t;
  std::string big = t.text("T.VORTAN");
  const std::string closing = "99999\n";
  big.insert(big.size() - closing.size(), "Y 1 0   9.00000   0.00100   19   18    1  555\n");
  for (int i = 0; i < 3000; ++i) big.insert(big.size() - closing.size(), "N 1 0   9.00000   0.00100   19   18    2  555\n");
  write_file(t.folder / "T.VORTAN", big);
  fs::remove(t.folder / "T.LST");
  // 60 blocks of 512 bytes: the new files fit, a copy of the old one does not.
  const RunResult run = run_program("/bin/sh",
                                    {"-c", "trap '' XFSZ; ulimit -f 60; exec " + kVortan + " T"},
                                    t.folder.path(), "", kFixedDate);
  EXPECT_EQ(run.exit_status, 1) << run.out;
  EXPECT_NE(run.out.find("cannot be written"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("kept as"), std::string::npos) << run.out;
  EXPECT_EQ(t.text("T.VORTAN"), big);
  EXPECT_FALSE(t.has("T.VORTAN.prev"));
}

// Temporaries have names no other run holds, and what earlier runs left
// (killed, under a process id that is now this run's, or a link put under
// such a name) is removed without being followed and never stands in the
// way: every output of both programs is written.
TEST(ExperimentUnit, TemporariesLeftByEarlierRunsUnderTheSameProcessIdAreNoObstacle) {
  const std::string first = recio::temporary_name("T.VORTAN"), second = recio::temporary_name("T.VORTAN");
  EXPECT_NE(first, second);
  EXPECT_TRUE(recio::is_temporary_of(first, "T.VORTAN")) << first;
  EXPECT_TRUE(recio::is_temporary_of("T.EXP.4242.new", "T.EXP", true));
  EXPECT_FALSE(recio::is_temporary_of("T.VORTAN.2.new", "T.VORTAN"));
  EXPECT_FALSE(recio::is_temporary_of("T.VORTAN.prev", "T.VORTAN"));
  EXPECT_FALSE(recio::is_temporary_of("T.VORTAN.4242.xyz.new", "T.VORTAN"));

  Converted t;
  const std::string marked = t.mark("T.VORTAN", '0');
  write_file(t.folder / "victim", "not to be touched\n");
  const std::vector<std::string> outputs{"T.VORTAN", "T.TORHB", "T.VORTAN.prev", "T.LST", "T_geom.cif", "T.json",
                                         "T_phase1.svg", "T.REPLACING", "T.EXP", "T.CMT", "T.CIFSRC"};
  // A live marks file's name of the earlier form is also that of a kept
  // file (the NAME.VORTAN.new of a structure set aside): not a temporary.
  const auto earlier_form = [](const std::string& output) { return output != "T.VORTAN" && output != "T.TORHB"; };
  const auto plant = [&] {
    for (const std::string& output : outputs) {
      if (earlier_form(output)) write_file(t.folder / (output + ".4242.new"), "left by a killed run\n");
      fs::create_symlink("victim", t.folder / (output + ".4242.0123456789abcdef.new"));
    }
    write_file(t.folder / "T_I.EXP.4242.new", "another experiment's\n");
    write_file(t.folder / "T.VORTAN.2.new", "kept with a structure set aside\n");
  };
  const auto as_4242 = testing_support::shim_environment({{"VESK_PROCESS_ID", "4242"}}, kFixedDate);
  plant();
  RunResult run = run_program(kVortan, {"T", "--cif", "--json", "--svg"}, t.folder.path(), "", as_4242);
  EXPECT_EQ(run.exit_status, 0) << run.out;
  EXPECT_NE(t.text("T.VORTAN").find(marked), std::string::npos);
  EXPECT_TRUE(t.has("T_geom.cif") && t.has("T.json") && t.has("T_phase1.svg"));
  plant();
  run = run_program(kCif2exp, {"a.cif", "T"}, t.folder.path(), "", as_4242);
  EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
  for (const std::string& output : outputs) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(t.folder / (output + ".4242.new")))) << output;
    EXPECT_FALSE(fs::exists(fs::symlink_status(t.folder / (output + ".4242.0123456789abcdef.new")))) << output;
  }
  EXPECT_EQ(t.text("T_I.EXP.4242.new"), "another experiment's\n");
  EXPECT_EQ(t.text("T.VORTAN.2.new"), "kept with a structure set aside\n");
  EXPECT_EQ(t.text("victim"), "not to be touched\n");
}

}  // namespace
