// The plan of a replacement of an experiment's files (NAME.REPLACING) is
// input: written whole and on the disk before any name changes, carried out
// by the next program only when it is this experiment's own plan, whole,
// of a plain file, naming only the experiment's files; anything else is
// refused with the plan and the reason named, and no file is touched.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "expfile/unit_replace.hpp"
#include "recio/error.hpp"
#include "recio/file_replace.hpp"
#include "tests/support/background_program.hpp"
#include "tests/support/file_operations.hpp"
#include "tests/support/replacement_plan.hpp"
#include "tests/support/run_program.hpp"
#include "tests/support/small_structures.hpp"

namespace {

namespace fs = std::filesystem;
using testing_support::BackgroundProgram;
using testing_support::folder_snapshot;
using testing_support::read_file;
using testing_support::RunResult;
using testing_support::run_program;
using testing_support::TempFolder;
using testing_support::write_file;

const std::map<std::string, std::string> kFixedDate{{"SOURCE_DATE_EPOCH", "0"}};

using testing_support::fnv1a;
using testing_support::sealed_plan;

// A program run that may not end by itself: killed after `seconds`.
struct Ended {
  int exit_status = -1;
  bool in_time = true;
  std::string out;
};
Ended run_within(const std::string& binary, const std::vector<std::string>& args, const fs::path& folder,
                 int seconds) {
  const TempFolder output;
  Ended ended;
  BackgroundProgram program(binary, args, folder, output / "out.txt", kFixedDate);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (program.running() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ended.in_time = !program.running();
  program.kill();
  ended.exit_status = program.wait();
  ended.out = read_file(output / "out.txt");
  return ended;
}

// The experiment T converted from the P 41 paper and run once, a mark set,
// beside another experiment U and a file outside its folder.
struct Unit {
  TempFolder root;
  fs::path folder = root / "unit";
  Unit() {
    fs::create_directory(folder);
    write_file(folder / "a.cif", testing_support::kP41Cif);
    EXPECT_EQ(run_program(CIF2EXP_BIN, {"a.cif", "T"}, folder).exit_status, 0);
    EXPECT_EQ(run_program(VORTAN_BIN, {"T"}, folder, "", kFixedDate).exit_status, 0);
    std::string results = read_file(folder / "T.VORTAN");
    results[results.find("\nN") + 1] = 'Y';
    write_file(folder / "T.VORTAN", results);
    write_file(folder / "U.VORTAN", "Y 1 0   1.00000   0.00100    1    2    1  555\n99999\n");
    write_file(folder / "U.EXP", "another experiment\n");
    write_file(root / "victim", "outside the experiment's folder\n");
  }
  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> files = folder_snapshot(folder);
    files["../victim"] = read_file(root / "victim");
    return files;
  }
};

// Each plan is refused by both programs, which name it and what is wrong and
// leave every file, in the folder and outside it, as it was.
TEST(UnitReplace, APlanThatIsNotThisExperimentsOwnIsRefusedAndChangesNothing) {
  Unit t;
  const std::string outside = (t.root / "victim").string();
  const std::string valid = sealed_plan("move\tT.VORTAN\tT.VORTAN.1\n");
  struct Case {
    const char* what;
    std::function<void(const fs::path& plan)> make;
    const char* reason;
  };
  const auto text = [](std::string plan) { return [plan](const fs::path& file) { write_file(file, plan); }; };
  const std::vector<Case> cases{
      {"a name out of the folder", text(sealed_plan("move\t../victim\tT.VORTAN.1\n")),
       "it names \"../victim\", which is no file of the experiment T in its folder"},
      {"an absolute name", text(sealed_plan("remove\t" + outside + "\n")), "which is no file of the experiment T"},
      {"another experiment's marks", text(sealed_plan("remove\tU.VORTAN\n")),
       "it names \"U.VORTAN\", which is no file of the experiment T"},
      {"the experiment file removed", text(sealed_plan("remove\tT.EXP\n")),
       "it would remove \"T.EXP\", which a conversion never removes"},
      {"the lock moved", text(sealed_plan("move\tT.VORTAN.lock\tT.VORTAN.lock.1\n")), "which is no marks file"},
      {"a marks file moved over its kept copy", text(sealed_plan("move\tT.VORTAN\tT.VORTAN.prev\n")),
       "which is not a numbered kept name of it"},
      {"the experiment file replaced by a marks file", text(sealed_plan("rename\tT.VORTAN\tT.EXP\n")),
       "from no temporary of it"},
      {"another experiment's plan", text(sealed_plan("move\tU.VORTAN\tU.VORTAN.1\n", "U")),
       "it is the plan of the experiment \"U\", not of T"},
      {"a plan of the earlier form", text("stem\tT\nmove\tT.VORTAN\tT.VORTAN.1\n"),
       "it is cut short (its end line is missing)"},
      {"a plan cut before its end", text(valid.substr(0, valid.size() - 3)), "it is cut short"},
      {"a changed byte", text([&] { std::string v = valid; v[v.find("T.VORTAN.1")] = 'U'; return v; }()),
       "it is damaged (its checksum does not match what it holds)"},
      {"a count of steps that is not its own",
       text([] {
         const std::string body = "vesk replacement plan 1\nstem\tT\n";
         return body + "end\t3\t" + fnv1a(body) + "\n";
       }()),
       "it counts 3 steps but holds 0"},
      {"a FIFO", [](const fs::path& file) { ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0); },
       "it is not a plain file (a FIFO, a device or a folder)"},
      {"a link to /dev/zero", [](const fs::path& file) { fs::create_symlink("/dev/zero", file); },
       "it is a symbolic link"},
      {"a link to a whole plan", [&](const fs::path& file) {
         write_file(t.folder / "elsewhere", valid);
         fs::create_symlink("elsewhere", file);
       },
       "it is a symbolic link"},
      {"a second name of a whole plan", [&](const fs::path& file) {
         write_file(t.folder / "elsewhere", valid);
         fs::create_hard_link(t.folder / "elsewhere", file);
       },
       "it has another name (a hard link)"},
      {"a file larger than any plan", text(valid + std::string(70000, '#')), "bytes, more than any plan"},
  };
  for (const Case& c : cases) {
    const fs::path plan = t.folder / "T.REPLACING";
    c.make(plan);
    const std::map<std::string, std::string> before = t.snapshot();
    for (const std::vector<std::string>& program :
         {std::vector<std::string>{VORTAN_BIN, "T"}, std::vector<std::string>{CIF2EXP_BIN, "a.cif", "T"}}) {
      const Ended run = run_within(program[0], {program.begin() + 1, program.end()}, t.folder, 20);
      EXPECT_TRUE(run.in_time) << c.what << ": " << program[0] << " hangs";
      EXPECT_EQ(run.exit_status, 1) << c.what << ": " << run.out;
      const std::size_t refused =
          run.out.find("The plan T.REPLACING of an interrupted replacement of the files of T is refused: ");
      EXPECT_NE(refused, std::string::npos) << c.what << ": " << run.out;
      EXPECT_NE(run.out.find(c.reason, refused), std::string::npos) << c.what << ": " << run.out;
      EXPECT_NE(run.out.find("no file was changed"), std::string::npos) << c.what;
      EXPECT_EQ(t.snapshot(), before) << c.what << ": " << program[0];
    }
    fs::remove(plan);
    fs::remove(t.folder / "elsewhere");
  }
}

// A plan as the writer writes it, cut at every byte or with any one byte
// changed, is refused by the reader with nothing touched; whole, it is
// carried out.
TEST(UnitReplace, APlanCutAtAnyByteOrChangedInAnyByteIsNeverCarriedOut) {
  TempFolder folder;
  const std::string stem = (folder / "T").string();
  for (const char* name : {"T.VORTAN", "T.TORHB", "T.VORTAN.prev", "T.CMT", "T.EXP", "T.CIFSRC"})
    write_file(folder / name, std::string("old ") + name + "\n");
  vesk::UnitReplace plan;
  plan.stem = stem;
  plan.moves = vesk::marks_files_aside(stem);
  plan.removals.push_back(stem + ".CMT");
  for (const char* name : {".CIFSRC", ".EXP"}) {
    const std::string temporary = recio::temporary_name(stem + name);
    write_file(temporary, std::string("new ") + name + "\n");
    plan.renames.emplace_back(temporary, stem + name);
  }
  const std::string text = vesk::unit_plan_text(plan);
  EXPECT_NE(text.find("move\tT.VORTAN.prev\tT.VORTAN.1.prev\n"), std::string::npos) << text;
  const std::map<std::string, std::string> before = folder_snapshot(folder.path());
  auto refused = [&](const std::string& bytes, const std::string& what) {
    write_file(folder / "T.REPLACING", bytes);
    try {
      vesk::complete_interrupted_replace(stem);
      ADD_FAILURE() << what << " was carried out";
    } catch (const vesk::Error& error) {
      EXPECT_NE(std::string(error.what()).find("T.REPLACING of an interrupted replacement of the files of " + stem +
                                               " is refused"),
                std::string::npos)
          << what << ": " << error.what();
    }
    fs::remove(folder / "T.REPLACING");
    EXPECT_EQ(folder_snapshot(folder.path()), before) << what;
  };
  for (std::size_t cut = 0; cut < text.size(); ++cut) refused(text.substr(0, cut), "cut at " + std::to_string(cut));
  for (std::size_t at = 0; at < text.size(); ++at) {
    std::string changed = text;
    changed[at] = static_cast<char>(changed[at] ^ 0x20);
    refused(changed, "byte " + std::to_string(at) + " changed");
  }

  write_file(folder / "T.REPLACING", text);
  const std::vector<std::string> lines = vesk::complete_interrupted_replace(stem);
  EXPECT_EQ(read_file(folder / "T.EXP"), "new .EXP\n");
  EXPECT_EQ(read_file(folder / "T.CIFSRC"), "new .CIFSRC\n");
  EXPECT_EQ(read_file(folder / "T.VORTAN.1"), "old T.VORTAN\n");
  EXPECT_EQ(read_file(folder / "T.VORTAN.1.prev"), "old T.VORTAN.prev\n");
  EXPECT_EQ(read_file(folder / "T.TORHB.1"), "old T.TORHB\n");
  EXPECT_FALSE(fs::exists(folder / "T.CMT") || fs::exists(folder / "T.REPLACING") || fs::exists(folder / "T.VORTAN"));
  EXPECT_EQ(lines.size(), 4u);
}

// cif2exp of another structure killed just before each of its file
// operations in turn: the next program completes the plan or finds none,
// the experiment is then wholly the old structure or wholly the new, no
// temporary is left, and the marks of the old one are in its live file or
// in a kept file a message named. The plan is on the disk with its folder
// before any file of the unit changes its name.
TEST(UnitReplace, AConversionKilledAtAnyFileOperationLeavesOneWholeStructure) {
  Unit t;
  write_file(t.folder / "b.cif", testing_support::kFdd2Cif);
  const std::map<std::string, std::string> start = folder_snapshot(t.folder);
  TempFolder whole;
  testing_support::copy_folder(t.folder, whole.path());
  RunResult converted;
  const std::vector<std::string> operations =
      testing_support::file_operations(CIF2EXP_BIN, {"b.cif", "T"}, whole.path(), &converted);
  ASSERT_EQ(converted.exit_status, 0) << converted.out << converted.err;
  ASSERT_GT(operations.size(), 8u);
  // The plan appears (linked in or renamed), is synced with its folder, and only then does a name change.
  const auto first = [&](auto predicate) {
    return std::find_if(operations.begin(), operations.end(), predicate) - operations.begin();
  };
  const auto plan = first([](const std::string& op) { return op.find("T.REPLACING") != std::string::npos &&
                                                             (op.rfind("linkat", 0) == 0 || op.rfind("rename", 0) == 0); });
  const auto unit_change = first([](const std::string& op) {
    return (op.rfind("link ", 0) == 0 && op.find("T.VORTAN.1") != std::string::npos) ||
           (op.rfind("rename", 0) == 0 && op.find("T.EXP") != std::string::npos);
  });
  ASSERT_LT(plan, unit_change);
  EXPECT_NE(std::find(operations.begin() + plan, operations.begin() + unit_change, "fsync -"),
            operations.begin() + unit_change);

  const std::string old_experiment = start.at("T.EXP"), new_experiment = read_file(whole / "T.EXP");
  const std::string marked = start.at("T.VORTAN").substr(start.at("T.VORTAN").find("\nY") + 1, 45);
  for (long at = 1; at <= static_cast<long>(operations.size()); ++at) {
    for (const auto& entry : fs::directory_iterator(t.folder)) fs::remove(entry.path());
    for (const auto& [name, bytes] : start) write_file(t.folder / name, bytes);
    const RunResult killed = testing_support::run_killed_at(CIF2EXP_BIN, {"b.cif", "T"}, t.folder, at);
    EXPECT_EQ(killed.exit_status, -1) << "operation " << at << " (" << operations[at - 1] << ")";
    const RunResult next = run_program(VORTAN_BIN, {"T"}, t.folder, "", kFixedDate);
    const RunResult again = run_program(VORTAN_BIN, {"T"}, t.folder, "", kFixedDate);
    const std::string where = "killed before " + operations[at - 1] + " (" + std::to_string(at) + ")";
    ASSERT_EQ(again.exit_status, 0) << where << ": " << next.out << again.out;
    const std::string experiment = read_file(t.folder / "T.EXP");
    ASSERT_TRUE(experiment == old_experiment || experiment == new_experiment) << where;
    const bool renewed = experiment == new_experiment;
    EXPECT_EQ(read_file(t.folder / "T.CIFSRC").find("b.cif") != std::string::npos, renewed) << where;
    EXPECT_FALSE(fs::exists(t.folder / "T.REPLACING")) << where;
    for (const auto& entry : fs::directory_iterator(t.folder))
      EXPECT_FALSE(entry.path().extension() == ".new") << where << ": " << entry.path();
    const std::string heard = killed.out + next.out + again.out;
    if (!renewed) {
      EXPECT_NE(read_file(t.folder / "T.VORTAN").find(marked), std::string::npos) << where;
    } else {
      EXPECT_NE(read_file(t.folder / "T.VORTAN.1").find(marked), std::string::npos) << where;
      EXPECT_NE(heard.find("T.VORTAN.1"), std::string::npos) << where << ": " << heard;
    }
  }
}

}  // namespace
