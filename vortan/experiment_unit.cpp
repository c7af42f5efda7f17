#include "vortan/experiment_unit.hpp"

#include <sys/stat.h>

#include <optional>
#include <utility>
#include <vector>

#include "expfile/unit_replace.hpp"
#include "recio/error.hpp"
#include "recio/format.hpp"
#include "recio/units.hpp"
#include "report/cif_output.hpp"
#include "report/drawing.hpp"
#include "report/paper_cif.hpp"
#include "report/submission_cif.hpp"

namespace vesk {

namespace {

struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
};

// Through symbolic links: a link to an input is the input.
std::optional<Identity> identity(const std::string& file) {
  struct stat info {};
  if (file.empty() || ::stat(file.c_str(), &info) != 0) return std::nullopt;
  return Identity{info.st_dev, info.st_ino};
}

}  // namespace

void refuse_unfinished_replace(const std::string& stem) {
  const std::vector<std::string> lines = complete_interrupted_replace(stem);
  if (lines.empty()) return;
  for (const std::string& line : lines) recio::write(recio::kTerminalOut, "(A)", {line});
  throw Error("The experiment file of " + stem +
              " was being replaced when this run opened it; the replacement is complete now: run vortan again");
}

void refuse_outputs_that_are_inputs(const std::string& stem, const std::string& paper_cif) {
  std::vector<std::pair<std::string, std::string>> inputs{
      {stem + ".EXP", "experiment file"}, {stem + ".CMT", "covariance file"}, {stem + ".CIFSRC", "source file"}};
  if (!paper_cif.empty()) inputs.emplace_back(paper_cif, "paper CIF");
  try {
    if (const std::optional<CifSource> source = read_cif_source(stem + ".CIFSRC"))
      inputs.emplace_back(source->cif, "CIF the experiment was converted from");
  } catch (const Error&) {
    // An unreadable NAME.CIFSRC is reported where --cif reads it.
  }
  // A FIFO would hold the run up at its first read, a device never end.
  for (const char* marks : {".VORTAN", ".TORHB"}) {
    struct stat info {};
    const std::string file = stem + marks;
    if (::stat(file.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
      throw Error("The marks file " + file +
                  " is not a plain file (a FIFO, a device or a folder); vortan keeps marks only in plain files: "
                  "remove it and run again");
  }
  std::vector<std::string> outputs{stem + ".LST", cif_file_name(stem), submission_file_name(stem), stem + ".json"};
  for (const char* marks : {".VORTAN", ".TORHB"})
    for (const char* kept : {"", ".prev", ".new"}) outputs.push_back(stem + marks + kept);
  for (int phase = 1; phase <= 9; ++phase) outputs.push_back(drawing_file_name(stem, phase));
  for (const std::string& output : outputs) {
    const std::optional<Identity> written = identity(output);
    if (!written) continue;
    for (const auto& [input, what] : inputs) {
      const std::optional<Identity> read = identity(input);
      if (read && read->device == written->device && read->inode == written->inode)
        throw Error("The output " + output + " is the same file as the " + what + " " + input +
                    ", which this run would overwrite; nothing was written: give the input another name, or "
                    "remove the link");
    }
  }
}

}  // namespace vesk
