#include "cif2exp/output_files.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <unistd.h>

#include "expfile/unit_replace.hpp"
#include "recio/error.hpp"
#include "recio/file_replace.hpp"

namespace cif2exp {

PendingOutputs::~PendingOutputs() {
  if (committed_) return;
  for (const Pending& file : pending_) {
    std::error_code ignored;
    std::filesystem::remove(file.temporary, ignored);
  }
}

std::string PendingOutputs::add(const std::string& final_name) {
  // Under the experiment's lock, with any plan of a stopped run completed:
  // temporaries of processes that are gone are left-overs.
  recio::remove_stale_temporaries(final_name);
  const std::string temporary = recio::temporary_name(final_name);
  std::error_code ignored;
  std::filesystem::remove(temporary, ignored);
  pending_.push_back({temporary, final_name});
  return temporary;
}

void PendingOutputs::remove_at_commit(const std::string& name) { stale_.push_back(name); }

void PendingOutputs::move_aside_at_commit(const std::string& file, const std::string& aside) {
  moves_.emplace_back(file, aside);
}

void PendingOutputs::commit(const std::string& stem, const std::function<void()>& done) {
  vesk::UnitReplace plan;
  plan.stem = stem;
  plan.moves = moves_;
  plan.removals = stale_;
  for (const Pending& file : pending_) plan.renames.emplace_back(file.temporary, file.final_name);
  try {
    vesk::commit_unit_replace(plan, done);
  } catch (...) {
    // Once the plan is on disk its temporaries belong to it: the next
    // program completes it.
    committed_ = std::filesystem::exists(vesk::unit_journal_name(stem));
    throw;
  }
  committed_ = true;
}

void write_cif_source(const std::string& file, const std::string& experiment_file, const CifSource& source) {
  std::ostringstream out;
  out << "# " << std::filesystem::path(experiment_file).filename().string()
      << " was converted by cif2exp from this CIF block\n"
      << "cif " << source.cif << "\n"
      << "block " << source.block << "\n";
  if (!source.shift.empty()) out << "shift " << source.shift << "\n";
  for (const auto& [ours, theirs] : source.labels) out << "label " << ours << " " << theirs << "\n";
  for (const auto& [ours, group] : source.disorder) out << "disorder " << ours << " " << group << "\n";
  for (const auto& [ours, pivot] : source.riding) out << "riding " << ours << " " << pivot << "\n";
  recio::write_new_file(file, out.str(), "source file");
}

bool read_cif_source(const std::string& file, CifSource& source) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, 4, "cif ") == 0) source.cif = line.substr(4);
    if (line.compare(0, 6, "block ") == 0) source.block = line.substr(6);
  }
  return true;
}

bool written_by_cif2exp(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string record(82, ' ');
  int histories = 0;
  bool ours = false;
  while (in.read(record.data(), 82)) {
    if (record.compare(0, 9, "    HSTRY") != 0) continue;
    ++histories;
    ours = record.compare(12, 7, "cif2exp") == 0;
  }
  return histories == 1 && ours;
}

}  // namespace cif2exp
