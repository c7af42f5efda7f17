#include "cif2exp/output_files.hpp"

#include <cerrno>
#include <cstdio>
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
  // A name no other run holds; those that killed runs left are removed
  // when the lock is taken (expfile/unit_replace.hpp).
  const std::string temporary = recio::temporary_name(final_name);
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
  out << "symmetry " << source.content.symmetry << "\ncell";
  char number[32];
  for (double value : source.content.cell) {
    std::snprintf(number, sizeof number, " %.5f", value);
    out << number;
  }
  out << "\n";
  for (const StructureSite& site : source.content.sites) {
    out << "site " << site.label << " " << site.type;
    for (double x : site.x) {
      std::snprintf(number, sizeof number, " %.6f", x);
      out << number;
    }
    out << "\n";
  }
  for (const MarksCarry& carry : source.carry) {
    out << "carry " << carry.file;
    for (const auto& [then, now] : carry.atoms) out << " " << then << ":" << now;
    out << "\n";
  }
  if (source.pressure) {
    std::snprintf(number, sizeof number, "%.6g", source.pressure->gpa);
    out << "pressure " << number << " " << source.pressure->item << "\n";
  }
  if (!source.covariance.empty()) out << "# " << std::filesystem::path(experiment_file).stem().string() << ".CMT: " << source.covariance << "\n";
  recio::write_new_file(file, out.str(), "source file");
}

bool read_cif_source(const std::string& file, CifSource& source) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::string line;
  bool damaged = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word == "cif" || word == "block") {
      (word == "cif" ? source.cif : source.block) = line.size() > word.size() ? line.substr(word.size() + 1) : "";
    } else if (word == "symmetry") {
      source.content.symmetry = line.size() > 9 ? line.substr(9) : std::string();
    } else if (word == "cell") {
      for (double& value : source.content.cell) words >> value;
      damaged = damaged || !words;
    } else if (word == "site") {
      StructureSite site;
      words >> site.label >> site.type >> site.x[0] >> site.x[1] >> site.x[2];
      damaged = damaged || !words;
      source.content.sites.push_back(site);
    } else if (word == "carry") {
      MarksCarry carry;
      words >> carry.file;
      for (std::string pair; words >> pair;) {
        int then = 0, now = 0;
        char colon = 0;
        std::istringstream numbers(pair);
        if (numbers >> then >> colon >> now && colon == ':') carry.atoms.emplace_back(then, now);
      }
      if (!carry.file.empty()) source.carry.push_back(carry);
    }
  }
  if (damaged) source.content.symmetry.clear();  // the content is not known
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
