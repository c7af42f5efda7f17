// A stateful randomized test of what the experiment's files promise a user:
// every publication mark ever set is either in a live marks file, on the
// atoms it was set on, or in a kept file that a message named (after the
// file took the content that holds it); and no mark appears on atoms where
// it was not set. A mark is what the user sees: its file and kind, its
// atoms by label, type and place, and their operator and cell codes; a
// structure is its content, not the CIF path and block it came from.
//
// Random sequences of what a user does are applied to small experiments,
// and the promise is checked after every step by a reading of the files of
// its own: vortan with other limits, torsion choices and phase flags; marks
// set and removed by editing either file (in insert mode, with a byte-order
// mark, between odd lines), by --mark and --unmark, and by a click on the
// page of --serve, which then ends by Quit, a signal or kill -9; cif2exp of
// another structure, of the same atoms from another block, and of a CIF
// edited in place (atoms deleted, renamed, reordered, moved a little or far)
// into the same name; a program killed just before one of its file
// operations (a preloaded shim counts them) or after a random time; a
// second program started while one runs; plans of a replacement cut,
// damaged or crafted; and temporaries of earlier runs left under the
// process id the next program runs with.
//
// Seeded and reproducible: VESK_MARKS_SEED picks the first seed,
// VESK_MARKS_STEPS the number of steps (a few hundred by default), and a
// failure prints the seed and the steps that led to it.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/background_program.hpp"
#include "tests/support/file_operations.hpp"
#include "tests/support/replacement_plan.hpp"
#include "tests/support/run_program.hpp"
#include "tests/support/small_structures.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing_support::BackgroundProgram;
using testing_support::read_file;
using testing_support::RunResult;
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
const std::map<std::string, std::string> kQuiet{{"SOURCE_DATE_EPOCH", "0"}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};

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

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

std::string read_or_empty(const fs::path& file) {
  return fs::is_regular_file(fs::symlink_status(file)) ? read_file(file) : std::string();
}

// ---- what the files say, read here without the programs' code ----

struct Atom {
  std::string label, type;
  std::array<double, 3> x{};
};

// The atoms of NAME.EXP by number, from its atom records "CRS1  ATnnnA".
struct Structure {
  std::string symmetry;
  std::vector<Atom> atoms;
};

Structure structure_of(const std::string& experiment) {
  Structure structure;
  for (std::size_t at = 0; at + 80 <= experiment.size(); at += 82) {
    const std::string key = experiment.substr(at, 12), value = experiment.substr(at + 12, 68);
    if (key == "CRS1  SG SYM") structure.symmetry = trimmed(value.substr(2, 20));
    if (key.compare(0, 8, "CRS1  AT") != 0 || key[11] != 'A' || trimmed(key.substr(8, 3)).empty()) continue;
    const std::size_t number = std::strtoul(key.substr(8, 3).c_str(), nullptr, 10);
    if (number == 0) continue;
    if (structure.atoms.size() < number) structure.atoms.resize(number);
    Atom& atom = structure.atoms[number - 1];
    atom.type = trimmed(value.substr(2, 8));
    for (std::size_t k = 0; k < 3; ++k) atom.x[k] = std::strtod(value.substr(10 + 10 * k, 10).c_str(), nullptr);
    atom.label = trimmed(value.substr(50, 8));
  }
  return structure;
}

// A mark as the user sees it. Two are the same mark when their atoms have
// the same labels and types and lie within 0.01 of a cell edge of each
// other (the edits below move an atom by 0.002 or by 0.08), and their codes agree.
struct Mark {
  char file = 'V';
  std::string phase, kind;
  std::vector<Atom> atoms;
  std::vector<std::string> codes;
  std::string odd;  // a marked line of no known record
};

bool same(const Mark& a, const Mark& b) {
  if (a.file != b.file || a.phase != b.phase || a.kind != b.kind || a.codes != b.codes || a.odd != b.odd ||
      a.atoms.size() != b.atoms.size())
    return false;
  for (std::size_t k = 0; k < a.atoms.size(); ++k) {
    const Atom &p = a.atoms[k], &q = b.atoms[k];
    if (p.label != q.label || p.type != q.type) return false;
    for (std::size_t i = 0; i < 3; ++i)
      if (std::abs(p.x[i] - q.x[i]) > 0.01) return false;
  }
  return true;
}

std::string describe(const Mark& m) {
  std::string text = std::string(1, m.file) + " phase " + m.phase + " kind " + m.kind;
  for (const Atom& atom : m.atoms) text += " " + atom.label;
  for (const std::string& code : m.codes) text += " " + code;
  return text + (m.odd.empty() ? "" : " [" + m.odd.substr(0, 40) + "]");
}

using Marks = std::vector<Mark>;
bool holds(const Marks& marks, const Mark& m) {
  return std::any_of(marks.begin(), marks.end(), [&](const Mark& k) { return same(k, m); });
}
Marks minus(const Marks& a, const Marks& b) {
  Marks rest;
  for (const Mark& m : a)
    if (!holds(b, m)) rest.push_back(m);
  return rest;
}

// Each line whose first column holds a "Y" (after a byte-order mark, which
// an editor does not show; with a "Y" typed in front of the old mark), read
// by column as its file's layout gives it, its atoms named through `numbering`.
Marks marks_of(const std::string& bytes, char file, const Structure& numbering) {
  Marks marks;
  for (std::string line : split_lines(bytes)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    if (line.rfind("99999", 0) == 0) break;
    if (line.empty() || (line[0] != 'Y' && line[0] != 'y')) continue;
    if (line.size() >= 2 && std::string_view("YyNn").find(line[1]) != std::string_view::npos) line = "Y" + line.substr(2);
    line.resize(std::max<std::size_t>(line.size(), 80), ' ');
    Mark m;
    m.file = file;
    m.phase = trimmed(line.substr(1, 2));
    m.kind = trimmed(line.substr(3, 2));
    std::size_t start = 25, count = 0, atoms = 0;
    if (file == 'V' && m.kind == "0") count = 4, atoms = 2;
    if (file == 'V' && m.kind == "1") count = 7, atoms = 3;
    if (file == 'T' && m.kind == "2") count = 10, atoms = 4;
    if (file == 'T' && m.kind == "3") start = 45, count = 7, atoms = 3;
    if (count == 0) m.odd = line;  // no such record: a mark nobody set
    for (std::size_t i = 0; i < count; ++i) {
      const std::string field = trimmed(line.substr(start + 5 * i, 5));
      if (i >= atoms) {
        m.codes.push_back(field);
        continue;
      }
      const long number = std::strtol(field.c_str(), nullptr, 10);
      if (number >= 1 && static_cast<std::size_t>(number) <= numbering.atoms.size())
        m.atoms.push_back(numbering.atoms[static_cast<std::size_t>(number) - 1]);
      else
        m.atoms.push_back(Atom{"?" + field, "?", {}});
    }
    marks.push_back(m);
  }
  return marks;
}

using testing_support::sealed_plan;

// One request to the page; (status, body), status 0 when there was no answer.
std::pair<int, std::string> http(int port, const std::string& method, const std::string& path,
                                 const std::string& token, const std::string& body = {}) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval limit{10, 0};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<std::uint16_t>(port));
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(s, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0) {
    const std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nX-Token: " + token + "\r\nConnection: close\r\nContent-Type: application/json\r\n" +
                                "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    if (::send(s, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char block[65536];
      for (ssize_t n; (n = ::recv(s, block, sizeof block, 0)) > 0;) answer.append(block, static_cast<std::size_t>(n));
    }
  }
  ::close(s);
  int status = 0;
  if (answer.rfind("HTTP/1.1 ", 0) == 0) status = std::atoi(answer.c_str() + 9);
  const std::size_t head = answer.find("\r\n\r\n");
  return {status, head == std::string::npos ? std::string() : answer.substr(head + 4)};
}

// ---- the world of one experiment T and what a user does to it ----

class MarksWorld {
 public:
  MarksWorld(unsigned seed, const fs::path& root) : rng_(seed), root_(root), unit_(root / "unit") {
    fs::create_directories(unit_);
    fs::create_directories(root_ / "src");
    write_file(root_ / "src" / "b.cif", testing_support::kFdd2Cif);
    // The first structure again under another block name: the same atoms.
    std::string renamed = testing_support::kP41Cif;
    renamed.replace(renamed.find("data_2016470"), 12, "data_other");
    write_file(root_ / "src" / "c.cif", renamed);
    // a.cif is edited in place: its atom rows, each present or not, renamed,
    // moved a little or far, in an order of their own.
    const std::vector<std::string> lines = split_lines(testing_support::kP41Cif);
    for (const std::string& line : lines) {
      if (line.rfind("O ", 0) == 0 || line.rfind("H ", 0) == 0 || line.rfind("N ", 0) == 0 || line.rfind("C ", 0) == 0)
        rows_.push_back({line, true, false, 0});
      else if (rows_.empty())
        cif_head_ += line + "\n";
    }
    write_a_cif();
    write_file(root_ / "victim", "outside the experiment's folder\n");
  }

  bool step(int number) {
    step_ = number;
    before_ = structure_of(read_or_empty(unit_ / "T.EXP"));
    listing_before_ = read_or_empty(unit_ / "T.LST");
    heard_.clear();
    const int pick = uniform(0, 99);
    if (fs::exists(fs::symlink_status(unit_ / "T.REPLACING"))) {
      if (uniform(0, 1) == 0) damaged_plan();
      run_vortan();  // the next program completes it
    } else if (!fs::exists(unit_ / "T.EXP") || pick < 7) convert(any_of(std::vector<std::string>{"a.cif", "b.cif", "c.cif"}));
    else if (pick < 14) edit_and_convert();
    else if (pick < 30) run_vortan();
    else if (pick < 42) set_mark();
    else if (pick < 47) remove_mark();
    else if (pick < 51) odd_bytes();
    else if (pick < 59) change_controls();
    else if (pick < 70) killed_run();
    else if (pick < 74) run_beside_a_run();
    else if (pick < 81) mark_option(true);
    else if (pick < 85) mark_option(false);
    else if (pick < 91) serve();
    else if (pick < 96) crafted_plan();
    else reused_process_id();
    if (!failure_.empty()) return false;
    settle();
    return check(number);
  }

  const std::string& failure() const { return failure_; }
  std::map<std::string, long> tally_;  // what the steps met, for the summary
  const std::vector<std::string>& story() const { return story_; }

 private:
  struct Row {
    std::string line;  // type, label, x, y, z, U as the CIF gives them
    bool present = true;
    bool renamed = false;
    int moved = 0;  // 0: in place, 1: by 0.002, 2: by 0.08 of the cell edge
  };
  struct Kept {
    std::string content;
    Structure numbering;  // the atoms the file's numbers name
    int changed_at = 0;   // the step that gave it this content
  };

  int uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  template <class T>
  const T& any_of(const std::vector<T>& list) {
    return list[static_cast<std::size_t>(uniform(0, static_cast<int>(list.size()) - 1))];
  }
  void note(const std::string& text) { story_.push_back(std::to_string(step_) + ": " + text); }
  void heard(const std::string& text) {
    heard_ += text;
    all_heard_ += text;
  }
  bool fail(const std::string& what) {
    if (failure_.empty()) failure_ = "step " + std::to_string(step_) + ": " + what;
    return false;
  }

  Structure now() const { return structure_of(read_or_empty(unit_ / "T.EXP")); }
  Marks live() const {
    const Structure numbering = now();
    Marks marks = marks_of(read_or_empty(unit_ / "T.VORTAN"), 'V', numbering);
    const Marks torhb = marks_of(read_or_empty(unit_ / "T.TORHB"), 'T', numbering);
    marks.insert(marks.end(), torhb.begin(), torhb.end());
    return marks;
  }
  void add_set(const Marks& marks) {
    for (const Mark& m : marks)
      if (!holds(set_, m)) set_.push_back(m);
  }
  void remove_set(const Marks& marks) {
    set_.erase(std::remove_if(set_.begin(), set_.end(), [&](const Mark& m) { return holds(marks, m); }), set_.end());
  }

  RunResult run(const std::string& binary, const std::vector<std::string>& args,
                const std::map<std::string, std::string>& env = kQuiet) {
    const RunResult result = run_program(binary, args, unit_, "", env);
    heard(result.out + result.err);
    return result;
  }

  // ---- a.cif, edited in place ----

  void write_a_cif() {
    std::string text = cif_head_;
    for (const Row& row : rows_) {
      if (!row.present) continue;
      std::istringstream words(row.line);
      std::string type, label, x, y, z, u;
      words >> type >> label >> x >> y >> z >> u;
      if (row.renamed) label += "R";
      const double shift = row.moved == 1 ? 0.002 : row.moved == 2 ? 0.08 : 0.0;
      char moved[32];
      std::snprintf(moved, sizeof moved, "%.5f", std::strtod(x.c_str(), nullptr) + shift);
      text += type + " " + label + " " + (shift == 0 ? x : std::string(moved)) + " " + y + " " + z + " " + u + "\n";
    }
    write_file(root_ / "src" / "a.cif", text);
  }

  void edit_and_convert() {
    Row& row = rows_[static_cast<std::size_t>(uniform(1, static_cast<int>(rows_.size()) - 1))];
    const int present = static_cast<int>(std::count_if(rows_.begin(), rows_.end(), [](const Row& r) { return r.present; }));
    std::string what;
    switch (uniform(0, 5)) {
      case 0:
        if (present > 14 || !row.present) row.present = !row.present;
        what = row.present ? "back" : "deleted";
        break;
      case 1: row.renamed = !row.renamed; what = "renamed"; break;
      case 2: row.moved = row.moved == 1 ? 0 : 1; what = "moved a little"; break;
      case 3: row.moved = row.moved == 2 ? 0 : 2; what = "moved far"; break;
      case 4: std::swap(row, rows_[static_cast<std::size_t>(uniform(1, static_cast<int>(rows_.size()) - 1))]); what = "swapped"; break;
      default:
        for (Row& r : rows_) r = Row{r.line, true, false, 0};
        what = "whole again";
    }
    write_a_cif();
    note("a.cif edited: " + trimmed(row.line.substr(0, 8)) + " " + what);
    convert("a.cif");
  }

  void convert(const std::string& source) {
    note("cif2exp " + source);
    const RunResult result = run(kCif2exp, {(root_ / "src" / source).string(), "T"});
    ++tally_[result.out.find("moved to") != std::string::npos ? "conversions moving marks aside" : "conversions"];
    if (result.out.find("the next vortan run carries") != std::string::npos) ++tally_["conversions carrying marks"];
  }

  std::vector<std::string> vortan_args() {
    std::vector<std::string> args{"T"};
    if (uniform(0, 3) == 0) args.push_back("--cif");
    if (uniform(0, 5) == 0) args.push_back("--svg");
    if (uniform(0, 3) == 0) args.push_back("--json");
    return args;
  }

  void run_vortan() {
    const auto args = vortan_args();
    note("vortan" + std::string(args.size() > 1 ? " " + args[1] : ""));
    const RunResult result = run(kVortan, args);
    ++tally_[result.exit_status == 0 ? "vortan runs" : "vortan runs that stopped"];
    if (result.out.find("that file is kept as") != std::string::npos) ++tally_["vortan runs keeping a .prev"];
    if (result.out.find("are carried to") != std::string::npos) ++tally_["vortan runs carrying marks"];
  }

  // ---- marks set and removed by editing the files ----

  fs::path marks_file() { return unit_ / (uniform(0, 1) == 0 ? "T.VORTAN" : "T.TORHB"); }

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
  static std::vector<std::string> edit_lines(const fs::path& file, bool& bom) {
    const std::string bytes = read_file(file);
    bom = bytes.rfind("\xEF\xBB\xBF", 0) == 0;
    std::vector<std::string> lines = split_lines(bom ? bytes.substr(3) : bytes);
    // What follows the closing record is no editor's business here.
    return lines;
  }
  static void save_lines(const fs::path& file, const std::vector<std::string>& lines, bool bom) {
    write_file(file, (bom ? "\xEF\xBB\xBF" : "") + joined(lines));
  }

  void set_mark() {
    const fs::path file = marks_file();
    if (!fs::is_regular_file(fs::symlink_status(file))) return;
    bool bom = false;
    std::vector<std::string> lines = edit_lines(file, bom);
    const auto candidates = record_lines(lines, false);
    if (candidates.empty()) return;
    const std::size_t at = any_of(candidates);
    const int style = uniform(0, 3);
    if (style == 0) lines[at][0] = 'Y';
    if (style == 1) lines[at][0] = 'y';
    if (style == 2) lines[at] = "Y" + lines[at];  // insert mode
    if (style == 3) lines[at][0] = 'Y';
    save_lines(file, lines, bom || (style == 3 && uniform(0, 1) == 0));
    const char kind = file.filename() == "T.VORTAN" ? 'V' : 'T';
    add_set(marks_of(lines[at] + "\n", kind, now()));
    ++tally_["marks set in an editor"];
    note("mark set in " + file.filename().string() + " line " + std::to_string(at + 1) + " style " + std::to_string(style));
  }

  void remove_mark() {
    const fs::path file = marks_file();
    if (!fs::is_regular_file(fs::symlink_status(file))) return;
    bool bom = false;
    std::vector<std::string> lines = edit_lines(file, bom);
    const auto candidates = record_lines(lines, true);
    if (candidates.empty()) return;
    const std::size_t at = any_of(candidates);
    const char kind = file.filename() == "T.VORTAN" ? 'V' : 'T';
    const Marks removed = marks_of(lines[at] + "\n", kind, now());
    if (lines[at].size() >= 2 && std::string_view("YyNn").find(lines[at][1]) != std::string_view::npos)
      lines[at].erase(0, 1);  // an insert-mode mark: the old one stays
    lines[at][0] = 'N';
    save_lines(file, lines, bom);
    remove_set(removed);
    note("mark removed in " + file.filename().string() + " line " + std::to_string(at + 1));
  }

  void odd_bytes() {
    const fs::path file = marks_file();
    if (!fs::is_regular_file(fs::symlink_status(file))) return;
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

  // ---- marks set and cleared by --mark, --unmark and the page ----

  // A row of the run's NAME.json, marked or not, with its kind for --mark.
  bool pick_row(bool marked, std::string& kind, json& row) {
    if (run(kVortan, {"T", "--json"}).exit_status != 0) return false;
    json document = json::parse(read_or_empty(unit_ / "T.json"), nullptr, false);
    if (document.is_discarded() || !document.contains("phases") || document["phases"].empty()) return false;
    std::vector<std::pair<std::string, json>> rows;
    for (const auto& [key, name] : std::vector<std::pair<std::string, std::string>>{
             {"bonds", "bond"}, {"angles", "angle"}, {"torsions", "torsion"}, {"hydrogen_bonds", "hbond"}})
      for (const json& r : document["phases"][0].value(key, json::array()))
        if (r.value("publish", false) == marked) rows.emplace_back(name, r);
    if (rows.empty()) return false;
    std::tie(kind, row) = any_of(rows);
    return true;
  }
  static std::string words_of(const json& list) {
    std::string text;
    for (const json& word : list) text += (text.empty() ? "" : " ") + (word.is_null() ? "?" : word.get<std::string>());
    return text;
  }

  // What a run that marks or clears one row changed: a mark set is the
  // user's; a clear takes away at most the row's two records.
  void settle_marking(const Marks& before, bool publish, const std::string& what) {
    const Marks after = live();
    if (publish) {
      add_set(minus(after, before));
    } else {
      const Marks cleared = minus(before, after);
      if (cleared.size() > 2) fail(what + " cleared " + std::to_string(cleared.size()) + " marks");
      remove_set(cleared);
    }
  }

  void mark_option(bool publish) {
    std::string kind;
    json row;
    if (!pick_row(!publish, kind, row)) return;
    const Marks before = live();
    const std::string option = publish ? "--mark" : "--unmark";
    note("vortan " + option + " " + kind + " " + words_of(row["atoms"]) + " " + words_of(row["site_codes"]));
    const RunResult result = run(kVortan, {"T", option, kind, words_of(row["atoms"]), words_of(row["site_codes"])});
    ++tally_[publish ? "--mark runs" : "--unmark runs"];
    settle_marking(before, publish, option);
  }

  // vortan --serve: a click on a row, then Quit, a signal or kill -9.
  void serve() {
    std::string kind;
    json row;
    const bool publish = uniform(0, 2) != 0;
    if (!pick_row(!publish, kind, row)) return;
    const Marks before = live();
    fs::remove(root_ / "page.txt");  // the last page's address is not this one's
    BackgroundProgram page(kVortan, {"T", "--serve"}, unit_, root_ / "page.txt", kQuiet);
    std::smatch address;
    const std::regex open(R"(Open http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]+)\n)");
    std::string output;
    for (int wait = 0; wait < 6000 && page.running(); ++wait) {
      output = read_or_empty(root_ / "page.txt");
      if (std::regex_search(output, address, open)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string end = "none";
    if (!address.empty()) {
      const int port = std::stoi(address[1].str());
      const std::string token = address[2].str();
      const json mark{{"kind", kind}, {"atoms", row["atoms"]}, {"site_codes", row["site_codes"]}, {"phase", 1},
                      {"publish", publish}};
      const auto answer = http(port, "POST", "/mark", token, mark.dump());
      ++tally_[answer.first == 200 ? "page marks answered" : "page marks refused"];
      if (answer.first != 200) note("the page answered " + std::to_string(answer.first) + ": " + answer.second);
      const int how = uniform(0, 3);
      const auto started = std::chrono::steady_clock::now();
      end = std::vector<std::string>{"Quit", "SIGINT", "SIGTERM", "kill -9"}[static_cast<std::size_t>(how)];
      if (how == 0) http(port, "POST", "/quit", token);
      if (how == 1 || how == 2) ::kill(page.pid(), how == 1 ? SIGINT : SIGTERM);
      if (how == 3) page.kill();
      while (page.running() && std::chrono::steady_clock::now() - started < std::chrono::seconds(20))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      if (page.running()) fail("the page did not end " + std::to_string(took) + " s after " + end);
      else if (took > 5) fail("the page took " + std::to_string(took) + " s to end after " + end);
    }
    page.kill();
    page.wait();
    heard(read_or_empty(root_ / "page.txt"));
    note("vortan --serve: " + std::string(publish ? "mark " : "clear ") + kind + " " + words_of(row["atoms"]) +
         ", ended by " + end);
    ++tally_["pages served"];
    settle_marking(before, publish, "the page");
  }

  // ---- programs stopped, and programs side by side ----

  void killed_run() {
    const bool converter = uniform(0, 2) == 0;
    const std::string binary = converter ? kCif2exp : kVortan;
    const auto args = converter ? std::vector<std::string>{(root_ / "src" / any_of(std::vector<std::string>{
                                                                               "a.cif", "b.cif", "c.cif"})).string(),
                                                           "T"}
                                : vortan_args();
    if (uniform(0, 3) != 0) {
      // Just before one of its file operations, as a kill -9 or a power cut would.
      long& seen = operations_[binary];
      const long at = uniform(1, static_cast<int>(std::max(seen, 8L)) + 2);
      const fs::path log = root_ / "operations.log";
      fs::remove(log);
      const RunResult result = run(binary, args, testing_support::shim_environment(
                                                     {{"VESK_KILL_AT", std::to_string(at)},
                                                      {"VESK_FILE_OPERATIONS", log.string()}},
                                                     kQuiet));
      seen = std::max(seen, static_cast<long>(split_lines(read_or_empty(log)).size()));
      ++tally_[result.exit_status == -1 ? "programs killed at a file operation" : "programs that ended first"];
      note(std::string(converter ? "cif2exp " + args[0] : "vortan") + " killed before file operation " +
           std::to_string(at) + " of " + std::to_string(seen));
      return;
    }
    const int delay = uniform(0, 40000);
    {
      BackgroundProgram program(binary, args, unit_, root_ / "out.txt", kQuiet);
      std::this_thread::sleep_for(std::chrono::microseconds(delay));
      program.kill();
      program.wait();
    }
    heard(read_or_empty(root_ / "out.txt"));
    note(std::string(converter ? "cif2exp " + args[0] : "vortan") + " killed after " + std::to_string(delay) + " us");
  }

  void run_beside_a_run() {
    const auto args = vortan_args();
    BackgroundProgram first(kVortan, args, unit_, root_ / "first.txt", kQuiet);
    const bool converter = uniform(0, 1) == 0;
    const RunResult second =
        converter ? run(kCif2exp, {(root_ / "src" / "b.cif").string(), "T"}) : run(kVortan, {"T"});
    first.wait();
    if ((second.out + second.err).find("is in use by") != std::string::npos) ++tally_["second programs refused"];
    heard(read_or_empty(root_ / "first.txt"));
    note(std::string("vortan with ") + (converter ? "cif2exp" : "vortan") + " beside it: second exit " +
         std::to_string(second.exit_status));
  }

  // ---- plans of a replacement: cut, damaged, crafted ----

  // Refused by the program, named with its reason, every file as it was.
  // The lock file is the lock's own, left by a killed run and taken again.
  std::map<std::string, std::string> unit_files() const {
    std::map<std::string, std::string> files = testing_support::folder_snapshot(unit_);
    files.erase("T.VORTAN.lock");
    return files;
  }

  void expect_refused_plan(const std::string& what) {
    const std::map<std::string, std::string> before = unit_files();
    const bool converter = uniform(0, 1) == 0;
    const RunResult result = converter ? run(kCif2exp, {(root_ / "src" / "a.cif").string(), "T"}) : run(kVortan, {"T"});
    ++tally_["plans refused"];
    note(what + ", then " + (converter ? "cif2exp" : "vortan"));
    if (result.exit_status != 1 ||
        (result.out + result.err).find("The plan T.REPLACING of an interrupted replacement of the files of T is refused") ==
            std::string::npos)
      fail(what + " was not refused: " + result.out + result.err);
    else if (const auto after = unit_files(); after != before) {
      std::string changed;
      for (const auto& [name, content] : before)
        if (!after.count(name) || after.at(name) != content) changed += " " + name;
      for (const auto& [name, content] : after)
        if (!before.count(name)) changed += " +" + name;
      fail(what + ": refused, but files changed:" + changed);
    }
    if (read_file(root_ / "victim") != "outside the experiment's folder\n") fail(what + ": a file outside was changed");
  }

  void crafted_plan() {
    static const std::vector<std::string> crafted{
        sealed_plan("remove\t../victim\n"), sealed_plan("move\tT.VORTAN\t../victim\n"),
        sealed_plan("remove\tT.EXP\n"), sealed_plan("move\tT.VORTAN.lock\tT.VORTAN.lock.1\n"),
        sealed_plan("rename\tT.TORHB\tT.VORTAN\n"), sealed_plan("remove\tU.VORTAN\n", "U"),
        "stem\tT\nmove\tT.VORTAN\tT.VORTAN.9\n", sealed_plan("move\tT.VORTAN\tT.VORTAN.9\n").substr(0, 40)};
    const std::size_t which = static_cast<std::size_t>(uniform(0, static_cast<int>(crafted.size())));
    const fs::path plan = unit_ / "T.REPLACING";
    if (which == crafted.size())
      ::mkfifo(plan.c_str(), 0644);
    else
      write_file(plan, crafted[which]);
    expect_refused_plan("a crafted plan (" + std::to_string(which) + ")");
    fs::remove(plan);
  }

  // A plan a killed cif2exp left, cut short or with a byte changed; put back afterwards.
  void damaged_plan() {
    const fs::path plan = unit_ / "T.REPLACING";
    if (!fs::is_regular_file(fs::symlink_status(plan))) return;
    const std::string whole = read_file(plan);
    if (whole.size() < 2) return;
    std::string damaged = whole;
    if (uniform(0, 1) == 0 || whole.empty()) {
      damaged.resize(static_cast<std::size_t>(uniform(0, static_cast<int>(whole.size()) - 1)));
    } else {
      char& byte = damaged[static_cast<std::size_t>(uniform(0, static_cast<int>(whole.size()) - 1))];
      byte = static_cast<char>(byte ^ (1 << uniform(0, 6)));
    }
    write_file(plan, damaged);
    expect_refused_plan("the plan left cut to " + std::to_string(damaged.size()) + " of " +
                        std::to_string(whole.size()) + " bytes or changed");
    write_file(plan, whole);
  }

  // ---- process ids used again ----

  void reused_process_id() {
    const std::string pid = std::to_string(uniform(3000, 3999));
    std::vector<fs::path> planted;
    for (const char* output : {"T.VORTAN", "T.TORHB", "T.VORTAN.prev", "T.LST", "T_geom.cif", "T.json", "T.EXP",
                               "T.CMT", "T.CIFSRC", "T.REPLACING"}) {
      if (std::string_view(output) != "T.VORTAN" && std::string_view(output) != "T.TORHB") {
        planted.push_back(unit_ / (std::string(output) + "." + pid + ".new"));  // the earlier form
        write_file(planted.back(), "left by a killed run\n");
      }
      planted.push_back(unit_ / (std::string(output) + "." + pid + ".00000000000000ff.new"));
      fs::create_symlink("../victim", planted.back());
    }
    const bool converter = uniform(0, 2) == 0;
    const auto environment = testing_support::shim_environment({{"VESK_PROCESS_ID", pid}}, kQuiet);
    const RunResult result = converter ? run(kCif2exp, {(root_ / "src" / "c.cif").string(), "T"}, environment)
                                       : run(kVortan, {"T", "--cif", "--json"}, environment);
    note(std::string(converter ? "cif2exp" : "vortan") + " as process " + pid + " beside its temporaries of before");
    ++tally_["runs under a process id used before"];
    if ((result.out + result.err).find("File exists") != std::string::npos)
      fail("a temporary of an earlier run stood in the way: " + result.out + result.err);
    if (read_file(root_ / "victim") != "outside the experiment's folder\n") fail("a link left by a run was followed");
    for (const fs::path& file : planted) {
      if (result.exit_status == 0 && fs::exists(fs::symlink_status(file))) fail(file.filename().string() + " was left");
      fs::remove(file);
    }
  }

  // ---- what the step left, and the promise ----

  // The kept files' numberings and the step whose messages named each.
  void settle() {
    const std::string listing = read_or_empty(unit_ / "T.LST");
    if (listing.rfind(listing_before_, 0) == 0) heard(listing.substr(listing_before_.size()));
    for (const auto& entry : fs::directory_iterator(unit_)) {
      const std::string name = entry.path().filename().string();
      if ((name.rfind("T.VORTAN.", 0) != 0 && name.rfind("T.TORHB.", 0) != 0) || name == "T.VORTAN.lock" ||
          !fs::is_regular_file(fs::symlink_status(entry.path())))
        continue;
      const std::string content = read_file(entry.path());
      auto found = kept_.find(name);
      if (found == kept_.end() || found->second.content != content) kept_[name] = {content, before_, step_};
      if (named(heard_, name)) named_at_[name] = step_;
    }
  }

  bool check(int number) {
    // A program that crashed or hit undefined behaviour (under the sanitizers) is a failure of its own.
    for (const char* crash : {"Sanitizer", "runtime error:", "Segmentation", "Aborted"})
      if (heard_.find(crash) != std::string::npos)
        return fail(std::string("a program reported \"") + crash + "\": " + heard_.substr(heard_.find(crash), 400));
    if (fs::exists(fs::symlink_status(unit_ / "T.REPLACING"))) return true;  // the next program completes it
    const Marks marks = live();
    for (const Mark& m : marks)
      if (!holds(set_, m)) return fail("the live files hold " + describe(m) + ", which nobody set on these atoms");
    for (const Mark& m : set_) {
      ++tally_["marks checked"];
      if (holds(marks, m)) continue;
      bool found = false;
      for (const auto& [name, kept] : kept_) {
        if (found || !fs::is_regular_file(fs::symlink_status(unit_ / name))) continue;
        const auto said = named_at_.find(name);
        if (said == named_at_.end() || said->second < kept.changed_at) continue;
        found = holds(marks_of(kept.content, name.rfind("T.VORTAN", 0) == 0 ? 'V' : 'T', kept.numbering), m);
      }
      if (found) ++tally_["marks found in a kept file"];
      if (!found) return fail("the mark " + describe(m) + " is in no live file and in no kept file a message named");
    }
    (void)number;
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

  std::mt19937 rng_;
  fs::path root_, unit_;
  std::string cif_head_;
  std::vector<Row> rows_;
  int step_ = 0;
  Structure before_;
  std::string listing_before_, heard_, all_heard_;
  Marks set_;  // marks set and not removed, as the user saw them
  std::map<std::string, Kept> kept_;
  std::map<std::string, int> named_at_;
  std::map<std::string, long> operations_;  // the most file operations seen of each program
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

TEST(MarksInvariant, NoMarkIsLostOrLandsOnOtherAtoms) {
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
