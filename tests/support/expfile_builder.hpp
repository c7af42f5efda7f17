// Builds experiment files for tests from (key, value) pairs, the way the
// suite's own editors leave them: 80-column records padded with blanks and
// ended by CR LF, in no particular order, with empty records ("~~~~~~~~~~~~"
// and blank keys) among them and the terminator record.
#pragma once
#include <array>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testing_support {

// A small phase for whole-program tests: isotropic atoms, decimal keys.
struct TestAtomType {
  std::string symbol;
  double bond_radius = 0;
  double angle_radius = 0;
};
struct TestAtom {
  std::string label;
  std::string type;
  double x = 0, y = 0, z = 0;
  double fraction = 1.0;
  double uiso = 0.01;
};
struct TestPhase {
  int number = 1;
  std::string name = "Test phase";
  std::array<double, 6> cell{5, 5, 5, 90, 90, 90};  // a, b, c, alpha, beta, gamma
  std::string space_group = "P 1";
  std::vector<TestAtom> atoms;
};

class ExpFileBuilder {
 public:
  // A raw record: key up to 12 characters, value up to 68 (longer is a test bug).
  ExpFileBuilder& add(std::string_view key, std::string_view value);
  // "      DESCR ": two blanks and the title.
  ExpFileBuilder& title(std::string_view title);
  // "     VERSION" with the number in "(I5)".
  ExpFileBuilder& version(int version);
  // "    HSTRY" + number in three columns.
  ExpFileBuilder& history(int number, std::string_view text);
  // " EXPR NPHAS " in the 9-flag layout "(9I5)".
  ExpFileBuilder& phase_flags(const std::vector<int>& flags);
  // "  VRTN CDAT" + phase digit: the run controls of one phase.
  ExpFileBuilder& vortan_controls(int phase, std::string_view words);
  // " EXPR  NATYP" and " EXPR ATYP" 1, 2, ...
  ExpFileBuilder& atom_types(const std::vector<TestAtomType>& types);
  // The name, atom count, cell, space group and atom records of a phase.
  ExpFileBuilder& phase(const TestPhase& phase);
  // Drops the record of `key` (to make a file that lacks it).
  ExpFileBuilder& without(std::string_view key);
  // Number of empty records mixed in (half tildes, half blank keys); default 4.
  ExpFileBuilder& empty_records(int count);
  ExpFileBuilder& seed(unsigned seed);
  ExpFileBuilder& without_terminator();
  ExpFileBuilder& in_given_order();

  const std::vector<std::pair<std::string, std::string>>& records() const { return records_; }
  // The file's bytes: 82 per record.
  std::string bytes() const;
  void write(const std::filesystem::path& file) const;

 private:
  std::vector<std::pair<std::string, std::string>> records_;
  int empty_records_ = 4;
  unsigned seed_ = 20240607;
  bool terminator_ = true;
  bool shuffle_ = true;
};

// Title "Test experiment", version 6, history records 1 and 2, no phases.
ExpFileBuilder minimal_experiment();

// An experiment file opened on a free unit as the programs open it, for
// in-process tests of the store; closed and its store entry released at the end.
struct OpenExperiment {
  int unit = 11;
  explicit OpenExperiment(const std::filesystem::path& file);
  ~OpenExperiment();
  OpenExperiment(const OpenExperiment&) = delete;
  OpenExperiment& operator=(const OpenExperiment&) = delete;
};

// One 82-byte record as the file holds it.
std::string experiment_record(std::string_view key, std::string_view value);

}  // namespace testing_support
