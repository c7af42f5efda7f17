// A stateful randomized test of what the experiment's files promise a user:
// every publication mark ever set is either in a live marks file of the
// structure it was set on, or in a kept file that a message named; and no
// mark appears on a structure where it was not set. Random sequences of what
// a user does (vortan with other limits, torsion choices and phase flags;
// marks set and removed by editing either file, in insert mode, with a
// byte-order mark or between odd lines; cif2exp of another structure or block
// into the same name; a program killed at a random moment; a second program
// started while one runs) are applied to small experiments, and the promise
// is checked after every step by a reading of the files of its own.
//
// Seeded and reproducible: VESK_MARKS_SEED picks the first seed,
// VESK_MARKS_STEPS the number of steps (a few hundred by default), and a
// failure prints the seed and the steps that led to it.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/background_program.hpp"
#include "tests/support/run_program.hpp"
#include "tests/support/small_structures.hpp"

namespace {

namespace fs = std::filesystem;
using testing_support::BackgroundProgram;
using testing_support::read_file;
using testing_support::run_program;
using testing_support::TempFolder;
using testing_support::write_file;

unsigned long env_number(const char* name, unsigned long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoul(text, nullptr, 10) : fallback;
}

// The programs under test; VESK_VORTAN_BIN and VESK_CIF2EXP_BIN name other
// builds (a long local run from a copy, while the tree is rebuilt).
std::string program(const char* variable, const char* built) {
  const char* text = std::getenv(variable);
  return text != nullptr && *text != '\0' ? text : built;
}
const std::string kVortan = program("VESK_VORTAN_BIN", VORTAN_BIN);
const std::string kCif2exp = program("VESK_CIF2EXP_BIN", CIF2EXP_BIN);

std::string trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

std::vector<std::string> split_lines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::stringstream in(bytes);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The marks of a file as the user sees them: each line whose first column
// holds a "Y" (after a byte-order mark, which an editor does not show, with
// a "Y" typed in front of the old mark), named by its file kind, phase, kind and the integers of its key,
// read by column as the file's layout gives them.
std::set<std::string> marks_of(const std::string& bytes, char file) {
  std::set<std::string> marks;
  for (std::string line : split_lines(bytes)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    if (line.empty() || (line[0] != 'Y' && line[0] != 'y')) continue;
    if (line.size() >= 2 && std::string_view("YyNn").find(line[1]) != std::string_view::npos)
      line = "Y" + line.substr(2);
    line.resize(std::max<std::size_t>(line.size(), 80), ' ');
    const std::string kind = trimmed(line.substr(3, 2));
    std::size_t start = 25, count = 0;
    if (file == 'V' && kind == "0") count = 4;
    if (file == 'V' && kind == "1") count = 7;
    if (file == 'T' && kind == "2") count = 10;
    if (file == 'T' && kind == "3") start = 45, count = 7;
    std::string key = std::string(1, file) + "|" + trimmed(line.substr(1, 2)) + "|" + kind;
    if (count == 0) key += "|?" + line;  // no such record: a mark nobody set
    for (std::size_t i = 0; i < count; ++i) key += "|" + trimmed(line.substr(start + 5 * i, 5));
    marks.insert(key);
  }
  return marks;
}

class MarksWorld {
 public:
  MarksWorld(unsigned seed, const fs::path& root) : rng_(seed), root_(root), unit_(root / "unit") {
    fs::create_directories(unit_);
    fs::create_directories(root_ / "src");
    write_file(root_ / "src" / "a.cif", testing_support::kP41Cif);
    write_file(root_ / "src" / "b.cif", testing_support::kFdd2Cif);
    // The first structure again under another block name: another structure for the files.
    std::string renamed = testing_support::kP41Cif;
    renamed.replace(renamed.find("data_2016470"), 12, "data_other");
    write_file(root_ / "src" / "c.cif", renamed);
  }

  // One random step, then the check; false (with the story in `failure`) on a violation.
  bool step(int number) {
    const int pick = uniform(0, 99);
    if (fs::exists(unit_ / "T.REPLACING")) run_vortan();  // a stopped cif2exp: the next program completes it
    else if (!fs::exists(unit_ / "T.EXP") || pick < 8) convert();
    else if (pick < 38) run_vortan();
    else if (pick < 58) set_mark();
    else if (pick < 66) remove_mark();
    else if (pick < 72) odd_bytes();
    else if (pick < 84) change_controls();
    else if (pick < 92) killed_run();
    else convert_or_run_beside_a_run();
    return check(number);
  }

  const std::string& failure() const { return failure_; }
  std::map<std::string, long> tally_;  // what the steps met, for the summary
  const std::vector<std::string>& story() const { return story_; }

 private:
  int uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  template <class T>
  const T& any_of(const std::vector<T>& list) { return list[static_cast<std::size_t>(uniform(0, static_cast<int>(list.size()) - 1))]; }

  void note(const std::string& text) { story_.push_back(text); }
  void heard(const std::string& text) { messages_ += text; }

  std::string structure_key() const {
    std::string key;
    for (const std::string& line : split_lines(read_file_or_empty(unit_ / "T.CIFSRC")))
      if (line.rfind("cif ", 0) == 0 || line.rfind("block ", 0) == 0) key += line + ";";
    return key;
  }
  static std::string read_file_or_empty(const fs::path& file) {
    return fs::is_regular_file(file) ? read_file(file) : std::string();
  }

  std::vector<std::string> cif2exp_args() {
    static const std::vector<std::string> sources{"a.cif", "b.cif", "c.cif"};
    return {(root_ / "src" / any_of(sources)).string(), "T"};
  }
  std::vector<std::string> vortan_args() {
    std::vector<std::string> args{"T"};
    if (uniform(0, 3) == 0) args.push_back("--cif");
    if (uniform(0, 5) == 0) args.push_back("--svg");
    return args;
  }

  void convert() {
    const auto args = cif2exp_args();
    note("cif2exp " + args[0]);
    const auto result = run_program(kCif2exp, args, unit_);
    heard(result.out + result.err);
    ++tally_[result.out.find("moved to") != std::string::npos ? "conversions moving marks aside" : "conversions"];
  }

  void run_vortan() {
    const auto args = vortan_args();
    note("vortan" + std::string(args.size() > 1 ? " " + args[1] : ""));
    const auto result = run_program(kVortan, args, unit_, "", {{"SOURCE_DATE_EPOCH", "0"}});
    heard(result.out + result.err);
    ++tally_[result.exit_status == 0 ? "vortan runs" : "vortan runs that stopped"];
    if (result.out.find("that file is kept as") != std::string::npos) ++tally_["vortan runs keeping a .prev"];
    if (result.out.find("cannot be read as a record") != std::string::npos) ++tally_["vortan runs meeting unreadable lines"];
  }

  fs::path marks_file() { return unit_ / (uniform(0, 1) == 0 ? "T.VORTAN" : "T.TORHB"); }

  // Indices of the record lines of `lines` whose mark column is `marked` or not.
  static std::vector<std::size_t> record_lines(const std::vector<std::string>& lines, bool marked) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string& line = lines[i];
      if (line.size() < 40 || line.rfind("99999", 0) == 0) continue;
      const bool y = line[0] == 'Y' || line[0] == 'y';
      if ((line[0] == 'N' && !marked) || (y && marked)) found.push_back(i);
    }
    return found;
  }

  static std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
  }

  void set_mark() {
    const fs::path file = marks_file();
    if (!fs::is_regular_file(file)) return;
    std::string bytes = read_file(file);
    const bool bom = bytes.rfind("\xEF\xBB\xBF", 0) == 0;
    std::vector<std::string> lines = split_lines(bom ? bytes.substr(3) : bytes);
    const auto candidates = record_lines(lines, false);
    if (candidates.empty()) return;
    const std::size_t at = any_of(candidates);
    const int style = uniform(0, 3);
    if (style == 0) lines[at][0] = 'Y';
    if (style == 1) lines[at][0] = 'y';
    if (style == 2) lines[at] = "Y" + lines[at];  // insert mode
    if (style == 3) lines[at][0] = 'Y';
    bytes = joined(lines);
    if (bom || (style == 3 && uniform(0, 1) == 0)) bytes = "\xEF\xBB\xBF" + bytes;
    write_file(file, bytes);
    const char kind = file.filename() == "T.VORTAN" ? 'V' : 'T';
    for (const std::string& mark : marks_of(lines[at] + "\n", kind)) set_[structure_key()].insert(mark);
    ++tally_["marks set"];
    note("mark set in " + file.filename().string() + " line " + std::to_string(at + 1) + " style " +
         std::to_string(style));
  }

  // The lines of a marks file as an editor shows them, and the file written back with its byte-order mark.
  static std::vector<std::string> edit_lines(const fs::path& file, bool& bom) {
    const std::string bytes = read_file(file);
    bom = bytes.rfind("\xEF\xBB\xBF", 0) == 0;
    return split_lines(bom ? bytes.substr(3) : bytes);
  }
  static void save_lines(const fs::path& file, const std::vector<std::string>& lines, bool bom) {
    write_file(file, (bom ? "\xEF\xBB\xBF" : "") + joined(lines));
  }

  void remove_mark() {
    const fs::path file = marks_file();
    if (!fs::is_regular_file(file)) return;
    bool bom = false;
    std::vector<std::string> lines = edit_lines(file, bom);
    const auto candidates = record_lines(lines, true);
    if (candidates.empty()) return;
    const std::size_t at = any_of(candidates);
    const char kind = file.filename() == "T.VORTAN" ? 'V' : 'T';
    const std::set<std::string> removed = marks_of(lines[at] + "\n", kind);
    if (lines[at].size() >= 2 && std::string_view("YyNn").find(lines[at][1]) != std::string_view::npos)
      lines[at].erase(0, 1);  // an insert-mode mark: the old one stays
    lines[at][0] = 'N';
    save_lines(file, lines, bom);
    for (const std::string& mark : removed) set_[structure_key()].erase(mark);
    note("mark removed in " + file.filename().string() + " line " + std::to_string(at + 1));
  }

  void odd_bytes() {
    const fs::path file = marks_file();
    if (!fs::is_regular_file(file)) return;
    bool bom = false;
    std::vector<std::string> lines = edit_lines(file, bom);
    std::string odd;
    switch (uniform(0, 3)) {
      case 0: odd = ""; break;
      case 1: odd = std::string(70000 + static_cast<std::size_t>(uniform(0, 1000)), 'x'); break;
      case 2: odd = "N 1 0 not a number at all"; break;
      default:
        for (int i = uniform(1, 60); i > 0; --i) {
          char c = static_cast<char>(uniform(1, 255));
          odd += c == '\n' ? ' ' : c;
        }
        if (odd[0] == 'Y' || odd[0] == 'y') odd[0] = '#';  // a mark is set on purpose only
    }
    const std::size_t at = static_cast<std::size_t>(uniform(0, static_cast<int>(lines.size())));
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), odd);
    save_lines(file, lines, bom);
    note("odd line in " + file.filename().string() + " at " + std::to_string(at + 1));
  }

  // New limits, hydrogen bonds, torsion choice or phase flag in T.EXP.
  void change_controls() {
    const fs::path file = unit_ / "T.EXP";
    std::string bytes = read_file(file);
    static const std::vector<std::string> dmax{"2.0", "2.6", "3.0", "3.4"}, dagl{"1.0", "1.5", "1.7", "2.0"},
        hmax{"", " HMAX 2.0", " HMAX 2.6", " HMAX 3.0"}, tors{"", " TORS NOH", " TORS NONE", " TORS ALL"};
    std::string words = "DMAX " + any_of(dmax) + " DAGL " + any_of(dagl) + " DFLT DFLT" + any_of(hmax) + any_of(tors);
    const bool flag = uniform(0, 5) != 0;
    for (std::size_t at = 0; at + 80 <= bytes.size(); at += 82) {
      if (bytes.compare(at, 12, "  VRTN CDAT1") == 0) {
        words.resize(68, ' ');
        bytes.replace(at + 12, 68, words);
      }
      if (bytes.compare(at, 12, " EXPR NPHAS ") == 0) bytes[at + 16] = flag ? '1' : '0';
    }
    write_file(file, bytes);
    note("controls " + trimmed(words) + (flag ? "" : ", phase flag 0"));
    run_vortan();
  }

  void killed_run() {
    const bool converter = uniform(0, 2) == 0;
    const auto args = converter ? cif2exp_args() : vortan_args();
    const int delay = uniform(0, 40000);
    {
      BackgroundProgram program(converter ? kCif2exp : kVortan, args, unit_, root_ / "out.txt");
      std::this_thread::sleep_for(std::chrono::microseconds(delay));
      program.kill();
      program.wait();
    }
    heard(read_file(root_ / "out.txt"));
    note(std::string(converter ? "cif2exp " + args[0] : "vortan") + " killed after " + std::to_string(delay) + " us");
  }

  void convert_or_run_beside_a_run() {
    const auto args = vortan_args();
    BackgroundProgram first(kVortan, args, unit_, root_ / "first.txt", {{"SOURCE_DATE_EPOCH", "0"}});
    const bool converter = uniform(0, 1) == 0;
    const auto second = converter ? run_program(kCif2exp, cif2exp_args(), unit_)
                                  : run_program(kVortan, {"T"}, unit_, "", {{"SOURCE_DATE_EPOCH", "0"}});
    first.wait();
    if ((second.out + second.err).find("is in use by") != std::string::npos) ++tally_["second programs refused"];
    heard(read_file(root_ / "first.txt") + second.out + second.err);
    note(std::string("vortan with ") + (converter ? "cif2exp" : "vortan") + " beside it: second exit " +
         std::to_string(second.exit_status));
  }

  bool check(int number) {
    // A program that crashed or hit undefined behaviour (under the sanitizers) is a failure of its own.
    for (const char* crash : {"Sanitizer", "runtime error:", "Segmentation", "Aborted"})
      if (messages_.find(crash) != std::string::npos)
        return fail(number, std::string("a program reported \"") + crash + "\": " + messages_.substr(messages_.find(crash), 400));
    if (fs::exists(unit_ / "T.REPLACING")) return true;  // the next program completes it
    const std::string heard_all = messages_ + read_file_or_empty(unit_ / "T.LST");
    const std::string now = structure_key();
    std::map<char, std::set<std::string>> live;
    live['V'] = marks_of(read_file_or_empty(unit_ / "T.VORTAN"), 'V');
    live['T'] = marks_of(read_file_or_empty(unit_ / "T.TORHB"), 'T');
    for (const auto& [file, marks] : live)
      for (const std::string& mark : marks)
        if (set_[now].count(mark) == 0)
          return fail(number, "the live file of " + now + " holds " + mark + ", which nobody set on it");
    // The kept files a message named.
    std::vector<std::set<std::string>> kept;
    for (const auto& entry : fs::directory_iterator(unit_)) {
      const std::string name = entry.path().filename().string();
      const bool results = name.rfind("T.VORTAN.", 0) == 0, geometry = name.rfind("T.TORHB.", 0) == 0;
      if ((!results && !geometry) || !named(heard_all, name) || !entry.is_regular_file()) continue;
      kept.push_back(marks_of(read_file(entry.path()), results ? 'V' : 'T'));
    }
    for (const auto& [structure, marks] : set_)
      for (const std::string& mark : marks) {
        ++tally_["marks checked"];
        if (structure == now && live[mark[0]].count(mark) != 0) continue;
        bool found = false;
        for (const auto& file : kept) found = found || file.count(mark) != 0;
        ++tally_["marks found in a kept file"];
        if (!found) return fail(number, "the mark " + mark + " set on " + structure + " is in no file a message named");
      }
    return true;
  }

  // `name` in `text` as a whole name, not as the start of a longer one.
  static bool named(const std::string& text, const std::string& name) {
    for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
      const std::size_t end = at + name.size();
      if (end == text.size() || std::string_view("._0123456789").find(text[end]) == std::string_view::npos ||
          (text[end] == '.' && (end + 1 == text.size() || text[end + 1] == ' ' || text[end + 1] == '\n')))
        return true;
    }
    return false;
  }

  bool fail(int number, const std::string& what) {
    failure_ = "step " + std::to_string(number) + ": " + what;
    return false;
  }

  std::mt19937 rng_;
  fs::path root_, unit_;
  std::string messages_;
  std::map<std::string, std::set<std::string>> set_;  // structure -> marks set on it and not removed
  std::vector<std::string> story_;
  std::string failure_;
};

// Under AddressSanitizer every program run costs some ten times as much:
// one world of steps there, four in a plain build.
#ifdef __SANITIZE_ADDRESS__
constexpr unsigned long kDefaultSteps = 60;
#else
constexpr unsigned long kDefaultSteps = 240;
#endif

TEST(MarksInvariant, NoMarkIsLostOrLandsOnAnotherStructure) {
  const unsigned long steps = env_number("VESK_MARKS_STEPS", kDefaultSteps);
  const unsigned long first_seed = env_number("VESK_MARKS_SEED", 20261208);
  constexpr unsigned long kStepsPerWorld = 60;  // then a fresh folder from the next seed
  std::map<std::string, long> tally;
  for (unsigned long done = 0, seed = first_seed; done < steps; ++seed) {
    TempFolder folder;
    MarksWorld world(static_cast<unsigned>(seed), folder.path());
    struct Summed {
      MarksWorld& world;
      std::map<std::string, long>& tally;
      ~Summed() {
        for (const auto& [what, count] : world.tally_) tally[what] += count;
      }
    } summed{world, tally};
    for (unsigned long n = 0; n < kStepsPerWorld && done < steps; ++n, ++done) {
      if (!world.step(static_cast<int>(n))) {
        std::string story;
        for (const std::string& line : world.story()) story += "\n  " + line;
        FAIL() << "seed " << seed << ", " << world.failure() << "\nsteps:" << story;
      }
    }
  }
  std::cout << steps << " steps from seed " << first_seed << ":";
  for (const auto& [what, count] : tally) std::cout << " " << what << " " << count << ";";
  std::cout << "\n";
}

}  // namespace
