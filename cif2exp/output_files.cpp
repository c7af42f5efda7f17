#include "cif2exp/output_files.hpp"

#include <filesystem>
#include <fstream>
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
