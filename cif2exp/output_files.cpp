#include "cif2exp/output_files.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <unistd.h>

#include "recio/error.hpp"

namespace cif2exp {

PendingOutputs::~PendingOutputs() {
  if (committed_) return;
  for (const Pending& file : pending_) {
    std::error_code ignored;
    std::filesystem::remove(file.temporary, ignored);
  }
}

std::string PendingOutputs::add(const std::string& final_name) {
  const std::string temporary = final_name + ".cif2exp-" + std::to_string(getpid());
  std::error_code ignored;
  std::filesystem::remove(temporary, ignored);
  pending_.push_back({temporary, final_name});
  return temporary;
}

void PendingOutputs::remove_at_commit(const std::string& name) { stale_.push_back(name); }

void PendingOutputs::commit() {
  for (const std::string& name : stale_) {
    std::error_code error;
    std::filesystem::remove(name, error);
    if (error) throw vesk::Error("cannot remove the old " + name + ": " + error.message());
  }
  for (const Pending& file : pending_) {
    std::error_code error;
    std::filesystem::rename(file.temporary, file.final_name, error);
    if (error) throw vesk::Error("cannot rename " + file.temporary + " to " + file.final_name + ": " + error.message());
  }
  committed_ = true;
}

void write_cif_source(const std::string& file, const std::string& experiment_file, const CifSource& source) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << "# " << std::filesystem::path(experiment_file).filename().string()
      << " was converted by cif2exp from this CIF block\n"
      << "cif " << source.cif << "\n"
      << "block " << source.block << "\n";
  if (!source.shift.empty()) out << "shift " << source.shift << "\n";
  for (const auto& [ours, theirs] : source.labels) out << "label " << ours << " " << theirs << "\n";
  for (const auto& [ours, group] : source.disorder) out << "disorder " << ours << " " << group << "\n";
  out.close();
  if (!out) throw vesk::Error("cannot write " + file + ": " + std::strerror(errno));
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

std::string move_aside(const std::string& file) {
  for (int n = 1;; ++n) {
    const std::string target = file + "." + std::to_string(n);
    // link() refuses an existing target, so no earlier moved file is lost.
    if (::link(file.c_str(), target.c_str()) == 0) {
      if (::unlink(file.c_str()) != 0) {
        const int error = errno;
        ::unlink(target.c_str());
        throw vesk::Error("cannot move " + file + " aside: " + std::strerror(error));
      }
      return target;
    }
    if (errno != EEXIST || n >= 9999) throw vesk::Error("cannot move " + file + " aside to " + target + ": " + std::strerror(errno));
  }
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
