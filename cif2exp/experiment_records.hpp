// The records of the experiment file cif2exp writes: the housekeeping
// records, the experiment-wide atom types and phase flag, the least-squares
// run and control records that stand for the CIF's refinement, phase 1 with
// its atoms, vortan's control record and the terminator.
#pragma once
#include <array>
#include <string>
#include <utility>
#include <vector>

namespace cif2exp {

constexpr int kFileVersion = 6;
constexpr int kCycle = 1;  // NCYCLE of the run record and of the covariance file

struct TypeRecord {
  std::string symbol;  // at most 8 characters
  float bond_radius = 0;
  float angle_radius = 0;
};

struct AtomRecord {
  std::string type_symbol;  // at most 8 characters
  std::string label;        // at most 8 characters
  std::array<double, 3> x{};
  double fraction = 1;
  int multiplicity = 0;
  bool anisotropic = false;
  std::array<double, 6> u{};  // Uiso first when isotropic
};

struct ExperimentContent {
  std::string title;
  std::string history;
  std::string phase_name;
  std::array<double, 6> cell{};        // a, b, c, alpha, beta, gamma
  std::array<double, 6> cell_sigma{};
  std::string symbol;
  std::vector<TypeRecord> types;
  std::vector<AtomRecord> atoms;
  // Beyond 999 atoms: phase type 4, one record per isotropic atom keyed by
  // its number in four hexadecimal digits (vortan takes fractions as 1 there).
  bool hexadecimal_keys = false;
  std::string run_summary;             // what vortan prints after " RAFFIN was run "
  double cycle_figure = 0;
  std::vector<std::string> control_fields;  // 8 characters each, at most 8
  std::string vortan_controls;         // words of "  VRTN CDAT1" and the records that go on from it
};

// (key, value) pairs: keys of 12 characters, values of 68. Throws
// vesk::Error when a number does not fit its field.
std::vector<std::pair<std::string, std::string>> experiment_records(const ExperimentContent& content);

// Writes the records as 80 columns and CR LF each through the record I/O
// layer onto a new file.
void write_experiment_file(const std::string& file, const std::vector<std::pair<std::string, std::string>>& records);

}  // namespace cif2exp
